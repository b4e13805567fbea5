#include "nomrel/Component.h"

#include "platform/Error.h"

namespace nomrel
{

std::unique_ptr<gps::Receiver> Component::CreateReceiver()
{
    throw ZeptaError(QStringLiteral("The serial receiver is not built yet"));
}

} // namespace nomrel

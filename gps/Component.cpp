#include "gps/Component.h"

#include "platform/Error.h"

#include <utility>

namespace gps
{

namespace
{
Component*& installed()
{
    static Component* current = nullptr;
    return current;
}
} // namespace

Component& component()
{
    if (!installed())
        throw ZeptaError(QStringLiteral("The GPS receiver component is not available"));
    return *installed();
}

Component* setComponent(Component* replacement) { return std::exchange(installed(), replacement); }

} // namespace gps

#include "nomrel/Component.h"

#include "nomrel/EventStore.h"
#include "nomrel/SerialReceiver.h"
#include "platform/Error.h"

#include <utility>

namespace nomrel
{

namespace
{
QString& processConnectionString()
{
    static QString value;
    return value;
}
} // namespace

void DataLink::setConnectionString(const QVariant& connectionString)
{
    if (!connectionString.canConvert<QString>())
        throw ZeptaError(QStringLiteral("The data link's connection string must be text"));
    processConnectionString() = connectionString.toString();
}

QString DataLink::connectionString() const { return processConnectionString(); }

Component::Component(QString programFolder)
    : mProgramFolder(std::move(programFolder))
{
}

std::unique_ptr<gps::Receiver> Component::CreateReceiver() { return std::make_unique<SerialReceiver>(mProgramFolder); }

std::unique_ptr<gps::EventObject> Component::CreateEvent() { return std::make_unique<EventStore>(); }

std::unique_ptr<gps::DataLink> Component::CreateDataLink() { return std::make_unique<DataLink>(); }

} // namespace nomrel

#include "support/ScriptedReceiver.h"

#include "platform/Error.h"

void ScriptedReceiver::record(const QString& call)
{
    calls << call;
    const QString name = call.section(QLatin1Char(' '), 0, 0);
    if (failing.contains(name))
        throw ZeptaError(QStringLiteral("scripted failure of %1").arg(name));
}

std::int32_t ScriptedReceiver::Initialize()
{
    record(QStringLiteral("Initialize"));
    return 0;
}

void ScriptedReceiver::ShowMonitor()
{
    record(QStringLiteral("ShowMonitor"));
    monitorShown = true;
}

void ScriptedReceiver::HideMonitor()
{
    record(QStringLiteral("HideMonitor"));
    monitorShown = false;
}

void ScriptedReceiver::setPort(std::int16_t port)
{
    record(QStringLiteral("setPort %1").arg(port));
    mPort = port;
}

void ScriptedReceiver::setSettings(const QString& comSettings)
{
    record(QStringLiteral("setSettings ") + comSettings);
    mSettings = comSettings;
}

void ScriptedReceiver::Start() { record(QStringLiteral("Start")); }

void ScriptedReceiver::deliver(const gps::Reading& reading)
{
    mReading = reading;
    mValid = true;
    emit NewReading(mReading);
}

void ScriptedReceiver::loseFix()
{
    mValid = false;
    emit Unlocked();
}

void ScriptedReceiver::stopData()
{
    mValid = false;
    emit NoData();
}

std::unique_ptr<gps::Receiver> ScriptedComponent::CreateReceiver()
{
    auto made = std::make_unique<ScriptedReceiver>();
    receiver = made.get();
    ++receiversMade;
    return made;
}

gps::Reading makeReading(double latitude, double longitude, double heading, const QDateTime& gmt)
{
    gps::Reading r;
    r.gmt = gmt;
    r.latitude = latitude;
    r.longitude = longitude;
    r.heading = heading;
    r.speed = 1.5;
    r.altitude = 96.5;
    r.fixQuality = 1;
    r.fixMode = 3;
    r.satellitesUsed = 8;
    r.satellitesInView = 11;
    r.hdop = 0.9;
    r.locked = true;
    r.source = QStringLiteral("COM1");
    return r;
}

#include "support/ScriptedReceiver.h"

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

#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace gps
{

// One reading of the receiver: an immutable snapshot that an event object
// stores with the event. Coordinates in decimal degrees (south and west
// negative), speed in metres per second, heading in degrees true (course over
// ground), altitude in metres above mean sea level, time in UTC.
struct Reading {
    QDateTime gmt; // UTC
    double latitude = 0.0;
    double longitude = 0.0;
    double speed = 0.0; // m/s
    double heading = 0.0; // degrees, 0..360
    double altitude = 0.0; // metres
    int fixQuality = 0; // 0 none, 1 GPS, 2 DGPS, ...
    int fixMode = 1; // 1 no fix, 2 2D, 3 3D
    int satellitesUsed = 0;
    int satellitesInView = 0;
    double hdop = 0.0;
    bool locked = false; // a current, usable fix
    QString source; // the port it came from, e.g. "COM1"
};

} // namespace gps

Q_DECLARE_METATYPE(gps::Reading)

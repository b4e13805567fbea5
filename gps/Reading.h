#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <optional>

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
    // Horizontal accuracy in metres at 95% confidence: from the receiver's
    // own estimate (GST) when it sent one in this cycle, else from HDOP (see
    // nomrel/Accuracy.h). Nothing when neither tells (no fix, HDOP 99.99).
    std::optional<double> accuracy;
    double fixAge = 0.0; // seconds since the fix's sentences arrived
    // An averaged capture: how many readings were kept, and their spread
    // (standard deviation of their horizontal distance from the mean, metres).
    int samples = 1;
    std::optional<double> spread;
};

} // namespace gps

Q_DECLARE_METATYPE(gps::Reading)

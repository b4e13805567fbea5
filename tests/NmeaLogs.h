#pragma once

// gpsd's expected decodings of the receiver logs in tests/data/nmea/gpsd.

#include <QString>
#include <QVariantMap>

#include <map>
#include <optional>

// gpsd's last word on one fix cycle.
struct ExpectedCycle {
    QVariantMap tpv; // the last TPV with the cycle's time (mode, time, lat, lon, altMSL, speed, track...)
    bool anyFix = false; // some TPV with that time had a fix
    // Reported right after the cycle's last GGA or GNS (so from its fields); unset when nothing was.
    std::optional<int> satellitesUsed;
    std::optional<double> hdop;
};

// The cycles of LOG.chk keyed by time of day, "03:07:19.000".
std::map<QString, ExpectedCycle> expectedCycles(const QString& logPath);

// "2014-12-31T03:07:19.000Z" -> "03:07:19.000"
inline QString timeOfDay(const QString& isoTime) { return isoTime.mid(11, 12); }

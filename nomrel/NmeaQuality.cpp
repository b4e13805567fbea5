#include "nomrel/NmeaQuality.h"

#include "nomrel/NmeaStream.h"

#include <cmath>

namespace nomrel::nmea
{

namespace
{
constexpr double kCircular95 = 2.4477; // radius holding 95% of a circular normal, in sigmas
constexpr double kLargestSd = 100000.0; // metres: beyond it a receiver is not estimating
constexpr double kLargestUsableHdop = 50.0; // 99.99 is what receivers send without a fix

bool plausible(const std::optional<double>& sd) { return sd && std::isfinite(*sd) && *sd >= 0 && *sd < kLargestSd; }
} // namespace

Gst parseGst(const Fields& f)
{
    Gst g;
    g.time = parseTime(f[1]);
    g.rms = parseNumber(f[2]);
    g.latitudeSd = parseNumber(f[6]);
    g.longitudeSd = parseNumber(f[7]);
    g.altitudeSd = parseNumber(f[8]);
    return g;
}

void applyGst(Fix& fix, const Gst& gst)
{
    if (plausible(gst.latitudeSd) && plausible(gst.longitudeSd)) {
        fix.latitudeSd = gst.latitudeSd;
        fix.longitudeSd = gst.longitudeSd;
    } else {
        fix.latitudeSd.reset();
        fix.longitudeSd.reset();
    }
}

double userRangeError(std::optional<int> quality)
{
    switch (quality.value_or(1)) {
    case 2:
        return 1.0;
    case 4:
        return 0.02;
    case 5:
        return 0.3;
    case 6:
        return 15.0;
    default:
        return 3.0;
    }
}

std::optional<double> horizontalAccuracy(const Fix& fix)
{
    if (!fix.valid)
        return std::nullopt;
    if (fix.latitudeSd && fix.longitudeSd)
        return kCircular95 * std::sqrt((*fix.latitudeSd * *fix.latitudeSd + *fix.longitudeSd * *fix.longitudeSd) / 2.0);
    if (fix.hdop && *fix.hdop > 0 && *fix.hdop < kLargestUsableHdop)
        return kCircular95 / std::sqrt(2.0) * *fix.hdop * userRangeError(fix.quality);
    return std::nullopt;
}

} // namespace nomrel::nmea

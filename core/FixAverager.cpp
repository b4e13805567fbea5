#include "core/FixAverager.h"

#include <algorithm>
#include <cmath>

namespace Driver
{

namespace
{
constexpr double kEarthRadiusM = 6371008.8; // mean radius
constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;
} // namespace

bool FixAverager::add(const gps::Reading& reading)
{
    ++mTaken;
    if (!reading.locked)
        return false;
    if (mLimit > 0 && (!reading.accuracy || *reading.accuracy > mLimit))
        return false;
    if (mKept == 0)
        mFirst = reading;
    // Metres on a plane touching the earth at the first kept reading: exact
    // enough over the few metres a crew stands still in.
    const double north = (reading.latitude - mFirst.latitude) * kRadiansPerDegree * kEarthRadiusM;
    const double east = (reading.longitude - mFirst.longitude) * kRadiansPerDegree * kEarthRadiusM
        * std::cos(mFirst.latitude * kRadiansPerDegree);
    mEast += east;
    mNorth += north;
    mEast2 += east * east;
    mNorth2 += north * north;
    mAltitude += reading.altitude;
    if (reading.accuracy) {
        mAccuracy += *reading.accuracy;
        ++mWithAccuracy;
    }
    mLast = reading;
    ++mKept;
    return true;
}

std::optional<double> FixAverager::spread() const
{
    if (mKept == 0)
        return std::nullopt;
    const double n = mKept;
    const double variance = (mEast2 / n - (mEast / n) * (mEast / n)) + (mNorth2 / n - (mNorth / n) * (mNorth / n));
    return std::sqrt(std::max(0.0, variance));
}

std::optional<gps::Reading> FixAverager::result() const
{
    if (mKept == 0)
        return std::nullopt;
    const double n = mKept;
    gps::Reading mean = mLast;
    mean.latitude = mFirst.latitude + (mNorth / n) / kEarthRadiusM / kRadiansPerDegree;
    mean.longitude = mFirst.longitude
        + (mEast / n) / (kEarthRadiusM * std::cos(mFirst.latitude * kRadiansPerDegree)) / kRadiansPerDegree;
    mean.altitude = mAltitude / n;
    mean.samples = mKept;
    mean.spread = spread();
    mean.accuracy = mWithAccuracy > 0 ? std::optional<double>(mAccuracy / mWithAccuracy) : std::nullopt;
    return mean;
}

} // namespace Driver

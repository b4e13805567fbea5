#pragma once

#include "gps/Reading.h"

#include <optional>

namespace Driver
{

// Gathers the readings of an averaged capture. A reading without a valid fix,
// or (with a limit above 0) without an accuracy or one worse than the limit,
// is counted as taken and skipped. The result is the mean position and
// altitude of the kept readings; its spread is the root mean square of their
// horizontal distances from that mean (the two-axis standard deviation).
// Sums are kept, not the readings, so a long window costs nothing per sample.
class FixAverager
{
public:
    explicit FixAverager(double accuracyLimit)
        : mLimit(accuracyLimit)
    {
    }

    // Whether the reading was kept.
    bool add(const gps::Reading& reading);

    int taken() const { return mTaken; }
    int kept() const { return mKept; }
    // Metres; nothing before the first kept reading.
    std::optional<double> spread() const;
    // The newest kept reading with the mean position and altitude, SAMPLES and
    // SPREAD_M set, and the mean accuracy of the kept readings; nothing when
    // none was kept.
    std::optional<gps::Reading> result() const;

private:
    double mLimit;
    int mTaken = 0;
    int mKept = 0;
    gps::Reading mFirst;
    gps::Reading mLast;
    // East and north metres from the first kept reading, and their squares.
    double mEast = 0, mNorth = 0, mEast2 = 0, mNorth2 = 0;
    double mAltitude = 0, mAccuracy = 0;
    int mWithAccuracy = 0;
};

} // namespace Driver

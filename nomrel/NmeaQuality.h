#pragma once

// How good a fix is, in metres: the receiver's own error estimate (GST) when
// it gives one, else one made from HDOP.

#include <optional>

namespace nomrel::nmea
{

struct Fix;
struct Gst;

// The user-range error (one sigma, metres) assumed for each GGA fix quality
// when only HDOP is known: 3 m for a plain GPS fix (the signal, clock and
// orbit errors plus what is left of the ionosphere and troposphere for a
// single-frequency receiver), 1 m with differential corrections, 0.3 m for a
// float and 0.02 m for a fixed RTK solution, 15 m for an estimated (dead
// reckoning) one.
double userRangeError(std::optional<int> quality);

// Horizontal accuracy at 95% confidence, for a circular error: 2.4477 times
// the error along one axis. From GST: sqrt((sdLat^2 + sdLon^2) / 2) is that
// axis error. From HDOP: HDOP x UERE is the root of the summed squares of both
// axes. Nothing when the cycle has no fix or neither is usable (HDOP 99.99, the
// "no fix" value, among others).
std::optional<double> horizontalAccuracy(const Fix& fix);

// Takes the GST's horizontal standard deviations into the fix when both are
// plausible (finite, not negative, below 100 km); otherwise the cycle has none.
void applyGst(Fix& fix, const Gst& gst);

} // namespace nomrel::nmea

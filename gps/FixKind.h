#pragma once

#include <QString>

namespace gps
{

// The name of a GGA fix quality (0 no fix, 1 GPS, 2 DGPS, ... 8 simulation),
// the same words in every window that shows one; a negative quality was never
// stored, and a number past the table is shown as the number.
QString fixKindName(int fixQuality);

} // namespace gps

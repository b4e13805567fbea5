#include "FixKind.h"

#include <iterator>

namespace gps
{

QString fixKindName(int fixQuality)
{
    static const char* const names[]
        = {"no fix", "GPS", "DGPS", "PPS", "RTK fixed", "RTK float", "estimated", "manual", "simulation"};
    if (fixQuality < 0)
        return QStringLiteral("not stored");
    if (fixQuality < static_cast<int>(std::size(names)))
        return QLatin1String(names[fixQuality]);
    return QString::number(fixQuality);
}

} // namespace gps

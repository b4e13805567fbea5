#include "platform/NumberText.h"

#include "platform/Error.h"

#include <cmath>
#include <limits>

namespace numtext
{

std::optional<double> parse(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    bool ok = false;
    // The C locale: stored numbers are written with a period whatever the
    // user's regional settings.
    const double value = trimmed.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

double roundHalfEven(double value)
{
    return std::nearbyint(value); // default rounding mode: to nearest, ties to even
}

namespace
{
template <typename Int> Int toWhole(double value)
{
    const double rounded = roundHalfEven(value);
    if (!(rounded >= static_cast<double>(std::numeric_limits<Int>::min())
            && rounded <= static_cast<double>(std::numeric_limits<Int>::max())))
        throw ZeptaError(QStringLiteral("Overflow"));
    return static_cast<Int>(rounded);
}

double numberOrMismatch(const QString& text)
{
    const auto value = parse(text);
    if (!value)
        throw ZeptaError(QStringLiteral("Type mismatch: \"%1\" is not a number").arg(text));
    return *value;
}
} // namespace

std::int16_t toInt16(double value) { return toWhole<std::int16_t>(value); }
std::int32_t toInt32(double value) { return toWhole<std::int32_t>(value); }
std::int16_t toInt16(const QString& text) { return toInt16(numberOrMismatch(text)); }
std::int32_t toInt32(const QString& text) { return toInt32(numberOrMismatch(text)); }

bool toBoolean(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (trimmed.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    if (const auto value = parse(trimmed))
        return *value != 0.0;
    throw ZeptaError(QStringLiteral("Type mismatch: \"%1\" is not a yes/no value").arg(text));
}

} // namespace numtext

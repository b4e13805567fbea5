#include "platform/DbValue.h"

#include "platform/Error.h"
#include "platform/NumberText.h"

#include <cmath>
#include <limits>

namespace db
{

namespace
{
[[noreturn]] void invalidUseOfNull() { throw ZeptaError(QStringLiteral("Invalid use of Null")); }
} // namespace

Value Value::integer(std::int64_t v)
{
    Value r;
    r.mKind = Kind::Integer;
    r.mInt = v;
    return r;
}

Value Value::real(double v)
{
    Value r;
    r.mKind = Kind::Real;
    r.mReal = v;
    return r;
}

Value Value::text(const QString& v)
{
    Value r;
    r.mKind = Kind::Text;
    r.mText = v;
    return r;
}

Value Value::dateTime(const QDateTime& v) { return timestamp(Timestamp::fromDateTime(v)); }

Value Value::timestamp(const Timestamp& v)
{
    Value r;
    r.mKind = Kind::DateTime;
    r.mTimestamp = v;
    return r;
}

Value Value::boolean(bool v)
{
    Value r;
    r.mKind = Kind::Boolean;
    r.mInt = v ? 1 : 0;
    return r;
}

QString Value::toString() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::Integer:
        return QString::number(mInt);
    case Kind::Real:
        return QString::number(mReal, 'g', 15);
    case Kind::DateTime:
        return mTimestamp.text();
    case Kind::Boolean:
        return mInt ? QStringLiteral("True") : QStringLiteral("False");
    case Kind::Text:
    case Kind::Blob:
        break;
    }
    return mText;
}

double Value::toDouble() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::Integer:
        return static_cast<double>(mInt);
    case Kind::Real:
        return mReal;
    case Kind::Boolean:
        return mInt ? -1.0 : 0.0;
    case Kind::DateTime:
        throw ZeptaError(QStringLiteral("Type mismatch: a date is not a number"));
    case Kind::Text:
    case Kind::Blob:
        break;
    }
    const auto value = numtext::parse(mText);
    if (!value)
        throw ZeptaError(QStringLiteral("Type mismatch: \"%1\" is not a number").arg(mText));
    return *value;
}

std::int16_t Value::toInt16() const
{
    return mKind == Kind::Integer ? numtext::toInt16(static_cast<double>(mInt)) : numtext::toInt16(toDouble());
}

std::int32_t Value::toInt32() const
{
    return mKind == Kind::Integer ? numtext::toInt32(static_cast<double>(mInt)) : numtext::toInt32(toDouble());
}

float Value::toSingle() const
{
    const double value = toDouble();
    if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max()))
        throw ZeptaError(QStringLiteral("Overflow"));
    return static_cast<float>(value);
}

Timestamp Value::toTimestamp() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::DateTime:
        return mTimestamp;
    case Kind::Text:
        if (const auto parsed = parseTimestamp(mText))
            return *parsed;
        break;
    default:
        break;
    }
    throw ZeptaError(QStringLiteral("Type mismatch: not a date and time"));
}

QDateTime Value::toDateTime() const { return toTimestamp().toDateTime(); }

bool Value::toBool() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::Boolean:
    case Kind::Integer:
        return mInt != 0;
    case Kind::Real:
        return mReal != 0.0;
    case Kind::Text:
        return numtext::toBoolean(mText);
    default:
        throw ZeptaError(QStringLiteral("Type mismatch: not a yes/no value"));
    }
}

} // namespace db

#pragma once

// One typed column value of the data layer. The kind comes from the stored
// value and the column's declared type: DATETIME/DATE/TIME columns give
// DateTime, BOOLEAN columns give Boolean.

#include "platform/DbTime.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

namespace db
{

class Value
{
public:
    enum class Kind { Null, Integer, Real, Text, DateTime, Boolean, Blob };

    Value() = default;
    static Value null() { return Value(); }
    static Value integer(std::int64_t v);
    static Value real(double v);
    static Value text(const QString& v);
    static Value dateTime(const QDateTime& v);
    static Value timestamp(const Timestamp& v);
    static Value boolean(bool v);

    Kind kind() const { return mKind; }
    bool isNull() const { return mKind == Kind::Null; }

    // Conversions in the platform's usual way; each throws a ZeptaError
    // ("Invalid use of Null", "Type mismatch", "Overflow") when it cannot.
    QString toString() const;
    std::int16_t toInt16() const;
    std::int32_t toInt32() const;
    double toDouble() const;
    float toSingle() const;
    QDateTime toDateTime() const;
    Timestamp toTimestamp() const;
    bool toBool() const;

    // Raw access for writers that go by kind.
    std::int64_t integerValue() const { return mInt; }
    double realValue() const { return mReal; }
    const QString& textValue() const { return mText; }
    const Timestamp& timestampValue() const { return mTimestamp; }

private:
    Kind mKind = Kind::Null;
    std::int64_t mInt = 0;
    double mReal = 0.0;
    QString mText;
    Timestamp mTimestamp;
};

// Parameters bound to the '?' placeholders of a statement, in order.
using Params = std::vector<Value>;

} // namespace db

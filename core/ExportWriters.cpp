// Reading the saved events for export, the pieces the formats share, and the
// comma-separated text format.
//
// The text file is UTF-8 with CR LF line ends: a header line of the 13 quoted
// column names, then one line per saved event. Items by kind of value:
//   text          "between double quotes"; a double quote inside is doubled,
//                 line breaks inside are kept as they are
//   integer       decimal, a minus sign for negatives
//   real          period as decimal separator whatever the locale; single
//                 precision (LATITUDE..DIRECTION) with at most 7 significant
//                 digits, other reals with at most 15; trailing zeros dropped,
//                 a zero before the period (0.5, -0.25), an exponent of at least
//                 two digits when the decimal exponent is below -4 or reaches
//                 the digit count (1E-05, 1.5E+20); negative zero as 0
//   date and time #yyyy-mm-dd hh:mm:ss#, #yyyy-mm-dd# when the time is
//                 midnight, #hh:mm:ss# on the zero date 1899-12-30 (midnight
//                 of the zero date is #00:00:00#), in UTC as stored
//   true, false   #TRUE#, #FALSE#
//   Null          #NULL#
// Every value the data layer gives has one of these kinds, so no item is ever
// left empty: an empty text is written "" and stays apart from a Null.

#include "core/ExportWriters.h"

#include "platform/Error.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

namespace Driver::exporting
{

// ---- reading -----------------------------------------------------------------

EventReader::EventReader(const db::Recordset& rows, bool withFix)
    : mWithFix(withFix)
{
    int* const indexes[] = {&mId, &mName, &mObserver, &mEventType, &mReadingId, &mGmt, &mLatitude, &mLongitude, &mSpeed,
        &mDirection, &mLocked, &mNotes, &mAltitude, &mFixQuality, &mSatellites, &mHdop, &mAccuracy, &mFixAge, &mSamples,
        &mSpread, &mTrackId};
    const char* const names[] = {"GEOCODED_EVENT_ID", "NAME", "OBSERVER_MONIKER", "EVENT_TYPE_ID", "GPS_READING_ID",
        "GMT", "LATITUDE", "LONGITUDE", "SPEED", "DIRECTION", "LOCKED", "NOTES", "ALTITUDE", "FIX_QUALITY",
        "SATELLITES", "HDOP", "ACCURACY_M", "FIX_AGE_S", "SAMPLES", "SPREAD_M", "TRACK_ID"};
    const std::size_t count = withFix ? std::size(names) : 12;
    for (std::size_t i = 0; i < count; ++i)
        *indexes[i] = rows.column(QLatin1String(names[i]));
}

Event EventReader::read(const db::Recordset& rows) const
{
    Event e;
    e.id = rows.field(mId).toInt32();
    e.name = rows.field(mName);
    e.observer = rows.field(mObserver);
    const db::Value eventType = rows.field(mEventType);
    e.eventType = eventType.toInt32();
    e.readingId = rows.field(mReadingId).toInt32();
    e.gmt = rows.field(mGmt).toTimestamp();
    e.latitude = rows.field(mLatitude).toDouble();
    e.longitude = rows.field(mLongitude).toDouble();
    e.speed = rows.field(mSpeed).toDouble();
    e.direction = rows.field(mDirection).toDouble();
    e.locked = rows.field(mLocked);
    e.notes = rows.field(mNotes);
    if (mWithFix) {
        e.altitude = rows.field(mAltitude);
        e.fixQuality = rows.field(mFixQuality);
        e.satellites = rows.field(mSatellites);
        e.hdop = rows.field(mHdop);
        e.accuracy = rows.field(mAccuracy);
        e.fixAge = rows.field(mFixAge);
        e.samples = rows.field(mSamples);
        e.spread = rows.field(mSpread);
        e.trackId = rows.field(mTrackId);
    }
    e.eventTypeName = Get_Event_Type_Name(eventType.toInt16());
    return e;
}

// ---- shared pieces -----------------------------------------------------------

// Straight into the buffer: a QString::toUtf8 per text would allocate.
void appendUtf8(std::string& out, const QString& text, char doubled)
{
    const auto* p = reinterpret_cast<const char16_t*>(text.utf16());
    const char16_t* const end = p + text.size();
    while (p != end) {
        char32_t c = *p++;
        if (c < 0x80) {
            out += static_cast<char>(c);
            if (c == static_cast<char32_t>(doubled))
                out += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c < 0xDC00 && p != end && *p >= 0xDC00 && *p < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            out += '?'; // half a pair is no character: as QString::toUtf8 writes it
            continue;
        }
        char bytes[4];
        std::size_t n = 0;
        if (c < 0x800) {
            bytes[n++] = static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            bytes[n++] = static_cast<char>(0xE0 | (c >> 12));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            bytes[n++] = static_cast<char>(0xF0 | (c >> 18));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        out.append(bytes, n);
    }
}

void appendInteger(std::string& out, std::int64_t value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

void appendReal(std::string& out, double value)
{
    if (!std::isfinite(value))
        throw ZeptaError(QStringLiteral("Overflow: a number is not finite"));
    if (value == 0)
        value = 0; // no "-0"
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

void appendFixed(std::string& out, double value, int decimals)
{
    if (value == 0)
        value = 0;
    char digits[48];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

namespace
{
char* twoDigits(char* p, int value)
{
    *p++ = static_cast<char>('0' + value / 10);
    *p++ = static_cast<char>('0' + value % 10);
    return p;
}
} // namespace

std::int64_t timeOrder(const db::Timestamp& t)
{
    return ((((std::int64_t(t.year) * 13 + t.month) * 32 + t.day) * 24 + t.hour) * 60 + t.minute) * 60000
        + t.second * 1000 + t.millisecond;
}

void appendIsoTime(std::string& out, const db::Timestamp& t)
{
    if (t.year < 0 || t.year > 9999)
        throw ZeptaError(QStringLiteral("Overflow: a date is out of range"));
    char text[32];
    char* p = twoDigits(twoDigits(text, t.year / 100), t.year % 100);
    *p++ = '-';
    p = twoDigits(p, t.month);
    *p++ = '-';
    p = twoDigits(p, t.day);
    *p++ = 'T';
    p = twoDigits(p, t.hour);
    *p++ = ':';
    p = twoDigits(p, t.minute);
    *p++ = ':';
    p = twoDigits(p, t.second);
    if (t.millisecond > 0) {
        *p++ = '.';
        *p++ = static_cast<char>('0' + t.millisecond / 100);
        p = twoDigits(p, t.millisecond % 100);
    }
    *p++ = 'Z';
    out.append(text, static_cast<std::size_t>(p - text));
}

std::optional<double> optionalReal(const db::Value& value)
{
    if (value.isNull())
        return std::nullopt;
    return value.toDouble();
}

std::optional<std::int32_t> optionalInteger(const db::Value& value)
{
    if (value.isNull())
        return std::nullopt;
    return value.toInt32();
}

void checkCoordinates(const Event& event)
{
    // Written as "not" of the ranges, so that NaN fails too.
    if (!(std::fabs(event.latitude) <= 90.0) || !(std::fabs(event.longitude) <= 180.0))
        throw ZeptaError(QStringLiteral("The event %1 lies outside the earth's coordinates: %2, %3")
                             .arg(event.id)
                             .arg(event.latitude, 0, 'g', 17)
                             .arg(event.longitude, 0, 'g', 17));
}

// ---- the comma-separated text ------------------------------------------------

namespace
{

// The items of one line, appended to the file's buffer.
class Line
{
public:
    explicit Line(std::string& out)
        : mOut(out)
    {
    }

    void text(const QString& value)
    {
        separator();
        mOut += '"';
        appendUtf8(mOut, value, '"');
        mOut += '"';
    }

    void integer(std::int64_t value)
    {
        separator();
        appendInteger(mOut, value);
    }

    template <typename Real> void real(Real value, int significantDigits)
    {
        if (!std::isfinite(value))
            throw ZeptaError(QStringLiteral("Overflow: a number is not finite"));
        if (value == 0)
            value = 0; // no "-0"
        separator();
        char digits[48];
        const auto result
            = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, significantDigits);
        for (char* p = digits; p != result.ptr; ++p)
            if (*p == 'e')
                *p = 'E';
        mOut.append(digits, static_cast<std::size_t>(result.ptr - digits));
    }

    // Single precision, as a conversion that overflows fails.
    void single(double value)
    {
        if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max()))
            throw ZeptaError(QStringLiteral("Overflow"));
        real(static_cast<float>(value), 7);
    }

    void dateTime(const db::Timestamp& value)
    {
        separator();
        // Seconds are the finest unit written; a value is midnight when its
        // written time is.
        if (value.year < 0 || value.year > 9999)
            throw ZeptaError(QStringLiteral("Overflow: a date is out of range"));
        char text[24];
        char* p = text;
        *p++ = '#';
        const bool zeroDate = value.onZeroDate();
        if (!zeroDate) {
            p = twoDigits(twoDigits(p, value.year / 100), value.year % 100);
            *p++ = '-';
            p = twoDigits(p, value.month);
            *p++ = '-';
            p = twoDigits(p, value.day);
        }
        if (zeroDate || !value.atMidnight()) {
            if (!zeroDate)
                *p++ = ' ';
            p = twoDigits(p, value.hour);
            *p++ = ':';
            p = twoDigits(p, value.minute);
            *p++ = ':';
            p = twoDigits(p, value.second);
        }
        *p++ = '#';
        mOut.append(text, static_cast<std::size_t>(p - text));
    }

    void boolean(bool value)
    {
        separator();
        mOut += value ? "#TRUE#" : "#FALSE#";
    }

    void null()
    {
        separator();
        mOut += "#NULL#";
    }

    // A column written as it is: by its value's own kind.
    void asIs(const db::Value& value)
    {
        switch (value.kind()) {
        case db::Value::Kind::Null:
            null();
            return;
        case db::Value::Kind::Integer:
            integer(value.integerValue());
            return;
        case db::Value::Kind::Real:
            real(value.realValue(), 15);
            return;
        case db::Value::Kind::DateTime:
            dateTime(value.timestampValue());
            return;
        case db::Value::Kind::Boolean:
            boolean(value.toBool());
            return;
        case db::Value::Kind::Text:
        case db::Value::Kind::Blob:
            text(value.textValue());
            return;
        }
    }

    void end() { mOut += "\r\n"; }

private:
    void separator()
    {
        if (!mFirst)
            mOut += ',';
        mFirst = false;
    }

    std::string& mOut;
    bool mFirst = true;
};

class TextWriter final : public Writer
{
public:
    bool withFix() const override { return false; }
    bool keepsPartialFile() const override { return true; }

    void begin(std::string& out) override
    {
        Line line(out);
        for (const char* column : {"GEOCODED_EVENT_ID", "NAME", "OBSERVER_MONIKER", "EVENT_TYPE_ID", "EVENT_TYPE_NAME",
                 "GPS_READING_ID", "GMT", "LATITUDE", "LONGITUDE", "SPEED", "DIRECTION", "LOCKED", "NOTES"})
            line.text(QLatin1String(column));
        line.end();
    }

    void event(std::string& out, const Event& e) override
    {
        Line line(out);
        line.integer(e.id);
        line.asIs(e.name);
        line.asIs(e.observer);
        line.integer(e.eventType);
        line.text(e.eventTypeName);
        line.integer(e.readingId);
        line.dateTime(e.gmt);
        line.single(e.latitude);
        line.single(e.longitude);
        line.single(e.speed);
        line.single(e.direction);
        line.asIs(e.locked);
        line.asIs(e.notes);
        line.end();
    }

    void end(std::string&) override { }
};

} // namespace

std::unique_ptr<Writer> textWriter() { return std::make_unique<TextWriter>(); }

} // namespace Driver::exporting

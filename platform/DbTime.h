#pragma once

// Dates and times as the databases store them: UTC text "yyyy-mm-dd hh:mm:ss"
// (a fraction of a second, a 'T' for the blank or a trailing 'Z' are read
// too), "yyyy-mm-dd" for a date alone, "hh:mm:ss" for a time on the zero date.
// Read into plain numbers, without going through the local time zone or
// QDateTime, which dominate the cost of reading many rows.

#include <QDateTime>
#include <QString>

#include <optional>
#include <string_view>

namespace db
{

struct Timestamp {
    int year = 1899;
    int month = 12;
    int day = 30; // the zero date: a time without a date lies on it
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;

    bool onZeroDate() const { return year == 1899 && month == 12 && day == 30; }
    bool atMidnight() const { return hour == 0 && minute == 0 && second == 0; }
    QDateTime toDateTime() const; // UTC
    static Timestamp fromDateTime(const QDateTime& value); // converted to UTC
    // "yyyy-mm-dd hh:mm:ss", the form the databases store.
    QString text() const;

    friend bool operator==(const Timestamp& a, const Timestamp& b)
    {
        return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute
            && a.second == b.second && a.millisecond == b.millisecond;
    }
};

// Nothing when the text is no date and time of the forms above, or names a
// day or time that does not exist.
std::optional<Timestamp> parseTimestamp(std::string_view utf8);
std::optional<Timestamp> parseTimestamp(const QString& text);

} // namespace db

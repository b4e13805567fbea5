#include "platform/DbTime.h"

namespace db
{

namespace
{
// Exactly `count` digits at text[at], as a number; -1 when they are not there.
int digits(std::string_view text, std::size_t at, std::size_t count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// "hh:mm[:ss[.f...]]" from text[at] to the end.
bool parseTime(std::string_view text, std::size_t at, Timestamp& out)
{
    out.hour = digits(text, at, 2);
    out.minute = digits(text, at + 3, 2);
    if (out.hour < 0 || out.hour > 23 || out.minute < 0 || out.minute > 59 || text.size() < at + 5
        || text[at + 2] != ':')
        return false;
    std::size_t end = at + 5;
    if (end < text.size()) {
        if (text[end] != ':')
            return false;
        out.second = digits(text, end + 1, 2);
        if (out.second < 0 || out.second > 59)
            return false;
        end += 3;
        if (end < text.size() && text[end] == '.') {
            int scale = 100;
            out.millisecond = 0;
            for (++end; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end) {
                out.millisecond += (text[end] - '0') * scale;
                scale /= 10;
            }
        }
    }
    return end == text.size();
}
} // namespace

std::optional<Timestamp> parseTimestamp(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == 'Z'))
        text.remove_suffix(1);
    Timestamp out;
    if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
        out.year = digits(text, 0, 4);
        out.month = digits(text, 5, 2);
        out.day = digits(text, 8, 2);
        if (out.year < 1 || out.month < 1 || out.month > 12 || out.day < 1
            || out.day > daysInMonth(out.year, out.month))
            return std::nullopt;
        if (text.size() == 10)
            return out;
        if (text[10] != ' ' && text[10] != 'T')
            return std::nullopt;
        return parseTime(text, 11, out) ? std::optional<Timestamp>(out) : std::nullopt;
    }
    return parseTime(text, 0, out) ? std::optional<Timestamp>(out) : std::nullopt;
}

std::optional<Timestamp> parseTimestamp(const QString& text) { return parseTimestamp(text.toStdString()); }

QDateTime Timestamp::toDateTime() const
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, millisecond), Qt::UTC);
}

Timestamp Timestamp::fromDateTime(const QDateTime& value)
{
    const QDateTime utc = value.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    return {date.year(), date.month(), date.day(), time.hour(), time.minute(), time.second(), time.msec()};
}

QString Timestamp::text() const
{
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
}

} // namespace db

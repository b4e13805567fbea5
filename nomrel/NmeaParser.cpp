#include "nomrel/NmeaParser.h"

#include <charconv>

namespace nomrel::nmea
{

namespace
{

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Two or more digits at the front of text as a number (no sign).
int digitsValue(std::string_view text)
{
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return value;
}

bool allDigits(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!isDigit(c))
            return false;
    return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

std::optional<Date> makeDate(int year, int month, int day)
{
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
        return std::nullopt;
    return Date {year, month, day};
}

// A one-letter field ('A', 'V', ...): its letter, or 0 when empty or longer.
char letter(std::string_view field) { return field.size() == 1 ? field[0] : 0; }

std::optional<double> parseCoordinate(std::string_view value, int maxDegrees)
{
    // [d]ddmm.mmmm: the two digits before the point are whole minutes.
    const std::size_t dot = value.find('.');
    const std::size_t whole = dot == std::string_view::npos ? value.size() : dot;
    if (whole < 3 || whole > 5 || !allDigits(value.substr(0, whole)))
        return std::nullopt;
    if (dot != std::string_view::npos && dot + 1 < value.size() && !allDigits(value.substr(dot + 1)))
        return std::nullopt;
    const int degrees = digitsValue(value.substr(0, whole - 2));
    const auto minutes = parseNumber(value.substr(whole - 2));
    if (!minutes || *minutes >= 60.0)
        return std::nullopt;
    const double result = degrees + *minutes / 60.0;
    if (result > maxDegrees)
        return std::nullopt;
    return result;
}

struct TypeEntry {
    char name[4];
    Type type;
    int minFields; // including the address field
};

// The decoded types and how many fields each needs at least (so a line cut
// short is not taken for a complete one).
constexpr TypeEntry kTypes[] = {
    {"RMC", Type::RMC, 10},
    {"GGA", Type::GGA, 10},
    {"GSA", Type::GSA, 3},
    {"VTG", Type::VTG, 5},
    {"GLL", Type::GLL, 5},
    {"GSV", Type::GSV, 4},
    {"GNS", Type::GNS, 7},
    {"ZDA", Type::ZDA, 5},
    {"GST", Type::GST, 9},
};

int minFieldsOf(Type type)
{
    for (const auto& entry : kTypes)
        if (entry.type == type)
            return entry.minFields;
    return 0;
}

Rmc parseRmc(const Fields& f)
{
    Rmc r;
    r.time = parseTime(f[1]);
    r.status = letter(f[2]);
    r.position = parsePosition(f[3], f[4], f[5], f[6]);
    r.speedKnots = parseNumber(f[7]);
    r.course = parseNumber(f[8]);
    r.date = parseDate(f[9]);
    r.mode = letter(f[12]);
    return r;
}

Gga parseGga(const Fields& f)
{
    Gga g;
    g.time = parseTime(f[1]);
    g.position = parsePosition(f[2], f[3], f[4], f[5]);
    g.quality = parseInteger(f[6]);
    g.satellites = parseInteger(f[7]);
    g.hdop = parseNumber(f[8]);
    g.altitude = parseNumber(f[9]);
    return g;
}

Gsa parseGsa(const Fields& f)
{
    Gsa g;
    g.selection = letter(f[1]);
    g.fixType = parseInteger(f[2]);
    if (g.fixType && (*g.fixType < 1 || *g.fixType > 3))
        g.fixType.reset();
    for (int i = 3; i <= 14; ++i)
        if (!f[i].empty())
            ++g.satellitesUsed;
    g.pdop = parseNumber(f[15]);
    g.hdop = parseNumber(f[16]);
    g.vdop = parseNumber(f[17]);
    return g;
}

Vtg parseVtg(const Fields& f)
{
    Vtg v;
    if (f.count >= 8) {
        // course,T,course,M,knots,N,km/h,K[,mode]
        v.course = parseNumber(f[1]);
        v.speedKnots = parseNumber(f[5]);
        v.speedKmh = parseNumber(f[7]);
        v.mode = letter(f[9]);
    } else {
        // The old form without unit letters: course true, course magnetic, knots, km/h.
        v.course = parseNumber(f[1]);
        v.speedKnots = parseNumber(f[3]);
        v.speedKmh = parseNumber(f[4]);
    }
    return v;
}

Gll parseGll(const Fields& f)
{
    Gll g;
    g.position = parsePosition(f[1], f[2], f[3], f[4]);
    g.time = parseTime(f[5]);
    g.status = letter(f[6]);
    g.mode = letter(f[7]);
    return g;
}

Gsv parseGsv(const Fields& f)
{
    Gsv g;
    g.parts = parseInteger(f[1]);
    g.part = parseInteger(f[2]);
    g.inView = parseInteger(f[3]);
    return g;
}

Gns parseGns(const Fields& f)
{
    Gns g;
    g.time = parseTime(f[1]);
    g.position = parsePosition(f[2], f[3], f[4], f[5]);
    const std::string_view modes = f[6];
    for (std::size_t i = 0; i < modes.size() && i < g.modes.size(); ++i)
        g.modes[i] = modes[i];
    g.satellites = parseInteger(f[7]);
    g.hdop = parseNumber(f[8]);
    g.altitude = parseNumber(f[9]);
    return g;
}

Zda parseZda(const Fields& f)
{
    Zda z;
    z.time = parseTime(f[1]);
    const auto day = parseInteger(f[2]);
    const auto month = parseInteger(f[3]);
    const auto year = parseInteger(f[4]);
    if (day && month && year && f[4].size() == 4)
        z.date = makeDate(*year, *month, *day);
    return z;
}

} // namespace

Check check(std::string_view sentence, bool* hasChecksum)
{
    if (hasChecksum)
        *hasChecksum = false;
    if (sentence.empty() || sentence.front() != '$')
        return Check::NoDollar;
    if (sentence.size() > kMaxSentenceLength)
        return Check::TooLong;
    // One pass: printable throughout, the checksum summed up to the first '*'.
    std::uint8_t sum = 0;
    std::size_t star = std::string_view::npos;
    for (std::size_t i = 1; i < sentence.size(); ++i) {
        const auto byte = static_cast<unsigned char>(sentence[i]);
        if (byte < 0x20 || byte > 0x7e)
            return Check::NotPrintable;
        if (star == std::string_view::npos) {
            if (byte == '*')
                star = i;
            else
                sum ^= byte;
        }
    }
    if (star == std::string_view::npos)
        return Check::Ok;
    if (sentence.size() - star != 3)
        return Check::MalformedChecksum;
    const int high = hexValue(sentence[star + 1]);
    const int low = hexValue(sentence[star + 2]);
    if (high < 0 || low < 0)
        return Check::MalformedChecksum;
    if (hasChecksum)
        *hasChecksum = true;
    return sum == (high << 4 | low) ? Check::Ok : Check::BadChecksum;
}

std::uint8_t checksumOf(std::string_view sentence)
{
    std::uint8_t sum = 0;
    std::size_t i = !sentence.empty() && (sentence.front() == '$' || sentence.front() == '!') ? 1 : 0;
    for (; i < sentence.size() && sentence[i] != '*'; ++i)
        sum ^= static_cast<std::uint8_t>(sentence[i]);
    return sum;
}

Id identify(std::string_view sentence)
{
    Id id;
    if (sentence.size() < 6 || sentence.front() != '$')
        return id;
    const std::string_view address = sentence.substr(1, 5);
    if (sentence.size() > 6 && sentence[6] != ',' && sentence[6] != '*')
        return id; // a longer address: not a standard sentence
    for (char c : address)
        if (c < 'A' || c > 'Z')
            return id;
    if (address.front() == 'P')
        return id; // proprietary
    id.talker = {address[0], address[1]};
    const std::string_view type = address.substr(2);
    for (const auto& entry : kTypes)
        if (type == std::string_view(entry.name, 3))
            id.type = entry.type;
    return id;
}

Fields scan(std::string_view sentence)
{
    Fields fields;
    std::string_view body = sentence;
    if (!body.empty() && body.front() == '$')
        body.remove_prefix(1);
    const std::size_t star = body.find('*');
    if (star != std::string_view::npos)
        body = body.substr(0, star);
    std::size_t start = 0;
    while (fields.count < kMaxFields) {
        const std::size_t comma = body.find(',', start);
        const std::size_t end = comma == std::string_view::npos ? body.size() : comma;
        fields.field[fields.count++] = body.substr(start, end - start);
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return fields;
}

Date nextDay(const Date& date)
{
    if (date.month < 1 || date.month > 12)
        return date;
    Date next = date;
    if (++next.day > daysInMonth(next.year, next.month)) {
        next.day = 1;
        if (++next.month > 12) {
            next.month = 1;
            ++next.year;
        }
    }
    return next;
}

std::optional<double> parseNumber(std::string_view field)
{
    if (field.empty())
        return std::nullopt;
    bool negative = false;
    if (field.front() == '-' || field.front() == '+') {
        negative = field.front() == '-';
        field.remove_prefix(1);
    }
    int digits = 0;
    bool point = false;
    for (char c : field) {
        if (isDigit(c))
            ++digits;
        else if (c == '.' && !point)
            point = true;
        else
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size())
        return std::nullopt;
    return negative ? -value : value;
}

std::optional<int> parseInteger(std::string_view field)
{
    if (!allDigits(field) || field.size() > 9)
        return std::nullopt;
    return digitsValue(field);
}

std::optional<TimeOfDay> parseTime(std::string_view field)
{
    if (field.size() < 6 || !allDigits(field.substr(0, 6)))
        return std::nullopt;
    TimeOfDay t;
    t.hour = digitsValue(field.substr(0, 2));
    t.minute = digitsValue(field.substr(2, 2));
    t.second = digitsValue(field.substr(4, 2));
    if (field.size() > 6) {
        if (field[6] != '.')
            return std::nullopt;
        int scale = 100;
        for (char c : field.substr(7)) {
            if (!isDigit(c))
                return std::nullopt;
            t.millisecond += (c - '0') * scale;
            scale /= 10;
        }
    }
    if (t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    return t;
}

std::optional<Date> parseDate(std::string_view field)
{
    if (field.size() != 6 || !allDigits(field))
        return std::nullopt;
    const int yy = digitsValue(field.substr(4, 2));
    return makeDate(yy < 80 ? 2000 + yy : 1900 + yy, digitsValue(field.substr(2, 2)), digitsValue(field.substr(0, 2)));
}

std::optional<double> parseLatitude(std::string_view value, std::string_view hemisphere)
{
    const char h = letter(hemisphere);
    if (h != 'N' && h != 'S')
        return std::nullopt;
    const auto degrees = parseCoordinate(value, 90);
    if (!degrees)
        return std::nullopt;
    return h == 'S' ? -*degrees : *degrees;
}

std::optional<double> parseLongitude(std::string_view value, std::string_view hemisphere)
{
    const char h = letter(hemisphere);
    if (h != 'E' && h != 'W')
        return std::nullopt;
    const auto degrees = parseCoordinate(value, 180);
    if (!degrees)
        return std::nullopt;
    return h == 'W' ? -*degrees : *degrees;
}

std::optional<Position> parsePosition(
    std::string_view lat, std::string_view ns, std::string_view lon, std::string_view ew)
{
    const auto latitude = parseLatitude(lat, ns);
    const auto longitude = parseLongitude(lon, ew);
    if (!latitude || !longitude)
        return std::nullopt;
    return Position {*latitude, *longitude};
}

bool Gns::anyFix() const
{
    for (char mode : modes)
        if (mode != 0 && mode != 'N')
            return true;
    return false;
}

std::optional<TimeOfDay> Sentence::time() const
{
    if (const auto* s = std::get_if<Rmc>(&data))
        return s->time;
    if (const auto* s = std::get_if<Gga>(&data))
        return s->time;
    if (const auto* s = std::get_if<Gll>(&data))
        return s->time;
    if (const auto* s = std::get_if<Gns>(&data))
        return s->time;
    if (const auto* s = std::get_if<Zda>(&data))
        return s->time;
    return std::nullopt;
}

ParseResult parse(std::string_view line)
{
    ParseResult result;
    result.check = check(line, &result.hasChecksum);
    if (result.check != Check::Ok) {
        result.outcome = Outcome::Rejected;
        return result;
    }
    result.sentence.id = identify(line);
    if (result.sentence.id.type == Type::Unknown) {
        result.outcome = Outcome::Ignored;
        return result;
    }
    const Fields fields = scan(line);
    if (fields.count < minFieldsOf(result.sentence.id.type)) {
        result.outcome = Outcome::TooFewFields;
        return result;
    }
    auto& data = result.sentence.data;
    switch (result.sentence.id.type) {
    case Type::RMC:
        data = parseRmc(fields);
        break;
    case Type::GGA:
        data = parseGga(fields);
        break;
    case Type::GSA:
        data = parseGsa(fields);
        break;
    case Type::VTG:
        data = parseVtg(fields);
        break;
    case Type::GLL:
        data = parseGll(fields);
        break;
    case Type::GSV:
        data = parseGsv(fields);
        break;
    case Type::GNS:
        data = parseGns(fields);
        break;
    case Type::ZDA:
        data = parseZda(fields);
        break;
    case Type::GST:
        data = parseGst(fields);
        break;
    case Type::Unknown:
        break;
    }
    result.outcome = Outcome::Parsed;
    return result;
}

} // namespace nomrel::nmea

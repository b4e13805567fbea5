#pragma once

// NMEA 0183 sentences, one step at a time: check the line (leading '$',
// printable, length, checksum), identify it (talker and type), scan its
// fields, and parse it into one struct per sentence type. Each step can say
// no; none allocates, none reads outside the text it is given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace nomrel::nmea
{

// The standard allows 82 characters with the line end; some receivers go past
// it (extra decimals, NMEA 4.1 fields), so a little slack is allowed.
constexpr std::size_t kMaxSentenceLength = 120;

enum class Check {
    Ok,
    NoDollar, // does not start with '$'
    NotPrintable, // a control or non-ASCII byte
    TooLong,
    BadChecksum, // "*hh" present and does not match
    MalformedChecksum, // '*' not followed by exactly two hex digits
};

// Checks one sentence given without its line end. A sentence without "*hh" is
// accepted (the checksum is optional in NMEA 0183); hasChecksum tells which.
Check check(std::string_view sentence, bool* hasChecksum = nullptr);

// XOR of the characters between '$' and '*' (or the end).
std::uint8_t checksumOf(std::string_view sentence);

enum class Type : std::uint8_t { Unknown, RMC, GGA, GSA, VTG, GLL, GSV, GNS, ZDA, GST };

struct Id {
    std::array<char, 2> talker {}; // "GP", "GN", "GL", "GA", "GB", "BD", ...
    Type type = Type::Unknown;
};

// The talker and type of a checked sentence. Proprietary ("$P...") and other
// sentences give Type::Unknown.
Id identify(std::string_view sentence);

constexpr int kMaxFields = 40;

// The comma-separated fields of a sentence, between '$' and '*': field 0 is
// the address ("GPRMC"). Fields past kMaxFields are dropped; reading a field
// past the end gives an empty one.
struct Fields {
    std::array<std::string_view, kMaxFields> field {};
    int count = 0;
    std::string_view operator[](int i) const
    {
        return i >= 0 && i < count && i < kMaxFields ? field[static_cast<std::size_t>(i)] : std::string_view();
    }
};
Fields scan(std::string_view sentence);

struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int msOfDay() const { return ((hour * 60 + minute) * 60 + second) * 1000 + millisecond; }
    friend bool operator==(const TimeOfDay& a, const TimeOfDay& b) { return a.msOfDay() == b.msOfDay(); }
    friend bool operator!=(const TimeOfDay& a, const TimeOfDay& b) { return !(a == b); }
};

struct Date {
    int year = 0;
    int month = 0;
    int day = 0;
    friend bool operator==(const Date& a, const Date& b)
    {
        return a.year == b.year && a.month == b.month && a.day == b.day;
    }
    friend bool operator!=(const Date& a, const Date& b) { return !(a == b); }
};

// The day after the given one.
Date nextDay(const Date& date);

struct Position {
    double latitude = 0.0; // decimal degrees, south negative
    double longitude = 0.0; // decimal degrees, west negative
};

// Field parsers: an empty or malformed field gives nullopt.
std::optional<double> parseNumber(std::string_view field); // "-12.5", no exponent
std::optional<int> parseInteger(std::string_view field); // digits only
std::optional<TimeOfDay> parseTime(std::string_view field); // "hhmmss[.s...]", cut to milliseconds
std::optional<Date> parseDate(std::string_view field); // "ddmmyy", yy < 80 is 20yy
// "ddmm.mmmm" / "dddmm.mmmm" with its hemisphere letter, range-checked.
std::optional<double> parseLatitude(std::string_view value, std::string_view hemisphere);
std::optional<double> parseLongitude(std::string_view value, std::string_view hemisphere);
std::optional<Position> parsePosition(
    std::string_view lat, std::string_view ns, std::string_view lon, std::string_view ew);

constexpr double kMetresPerSecondPerKnot = 1852.0 / 3600.0;

// Recommended minimum data.
struct Rmc {
    std::optional<TimeOfDay> time;
    char status = 0; // 'A' valid, 'V' void
    std::optional<Position> position;
    std::optional<double> speedKnots;
    std::optional<double> course; // degrees true
    std::optional<Date> date;
    char mode = 0; // NMEA 2.3 mode indicator (A, D, E, N, ...), 0 when absent
};

// Fix data.
struct Gga {
    std::optional<TimeOfDay> time;
    std::optional<Position> position;
    std::optional<int> quality; // 0 none, 1 GPS, 2 DGPS, 4 RTK, 5 float RTK, 6 estimated, ...
    std::optional<int> satellites;
    std::optional<double> hdop;
    std::optional<double> altitude; // metres above mean sea level
};

// DOP and active satellites.
struct Gsa {
    char selection = 0; // 'A' automatic, 'M' manual
    std::optional<int> fixType; // 1 none, 2 2D, 3 3D
    int satellitesUsed = 0; // PRN fields given
    std::optional<double> pdop;
    std::optional<double> hdop;
    std::optional<double> vdop;
};

// Course and speed over ground.
struct Vtg {
    std::optional<double> course; // degrees true
    std::optional<double> speedKnots;
    std::optional<double> speedKmh;
    char mode = 0;
};

// Geographic position.
struct Gll {
    std::optional<Position> position;
    std::optional<TimeOfDay> time;
    char status = 0; // 'A', 'V', or 0 in the old form without it
    char mode = 0;
};

// Satellites in view (one part of a group).
struct Gsv {
    std::optional<int> parts;
    std::optional<int> part;
    std::optional<int> inView;
    bool lastPart() const { return parts && part && *part >= *parts; }
};

// GNSS fix data (multi-constellation GGA).
struct Gns {
    std::optional<TimeOfDay> time;
    std::optional<Position> position;
    std::array<char, 8> modes {}; // one mode letter per system, 'N' none, 0 past the last
    std::optional<int> satellites;
    std::optional<double> hdop;
    std::optional<double> altitude;
    bool anyFix() const;
};

// Time and date.
struct Zda {
    std::optional<TimeOfDay> time;
    std::optional<Date> date;
};

// Pseudorange error statistics: the receiver's own estimate of its error, as
// standard deviations in metres. Fields are as sent; plausibility is judged
// where they are used (NmeaQuality.cpp).
struct Gst {
    std::optional<TimeOfDay> time;
    std::optional<double> rms; // of the pseudorange residuals
    std::optional<double> latitudeSd;
    std::optional<double> longitudeSd;
    std::optional<double> altitudeSd;
};
Gst parseGst(const Fields& fields);

struct Sentence {
    Id id;
    std::variant<std::monostate, Rmc, Gga, Gsa, Vtg, Gll, Gsv, Gns, Zda, Gst> data;
    // The time of day the sentence carries, if its type has one.
    std::optional<TimeOfDay> time() const;
};

enum class Outcome {
    Parsed,
    Ignored, // checked and well-formed, but of a type not decoded here
    Rejected, // failed a check (see Check)
    TooFewFields, // a decoded type with fewer fields than it needs
    MissingChecksum, // set by a stream that knows its receiver sends checksums
};

struct ParseResult {
    Outcome outcome = Outcome::Rejected;
    Check check = Check::Ok;
    bool hasChecksum = false;
    Sentence sentence;
};

// The whole pipeline for one line (without its line end).
ParseResult parse(std::string_view line);

} // namespace nomrel::nmea

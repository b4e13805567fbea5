// GPX 1.1: one waypoint per saved event, in event order, its children in the
// order the GPX schema requires:
//
//   <wpt lat="57.412500000" lon="-6.196000000">
//    <ele>96.5</ele>                 the altitude, when stored
//    <time>2026-12-06T07:30:15Z</time>
//    <name>Pothole</name>            the event type's name
//    <desc>gate open</desc>          the notes, when there are any
//    <src>COM1</src>                 the port the reading came from
//    <fix>3d</fix> <sat>8</sat> <hdop>0.9</hdop>   when stored
//    <extensions> event id, reading id, client id, event type id, speed
//    (m/s), course (degrees true), locked, and when stored accuracy (m, 95%),
//    fix age (s), samples, spread (m) and track id, in our namespace </extensions>
//   </wpt>
//
// then one <trk> with one <trkseg> per tracking run (events with a track id),
// its <trkpt>s in time order.
//
// Coordinates with nine decimals (a tenth of a millimetre); a longitude of
// exactly 180 is written -180, the same meridian, as the schema's range ends
// before 180. Text is escaped; a carriage return is written &#13; so that it
// survives the parser's line-end normalisation; a character that XML 1.0
// cannot carry at all (the C0 controls other than tab, line feed and carriage
// return; U+FFFE, U+FFFF) is written as its visible stand-in: the Unicode
// control picture U+2400 + code (BEL as U+2407 "␇"), U+FFFD for the other two.

#include "core/ExportWriters.h"

#include "platform/Error.h"

#include <algorithm>
#include <map>
#include <vector>

namespace Driver::exporting
{

namespace
{

constexpr char kNamespace[] = "urn:x-zepta:gpx-extensions:1";

// The GPX fix from the stored GGA fix quality. The stored fix does not say
// 2D or 3D, so a plain fix counts as 3D when an altitude is stored and at
// least four satellites were used (three give no height), else as 2D.
const char* fixOf(const Event& e)
{
    const std::optional<std::int32_t> quality = optionalInteger(e.fixQuality);
    if (!quality)
        return nullptr;
    switch (*quality) {
    case 1: // GPS
    case 3: // PPS
    {
        const std::optional<std::int32_t> satellites = optionalInteger(e.satellites);
        const bool height = !e.altitude.isNull() && (!satellites || *satellites >= 4);
        return height ? "3d" : "2d";
    }
    case 2: // DGPS
    case 4: // RTK fixed
    case 5: // RTK float
        return "dgps";
    default: // no fix, dead reckoning, manual input, simulation
        return "none";
    }
}

void appendXmlText(std::string& out, const QString& text)
{
    static thread_local std::string utf8; // keeps its room from text to text
    utf8.clear();
    appendUtf8(utf8, text);
    const char* p = utf8.data();
    const char* const end = p + utf8.size();
    const char* run = p; // the part not yet copied
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const bool special = c < 0x20 || c == '&' || c == '<' || c == '>' || c == 0xEF;
        if (!special)
            continue;
        const char* replacement = nullptr;
        char picture[] = "\xE2\x90\x80";
        int skip = 0; // bytes beyond this one that the replacement stands for
        switch (c) {
        case '&':
            replacement = "&amp;";
            break;
        case '<':
            replacement = "&lt;";
            break;
        case '>':
            replacement = "&gt;";
            break;
        case '\r':
            replacement = "&#13;";
            break;
        case '\t':
        case '\n':
            continue;
        case 0xEF: // U+FFFE and U+FFFF are EF BF BE and EF BF BF
            if (end - p < 3 || static_cast<unsigned char>(p[1]) != 0xBF
                || (static_cast<unsigned char>(p[2]) & 0xFE) != 0xBE)
                continue;
            replacement = "\xEF\xBF\xBD";
            skip = 2;
            break;
        default: // C0 controls
            picture[2] = static_cast<char>(0x80 + c);
            replacement = picture;
            break;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        out.append(replacement);
        p += skip;
        run = p + 1;
    }
    out.append(run, static_cast<std::size_t>(p - run));
}

// An element holding a value as it is stored; nothing for Null.
void appendElement(std::string& out, const char* tag, const db::Value& value)
{
    if (value.isNull())
        return;
    out += "   <zepta:";
    out += tag;
    out += '>';
    switch (value.kind()) {
    case db::Value::Kind::Integer:
        appendInteger(out, value.integerValue());
        break;
    case db::Value::Kind::Real:
        appendReal(out, value.realValue());
        break;
    case db::Value::Kind::Boolean:
        out += value.toBool() ? "true" : "false";
        break;
    case db::Value::Kind::DateTime:
        appendIsoTime(out, value.timestampValue());
        break;
    default:
        appendXmlText(out, value.textValue());
        break;
    }
    out += "</zepta:";
    out += tag;
    out += ">\n";
}

void appendElement(std::string& out, const char* tag, double value) { appendElement(out, tag, db::Value::real(value)); }

class GpxWriter final : public Writer
{
public:
    bool withFix() const override { return true; }
    bool keepsPartialFile() const override { return false; }

    void begin(std::string& out) override
    {
        out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<gpx version=\"1.1\" creator=\"Zepta\" xmlns=\"http://www.topografix.com/GPX/1/1\" xmlns:zepta=\"";
        out += kNamespace;
        out += "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\""
               "http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\n";
    }

    void event(std::string& out, const Event& e) override
    {
        checkCoordinates(e);
        const std::optional<double> altitude = optionalReal(e.altitude);
        const std::optional<std::int32_t> satellites = optionalInteger(e.satellites);
        const std::optional<double> hdop = optionalReal(e.hdop);

        out += " <wpt lat=\"";
        appendFixed(out, e.latitude, 9);
        out += "\" lon=\"";
        appendFixed(out, e.longitude == 180.0 ? -180.0 : e.longitude, 9);
        out += "\">\n";
        if (altitude) {
            out += "  <ele>";
            appendReal(out, *altitude);
            out += "</ele>\n";
        }
        out += "  <time>";
        appendIsoTime(out, e.gmt);
        out += "</time>\n  <name>";
        appendXmlText(out, e.eventTypeName);
        out += "</name>\n";
        const QString notes = e.notes.isNull() ? QString() : e.notes.toString();
        if (!notes.isEmpty()) {
            out += "  <desc>";
            appendXmlText(out, notes);
            out += "</desc>\n";
        }
        if (!e.name.isNull()) {
            out += "  <src>";
            appendXmlText(out, e.name.toString());
            out += "</src>\n";
        }
        if (const char* fix = fixOf(e)) {
            out += "  <fix>";
            out += fix;
            out += "</fix>\n";
        }
        if (satellites && *satellites >= 0) {
            out += "  <sat>";
            appendInteger(out, *satellites);
            out += "</sat>\n";
        }
        if (hdop) {
            out += "  <hdop>";
            appendReal(out, *hdop);
            out += "</hdop>\n";
        }
        out += "  <extensions>\n";
        appendElement(out, "eventId", db::Value::integer(e.id));
        appendElement(out, "readingId", db::Value::integer(e.readingId));
        appendElement(out, "clientId", e.observer);
        appendElement(out, "eventTypeId", db::Value::integer(e.eventType));
        appendElement(out, "speed", e.speed);
        appendElement(out, "course", e.direction);
        appendElement(out, "locked", e.locked);
        appendElement(out, "accuracy", e.accuracy);
        appendElement(out, "fixAge", e.fixAge);
        appendElement(out, "samples", e.samples);
        appendElement(out, "spread", e.spread);
        appendElement(out, "trackId", e.trackId);
        out += "  </extensions>\n </wpt>\n";
        if (!e.trackId.isNull()) {
            // The schema puts tracks after every waypoint: kept until the end.
            std::string point = "   <trkpt lat=\"";
            appendFixed(point, e.latitude, 9);
            point += "\" lon=\"";
            appendFixed(point, e.longitude == 180.0 ? -180.0 : e.longitude, 9);
            point += "\">";
            if (altitude) {
                point += "<ele>";
                appendReal(point, *altitude);
                point += "</ele>";
            }
            point += "<time>";
            appendIsoTime(point, e.gmt);
            point += "</time></trkpt>\n";
            mTracks[e.trackId.integerValue()].emplace_back(timeOrder(e.gmt), std::move(point));
        }
    }

    // One <trk> of one <trkseg> per tracking run, its points in time order.
    void end(std::string& out) override
    {
        for (auto& [track, points] : mTracks) {
            std::stable_sort(
                points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            out += " <trk>\n  <name>Track ";
            appendInteger(out, track);
            out += "</name>\n  <extensions>\n";
            appendElement(out, "trackId", db::Value::integer(track));
            out += "  </extensions>\n  <trkseg>\n";
            for (const auto& point : points)
                out += point.second;
            out += "  </trkseg>\n </trk>\n";
        }
        mTracks.clear();
        out += "</gpx>\n";
    }

private:
    std::map<std::int64_t, std::vector<std::pair<std::int64_t, std::string>>> mTracks;
};

} // namespace

std::unique_ptr<Writer> gpxWriter() { return std::make_unique<GpxWriter>(); }

} // namespace Driver::exporting

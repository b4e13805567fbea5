// GeoJSON (RFC 7946): a FeatureCollection with one Point feature per saved
// event, in event order, one feature per line:
//
//   {"type":"Feature","id":1,"geometry":{"type":"Point","coordinates":[-6.196,57.4125,96.5]},
//    "properties":{"GEOCODED_EVENT_ID":1,"NAME":"COM1",...,"GMT":"2026-12-06T07:30:15Z",...,
//    "NOTES":"gate open","ALTITUDE":96.5,"FIX_QUALITY":1,"SATELLITES":8,"HDOP":0.9}}
//
// Coordinates are [longitude, latitude], with the altitude as a third value
// when it is stored, each the shortest decimal that reads back as the stored
// number. The properties are the text export's 13 columns and the reading's
// fix fields (null when not stored), by the value's kind: numbers, strings,
// true/false, null, times as ISO 8601 UTC text.

#include "core/ExportWriters.h"

#include "platform/Error.h"

#include <algorithm>
#include <map>
#include <vector>

namespace Driver::exporting
{

namespace
{

void appendJsonString(std::string& out, const QString& text)
{
    static const char kHex[] = "0123456789abcdef";
    static thread_local std::string utf8; // keeps its room from text to text
    utf8.clear();
    appendUtf8(utf8, text);
    out += '"';
    const char* p = utf8.data();
    const char* const end = p + utf8.size();
    const char* run = p;
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(run, static_cast<std::size_t>(p - run));
        run = p + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            break;
        }
    }
    out.append(run, static_cast<std::size_t>(p - run));
    out += '"';
}

void appendJsonValue(std::string& out, const db::Value& value)
{
    switch (value.kind()) {
    case db::Value::Kind::Null:
        out += "null";
        return;
    case db::Value::Kind::Integer:
        appendInteger(out, value.integerValue());
        return;
    case db::Value::Kind::Real:
        appendReal(out, value.realValue());
        return;
    case db::Value::Kind::Boolean:
        out += value.toBool() ? "true" : "false";
        return;
    case db::Value::Kind::DateTime:
        out += '"';
        appendIsoTime(out, value.timestampValue());
        out += '"';
        return;
    case db::Value::Kind::Text:
    case db::Value::Kind::Blob:
        appendJsonString(out, value.textValue());
        return;
    }
}

// A number property that may be missing; one that is stored must be a number.
template <typename Number> void appendOptional(std::string& out, const std::optional<Number>& value)
{
    if (!value)
        out += "null";
    else if constexpr (std::is_integral_v<Number>)
        appendInteger(out, *value);
    else
        appendReal(out, *value);
}

class GeoJsonWriter final : public Writer
{
public:
    bool withFix() const override { return true; }
    bool keepsPartialFile() const override { return false; }

    void begin(std::string& out) override { out += "{\"type\":\"FeatureCollection\",\"features\":[\n"; }

    void event(std::string& out, const Event& e) override
    {
        checkCoordinates(e);
        const std::optional<double> altitude = optionalReal(e.altitude);
        if (!mFirst)
            out += ",\n";
        mFirst = false;
        out += "{\"type\":\"Feature\",\"id\":";
        appendInteger(out, e.id);
        out += ",\"geometry\":{\"type\":\"Point\",\"coordinates\":[";
        appendReal(out, e.longitude);
        out += ',';
        appendReal(out, e.latitude);
        if (altitude) {
            out += ',';
            appendReal(out, *altitude);
        }
        out += "]},\"properties\":{\"GEOCODED_EVENT_ID\":";
        appendInteger(out, e.id);
        out += ",\"NAME\":";
        appendJsonValue(out, e.name);
        out += ",\"OBSERVER_MONIKER\":";
        appendJsonValue(out, e.observer);
        out += ",\"EVENT_TYPE_ID\":";
        appendInteger(out, e.eventType);
        out += ",\"EVENT_TYPE_NAME\":";
        appendJsonString(out, e.eventTypeName);
        out += ",\"GPS_READING_ID\":";
        appendInteger(out, e.readingId);
        out += ",\"GMT\":\"";
        appendIsoTime(out, e.gmt);
        out += "\",\"LATITUDE\":";
        appendReal(out, e.latitude);
        out += ",\"LONGITUDE\":";
        appendReal(out, e.longitude);
        out += ",\"SPEED\":";
        appendReal(out, e.speed);
        out += ",\"DIRECTION\":";
        appendReal(out, e.direction);
        out += ",\"LOCKED\":";
        appendJsonValue(out, e.locked);
        out += ",\"NOTES\":";
        appendJsonValue(out, e.notes);
        out += ",\"ALTITUDE\":";
        appendOptional(out, altitude);
        out += ",\"FIX_QUALITY\":";
        appendOptional(out, optionalInteger(e.fixQuality));
        out += ",\"SATELLITES\":";
        appendOptional(out, optionalInteger(e.satellites));
        out += ",\"HDOP\":";
        appendOptional(out, optionalReal(e.hdop));
        out += ",\"ACCURACY_M\":";
        appendOptional(out, optionalReal(e.accuracy));
        out += ",\"FIX_AGE_S\":";
        appendOptional(out, optionalReal(e.fixAge));
        out += ",\"SAMPLES\":";
        appendOptional(out, optionalInteger(e.samples));
        out += ",\"SPREAD_M\":";
        appendOptional(out, optionalReal(e.spread));
        out += ",\"TRACK_ID\":";
        if (e.trackId.isNull()) {
            out += "null}}";
            return;
        }
        appendInteger(out, e.trackId.integerValue());
        out += "}}";
        std::string point = "[";
        appendReal(point, e.longitude);
        point += ',';
        appendReal(point, e.latitude);
        point += ']';
        mTracks[e.trackId.integerValue()].emplace_back(timeOrder(e.gmt), std::move(point));
    }

    // After the points, one LineString per tracking run, its points in time
    // order (a run of one point is no line and gets none).
    void end(std::string& out) override
    {
        for (auto& [track, points] : mTracks) {
            if (points.size() < 2)
                continue;
            std::stable_sort(
                points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            out += ",\n{\"type\":\"Feature\",\"geometry\":{\"type\":\"LineString\",\"coordinates\":[";
            for (std::size_t i = 0; i < points.size(); ++i) {
                if (i > 0)
                    out += ',';
                out += points[i].second;
            }
            out += "]},\"properties\":{\"TRACK_ID\":";
            appendInteger(out, track);
            out += "}}";
        }
        mTracks.clear();
        out += mFirst ? "]}\n" : "\n]}\n";
    }

private:
    bool mFirst = true;
    std::map<std::int64_t, std::vector<std::pair<std::int64_t, std::string>>> mTracks;
};

} // namespace

std::unique_ptr<Writer> geoJsonWriter() { return std::make_unique<GeoJsonWriter>(); }

} // namespace Driver::exporting

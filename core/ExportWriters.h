#pragma once

// The formats of Export_Events_To_File (core/DriverExport.cpp): each writes
// the saved events, one by one, into the buffer of the file being written.
// Appending to that buffer is the export's hot path, so it is a plain
// std::string, whose appends inline, rather than a QByteArray.

#include "core/Driver.h"
#include "platform/Db.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Driver::exporting
{

// One saved event as every format reads it: the view's columns with the
// conversions of the text export (a value that cannot be converted fails the
// row), the name of its event type, and, for the formats that write them,
// the fix fields of its reading (Null when not stored).
struct Event {
    std::int32_t id = 0;
    db::Value name; // the port the reading came from
    db::Value observer; // the client id
    std::int32_t eventType = 0;
    QString eventTypeName;
    std::int32_t readingId = 0;
    db::Timestamp gmt;
    double latitude = 0, longitude = 0, speed = 0, direction = 0;
    db::Value locked;
    db::Value notes;
    db::Value altitude, fixQuality, satellites, hdop;
    db::Value accuracy, fixAge, samples, spread, trackId; // ACCURACY_M ... TRACK_ID
};

// Reads events from rows of the view (joined with the fix fields when
// withFix); columns are looked up once per recordset.
class EventReader
{
public:
    EventReader(const db::Recordset& rows, bool withFix);
    Event read(const db::Recordset& rows) const;

private:
    bool mWithFix;
    int mId, mName, mObserver, mEventType, mReadingId, mGmt, mLatitude, mLongitude, mSpeed, mDirection, mLocked, mNotes;
    int mAltitude = -1, mFixQuality = -1, mSatellites = -1, mHdop = -1;
    int mAccuracy = -1, mFixAge = -1, mSamples = -1, mSpread = -1, mTrackId = -1;
};

class Writer
{
public:
    virtual ~Writer() = default;
    // Whether the fix fields are read for this format.
    virtual bool withFix() const = 0;
    // Whether a failed export puts what was written before the failure in
    // the target's place; otherwise the target stays as it was.
    virtual bool keepsPartialFile() const = 0;
    virtual void begin(std::string& out) = 0;
    // Appends one event; may throw half-way (the caller drops the part).
    virtual void event(std::string& out, const Event& event) = 0;
    virtual void end(std::string& out) = 0;
};

std::unique_ptr<Writer> textWriter();
std::unique_ptr<Writer> gpxWriter();
std::unique_ptr<Writer> geoJsonWriter();

// ---- pieces the formats share

void appendInteger(std::string& out, std::int64_t value);
// The text in UTF-8; each `doubled` character is written twice (none: 0).
void appendUtf8(std::string& out, const QString& text, char doubled = 0);
// The shortest text that reads back as the same double; "0" for -0. Throws
// for a value that is not finite.
void appendReal(std::string& out, double value);
// A fixed number of decimals; "0.000…" for -0.
void appendFixed(std::string& out, double value, int decimals);
// ISO 8601 in UTC: 2026-12-06T07:30:15Z, with .mmm when there are
// milliseconds. Throws for a year beyond 9999.
void appendIsoTime(std::string& out, const db::Timestamp& value);
// A number that orders timestamps as time does (for a tracking run's points;
// not a count of anything).
std::int64_t timeOrder(const db::Timestamp& value);
// Nothing for Null; otherwise the value, which must be a number.
std::optional<double> optionalReal(const db::Value& value);
std::optional<std::int32_t> optionalInteger(const db::Value& value);
// Throws unless the point is a place on the earth.
void checkCoordinates(const Event& event);

} // namespace Driver::exporting

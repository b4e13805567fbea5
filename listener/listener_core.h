#pragma once

// The core of zepta-listener that needs no network or database: reading one
// posted event document, and the record format of the file sink.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace listener
{

constexpr qsizetype kDefaultMaxBodyBytes = 1024 * 1024;

// One event as Zepta posts it (the document's <GeocodedEvent>). Only the id
// and the coordinates are required; a missing or empty optional element is
// stored as Null.
struct Event {
    QByteArray eventId; // canonical form: lower-case UUID without braces
    QString clientId;
    std::optional<int> eventTypeId;
    QString notes;
    std::optional<QDateTime> gmt; // UTC
    double latitude = 0.0;
    double longitude = 0.0;
    std::optional<double> speed;
    std::optional<double> heading;
    std::optional<double> altitude;
    std::optional<int> fixQuality;
    std::optional<int> satellites;
    std::optional<double> hdop;
    std::optional<bool> locked;
    std::optional<double> accuracy; // metres, 95% horizontal
    std::optional<double> fixAge; // seconds
    std::optional<int> samples; // readings averaged
    std::optional<double> spread; // metres
    std::optional<qint64> trackId; // the tracking run
};

// Reads a posted body: a well-formed XML document whose root is <Zepta>
// holding one <GeocodedEvent> with an <EventId> (a UUID) and coordinates.
// A DOCTYPE, and with it any entity declaration, is refused before it is
// read any further, so nothing is ever expanded or fetched. On failure the
// result is empty and `reason` says why in one short sentence.
std::optional<Event> parseEvent(const QByteArray& body, QString* reason);

// SHA-256 by nettle, which uses the processor's SHA instructions where it
// has them (several times faster than Qt's own).
QByteArray sha256(QByteArrayView data);

// The SHA-256 of a body, which tells a retry from another document under the
// same id.
QByteArray bodyDigest(const QByteArray& body);

// A time as UTC in ISO 8601 with milliseconds, "2026-12-06T07:30:15.123Z",
// as QDateTime::toString(Qt::ISODateWithMs) writes it, without its cost.
QByteArray isoUtc(const QDateTime& time);

// The canonical form of an event id given as a UUID (with or without braces,
// any letter case); empty when it is not one.
QByteArray canonicalEventId(const QByteArray& text);

// One stored document in the file sink: a header line with the UTC time of
// receipt (ISO 8601, milliseconds), the path, the body's length in bytes and
// the event id, then the body exactly as received, then a line feed.
//   2026-12-06T07:30:15.123Z /Zepta/listener.asp 512 1b4e28ba-2fa1-4d3b-9c5e-0f1a2b3c4d5e
//   <?xml version="1.0"?><Zepta>...</Zepta>
// Files of the earlier listener have no id in the header; it is then read
// from the body. An event posted with a crew's key has the crew's name after
// the id.
struct Record {
    QDateTime received;
    QByteArray path;
    QByteArray body;
    QByteArray eventId;
    QByteArray crew; // empty when posted without a key
};
QByteArray formatRecord(const Record& record);

// The records of a file, in order. `complete` is false when the data ends
// inside a record or holds something that is not one; `end` is then the
// offset where the last whole record ends.
QList<Record> parseRecords(const QByteArray& data, bool* complete = nullptr, qsizetype* end = nullptr);

} // namespace listener

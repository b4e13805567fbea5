#pragma once

#include "gps/EventObject.h"
#include "platform/Db.h"

#include <QString>
#include <QUuid>

namespace nomrel
{

// Creates the event database's tables and view where they are missing, and
// adds the columns a database of an older layout lacks.
void ensureSchema(db::Connection& connection);

// Makes the event database named by the connection string, empty, when its
// file is missing; an existing one is brought to the current layout, its rows
// kept. Throws ZeptaError naming the file when a missing one cannot be made.
void ensureEventDatabase(const QString& connectionString);

// The component's event object: stores itself in the event database named by
// the data-link's connection string, or gives itself as an XML fragment.
//
// XML fragment (stable; one element, no declaration):
//   <GeocodedEvent>
//     <EventId>1b4e28ba-2fa1-4d3b-9c5e-0f1a2b3c4d5e</EventId>   a UUID, unique per event
//     <ClientId>text</ClientId><EventTypeId>n</EventTypeId><Notes>text</Notes>
//     <GpsReading>
//       <Gmt>2026-12-06T07:00:00Z</Gmt>            ISO 8601 UTC
//       <Latitude>35.7796100</Latitude>             decimal degrees, period, 7 decimals
//       <Longitude>-78.6381800</Longitude>
//       <Speed>1.23</Speed>                          metres per second
//       <Heading>90.0</Heading>                      degrees true
//       <Altitude>96.5</Altitude>                    metres
//       <FixQuality>1</FixQuality><Satellites>7</Satellites><Hdop>1.2</Hdop>
//       <Locked>true</Locked>
//       <Accuracy>4.5</Accuracy>                     metres, 95% horizontal; left out when unknown
//       <FixAge>0.3</FixAge>                         seconds
//       <Samples>1</Samples>                         readings averaged (1: a plain save)
//       <Spread>0.84</Spread>                        metres; only for an averaged capture
//     </GpsReading>
//     <TrackId>1765010415000</TrackId>               only for an event of a tracking run
//   </GeocodedEvent>
// Texts are escaped (& < > " '), line breaks and tabs as character
// references so they survive exactly; other control characters, which XML 1.0
// cannot carry, become U+FFFD.
class EventStore : public gps::EventObject
{
public:
    void setClientId(const QString& clientId) override { mClientId = clientId; }
    void setEventType(std::int16_t eventType) override { mEventType = eventType; }
    void setNotes(const QString& notes) override { mNotes = notes; }
    void setReading(const gps::Reading& reading) override
    {
        mReading = reading;
        mHasReading = true;
    }
    void setTrackId(std::optional<std::int64_t> trackId) override { mTrackId = trackId; }

    std::int32_t Store() override;
    QString XmlText() const override;
    QString EventId() const override { return mEventId; }

private:
    QString mEventId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QString mClientId;
    std::int16_t mEventType = 0;
    QString mNotes;
    gps::Reading mReading;
    bool mHasReading = false;
    std::optional<std::int64_t> mTrackId;
};

// Escapes text for XML element content (see EventStore).
QString xmlEscape(const QString& text);

} // namespace nomrel

#pragma once

#include "gps/EventObject.h"
#include "platform/Db.h"

#include <QString>
#include <QUuid>

namespace nomrel
{

// Creates the event database's tables and view where they are missing.
void ensureSchema(db::Connection& connection);

// Makes the event database named by the connection string, empty, when its
// file is missing (an existing one is left as it is). Throws ZeptaError naming
// the file when it cannot.
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
//     </GpsReading>
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
};

// Escapes text for XML element content (see EventStore).
QString xmlEscape(const QString& text);

} // namespace nomrel

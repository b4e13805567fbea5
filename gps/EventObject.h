#pragma once

#include "gps/Reading.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace gps
{

// One captured event. Its four values are set in the order listed (and the
// track, for an event of a tracking run); then it either stores itself in the
// event database or gives its XML fragment.
class EventObject
{
public:
    virtual ~EventObject() = default;

    virtual void setClientId(const QString& clientId) = 0;
    virtual void setEventType(std::int16_t eventType) = 0;
    virtual void setNotes(const QString& notes) = 0;
    virtual void setReading(const Reading& reading) = 0;
    // The tracking run the event belongs to; none for an event saved by hand.
    virtual void setTrackId(std::optional<std::int64_t> trackId) = 0;

    // Writes the event and its reading; durable when it returns. Throws
    // ZeptaError with the engine's message on failure.
    virtual std::int32_t Store() = 0;

    // The event as a well-formed XML fragment.
    virtual QString XmlText() const = 0;

    // The event's unique id, made when the object is created: the same text
    // stands in its XML fragment, so a receiver can drop repeats.
    virtual QString EventId() const = 0;
};

} // namespace gps

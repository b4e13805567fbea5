#include "core/Driver.h"

#include "gps/Component.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QDateTime>
#include <QtDebug>

#include <algorithm>

#include <memory>

namespace Driver
{

namespace
{
const QString kSaveFailed = QStringLiteral("Save Failed");

} // namespace

// The settings are read so that no stored value can end the program; the
// storing or posting step reports its own failures. A storage mode other than
// the exact words LOCAL and XML stores nothing, and says so.
bool Save_Event(
    std::int16_t eventType, const QString& notes, const gps::Reading& reading, std::optional<std::int64_t> trackId)
{
    const std::unique_ptr<gps::EventObject> event = gps::component().CreateEvent();
    if (!event)
        throw ZeptaError(QStringLiteral("The GPS receiver component cannot create an event object"));
    // Both settings in one read: the event is saved with the values stored
    // at this moment.
    const QStringList settings
        = Usable_Parameter_Values({QStringLiteral("CLIENT_ID"), QStringLiteral("DATA_STORAGE_MODE")});
    event->setClientId(settings.at(0));
    event->setEventType(eventType);
    event->setNotes(notes);
    event->setReading(reading);
    event->setTrackId(trackId);

    const QString& mode = settings.at(1);
    if (mode == QLatin1String("LOCAL"))
        return Save_Event_Local(*event);
    if (mode == QLatin1String("XML"))
        return Save_Event_XML(*event);
    Msg_Box(MessageKind::Exclamation, kSaveFailed,
        QStringLiteral("The event was not stored: the storage method \"%1\" is not one Zepta saves with.\r\n"
                       "Choose LOCAL or XML in File > Configure, on the Data Storage page.")
            .arg(mode));
    return false;
}

std::int64_t New_Track_Id()
{
    static std::int64_t last = 0;
    last = std::max<std::int64_t>(last + 1, QDateTime::currentMSecsSinceEpoch());
    return last;
}

bool Save_Event_Local(gps::EventObject& event)
{
    try {
        event.Store();
        return true;
    } catch (const std::exception& error) {
        qWarning("Saving the event locally failed: %s", qUtf8Printable(messageOf(error)));
        Msg_Box(MessageKind::Exclamation, kSaveFailed,
            QStringLiteral("Unable to save event to your local drive in: ") + eventDatabasePath()
                + QStringLiteral("\r\nPossible sources for this problem:"
                                 "\r\n - this file is not writable"
                                 "\r\n - you may not have enough free disk space"
                                 "\r\n - you may need to update your database drivers"));
        return false;
    }
}

} // namespace Driver

#include "core/Driver.h"

#include "gps/Component.h"
#include "platform/Error.h"
#include "platform/HttpPost.h"
#include "platform/UserInterface.h"

#include <QDomDocument>
#include <QtDebug>

#include <memory>

namespace Driver
{

namespace
{
const QString kSaveFailed = QStringLiteral("Save Failed");

QString describe(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const ZeptaError*>(&error))
        return own->message();
    return QString::fromLocal8Bit(error.what());
}
} // namespace

// The settings are read so that no stored value can end the program; the
// storing or posting step reports its own failures. A storage mode other than
// the exact words LOCAL and XML stores nothing, and says so.
bool Save_Event(std::int16_t eventType, const QString& notes, const gps::Reading& reading)
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

bool Save_Event_Local(gps::EventObject& event)
{
    try {
        event.Store();
        return true;
    } catch (const std::exception& error) {
        qWarning("Saving the event locally failed: %s", qUtf8Printable(describe(error)));
        Msg_Box(MessageKind::Exclamation, kSaveFailed,
            QStringLiteral("Unable to save event to your local drive in: ") + eventDatabasePath()
                + QStringLiteral("\r\nPossible sources for this problem:"
                                 "\r\n - this file is not writable"
                                 "\r\n - you may not have enough free disk space"
                                 "\r\n - you may need to update your database drivers"));
        return false;
    }
}

// The document is the declaration and one root element Zepta around the event
// object's own XML text. A document that does not parse, an answer outside 2xx
// and any transport failure all count as not sent, and are reported.
bool Save_Event_XML(gps::EventObject& event)
{
    QString url;
    try {
        const QString document
            = QStringLiteral("<?xml version=\"1.0\"?><Zepta>") + event.XmlText() + QStringLiteral("</Zepta>");
        QDomDocument parsed;
        QString parseError;
        int line = 0;
        int column = 0;
        if (!parsed.setContent(document, &parseError, &line, &column))
            throw ZeptaError(QStringLiteral("The event's XML document is not well-formed (line %1, column %2): %3")
                                 .arg(line)
                                 .arg(column)
                                 .arg(parseError));

        url = QStringLiteral("http://") + Get_Parameter_Value(QStringLiteral("SERVER_IP")) + QLatin1Char('/')
            + Get_Parameter_Value(QStringLiteral("LISTENER_NAME"));

        // The text as built is sent, in UTF-8: it is the parsed document, and
        // re-serializing could change characters the event object escaped on
        // purpose (a carriage return in the notes).
        http::HttpPost request;
        request.post(url, document.toUtf8(), QByteArrayLiteral("text/xml; charset=utf-8"));
        return true;
    } catch (const std::exception& error) {
        qWarning("Posting the event failed: %s", qUtf8Printable(describe(error)));
        Msg_Box(MessageKind::Exclamation, kSaveFailed, QStringLiteral("Unable to save event via XML to: ") + url);
        return false;
    }
}

} // namespace Driver

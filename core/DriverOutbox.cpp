#include "core/Driver.h"

#include "core/Outbox.h"
#include "core/OutboxSender.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QDomDocument>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace Driver
{

namespace
{
OutboxSender*& installedSender()
{
    static OutboxSender* sender = nullptr;
    return sender;
}
} // namespace

OutboxSender* outboxSender() { return installedSender(); }

OutboxSender* setOutboxSender(OutboxSender* sender) { return std::exchange(installedSender(), sender); }

QString outboxPath() { return dataFolder() + QStringLiteral("/Outbox.mdb"); }

QString listenerUrl()
{
    const QStringList address = Usable_Parameter_Values({QStringLiteral("SERVER_IP"), QStringLiteral("LISTENER_NAME")});
    // An office's listener on the internet is reached by HTTPS, said in full.
    if (address.at(0).startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return address.at(0) + QLatin1Char('/') + address.at(1);
    return QStringLiteral("http://") + address.at(0) + QLatin1Char('/') + address.at(1);
}

bool Valid_Server_Address(const QString& address)
{
    static const QRegularExpression form(
        QStringLiteral(
            "^(?:https://"
            ")?([A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*)"
            "(?::([0-9]{1,5}))?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(address);
    if (!match.hasMatch() || match.captured(1).size() > 253)
        return false;
    if (!match.captured(2).isEmpty() && (match.captured(2).toInt() < 1 || match.captured(2).toInt() > 65535))
        return false;
    // A name whose last part is a number is meant as an IPv4 address: four
    // numbers up to 255, nothing else.
    const QStringList parts = match.captured(1).split(QLatin1Char('.'));
    bool numeric = false;
    parts.last().toInt(&numeric);
    if (!numeric)
        return true;
    return parts.size() == 4 && std::all_of(parts.begin(), parts.end(), [](const QString& part) {
        bool number = false;
        const int value = part.toInt(&number);
        return number && value <= 255 && part.size() <= 3;
    });
}

bool isCrewKeyText(const QString& key)
{
    static const QRegularExpression token(QStringLiteral("^[A-Za-z0-9._~+/-]+=*$"));
    return token.match(key).hasMatch();
}

QString listenerKey()
{
    const QString key = Optional_Parameter_Value(QStringLiteral("LISTENER_KEY")).trimmed();
    if (key.isEmpty() || isCrewKeyText(key))
        return key;
    static QSet<QString> told; // once per database
    if (!told.contains(applicationConnectionString())) {
        told.insert(applicationConnectionString());
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Invalid Setting"),
            QStringLiteral("The setting LISTENER_KEY holds characters a crew's key cannot have; no key is sent until "
                           "it is saved again in File > Configure."));
    }
    return {};
}

QString listenerCaFile() { return Optional_Parameter_Value(QStringLiteral("LISTENER_CA_FILE")); }

// The document is the declaration and one root element Zepta around the event
// object's own XML text. It is committed to the outbox with the listener's
// address, and the sender posts it from there: the window never waits on the
// network, and an event the listener does not take is kept, not lost. A
// document that does not parse is never stored; an outbox that cannot be
// written fails the save, which is reported with the reason.
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
        url = listenerUrl();

        const QDomElement root = parsed.documentElement().firstChildElement();
        OutboxStore::Entry entry;
        entry.eventId = event.EventId();
        entry.eventTypeId = root.firstChildElement(QStringLiteral("EventTypeId")).text().toInt();
        entry.gmt = QDateTime::fromString(
            root.firstChildElement(QStringLiteral("GpsReading")).firstChildElement(QStringLiteral("Gmt")).text(),
            Qt::ISODate);
        entry.url = url;
        // The text as built is what is sent, in UTF-8: re-serializing could
        // change characters the event object escaped on purpose (a carriage
        // return in the notes).
        entry.document = document;
        OutboxStore(outboxPath()).add(entry);
    } catch (const std::exception& error) {
        qWarning("Keeping the event for posting failed: %s", qUtf8Printable(messageOf(error)));
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Save Failed"),
            QStringLiteral("Unable to save event via XML to: ") + url
                + QStringLiteral("\r\nThe event could not be kept in the outbox %1: %2.")
                      .arg(outboxPath(), plainReason(messageOf(error))));
        return false;
    }
    if (OutboxSender* sender = outboxSender()) {
        sender->setUrl(url, listenerKey(), listenerCaFile());
        sender->added();
    }
    return true;
}

} // namespace Driver

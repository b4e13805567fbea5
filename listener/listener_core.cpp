#include "listener/listener_core.h"

#include <QCryptographicHash>
#include <QHash>
#include <QStringList>
#include <QUuid>
#include <QXmlStreamReader>

#include <cmath>
#include <cstring>

namespace listener
{

namespace
{

// The elements read, by their path below the root.
const QString kEvent = QStringLiteral("GeocodedEvent");
// The event document nests four deep (Zepta/GeocodedEvent/GpsReading/
// Latitude); twice that leaves room for a group added later. Anything deeper
// is refused at once, so the work per element stays bounded however deep a
// hostile document goes.
constexpr qsizetype kMaxDepth = 8;

// Qt's reader checks each attribute against the element's earlier ones, so
// one tag with tens of thousands of them costs seconds. The event document
// has none; a few are allowed (a namespace, a version). This lexer skips
// comments, CDATA and processing instructions and counts the attributes of
// each tag before the reader sees it. A body it misreads is not well-formed
// XML, which the reader then refuses.
constexpr int kMaxAttributes = 16;

bool tooManyAttributes(const QByteArray& body)
{
    const char* p = body.constData();
    const char* const end = p + body.size();
    const auto skipPast = [&](const char* mark) {
        const qsizetype at = body.indexOf(mark, p - body.constData());
        p = at < 0 ? end : body.constData() + at + qstrlen(mark);
    };
    while ((p = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p))))) {
        const QByteArrayView rest(p, end - p);
        if (rest.startsWith("<!--")) {
            skipPast("-->");
        } else if (rest.startsWith("<![CDATA[")) {
            skipPast("]]>");
        } else if (rest.startsWith("<?")) {
            skipPast("?>");
        } else {
            int attributes = 0;
            char quote = 0;
            for (++p; p < end && (quote || *p != '>'); ++p) {
                if (quote) {
                    if (*p == quote)
                        quote = 0;
                } else if (*p == '"' || *p == '\'') {
                    quote = *p;
                } else if (*p == '=' && ++attributes > kMaxAttributes) {
                    return true;
                }
            }
        }
        if (p >= end)
            break;
    }
    return false;
}

std::optional<double> number(const QString& text, bool* bad)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        *bad = true;
        return std::nullopt;
    }
    return value;
}

std::optional<int> whole(const QString& text, bool* bad)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    bool ok = false;
    const int value = trimmed.toInt(&ok);
    if (!ok) {
        *bad = true;
        return std::nullopt;
    }
    return value;
}

std::optional<Event> refuse(QString* reason, const QString& text)
{
    *reason = text;
    return std::nullopt;
}

} // namespace

QByteArray bodyDigest(const QByteArray& body) { return QCryptographicHash::hash(body, QCryptographicHash::Sha256); }

QByteArray canonicalEventId(const QByteArray& text)
{
    const QByteArray trimmed = text.trimmed();
    const QUuid uuid = QUuid::fromString(QLatin1String(trimmed));
    if (uuid.isNull() || (trimmed.size() != 36 && trimmed.size() != 38))
        return {};
    return uuid.toByteArray(QUuid::WithoutBraces);
}

std::optional<Event> parseEvent(const QByteArray& body, QString* reason)
{
    if (tooManyAttributes(body))
        return refuse(reason, QStringLiteral("An element has more than %1 attributes.").arg(kMaxAttributes));
    QXmlStreamReader xml(body);
    QHash<QString, QString> leaves; // "GeocodedEvent/GpsReading/Latitude" -> text
    QStringList path;
    QString text;
    int events = 0;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            // Stop here: entity declarations are never read, let alone expanded.
            return refuse(reason, QStringLiteral("A DOCTYPE is not accepted."));
        case QXmlStreamReader::EntityReference:
            return refuse(reason, QStringLiteral("Entity references other than the predefined ones are not accepted."));
        case QXmlStreamReader::StartElement:
            if (path.isEmpty() && xml.name() != QLatin1String("Zepta"))
                return refuse(
                    reason, QStringLiteral("The root element is \"%1\", not \"Zepta\".").arg(xml.name().left(64)));
            if (path.size() == kMaxDepth)
                return refuse(
                    reason, QStringLiteral("The document nests elements deeper than %1 levels.").arg(kMaxDepth));
            if (path.size() == 1 && xml.name() == kEvent && ++events > 1)
                return refuse(reason, QStringLiteral("The document holds more than one GeocodedEvent."));
            path.append(xml.name().toString());
            text.clear();
            break;
        case QXmlStreamReader::Characters:
            text += xml.text();
            break;
        case QXmlStreamReader::EndElement: {
            const QString key = path.mid(1).join(QLatin1Char('/'));
            if (leaves.contains(key))
                return refuse(reason, QStringLiteral("The element %1 appears twice.").arg(key));
            leaves.insert(key, text);
            text.clear();
            path.removeLast();
            break;
        }
        default:
            break;
        }
    }
    if (xml.hasError())
        return refuse(reason,
            QStringLiteral("The body is not a well-formed XML document (line %1, column %2): %3")
                .arg(xml.lineNumber())
                .arg(xml.columnNumber())
                .arg(xml.errorString()));
    if (events == 0)
        return refuse(reason, QStringLiteral("The document holds no GeocodedEvent."));

    const auto leaf
        = [&leaves](const char* name) { return leaves.value(kEvent + QLatin1Char('/') + QLatin1String(name)); };
    Event event;
    event.eventId = canonicalEventId(leaf("EventId").toLatin1());
    if (event.eventId.isEmpty())
        return refuse(reason, QStringLiteral("The event has no EventId that is a UUID."));

    bool bad = false;
    const std::optional<double> latitude = number(leaf("GpsReading/Latitude"), &bad);
    const std::optional<double> longitude = number(leaf("GpsReading/Longitude"), &bad);
    if (!latitude || !longitude || std::abs(*latitude) > 90.0 || std::abs(*longitude) > 180.0)
        return refuse(reason, QStringLiteral("The event has no Latitude and Longitude in decimal degrees."));
    event.latitude = *latitude;
    event.longitude = *longitude;

    event.clientId = leaf("ClientId");
    event.notes = leaf("Notes");
    event.eventTypeId = whole(leaf("EventTypeId"), &bad);
    event.speed = number(leaf("GpsReading/Speed"), &bad);
    event.heading = number(leaf("GpsReading/Heading"), &bad);
    event.altitude = number(leaf("GpsReading/Altitude"), &bad);
    event.fixQuality = whole(leaf("GpsReading/FixQuality"), &bad);
    event.satellites = whole(leaf("GpsReading/Satellites"), &bad);
    event.hdop = number(leaf("GpsReading/Hdop"), &bad);
    event.accuracy = number(leaf("GpsReading/Accuracy"), &bad);
    event.fixAge = number(leaf("GpsReading/FixAge"), &bad);
    event.samples = whole(leaf("GpsReading/Samples"), &bad);
    event.spread = number(leaf("GpsReading/Spread"), &bad);
    if (const QString track = leaf("TrackId").trimmed(); !track.isEmpty()) {
        bool ok = false;
        event.trackId = track.toLongLong(&ok);
        bad = bad || !ok;
    }
    if (bad)
        return refuse(reason, QStringLiteral("A number of the event is not a number."));

    const QString gmt = leaf("GpsReading/Gmt").trimmed();
    if (!gmt.isEmpty()) {
        const QDateTime time = QDateTime::fromString(gmt, Qt::ISODateWithMs);
        if (!time.isValid())
            return refuse(reason, QStringLiteral("Gmt is not an ISO 8601 time."));
        event.gmt = time.toUTC();
    }
    const QString locked = leaf("GpsReading/Locked").trimmed();
    if (locked == QLatin1String("true") || locked == QLatin1String("1"))
        event.locked = true;
    else if (locked == QLatin1String("false") || locked == QLatin1String("0"))
        event.locked = false;
    else if (!locked.isEmpty())
        return refuse(reason, QStringLiteral("Locked is neither true nor false."));
    return event;
}

QByteArray formatRecord(const Record& record)
{
    return record.received.toUTC().toString(Qt::ISODateWithMs).toLatin1() + ' ' + record.path + ' '
        + QByteArray::number(record.body.size()) + ' ' + record.eventId
        + (record.crew.isEmpty() ? QByteArray() : ' ' + record.crew) + '\n' + record.body + '\n';
}

QList<Record> parseRecords(const QByteArray& data, bool* complete, qsizetype* end)
{
    QList<Record> records;
    qsizetype at = 0;
    while (at < data.size()) {
        const qsizetype lineEnd = data.indexOf('\n', at);
        if (lineEnd < 0)
            break;
        const QList<QByteArray> fields = data.mid(at, lineEnd - at).split(' ');
        bool ok = false;
        const qsizetype length = fields.size() >= 3 && fields.size() <= 5 ? fields[2].toLongLong(&ok) : 0;
        if (!ok || length < 0 || length > data.size() - lineEnd - 2 || data.at(lineEnd + 1 + length) != '\n')
            break;
        Record record;
        record.received = QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODateWithMs);
        if (!record.received.isValid())
            break;
        record.path = fields[1];
        record.body = data.mid(lineEnd + 1, length);
        if (fields.size() >= 4)
            record.eventId = fields[3];
        if (fields.size() == 5)
            record.crew = fields[4];
        records.append(record);
        at = lineEnd + 1 + length + 1;
    }
    if (complete)
        *complete = at == data.size();
    if (end)
        *end = at;
    return records;
}

} // namespace listener

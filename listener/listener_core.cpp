#include "listener/listener_core.h"

#include <QUuid>
#include <expat.h>
#include <nettle/sha2.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace listener
{

namespace
{

// The elements read, by their path below the root.
constexpr const char* kEvent = "GeocodedEvent";
// The event document nests four deep (Zepta/GeocodedEvent/GpsReading/
// Latitude); twice that leaves room for a group added later. Anything deeper
// is refused at once, so the work per element stays bounded however deep a
// hostile document goes.
constexpr int kMaxDepth = 8;

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

// Whether a text is a plain decimal, "-6.0003000": then the standard
// library reads it, several times faster than Qt and to the same double (both
// round correctly). Anything else goes to Qt.
bool isPlainDecimal(const std::string& text)
{
    std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    const auto digits = [&text, &i] {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        return i > start;
    };
    if (!digits())
        return false;
    if (i == text.size())
        return true;
    if (text[i] != '.')
        return false;
    ++i;
    return digits() && i == text.size();
}

std::optional<double> number(const std::string& text, bool* bad)
{
    if (isPlainDecimal(text)) {
        double value = 0.0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && std::isfinite(value))
            return value;
    }
    const QString trimmed = QString::fromStdString(text).trimmed();
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

// What the reader keeps while expat walks the document: the path of the
// open elements below the root ("GeocodedEvent/GpsReading"), the text of
// the element being read, and the text of every element that has ended,
// by its path. Each step costs the length of one path at most, so the whole
// walk stays linear in the body.
struct Walk {
    XML_Parser parser = nullptr;
    int depth = 0; // elements open, the root included
    std::string path;
    std::vector<std::size_t> pathLengths; // of `path` before each open element
    std::string text;
    std::unordered_map<std::string, std::string> leaves;
    int events = 0;
    QString refusal;

    // Expat may still call a handler or two after it was told to stop.
    bool stopped() const { return !refusal.isEmpty(); }
    void refuse(const QString& why)
    {
        if (refusal.isEmpty())
            refusal = why;
        XML_StopParser(parser, XML_FALSE);
    }
};

// Names come as "namespace\x01local" or as "local": like Qt's reader, only
// the local name counts.
constexpr char kNamespaceSeparator = '\x01';
const char* localName(const char* name)
{
    const char* separator = std::strrchr(name, kNamespaceSeparator);
    return separator ? separator + 1 : name;
}

void XMLCALL startElement(void* data, const XML_Char* qualified, const XML_Char** /*attributes*/)
{
    auto* walk = static_cast<Walk*>(data);
    if (walk->stopped())
        return;
    const char* name = localName(qualified);
    if (walk->depth == 0 && std::strcmp(name, "Zepta") != 0)
        return walk->refuse(
            QStringLiteral("The root element is \"%1\", not \"Zepta\".").arg(QString::fromUtf8(name).left(64)));
    if (walk->depth == kMaxDepth)
        return walk->refuse(QStringLiteral("The document nests elements deeper than %1 levels.").arg(kMaxDepth));
    if (walk->depth == 1 && std::strcmp(name, kEvent) == 0 && ++walk->events > 1)
        return walk->refuse(QStringLiteral("The document holds more than one GeocodedEvent."));
    walk->pathLengths.push_back(walk->path.size());
    if (walk->depth > 0) {
        if (walk->depth > 1)
            walk->path += '/';
        walk->path += name;
    }
    ++walk->depth;
    walk->text.clear();
}

void XMLCALL endElement(void* data, const XML_Char* /*name*/)
{
    auto* walk = static_cast<Walk*>(data);
    if (walk->stopped())
        return;
    if (!walk->leaves.emplace(walk->path, walk->text).second)
        return walk->refuse(QStringLiteral("The element %1 appears twice.").arg(QString::fromUtf8(walk->path.c_str())));
    walk->text.clear();
    walk->path.resize(walk->pathLengths.back());
    walk->pathLengths.pop_back();
    --walk->depth;
}

void XMLCALL characters(void* data, const XML_Char* text, int length)
{
    auto* walk = static_cast<Walk*>(data);
    if (!walk->stopped())
        walk->text.append(text, static_cast<std::size_t>(length));
}

// Stops at the DOCTYPE: entity declarations are never read, let alone
// expanded or fetched.
void XMLCALL doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    static_cast<Walk*>(data)->refuse(QStringLiteral("A DOCTYPE is not accepted."));
}

// XML 1.0 only, as Zepta writes it.
void XMLCALL declaration(void* data, const XML_Char* version, const XML_Char*, int)
{
    if (version && std::strcmp(version, "1.0") != 0)
        static_cast<Walk*>(data)->refuse(QStringLiteral("The document is not XML 1.0."));
}

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

} // namespace

QByteArray sha256(QByteArrayView data)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, static_cast<size_t>(data.size()), reinterpret_cast<const std::uint8_t*>(data.data()));
    QByteArray digest(SHA256_DIGEST_SIZE, Qt::Uninitialized);
    sha256_digest(&context, SHA256_DIGEST_SIZE, reinterpret_cast<std::uint8_t*>(digest.data()));
    return digest;
}

QByteArray bodyDigest(const QByteArray& body) { return sha256(body); }

QByteArray isoUtc(const QDateTime& time)
{
    // Days to a civil date in the proleptic Gregorian calendar (H. Hinnant's
    // algorithm); years outside 1-9999 are left to Qt.
    const qint64 ms = time.toMSecsSinceEpoch();
    const qint64 days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
    const qint64 inDay = ms - days * 86400000;
    const qint64 z = days + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 dayOfEra = z - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 mp = (5 * dayOfYear + 2) / 153;
    const qint64 day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const qint64 month = mp < 10 ? mp + 3 : mp - 9;
    const qint64 year = yearOfEra + era * 400 + (month <= 2);
    if (!time.isValid() || year < 1 || year > 9999)
        return time.toUTC().toString(Qt::ISODateWithMs).toLatin1();
    QByteArray text(24, Qt::Uninitialized);
    char* p = text.data();
    const auto digits = [&p](qint64 value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            p[i] = static_cast<char>('0' + value % 10);
        p += width;
    };
    const auto put = [&p](char c) { *p++ = c; };
    digits(year, 4), put('-'), digits(month, 2), put('-'), digits(day, 2), put('T');
    digits(inDay / 3600000, 2), put(':'), digits(inDay / 60000 % 60, 2), put(':'), digits(inDay / 1000 % 60, 2);
    put('.'), digits(inDay % 1000, 3), put('Z');
    return text;
}

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
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree> parser(
        XML_ParserCreateNS(nullptr, kNamespaceSeparator));
    if (!parser)
        return refuse(reason, QStringLiteral("Out of memory."));
    Walk walk;
    walk.parser = parser.get();
    XML_SetUserData(parser.get(), &walk);
    XML_SetElementHandler(parser.get(), startElement, endElement);
    XML_SetCharacterDataHandler(parser.get(), characters);
    XML_SetStartDoctypeDeclHandler(parser.get(), doctype);
    XML_SetXmlDeclHandler(parser.get(), declaration);
    if (XML_Parse(parser.get(), body.constData(), static_cast<int>(body.size()), XML_TRUE) != XML_STATUS_OK) {
        if (!walk.refusal.isEmpty())
            return refuse(reason, walk.refusal);
        return refuse(reason,
            QStringLiteral("The body is not a well-formed XML document (line %1, column %2): %3")
                .arg(XML_GetCurrentLineNumber(parser.get()))
                .arg(XML_GetCurrentColumnNumber(parser.get()) + 1)
                .arg(QString::fromUtf8(XML_ErrorString(XML_GetErrorCode(parser.get())))));
    }
    if (walk.events == 0)
        return refuse(reason, QStringLiteral("The document holds no GeocodedEvent."));

    std::string key = std::string(kEvent) + '/';
    static const std::string kNone;
    const auto raw = [&walk, &key](const char* name) -> const std::string& {
        key.resize(std::strlen(kEvent) + 1);
        key += name;
        const auto found = walk.leaves.find(key);
        return found == walk.leaves.end() ? kNone : found->second;
    };
    const auto leaf = [&raw](const char* name) { return QString::fromStdString(raw(name)); };
    Event event;
    event.eventId = canonicalEventId(leaf("EventId").toLatin1());
    if (event.eventId.isEmpty())
        return refuse(reason, QStringLiteral("The event has no EventId that is a UUID."));

    bool bad = false;
    const std::optional<double> latitude = number(raw("GpsReading/Latitude"), &bad);
    const std::optional<double> longitude = number(raw("GpsReading/Longitude"), &bad);
    if (!latitude || !longitude || std::abs(*latitude) > 90.0 || std::abs(*longitude) > 180.0)
        return refuse(reason, QStringLiteral("The event has no Latitude and Longitude in decimal degrees."));
    event.latitude = *latitude;
    event.longitude = *longitude;

    event.clientId = leaf("ClientId");
    event.notes = leaf("Notes");
    event.eventTypeId = whole(leaf("EventTypeId"), &bad);
    event.speed = number(raw("GpsReading/Speed"), &bad);
    event.heading = number(raw("GpsReading/Heading"), &bad);
    event.altitude = number(raw("GpsReading/Altitude"), &bad);
    event.fixQuality = whole(leaf("GpsReading/FixQuality"), &bad);
    event.satellites = whole(leaf("GpsReading/Satellites"), &bad);
    event.hdop = number(raw("GpsReading/Hdop"), &bad);
    event.accuracy = number(raw("GpsReading/Accuracy"), &bad);
    event.fixAge = number(raw("GpsReading/FixAge"), &bad);
    event.samples = whole(leaf("GpsReading/Samples"), &bad);
    event.spread = number(raw("GpsReading/Spread"), &bad);
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
    return isoUtc(record.received) + ' ' + record.path + ' ' + QByteArray::number(record.body.size()) + ' '
        + record.eventId + (record.crew.isEmpty() ? QByteArray() : ' ' + record.crew) + '\n' + record.body + '\n';
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

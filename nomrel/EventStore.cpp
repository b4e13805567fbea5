#include "nomrel/EventStore.h"

#include "nomrel/Component.h"

#include <QFile>
#include <QFileInfo>

// The schema is a resource of this static library; nothing else references it,
// so it must be registered by hand or the linker drops it.
static void registerNomrelResources() { Q_INIT_RESOURCE(nomrel); }

namespace nomrel
{

namespace
{

// Columns added since the first layout; an older database gets them in place.
struct AddedColumn {
    const char* table;
    const char* name;
    const char* type;
};
constexpr AddedColumn kAddedColumns[] = {
    {"GPS_READINGS", "ACCURACY_M", "DOUBLE"},
    {"GPS_READINGS", "FIX_AGE_S", "DOUBLE"},
    {"GPS_READINGS", "SAMPLES", "INTEGER"},
    {"GPS_READINGS", "SPREAD_M", "DOUBLE"},
    {"GEOCODED_EVENTS", "TRACK_ID", "INTEGER"},
};

QStringList columnsOf(db::Connection& connection, const char* table)
{
    QStringList names;
    for (auto rs = connection.open(QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1String(table))); !rs.eof();
         rs.moveNext())
        names << rs.field(QStringLiteral("name")).toString().toUpper();
    return names;
}

// One transaction, taken before the columns are looked at, so two programs
// starting at once add each column once; rows already there keep every value
// and get Null in the new columns.
void upgradeSchema(db::Connection& connection)
{
    db::Connection::Transaction transaction(connection);
    for (const AddedColumn& column : kAddedColumns) {
        if (!columnsOf(connection, column.table).contains(QLatin1String(column.name)))
            connection.execute(
                QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3")
                    .arg(QLatin1String(column.table), QLatin1String(column.name), QLatin1String(column.type)));
    }
    connection.execute(
        QStringLiteral("CREATE INDEX IF NOT EXISTS GEOCODED_EVENTS_BY_TRACK ON GEOCODED_EVENTS (TRACK_ID)"));
    transaction.commit();
}

db::Value optionalReal(const std::optional<double>& value)
{
    return value ? db::Value::real(*value) : db::Value::null();
}

} // namespace

void ensureSchema(db::Connection& connection)
{
    static const bool registered = (registerNomrelResources(), true);
    Q_UNUSED(registered);
    QFile file(QStringLiteral(":/nomrel/schema.sql"));
    if (!file.open(QIODevice::ReadOnly))
        throw ZeptaError(QStringLiteral("The event database schema is missing from the component"));
    connection.execute(QString::fromUtf8(file.readAll()));
    upgradeSchema(connection);
}

void ensureEventDatabase(const QString& connectionString)
{
    const QString path = db::dataSourceOf(connectionString);
    if (QFileInfo::exists(path)) {
        db::Connection connection = db::Connection::openFile(path);
        ensureSchema(connection);
        return;
    }
    try {
        auto connection = db::Connection::openFile(path, db::Connection::Mode::Create);
        ensureSchema(connection);
    } catch (const ZeptaError& error) {
        QFile::remove(path); // no half-made database left behind
        throw ZeptaError(QStringLiteral("The event database %1 cannot be created: %2").arg(path, error.message()));
    }
}

std::int32_t EventStore::Store()
{
    if (!mHasReading)
        throw ZeptaError(QStringLiteral("The event has no GPS reading"));
    // GMT is required of every stored reading; a row without it would break
    // the export of all events later.
    if (!mReading.gmt.isValid())
        throw ZeptaError(QStringLiteral("The event's GPS reading has no time"));
    db::Connection connection(DataLink().connectionString());
    // The tables are checked once per opened database, not on every save.
    if (connection.firstUse("nomrel schema"))
        ensureSchema(connection);
    db::Connection::Transaction transaction(connection);
    connection.execute(QStringLiteral("INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, "
                                      "ALTITUDE, FIX_QUALITY, SATELLITES, HDOP, LOCKED, ACCURACY_M, FIX_AGE_S, "
                                      "SAMPLES, SPREAD_M) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        {db::Value::dateTime(mReading.gmt), db::Value::real(mReading.latitude), db::Value::real(mReading.longitude),
            db::Value::real(mReading.speed), db::Value::real(mReading.heading), db::Value::real(mReading.altitude),
            db::Value::integer(mReading.fixQuality), db::Value::integer(mReading.satellitesUsed),
            db::Value::real(mReading.hdop), db::Value::boolean(mReading.locked), optionalReal(mReading.accuracy),
            db::Value::real(mReading.fixAge), db::Value::integer(mReading.samples), optionalReal(mReading.spread)});
    const auto readingId = connection.lastInsertRowId();
    connection.execute(QStringLiteral("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, "
                                      "GPS_READING_ID, NOTES, TRACK_ID) VALUES (?, ?, ?, ?, ?, ?)"),
        {db::Value::text(mReading.source), db::Value::text(mClientId), db::Value::integer(mEventType),
            db::Value::integer(readingId), db::Value::text(mNotes),
            mTrackId ? db::Value::integer(*mTrackId) : db::Value::null()});
    const auto eventId = connection.lastInsertRowId();
    transaction.commit();
    return static_cast<std::int32_t>(eventId);
}

QString xmlEscape(const QString& text)
{
    QString out;
    out.reserve(text.size() + 16);
    const auto* const end = text.constData() + text.size();
    for (const QChar* p = text.constData(); p != end; ++p) {
        const char16_t c = p->unicode();
        switch (c) {
        case u'&':
            out += QLatin1String("&amp;");
            continue;
        case u'<':
            out += QLatin1String("&lt;");
            continue;
        case u'>':
            out += QLatin1String("&gt;");
            continue;
        case u'"':
            out += QLatin1String("&quot;");
            continue;
        case u'\'':
            out += QLatin1String("&apos;");
            continue;
        case u'\t':
            out += QLatin1String("&#9;");
            continue;
        case u'\n':
            out += QLatin1String("&#10;");
            continue;
        case u'\r':
            out += QLatin1String("&#13;");
            continue;
        default:
            break;
        }
        // XML 1.0 cannot carry these at all: the other control characters
        // become their visible control pictures (BEL U+2407), as in GPX.
        if (c < 0x20) {
            out += QChar(0x2400 + c);
        } else if (c == 0xFFFE || c == 0xFFFF) {
            out += QChar(0xFFFD);
        } else if (p->isHighSurrogate() && p + 1 != end && (p + 1)->isLowSurrogate()) {
            out += *p;
            out += *++p;
        } else if (p->isSurrogate()) {
            out += QChar(0xFFFD); // a lone half of a pair is no character
        } else {
            out += *p;
        }
    }
    return out;
}

namespace
{
QString number(double value, int decimals) { return QString::number(value, 'f', decimals); }
QString element(const char* name, const QString& content)
{
    return QStringLiteral("<%1>%2</%1>").arg(QLatin1String(name), content);
}
} // namespace

QString EventStore::XmlText() const
{
    const gps::Reading& r = mReading;
    const QString gmt = r.gmt.isValid() ? r.gmt.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")) : QString();
    QString reading = element("Gmt", gmt) + element("Latitude", number(r.latitude, 7))
        + element("Longitude", number(r.longitude, 7)) + element("Speed", number(r.speed, 2))
        + element("Heading", number(r.heading, 1)) + element("Altitude", number(r.altitude, 1))
        + element("FixQuality", QString::number(r.fixQuality))
        + element("Satellites", QString::number(r.satellitesUsed)) + element("Hdop", number(r.hdop, 1))
        + element("Locked", r.locked ? QStringLiteral("true") : QStringLiteral("false"));
    if (r.accuracy)
        reading += element("Accuracy", number(*r.accuracy, 1));
    reading += element("FixAge", number(r.fixAge, 1)) + element("Samples", QString::number(r.samples));
    if (r.spread)
        reading += element("Spread", number(*r.spread, 2));
    QString event = QStringLiteral("<GeocodedEvent>") + element("EventId", mEventId)
        + element("ClientId", xmlEscape(mClientId)) + element("EventTypeId", QString::number(mEventType))
        + element("Notes", xmlEscape(mNotes)) + element("GpsReading", reading);
    if (mTrackId)
        event += element("TrackId", QString::number(*mTrackId));
    return event + QStringLiteral("</GeocodedEvent>");
}

} // namespace nomrel

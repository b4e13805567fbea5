// The component's event object: stored in Nomrel.mdb and read back through the
// view, failures with the engine's message, and the XML fragment.

#include "core/Driver.h"
#include "gps/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "support/ErrorOf.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QTest>
#include <QUuid>
#include <QXmlStreamReader>

#include <functional>
#include <optional>

namespace
{

// Text that has to survive exactly: quotes, markup characters, line breaks of
// both kinds, a tab, letters beyond ASCII and a character beyond the BMP.
const QString kAwkwardNotes = QStringLiteral("He said \"stop\" & <left> 'now';\r\nsecond line\nthird\tcol, "
                                             "Gr\u00fc\u00dfe, caf\u00e9, \u5317\u4eac, \U0001F40B");

std::unique_ptr<gps::EventObject> filledEvent(
    const QString& client, std::int16_t type, const QString& notes, const gps::Reading& reading)
{
    auto event = gps::component().CreateEvent();
    event->setClientId(client);
    event->setEventType(type);
    event->setNotes(notes);
    event->setReading(reading);
    return event;
}

// The text content of each element named `name` in document order, read with
// QXmlStreamReader (which keeps whitespace-only text).
QStringList texts(const QString& xml, const QString& name)
{
    QStringList found;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == name)
            found << reader.readElementText();
    }
    if (reader.hasError())
        found << QStringLiteral("parse error: ") + reader.errorString();
    return found;
}

} // namespace

class TestEventStore : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    int count(const QString& table)
    {
        return db::Connection::openFile(mFolder->eventDatabase())
            .open(QStringLiteral("SELECT COUNT(*) AS N FROM ") + table)
            .field(QStringLiteral("N"))
            .toInt32();
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    void storedEventReadsBackThroughTheView()
    {
        const gps::Reading reading = makeReading(
            -37.784788333, 175.314896667, 181.39, QDateTime(QDate(2014, 12, 31), QTime(3, 7, 19), Qt::UTC));
        filledEvent(QStringLiteral("crew 'north'"), 7, kAwkwardNotes, reading)->Store();
        filledEvent(QStringLiteral("crew 2"), -3, QString(), makeReading(57.4125, -6.196))->Store();

        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        auto rs = c.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
        QVERIFY(!rs.eof());
        QCOMPARE(rs.field(QStringLiteral("EVENT_TYPE_ID")).toInt16(), std::int16_t(7));
        QCOMPARE(rs.field(QStringLiteral("NOTES")).toString(), kAwkwardNotes);
        QCOMPARE(rs.field(QStringLiteral("OBSERVER_MONIKER")).toString(), QStringLiteral("crew 'north'"));
        QCOMPARE(rs.field(QStringLiteral("NAME")).toString(), QStringLiteral("COM1"));
        QCOMPARE(rs.field(QStringLiteral("GMT")).toDateTime(), reading.gmt);
        QVERIFY(rs.field(QStringLiteral("LOCKED")).toBool());
        for (const auto& [column, value] : {std::pair {"LATITUDE", reading.latitude}, {"LONGITUDE", reading.longitude},
                 {"SPEED", reading.speed}, {"DIRECTION", 181.39}})
            QVERIFY2(rs.field(QLatin1String(column)).toDouble() == value, column);
        const auto firstReading = rs.field(QStringLiteral("GPS_READING_ID")).toInt32();
        rs.moveNext();
        QCOMPARE(rs.field(QStringLiteral("EVENT_TYPE_ID")).toInt16(), std::int16_t(-3));
        QCOMPARE(rs.field(QStringLiteral("NOTES")).toString(), QString());
        QVERIFY(rs.field(QStringLiteral("GPS_READING_ID")).toInt32() != firstReading); // each event its own reading
        rs.moveNext();
        QVERIFY(rs.eof());
        rs.close();

        // The reading row holds the rest of the reading.
        auto r = c.open(QStringLiteral("SELECT ALTITUDE, SATELLITES, HDOP FROM GPS_READINGS WHERE GPS_READING_ID = ?"),
            {db::Value::integer(firstReading)});
        for (const auto& [column, value] : {std::pair {"ALTITUDE", 96.5}, {"SATELLITES", 8.0}, {"HDOP", 0.9}})
            QVERIFY2(r.field(QLatin1String(column)).toDouble() == value, column);

        // At start-up a missing database is made empty, an existing one kept;
        // one that cannot be made is named.
        r.close();
        c.close();
        const QString connection = gps::component().CreateDataLink()->connectionString();
        nomrel::ensureEventDatabase(connection);
        QCOMPARE(count(QStringLiteral("GEOCODED_EVENTS_WITH_GPS_READINGS")), 2);
        QVERIFY(QFile::remove(mFolder->eventDatabase()));
        nomrel::ensureEventDatabase(connection);
        QCOMPARE(count(QStringLiteral("GEOCODED_EVENTS_WITH_GPS_READINGS")), 0);
        filledEvent(QStringLiteral("c"), 1, QStringLiteral("n"), makeReading(1, 2))->Store();
        QCOMPARE(count(QStringLiteral("GEOCODED_EVENTS_WITH_GPS_READINGS")), 1);
        const QString nowhere = mFolder->file(QStringLiteral("no such folder/Nomrel.mdb"));
        QVERIFY(errorOf([&] {
            nomrel::ensureEventDatabase(Driver::connectionStringFor(
                mFolder->file(QStringLiteral("no such folder")), QStringLiteral("Nomrel.mdb")));
        }).startsWith(QStringLiteral("The event database %1 cannot be created: ").arg(nowhere)));
        QVERIFY(!QFile::exists(nowhere));
    }

    void failuresCarryTheEnginesMessageAndStoreNothing()
    {
        // Without a reading, or with one that has no time, there is nothing to store.
        QCOMPARE(
            errorOf([] { gps::component().CreateEvent()->Store(); }), QStringLiteral("The event has no GPS reading"));
        QCOMPARE(
            errorOf([] { filledEvent(QStringLiteral("c"), 1, QString(), makeReading(1, 2, 0, QDateTime()))->Store(); }),
            QStringLiteral("The event's GPS reading has no time"));
        QCOMPARE(count(QStringLiteral("GPS_READINGS")), 0);

        const QString database = mFolder->eventDatabase();
        auto store = [] { filledEvent(QStringLiteral("c"), 1, QStringLiteral("n"), makeReading(1, 2))->Store(); };
        const bool readOnly = mFolder->makeReadOnly(database);
        if (readOnly) {
            const QString error = errorOf(store);
            QVERIFY2(error.contains(QLatin1String("readonly")), qPrintable(error));
            mFolder->makeWritable(database);
            QCOMPARE(count(QStringLiteral("GEOCODED_EVENTS")) + count(QStringLiteral("GPS_READINGS")), 0);
        }
        QVERIFY(QFile::remove(database));
        const QString error = errorOf(store);
        QVERIFY2(error.contains(QLatin1String("unable to open database file")) && error.contains(database),
            qPrintable(error));
        QVERIFY(!QFile::exists(database)); // not made anew by a save
        if (!readOnly)
            QSKIP("this file system cannot make a file read-only for root");
    }

    void xmlFragmentKeepsEveryTextExactly()
    {
        const gps::Reading reading
            = makeReading(35.77961, -78.63818, 90.0, QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15, 250), Qt::UTC));
        const auto event = filledEvent(QStringLiteral("crew 1"), 12, QStringLiteral("n"), reading);
        // A version 4 UUID per object, never repeated.
        QVERIFY2(QUuid::fromString(event->EventId()).version() == QUuid::Random, qPrintable(event->EventId()));
        QVERIFY(event->EventId() != filledEvent(QString(), 1, QString(), reading)->EventId());
        QCOMPARE(event->XmlText(),
            QStringLiteral("<GeocodedEvent><EventId>") + event->EventId()
                + QStringLiteral("</EventId><ClientId>crew 1</ClientId><EventTypeId>12</EventTypeId><Notes>n</Notes>"
                                 "<GpsReading><Gmt>2026-12-06T07:30:15Z</Gmt><Latitude>35.7796100</Latitude>"
                                 "<Longitude>-78.6381800</Longitude><Speed>1.50</Speed><Heading>90.0</Heading>"
                                 "<Altitude>96.5</Altitude><FixQuality>1</FixQuality><Satellites>8</Satellites>"
                                 "<Hdop>0.9</Hdop><Locked>true</Locked></GpsReading></GeocodedEvent>"));

        // Character for character, line breaks included, in a well-formed
        // fragment; what XML cannot carry at all becomes U+FFFD instead of
        // breaking the document.
        const QString xml = filledEvent(kAwkwardNotes, 12, kAwkwardNotes, reading)->XmlText();
        QCOMPARE(texts(xml, QStringLiteral("Notes")), QStringList {kAwkwardNotes});
        QCOMPARE(texts(xml, QStringLiteral("ClientId")), QStringList {kAwkwardNotes});
        const QString unwritable
            = QStringLiteral("a") + QChar(0x01) + QChar(0xD800) + QStringLiteral("b"); // half a pair
        for (const auto& [notes, expected] : {std::pair {QStringLiteral("  \r\n "), QStringLiteral("  \r\n ")},
                 {unwritable, QStringLiteral("a\ufffd\ufffdb")}})
            QCOMPARE(texts(filledEvent(QString(), 1, notes, reading)->XmlText(), QStringLiteral("Notes")),
                QStringList {expected});
    }
};

QTEST_GUILESS_MAIN(TestEventStore)
#include "test_eventstore.moc"

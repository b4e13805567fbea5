// The component's event object: stored in Nomrel.mdb and read back through the
// view, failures with the engine's message, and the XML fragment.

#include "core/Driver.h"
#include "gps/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Db.h"
#include "support/ErrorOf.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QTest>
#include <QUuid>
#include <QXmlStreamReader>

#include <optional>

namespace
{

// Quotes, markup, both line breaks, a tab, letters beyond ASCII and the BMP.
const QString kAwkwardNotes = QStringLiteral("He said \"stop\" & <left> 'now';\r\nsecond line\nthird\tcol, "
                                             "Gr\u00fc\u00dfe, caf\u00e9, \u5317\u4eac, \U0001F40B");

std::unique_ptr<gps::EventObject> filledEvent(
    const QString& client, std::int16_t type, const QString& notes, const gps::Reading& reading = makeReading(1, 2))
{
    auto event = gps::component().CreateEvent();
    event->setClientId(client);
    event->setEventType(type);
    event->setNotes(notes);
    event->setReading(reading);
    return event;
}

// The texts of ClientId and Notes (whitespace-only ones too), or the parse error.
QStringList texts(const QString& xml)
{
    QStringList found;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        if (reader.readNext() == QXmlStreamReader::StartElement
            && (reader.name() == QLatin1String("ClientId") || reader.name() == QLatin1String("Notes")))
            found << reader.readElementText();
    return reader.hasError() ? QStringList {reader.errorString()} : found;
}

} // namespace

class TestEventStore : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    // Each event's reading quality and track: id|ACCURACY_M|FIX_AGE_S|SAMPLES|SPREAD_M|TRACK_ID.
    static QStringList quality(db::Connection& c)
    {
        QStringList rows;
        for (auto rs = c.open(QStringLiteral(
                 "SELECT E.GEOCODED_EVENT_ID || '|' || IFNULL(ACCURACY_M, '') || '|' || IFNULL(FIX_AGE_S, '') || "
                 "'|' || IFNULL(SAMPLES, '') || '|' || IFNULL(SPREAD_M, '') || '|' || "
                 "IFNULL(TRACK_ID, '') FROM GEOCODED_EVENTS E JOIN GPS_READINGS R USING (GPS_READING_ID)"));
             !rs.eof(); rs.moveNext())
            rows << rs.field(0).toString();
        return rows;
    }

    int count(const char* table) const
    {
        return db::Connection::openFile(mFolder->eventDatabase())
            .open(QLatin1String("SELECT COUNT(*) FROM ") + table)
            .field(0)
            .toInt32();
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    // Every column reaches the view, each event with a reading of its own; the
    // XML holds a UUID, every text exactly, a control picture or U+FFFD for
    // what XML cannot carry.
    void storedAndWrittenExactly()
    {
        const gps::Reading reading = makeReading(
            -37.784788333, 175.314896667, 181.39, QDateTime(QDate(2014, 12, 31), QTime(3, 7, 19), Qt::UTC));
        filledEvent(QStringLiteral("crew 'north'"), 7, kAwkwardNotes, reading)->Store();
        gps::Reading averaged
            = makeReading(35.77961, -78.63818, 90.0, QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15, 250), Qt::UTC));
        averaged.accuracy = 4.54;
        averaged.fixAge = 0.5;
        averaged.samples = 5;
        averaged.spread = 0.844;
        const auto event = filledEvent(QStringLiteral("crew 1"), -3, QString(), averaged);
        event->setTrackId(1765010415000);
        event->Store();
        QCOMPARE(QUuid::fromString(event->EventId()).version(), QUuid::Random);
        QCOMPARE(event->XmlText(),
            QStringLiteral("<GeocodedEvent><EventId>") + event->EventId()
                + QStringLiteral("</EventId><ClientId>crew 1</ClientId><EventTypeId>-3</EventTypeId><Notes></Notes>"
                                 "<GpsReading><Gmt>2026-12-06T07:30:15Z</Gmt><Latitude>35.7796100</Latitude>"
                                 "<Longitude>-78.6381800</Longitude><Speed>1.50</Speed><Heading>90.0</Heading>"
                                 "<Altitude>96.5</Altitude><FixQuality>1</FixQuality><Satellites>8</Satellites>"
                                 "<Hdop>0.9</Hdop><Locked>true</Locked><Accuracy>4.5</Accuracy><FixAge>0.5</FixAge>"
                                 "<Samples>5</Samples><Spread>0.84</Spread></GpsReading>"
                                 "<TrackId>1765010415000</TrackId></GeocodedEvent>"));
        const auto unwritable = filledEvent(
            QStringLiteral("  \r\n "), 1, QStringLiteral("\x01\x1b\ufffe") + QChar(0xD800) + kAwkwardNotes);
        QCOMPARE(texts(unwritable->XmlText()),
            (QStringList {QStringLiteral("  \r\n "), QStringLiteral("\u2401\u241b\ufffd\ufffd") + kAwkwardNotes}));

        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        auto rs = c.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS V JOIN (SELECT GPS_READING_ID "
                                        "AS R, ALTITUDE, SATELLITES, HDOP FROM GPS_READINGS) ON R = V.GPS_READING_ID"));
        auto field = [&rs](const char* column) { return rs.field(QLatin1String(column)); };
        QCOMPARE((QVariantList {field("EVENT_TYPE_ID").toInt16(), field("NOTES").toString(),
                     field("OBSERVER_MONIKER").toString(), field("NAME").toString(), field("GMT").toDateTime(),
                     field("LOCKED").toBool(), field("LATITUDE").toDouble(), field("LONGITUDE").toDouble(),
                     field("SPEED").toDouble(), field("DIRECTION").toDouble(), field("ALTITUDE").toDouble(),
                     field("SATELLITES").toDouble(), field("HDOP").toDouble()}),
            (QVariantList {7, kAwkwardNotes, "crew 'north'", "COM1", reading.gmt, true, reading.latitude,
                reading.longitude, 1.5, 181.39, 96.5, 8.0, 0.9}));
        rs.moveNext();
        QCOMPARE(
            (QVariantList {field("EVENT_TYPE_ID").toInt16(), field("NOTES").toString(), field("LATITUDE").toDouble()}),
            (QVariantList {-3, "", 35.77961}));
        QCOMPARE(quality(c), (QStringList {"1||0.0|1||", "2|4.54|0.5|5|0.844|1765010415000"}));
    }

    // A Nomrel.mdb of the first layout, with events in it, gets the quality and
    // track columns at start-up; its rows and the view stay as they were, and
    // new events fill the new columns.
    void oldLayoutUpgradedInPlace()
    {
        const QString database = mFolder->eventDatabase();
        QVERIFY(QFile::remove(database));
        {
            auto old = db::Connection::openFile(database, db::Connection::Mode::Create);
            old.execute(QStringLiteral(
                "CREATE TABLE GPS_READINGS (GPS_READING_ID INTEGER PRIMARY KEY AUTOINCREMENT, GMT DATETIME NOT NULL, "
                "LATITUDE DOUBLE NOT NULL, LONGITUDE DOUBLE NOT NULL, SPEED DOUBLE NOT NULL, DIRECTION DOUBLE NOT "
                "NULL, ALTITUDE DOUBLE, FIX_QUALITY INTEGER, SATELLITES INTEGER, HDOP DOUBLE, LOCKED BOOLEAN NOT "
                "NULL);"
                "CREATE TABLE GEOCODED_EVENTS (GEOCODED_EVENT_ID INTEGER PRIMARY KEY AUTOINCREMENT, NAME TEXT, "
                "OBSERVER_MONIKER TEXT, EVENT_TYPE_ID SMALLINT NOT NULL, GPS_READING_ID INTEGER NOT NULL "
                "REFERENCES GPS_READINGS (GPS_READING_ID), NOTES TEXT NOT NULL DEFAULT '');"
                "INSERT INTO GPS_READINGS VALUES (1, '2026-12-06 07:00:07', 57.4, -6.2, 0.5, 13.5, 40, 1, 8, 0.9, 1);"
                "INSERT INTO GPS_READINGS VALUES (2, '2026-12-06 07:01:00', 57.5, -6.1, 0, 0, NULL, NULL, NULL, "
                "NULL, 0);"
                "INSERT INTO GEOCODED_EVENTS VALUES (1, 'COM1', 'crew 1', 202, 1, 'kerb');"
                "INSERT INTO GEOCODED_EVENTS VALUES (2, 'COM2', 'crew 2', 101, 2, '');"));
        }
        for (int start = 0; start < 2; ++start) // a second start finds nothing to do
            nomrel::ensureEventDatabase(gps::component().CreateDataLink()->connectionString());
        gps::Reading reading = makeReading(1, 2);
        reading.accuracy = 12.5;
        filledEvent(QStringLiteral("c"), 3, QStringLiteral("new"), reading)->Store();

        auto c = db::Connection::openFile(database, db::Connection::Mode::ReadOnly);
        QStringList view;
        for (auto rs = c.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS")); !rs.eof();
             rs.moveNext()) {
            QStringList row;
            for (int i = 0; i < rs.columnNames().size(); ++i)
                row << rs.field(i).toString();
            view << row.join(QLatin1Char('|'));
        }
        QCOMPARE(view.mid(0, 2),
            (QStringList {"1|COM1|crew 1|202|1|2026-12-06 07:00:07|57.4|-6.2|0.5|13.5|True|kerb",
                "2|COM2|crew 2|101|2|2026-12-06 07:01:00|57.5|-6.1|0|0|False|"}));
        QCOMPARE(quality(c), (QStringList {"1|||||", "2|||||", "3|12.5|0.0|1||"}));
    }

    // Failures carry the engine's message and store nothing. At start-up a missing
    // database is made, an existing one kept, and one that cannot be is named.
    void failuresAndStartUp()
    {
        QCOMPARE(
            errorOf([] { gps::component().CreateEvent()->Store(); }), QStringLiteral("The event has no GPS reading"));
        QCOMPARE(errorOf([] { filledEvent({}, 1, {}, makeReading(1, 2, 0, QDateTime()))->Store(); }),
            QStringLiteral("The event's GPS reading has no time"));
        const QString database = mFolder->eventDatabase();
        auto store = [] { filledEvent(QStringLiteral("c"), 1, QStringLiteral("n"))->Store(); };
        store();
        const bool readOnly = mFolder->makeReadOnly(database);
        if (readOnly) {
            const QString error = errorOf(store);
            QVERIFY2(error.contains(QLatin1String("readonly")), qPrintable(error));
            mFolder->makeWritable(database);
        }
        QCOMPARE(count("GEOCODED_EVENTS") + count("GPS_READINGS"), 2);

        nomrel::ensureEventDatabase(gps::component().CreateDataLink()->connectionString());
        QCOMPARE(count("GEOCODED_EVENTS_WITH_GPS_READINGS"), 1);
        QVERIFY(QFile::remove(database));
        QCOMPARE(errorOf(store), QStringLiteral("unable to open database file: %1 does not exist").arg(database));
        QVERIFY(!QFile::exists(database)); // not made anew by a save
        nomrel::ensureEventDatabase(gps::component().CreateDataLink()->connectionString());
        QCOMPARE(count("GEOCODED_EVENTS_WITH_GPS_READINGS"), 0);
        const QString nowhere = mFolder->file(QStringLiteral("no such folder"));
        QVERIFY(errorOf([&] {
            nomrel::ensureEventDatabase(Driver::connectionStringFor(nowhere, "Nomrel.mdb"));
        }).startsWith(QStringLiteral("The event database %1/Nomrel.mdb cannot be created: ").arg(nowhere)));
        QVERIFY(!QFile::exists(nowhere));
        if (!readOnly)
            QSKIP("this file system cannot make a file read-only for root");
    }
};

QTEST_GUILESS_MAIN(TestEventStore)
#include "test_eventstore.moc"

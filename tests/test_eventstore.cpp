// The component's event object: stored in Nomrel.mdb and read back through the
// view, failures with the engine's message, and the XML fragment.

#include "core/Driver.h"
#include "gps/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QDomDocument>
#include <QFile>
#include <QTest>
#include <QXmlStreamReader>

#include <functional>
#include <optional>

namespace
{

// Text that has to survive exactly: quotes, markup characters, line breaks of
// both kinds, a tab, letters beyond ASCII and a character beyond the BMP.
const QString kAwkwardNotes = QStringLiteral("He said \"stop\" & <left> 'now';\r\nsecond line\nthird\tcol, "
                                             "Gr\u00fc\u00dfe, caf\u00e9, \u5317\u4eac, \U0001F40B");

QString errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ZeptaError& error) {
        return error.message();
    }
    return QString();
}

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
        QCOMPARE(rs.field(QStringLiteral("LATITUDE")).toDouble(), reading.latitude);
        QCOMPARE(rs.field(QStringLiteral("LONGITUDE")).toDouble(), reading.longitude);
        QCOMPARE(rs.field(QStringLiteral("SPEED")).toDouble(), reading.speed);
        QCOMPARE(rs.field(QStringLiteral("DIRECTION")).toDouble(), 181.39);
        QCOMPARE(rs.field(QStringLiteral("LOCKED")).toBool(), true);
        const auto firstReading = rs.field(QStringLiteral("GPS_READING_ID")).toInt32();
        rs.moveNext();
        QCOMPARE(rs.field(QStringLiteral("EVENT_TYPE_ID")).toInt16(), std::int16_t(-3));
        QCOMPARE(rs.field(QStringLiteral("NOTES")).toString(), QString());
        QVERIFY(rs.field(QStringLiteral("GPS_READING_ID")).toInt32() != firstReading); // each event its own reading
        rs.moveNext();
        QVERIFY(rs.eof());
        rs.close();

        // The reading row holds the rest of the reading.
        auto r = c.open(QStringLiteral("SELECT ALTITUDE, FIX_QUALITY, SATELLITES, HDOP FROM GPS_READINGS "
                                       "WHERE GPS_READING_ID = ?"),
            {db::Value::integer(firstReading)});
        QCOMPARE(r.field(QStringLiteral("ALTITUDE")).toDouble(), 96.5);
        QCOMPARE(r.field(QStringLiteral("SATELLITES")).toInt32(), 8);
        QCOMPARE(r.field(QStringLiteral("HDOP")).toDouble(), 0.9);
    }

    void emptyDatabaseGetsItsTablesOnFirstUse()
    {
        QVERIFY(QFile::remove(mFolder->eventDatabase()));
        db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::Create).close();
        filledEvent(QStringLiteral("c"), 1, QStringLiteral("n"), makeReading(1, 2))->Store();
        QCOMPARE(count(QStringLiteral("GEOCODED_EVENTS_WITH_GPS_READINGS")), 1);
    }

    void failuresCarryTheEnginesMessageAndStoreNothing()
    {
        const QString database = mFolder->eventDatabase();
        if (!mFolder->makeReadOnly(database))
            QSKIP("this file system cannot make a file read-only for root");
        QString error
            = errorOf([] { filledEvent(QStringLiteral("c"), 1, QStringLiteral("n"), makeReading(1, 2))->Store(); });
        QVERIFY2(error.contains(QLatin1String("readonly")), qPrintable(error));
        mFolder->makeWritable(database);
        QCOMPARE(count(QStringLiteral("GEOCODED_EVENTS")), 0);
        QCOMPARE(count(QStringLiteral("GPS_READINGS")), 0);

        QVERIFY(QFile::remove(database));
        error = errorOf([] { filledEvent(QStringLiteral("c"), 1, QStringLiteral("n"), makeReading(1, 2))->Store(); });
        QVERIFY2(error.contains(QLatin1String("unable to open database file")) && error.contains(database),
            qPrintable(error));
        QVERIFY(!QFile::exists(database)); // not made anew by a save

        // Without a reading, or with one that has no time, there is nothing to store.
        QVERIFY(!errorOf([] {
            auto event = gps::component().CreateEvent();
            event->Store();
        }).isEmpty());
        QVERIFY(!errorOf([] {
            filledEvent(QStringLiteral("c"), 1, QString(), makeReading(1, 2, 0, QDateTime()))->Store();
        }).isEmpty());
    }

    void xmlFragmentKeepsEveryTextExactly()
    {
        const gps::Reading reading
            = makeReading(35.77961, -78.63818, 90.0, QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15, 250), Qt::UTC));
        const QString xml = filledEvent(kAwkwardNotes, 12, kAwkwardNotes, reading)->XmlText();

        // One element, well-formed on its own and inside the posted document.
        QDomDocument document;
        QString message;
        QVERIFY2(document.setContent(
                     QStringLiteral("<?xml version=\"1.0\"?><Zepta>") + xml + QStringLiteral("</Zepta>"), &message),
            qPrintable(message));
        const QDomElement event = document.documentElement().firstChildElement();
        QCOMPARE(event.tagName(), QStringLiteral("GeocodedEvent"));
        QVERIFY(event.nextSiblingElement().isNull());
        QStringList children;
        for (QDomElement e = event.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
            children << e.tagName();
        QCOMPARE(children, QStringList({"ClientId", "EventTypeId", "Notes", "GpsReading"}));
        const QDomElement gpsReading = event.firstChildElement(QStringLiteral("GpsReading"));
        QCOMPARE(gpsReading.firstChildElement(QStringLiteral("Gmt")).text(), QStringLiteral("2026-12-06T07:30:15Z"));
        QCOMPARE(gpsReading.firstChildElement(QStringLiteral("Latitude")).text(), QStringLiteral("35.7796100"));
        QCOMPARE(gpsReading.firstChildElement(QStringLiteral("Longitude")).text(), QStringLiteral("-78.6381800"));
        QCOMPARE(gpsReading.firstChildElement(QStringLiteral("Heading")).text(), QStringLiteral("90.0"));
        QCOMPARE(gpsReading.firstChildElement(QStringLiteral("Locked")).text(), QStringLiteral("true"));
        QCOMPARE(event.firstChildElement(QStringLiteral("EventTypeId")).text(), QStringLiteral("12"));

        // Character for character, line breaks included.
        QCOMPARE(texts(xml, QStringLiteral("Notes")), QStringList {kAwkwardNotes});
        QCOMPARE(texts(xml, QStringLiteral("ClientId")), QStringList {kAwkwardNotes});
        QCOMPARE(
            texts(filledEvent(QString(), 1, QStringLiteral("  \r\n "), reading)->XmlText(), QStringLiteral("Notes")),
            QStringList {QStringLiteral("  \r\n ")});

        // What XML cannot carry at all becomes U+FFFD instead of breaking the document.
        QString unwritable = QStringLiteral("a");
        unwritable += QChar(0x01);
        unwritable += QChar(0xD800); // half of a pair
        unwritable += QStringLiteral("b");
        QCOMPARE(texts(filledEvent(QString(), 1, unwritable, reading)->XmlText(), QStringLiteral("Notes")),
            QStringList {QStringLiteral("a\ufffd\ufffdb")});
    }
};

QTEST_GUILESS_MAIN(TestEventStore)
#include "test_eventstore.moc"

// Export of the saved events to a text file, their count and their purge.

#include "core/Driver.h"
#include "gps/Component.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstdlib>
#include <optional>

namespace
{
const QByteArray kHeader = "\"GEOCODED_EVENT_ID\",\"NAME\",\"OBSERVER_MONIKER\",\"EVENT_TYPE_ID\",\"EVENT_TYPE_NAME\","
                           "\"GPS_READING_ID\",\"GMT\",\"LATITUDE\",\"LONGITUDE\",\"SPEED\",\"DIRECTION\",\"LOCKED\","
                           "\"NOTES\"\r\n";

QByteArray contents(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot read ") + path.toUtf8() + '>';
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

// Switches the C library's numbers to a comma decimal separator. Without a
// German locale on the system, a locale of that one category is compiled
// into a temporary folder.
bool useCommaDecimalCLocale(QTemporaryDir& scratch)
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        if (std::setlocale(LC_NUMERIC, name) && std::localeconv()->decimal_point[0] == ',')
            return true;
    const QString source = scratch.filePath(QStringLiteral("comma.def"));
    writeFile(
        source, "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\ngrouping 3;3\nEND LC_NUMERIC\n");
    QProcess localedef;
    // -c: the other categories are missing on purpose (the exit status says so).
    localedef.start(QStringLiteral("localedef"),
        {QStringLiteral("-c"), QStringLiteral("-i"), source, scratch.filePath(QStringLiteral("zepta_comma"))});
    if (!localedef.waitForFinished(60000))
        return false;
    qputenv("LOCPATH", QFile::encodeName(scratch.path()));
    return std::setlocale(LC_NUMERIC, "zepta_comma") && std::localeconv()->decimal_point[0] == ',';
}

struct ReadingRow {
    const char* gmt;
    double latitude, longitude, speed, direction;
    bool locked;
};
} // namespace

class TestExport : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    QString target(const QString& name = QStringLiteral("events.txt")) const { return mFolder->file(name); }

    // One event with its own reading, values bound as given.
    void addEvent(const db::Value& name, const db::Value& observer, int eventType, const db::Value& gmt,
        const db::Value& latitude, const db::Value& longitude, const db::Value& speed, const db::Value& direction,
        const db::Value& locked, const db::Value& notes)
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        c.execute(QStringLiteral("INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED) "
                                 "VALUES (?, ?, ?, ?, ?, ?)"),
            {gmt, latitude, longitude, speed, direction, locked});
        const auto reading = c.lastInsertRowId();
        c.execute(QStringLiteral("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, "
                                 "NOTES) VALUES (?, ?, ?, ?, ?)"),
            {name, observer, db::Value::integer(eventType), db::Value::integer(reading), notes});
    }

    void addEvent(int eventType, const ReadingRow& r, const QString& notes)
    {
        addEvent(db::Value::text(QStringLiteral("COM1")), db::Value::text(QStringLiteral("crew 1")), eventType,
            db::Value::text(QLatin1String(r.gmt)), db::Value::real(r.latitude), db::Value::real(r.longitude),
            db::Value::real(r.speed), db::Value::real(r.direction), db::Value::boolean(r.locked),
            db::Value::text(notes));
    }

    // The component leaves the types of NAME, OBSERVER_MONIKER, LOCKED and
    // NOTES open; this layout gives them none, so every kind can reach the export.
    void useUntypedColumns()
    {
        // The view refers to its tables by name, so it reads the new ones.
        mFolder->execEvents(QStringLiteral(
            "DROP TABLE GEOCODED_EVENTS; DROP TABLE GPS_READINGS;"
            "CREATE TABLE GPS_READINGS (GPS_READING_ID INTEGER PRIMARY KEY, GMT DATETIME, LATITUDE, LONGITUDE,"
            " SPEED, DIRECTION, LOCKED BOOLEAN);"
            "CREATE TABLE GEOCODED_EVENTS (GEOCODED_EVENT_ID INTEGER PRIMARY KEY, NAME, OBSERVER_MONIKER,"
            " EVENT_TYPE_ID, GPS_READING_ID, NOTES);"));
    }

    int rows(const char* table)
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        return c.open(QStringLiteral("SELECT COUNT(*) AS N FROM ") + QLatin1String(table))
            .field(QStringLiteral("N"))
            .toInt32();
    }

    QString errorOf(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const ZeptaError& error) {
            return error.message();
        }
        return QString();
    }

    void exportExpectingSuccess(const QString& path, int count)
    {
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Completed"));
        Driver::Export_Events_To_File(path);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Plain);
        QCOMPARE(boxes.last().text, QStringLiteral("Saved %1 events to file: %2").arg(count).arg(path));
    }

    void exportExpectingFailure(const QString& path)
    {
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        Driver::Export_Events_To_File(path);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text, QStringLiteral("Unable to save events to file: ") + path);
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    // Quotes, line breaks, negative and tiny and huge numbers, the three date
    // forms, booleans and empty texts, under a locale with a decimal comma.
    void fileHoldsEveryEventInTheDescribedForm()
    {
        QTemporaryDir scratch;
        const bool cLocale = useCommaDecimalCLocale(scratch);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const auto restore = qScopeGuard([] {
            std::setlocale(LC_NUMERIC, "C");
            QLocale::setDefault(QLocale::c());
        });
        QCOMPARE(QLocale().toString(0.5), QStringLiteral("0,5"));
        if (!cLocale)
            qWarning("no comma-decimal C locale available: only Qt's default locale is German");
        else
            QCOMPARE(std::localeconv()->decimal_point[0], ',');

        addEvent(101, {"2026-12-06 07:30:15", 35.7812345, -78.6381812, 0.0, 359.9, true},
            QStringLiteral("Two lines:\nsecond, with \"quotes\"\r\nthird"));
        addEvent(db::Value::text(QString()), db::Value::text(QStringLiteral("crew \"7\", north")), 104,
            db::Value::text(QStringLiteral("2026-12-07")), db::Value::real(0.5), db::Value::real(-0.000012345),
            db::Value::real(1.5e20), db::Value::real(0.25), db::Value::boolean(false), db::Value::text(QString()));
        addEvent(
            201, {"23:59:58", -33.8688, 151.2093, 12.5, 180.0, true}, QStringLiteral("Zw\u00F6lf V\u00F6gel \u2713"));
        addEvent(305, {"1899-12-30 00:00:00", -0.0, 1234567.89, 3.0e-5, 100.0, false}, QStringLiteral("a,b"));

        writeFile(target(), QByteArray(100000, 'x')); // replaced, not overwritten in place
        exportExpectingSuccess(target(), 4);

        const QByteArray expected = kHeader
            + "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,35.78123,-78.63818,0,359.9,#TRUE#,"
              "\"Two lines:\nsecond, with \"\"quotes\"\"\r\nthird\"\r\n"
              "2,\"\",\"crew \"\"7\"\", north\",104,\"Flooding\",2,#2026-12-07#,0.5,-1.2345E-05,1.5E+20,0.25,#FALSE#,"
              "\"\"\r\n"
              "3,\"COM1\",\"crew 1\",201,\"Bird\",3,#23:59:58#,-33.8688,151.2093,12.5,180,#TRUE#,"
            + QStringLiteral("\"Zw\u00F6lf V\u00F6gel \u2713\"\r\n").toUtf8()
            + "4,\"COM1\",\"crew 1\",305,\"Vegetation\",4,#00:00:00#,0,1234568,3E-05,100,#FALSE#,\"a,b\"\r\n";
        QCOMPARE(contents(target()), expected);
    }

    // Columns the export does not convert go by their value's own kind.
    void unconvertedColumnsAreWrittenByTheirKind()
    {
        useUntypedColumns();
        addEvent(db::Value::integer(-42), db::Value::real(2.5), 102,
            db::Value::text(QStringLiteral("2026-01-02 03:04:05")), db::Value::text(QStringLiteral(" 12.5 ")),
            db::Value::integer(7), db::Value::real(1), db::Value::integer(90), db::Value::null(), db::Value::null());
        addEvent(db::Value::null(), db::Value::real(0.1 + 0.2), 102, db::Value::text(QStringLiteral("2026-01-02")),
            db::Value::real(1), db::Value::real(2), db::Value::real(3), db::Value::real(4),
            db::Value::text(QStringLiteral("true")), db::Value::real(1e300));
        exportExpectingSuccess(target(), 2);
        QCOMPARE(contents(target()),
            kHeader
                + "1,-42,2.5,102,\"Damaged Sign\",1,#2026-01-02 03:04:05#,12.5,7,1,90,#NULL#,#NULL#\r\n"
                  "2,#NULL#,0.3,102,\"Damaged Sign\",2,#2026-01-02#,1,2,3,4,#TRUE#,1E+300\r\n");
    }

    void emptyDatabaseGivesTheHeaderOnly()
    {
        exportExpectingSuccess(target(), 0);
        QCOMPARE(contents(target()), kHeader);
        QCOMPARE(Driver::Count_Saved_Events(), 0);
    }

    // Events stored by the real event object come back with their reading.
    void eventsStoredByTheComponentAreExported()
    {
        for (int i = 0; i < 3; ++i) {
            auto event = gps::component().CreateEvent();
            event->setClientId(QStringLiteral("unit 9"));
            event->setEventType(static_cast<std::int16_t>(401 + i));
            event->setNotes(QStringLiteral("note %1").arg(i));
            event->setReading(makeReading(57.4123456 + i, -6.1987654, 45.0 * i));
            event->Store();
        }
        QCOMPARE(Driver::Count_Saved_Events(), 3);
        exportExpectingSuccess(target(), 3);
        const QList<QByteArray> lines = contents(target()).split('\n');
        QCOMPARE(lines.size(), 5); // header, three events, nothing after the last CR LF
        QCOMPARE(lines[1],
            QByteArray("1,\"COM1\",\"unit 9\",401,\"Erosion\",1,#2026-12-06 07:30:15#,57.41235,-6.198765,"
                       "1.5,0,#TRUE#,\"note 0\"\r"));
        QVERIFY(lines[3].startsWith("3,\"COM1\",\"unit 9\",403,\"Signpost Missing\",3,"));
        QVERIFY(lines[4].isEmpty());
    }

    // A row that cannot be written stops the export there: the file keeps
    // the header and the rows before it.
    void badRowKeepsTheLinesBeforeIt_data()
    {
        QTest::addColumn<QString>("spoil");
        QTest::newRow("Null latitude") << QStringLiteral(
            "UPDATE GPS_READINGS SET LATITUDE = NULL WHERE GPS_READING_ID = 2");
        QTest::newRow("Null GMT") << QStringLiteral("UPDATE GPS_READINGS SET GMT = NULL WHERE GPS_READING_ID = 2");
        QTest::newRow("text speed") << QStringLiteral(
            "UPDATE GPS_READINGS SET SPEED = 'fast' WHERE GPS_READING_ID = 2");
        QTest::newRow("not a date") << QStringLiteral("UPDATE GPS_READINGS SET GMT = 'soon' WHERE GPS_READING_ID = 2");
        QTest::newRow("event type without a name")
            << QStringLiteral("UPDATE GEOCODED_EVENTS SET EVENT_TYPE_ID = 999 WHERE GEOCODED_EVENT_ID = 2");
        QTest::newRow("event type beyond 16 bits")
            << QStringLiteral("UPDATE GEOCODED_EVENTS SET EVENT_TYPE_ID = 40000 WHERE GEOCODED_EVENT_ID = 2");
        QTest::newRow("id beyond 32 bits")
            << QStringLiteral("UPDATE GEOCODED_EVENTS SET GPS_READING_ID = 4294967296 WHERE GEOCODED_EVENT_ID = 2;"
                              "UPDATE GPS_READINGS SET GPS_READING_ID = 4294967296 WHERE GPS_READING_ID = 2");
    }
    void badRowKeepsTheLinesBeforeIt()
    {
        QFETCH(QString, spoil);
        useUntypedColumns();
        for (int i = 0; i < 3; ++i)
            addEvent(101, {"2026-12-06 07:30:15", 1.0 + i, 2.0, 3.0, 4.0, true}, QStringLiteral("n"));
        mFolder->execEvents(spoil);
        exportExpectingFailure(target());
        QCOMPARE(contents(target()),
            kHeader + "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,1,2,3,4,#TRUE#,\"n\"\r\n");
    }

    void fileThatCannotBeWrittenIsLeftAlone()
    {
        addEvent(101, {"2026-12-06 07:30:15", 1, 2, 3, 4, true}, QString());

        // A folder that does not exist is not made.
        const QString missing = mFolder->file(QStringLiteral("no such folder/events.txt"));
        exportExpectingFailure(missing);
        QVERIFY(!QDir(mFolder->file(QStringLiteral("no such folder"))).exists());

        // A path that is a folder.
        QVERIFY(QDir(mFolder->path()).mkdir(QStringLiteral("a folder")));
        exportExpectingFailure(mFolder->file(QStringLiteral("a folder")));
        QVERIFY(QDir(mFolder->file(QStringLiteral("a folder"))).isEmpty());

        // The program's own databases are never replaced by the text.
        const QByteArray events = contents(mFolder->eventDatabase());
        const QByteArray application = contents(mFolder->applicationDatabase());
        exportExpectingFailure(mFolder->eventDatabase());
        exportExpectingFailure(mFolder->path() + QStringLiteral("/./zepta.mdb"));
        QCOMPARE(contents(mFolder->eventDatabase()), events);
        QCOMPARE(contents(mFolder->applicationDatabase()), application);
        QCOMPARE(Driver::Count_Saved_Events(), 1);

        // A read-only file keeps its contents.
        writeFile(target(), "keep me\r\n");
        if (!mFolder->makeReadOnly(target()))
            QSKIP("this file system cannot make a file read-only for root");
        exportExpectingFailure(target());
        mFolder->makeWritable(target());
        QCOMPARE(contents(target()), QByteArray("keep me\r\n"));
        QFile::remove(target());
    }

    void unreadableEventDatabaseKeepsTheHeader()
    {
        QVERIFY(QFile::remove(mFolder->eventDatabase()));
        exportExpectingFailure(target());
        QCOMPARE(contents(target()), kHeader);
        QVERIFY(!QFile::exists(mFolder->eventDatabase())); // not created by the export

        // A database without the view.
        db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::Create)
            .execute(QStringLiteral("CREATE TABLE GEOCODED_EVENTS (GEOCODED_EVENT_ID INTEGER PRIMARY KEY)"));
        exportExpectingFailure(target());
        QCOMPARE(contents(target()), kHeader);
    }

    // Only the events' own readings go; a reading no event refers to stays.
    void purgeRemovesEventsAndTheirReadings()
    {
        for (int i = 0; i < 3; ++i)
            addEvent(101 + i, {"2026-12-06 07:30:15", 1, 2, 3, 4, true}, QString());
        mFolder->execEvents(QStringLiteral("INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED,"
                                           " DIRECTION, LOCKED) VALUES (77, '2026-01-01', 0, 0, 0, 0, 0)"));
        QCOMPARE(Driver::Count_Saved_Events(), 3);
        Driver::Delete_All_Events();
        QCOMPARE(Driver::Count_Saved_Events(), 0);
        QCOMPARE(rows("GEOCODED_EVENTS"), 0);
        QCOMPARE(rows("GPS_READINGS WHERE GPS_READING_ID = 77"), 1);
        QCOMPARE(rows("GPS_READINGS"), 1);
        Driver::Delete_All_Events(); // nothing left to delete is no error
        QCOMPARE(rows("GPS_READINGS"), 1);
    }

    // Both statements or neither: a failing second statement puts the
    // readings back.
    void purgeIsAllOrNothing()
    {
        for (int i = 0; i < 2; ++i)
            addEvent(101, {"2026-12-06 07:30:15", 1, 2, 3, 4, true}, QString());
        mFolder->execEvents(QStringLiteral("CREATE TRIGGER KEEP_EVENTS BEFORE DELETE ON GEOCODED_EVENTS "
                                           "BEGIN SELECT RAISE(ABORT, 'events are kept'); END"));
        QCOMPARE(errorOf([] { Driver::Delete_All_Events(); }), QStringLiteral("events are kept"));
        QCOMPARE(rows("GEOCODED_EVENTS"), 2);
        QCOMPARE(rows("GPS_READINGS"), 2);
    }

    void countAndPurgePassTheirErrorsOn()
    {
        addEvent(101, {"2026-12-06 07:30:15", 1, 2, 3, 4, true}, QString());
        if (mFolder->makeReadOnly(mFolder->eventDatabase())) {
            QCOMPARE(Driver::Count_Saved_Events(), 1); // reading still works
            const QString readOnly = errorOf([] { Driver::Delete_All_Events(); });
            QVERIFY2(readOnly.contains(QLatin1String("readonly")), qPrintable(readOnly));
            mFolder->makeWritable(mFolder->eventDatabase());
            QCOMPARE(rows("GEOCODED_EVENTS"), 1);
        }
        QVERIFY(QFile::remove(mFolder->eventDatabase()));
        QVERIFY(errorOf([] { Driver::Count_Saved_Events(); }).contains(QLatin1String("unable to open")));
        QVERIFY(errorOf([] { Driver::Delete_All_Events(); }).contains(QLatin1String("unable to open")));
        QVERIFY(!QFile::exists(mFolder->eventDatabase()));
    }
};

QTEST_GUILESS_MAIN(TestExport)
#include "test_export.moc"

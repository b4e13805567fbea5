// Export of the saved events to a text file, their count and their purge.

#include "core/Driver.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "support/ScriptedMessages.h"
#include "support/TempProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <optional>
#include <unistd.h>

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
const ReadingRow kReading = {"2026-12-06 07:30:15", 1, 2, 3, 4, true};
} // namespace

class TestExport : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    QString target() const { return mFolder->file(QStringLiteral("events.txt")); }

    // One event with its own reading; a null name or observer is stored as Null.
    void addEvent(const char* name, const char* observer, int eventType, const ReadingRow& r, const QString& notes)
    {
        const auto textOrNull = [](const char* s) { return s ? db::Value::text(QString::fromUtf8(s)) : db::Value(); };
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        c.execute(QStringLiteral("INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED) "
                                 "VALUES (?, ?, ?, ?, ?, ?)"),
            {db::Value::text(QLatin1String(r.gmt)), db::Value::real(r.latitude), db::Value::real(r.longitude),
                db::Value::real(r.speed), db::Value::real(r.direction), db::Value::boolean(r.locked)});
        const auto reading = c.lastInsertRowId();
        c.execute(QStringLiteral("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, "
                                 "NOTES) VALUES (?, ?, ?, ?, ?)"),
            {textOrNull(name), textOrNull(observer), db::Value::integer(eventType), db::Value::integer(reading),
                db::Value::text(notes)});
    }

    int rows(const char* table)
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        return c.open(QStringLiteral("SELECT COUNT(*) AS N FROM ") + QLatin1String(table))
            .field(QStringLiteral("N"))
            .toInt32();
    }

    // Exports and checks the box: "Save Completed" with the count, or
    // "Save Failed" when count is negative.
    void exportTo(const QString& path, int count)
    {
        ScriptedMessages boxes;
        boxes.expect(count < 0 ? QStringLiteral("Save Failed") : QStringLiteral("Save Completed"));
        Driver::Export_Events_To_File(path);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, count < 0 ? MessageKind::Exclamation : MessageKind::Plain);
        QCOMPARE(boxes.last().text,
            count < 0 ? QStringLiteral("Unable to save events to file: ") + path
                      : QStringLiteral("Saved %1 events to file: %2").arg(count).arg(path));
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    // Quotes, line breaks, negative and tiny and huge numbers, the three date
    // forms, booleans, Null and empty texts, under a locale with a decimal comma.
    void fileHoldsEveryEventInTheDescribedForm()
    {
        QTemporaryDir scratch;
        const bool cLocale = useCommaDecimalCLocale(scratch);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const auto restore = qScopeGuard([] {
            std::setlocale(LC_NUMERIC, "C");
            QLocale::setDefault(QLocale::c());
        });
        if (!cLocale)
            qWarning("no comma-decimal C locale available: only Qt's default locale is German");

        addEvent("COM1", "crew 1", 101, {"2026-12-06 07:30:15", 35.7812345, -78.6381812, 0.0, 359.9, true},
            QStringLiteral("Two lines:\nsecond, with \"quotes\"\r\nthird"));
        addEvent("", "crew \"7\", north", 104, {"2026-12-07", 0.5, -0.000012345, 1.5e20, 0.25, false}, QString());
        addEvent("COM1", "crew 1", 201, {"23:59:58", -33.8688, 151.2093, 12.5, 180.0, true},
            QStringLiteral("Zw\u00F6lf V\u00F6gel \u2713"));
        addEvent(nullptr, "crew 1", 305, {"1899-12-30 00:00:00", -0.0, 1234567.89, 3.0e-5, 100.0, false},
            QStringLiteral("a,b"));

        writeFile(target(), QByteArray(100000, 'x')); // replaced, not overwritten in place
        exportTo(target(), 4);

        const QByteArray expected = kHeader
            + "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,35.78123,-78.63818,0,359.9,#TRUE#,"
              "\"Two lines:\nsecond, with \"\"quotes\"\"\r\nthird\"\r\n"
              "2,\"\",\"crew \"\"7\"\", north\",104,\"Flooding\",2,#2026-12-07#,0.5,-1.2345E-05,1.5E+20,0.25,#FALSE#,"
              "\"\"\r\n"
              "3,\"COM1\",\"crew 1\",201,\"Bird\",3,#23:59:58#,-33.8688,151.2093,12.5,180,#TRUE#,"
            + QStringLiteral("\"Zw\u00F6lf V\u00F6gel \u2713\"\r\n").toUtf8()
            + "4,#NULL#,\"crew 1\",305,\"Vegetation\",4,#00:00:00#,0,1234568,3E-05,100,#FALSE#,\"a,b\"\r\n";
        QCOMPARE(contents(target()), expected);
    }

    // A thousand events of every kind come out byte for byte as they always
    // have (the file was written by the export before it was made faster).
    void thousandEventsAsBefore()
    {
        QFile sql(sourceFile(QStringLiteral("tests/data/export/thousand_events.sql")));
        QVERIFY(sql.open(QIODevice::ReadOnly));
        mFolder->execEvents(QString::fromUtf8(sql.readAll()));
        exportTo(target(), 1000);
        QCOMPARE(contents(target()), contents(sourceFile(QStringLiteral("tests/data/export/thousand_events.txt"))));
    }

    // A row that cannot be written stops the export there: the file keeps
    // the header and the rows before it.
    void badRowKeepsTheLinesBeforeIt_data()
    {
        QTest::addColumn<QString>("spoil");
        QTest::newRow("Null latitude") << QStringLiteral(
            "UPDATE GPS_READINGS SET LATITUDE = NULL WHERE GPS_READING_ID = 2");
        QTest::newRow("event type without a name")
            << QStringLiteral("UPDATE GEOCODED_EVENTS SET EVENT_TYPE_ID = 999 WHERE GEOCODED_EVENT_ID = 2");
    }
    void badRowKeepsTheLinesBeforeIt()
    {
        QFETCH(QString, spoil);
        // Columns without NOT NULL, so a Null can reach the export; the view
        // refers to its tables by name, so it reads the new ones.
        mFolder->execEvents(QStringLiteral(
            "DROP TABLE GEOCODED_EVENTS; DROP TABLE GPS_READINGS;"
            "CREATE TABLE GPS_READINGS (GPS_READING_ID INTEGER PRIMARY KEY, GMT DATETIME, LATITUDE, LONGITUDE,"
            " SPEED, DIRECTION, LOCKED BOOLEAN);"
            "CREATE TABLE GEOCODED_EVENTS (GEOCODED_EVENT_ID INTEGER PRIMARY KEY, NAME, OBSERVER_MONIKER,"
            " EVENT_TYPE_ID, GPS_READING_ID, NOTES);"));
        for (int i = 0; i < 3; ++i)
            addEvent("COM1", "crew 1", 101, kReading, QStringLiteral("n"));
        mFolder->execEvents(spoil);
        exportTo(target(), -1);
        QCOMPARE(contents(target()),
            kHeader + "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,1,2,3,4,#TRUE#,\"n\"\r\n");
    }

    void fileThatCannotBeWrittenIsLeftAlone()
    {
        addEvent("COM1", "crew 1", 101, kReading, QString());

        // A folder that does not exist is not made.
        exportTo(mFolder->file(QStringLiteral("no such folder/events.txt")), -1);
        QVERIFY(!QDir(mFolder->file(QStringLiteral("no such folder"))).exists());

        // A path that is a folder.
        QVERIFY(QDir(mFolder->path()).mkdir(QStringLiteral("a folder")));
        exportTo(mFolder->file(QStringLiteral("a folder")), -1);
        QVERIFY(QDir(mFolder->file(QStringLiteral("a folder"))).isEmpty());

        // The program's own databases are never replaced by the text, by
        // whatever name they are reached: another spelling, a symbolic or a
        // hard link (the same file under another name), a journal.
        const QByteArray events = contents(mFolder->eventDatabase());
        const QByteArray application = contents(mFolder->applicationDatabase());
        QVERIFY(QFile::link(mFolder->eventDatabase(), mFolder->file(QStringLiteral("soft.txt"))));
        QCOMPARE(::link(QFile::encodeName(mFolder->eventDatabase()).constData(),
                     QFile::encodeName(mFolder->file(QStringLiteral("hard.txt"))).constData()),
            0);
        writeFile(mFolder->file(QStringLiteral("Nomrel.mdb-journal")), "journal");
        for (const QString& name : {mFolder->eventDatabase(), mFolder->path() + QStringLiteral("/./zepta.mdb"),
                 mFolder->file(QStringLiteral("soft.txt")), mFolder->file(QStringLiteral("hard.txt")),
                 mFolder->file(QStringLiteral("Nomrel.mdb-journal"))})
            exportTo(name, -1);
        QCOMPARE(contents(mFolder->eventDatabase()), events);
        QCOMPARE(contents(mFolder->applicationDatabase()), application);
        QCOMPARE(contents(mFolder->file(QStringLiteral("Nomrel.mdb-journal"))), QByteArray("journal"));
        QFile::remove(mFolder->file(QStringLiteral("Nomrel.mdb-journal")));

        // An event database that cannot be read leaves the header line.
        QVERIFY(QFile::rename(mFolder->eventDatabase(), mFolder->file(QStringLiteral("away.mdb"))));
        exportTo(target(), -1);
        QCOMPARE(contents(target()), kHeader);
        QVERIFY(QFile::rename(mFolder->file(QStringLiteral("away.mdb")), mFolder->eventDatabase()));

        // A read-only file keeps its contents.
        writeFile(target(), "keep me\r\n");
        if (!mFolder->makeReadOnly(target()))
            QSKIP("this file system cannot make a file read-only for root");
        exportTo(target(), -1);
        mFolder->makeWritable(target());
        QCOMPARE(contents(target()), QByteArray("keep me\r\n"));
    }

    // Both statements in one transaction; only the events' own readings go,
    // a reading no event refers to stays; the export after is the header only.
    void purgeRemovesEventsAndTheirReadings()
    {
        for (int i = 0; i < 3; ++i)
            addEvent("COM1", "crew 1", 101 + i, kReading, QString());
        mFolder->execEvents(QStringLiteral("INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED,"
                                           " DIRECTION, LOCKED) VALUES (77, '2026-01-01', 0, 0, 0, 0, 0)"));
        QCOMPARE(Driver::Count_Saved_Events(), 3);

        // A failing second statement puts the readings back.
        mFolder->execEvents(QStringLiteral("CREATE TRIGGER KEEP_EVENTS BEFORE DELETE ON GEOCODED_EVENTS "
                                           "BEGIN SELECT RAISE(ABORT, 'events are kept'); END"));
        QVERIFY_THROWS_EXCEPTION(ZeptaError, Driver::Delete_All_Events());
        QCOMPARE(rows("GEOCODED_EVENTS"), 3);
        QCOMPARE(rows("GPS_READINGS"), 4);

        mFolder->execEvents(QStringLiteral("DROP TRIGGER KEEP_EVENTS"));
        Driver::Delete_All_Events();
        QCOMPARE(Driver::Count_Saved_Events(), 0);
        QCOMPARE(rows("GEOCODED_EVENTS"), 0);
        QCOMPARE(rows("GPS_READINGS WHERE GPS_READING_ID = 77"), 1);
        QCOMPARE(rows("GPS_READINGS"), 1);

        exportTo(target(), 0);
        QCOMPARE(contents(target()), kHeader);
    }
};

QTEST_GUILESS_MAIN(TestExport)
#include "test_export.moc"

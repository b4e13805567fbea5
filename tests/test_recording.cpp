// Recording an event: the local store through the real event object, the
// failure message, the storage mode read per event, and a busy database.

#include "ListenerProcess.h"
#include "core/Driver.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QTest>

#include <optional>

namespace
{
const QString kLocalFailure = QStringLiteral("Unable to save event to your local drive in: %1\r\n"
                                             "Possible sources for this problem:\r\n"
                                             " - this file is not writable\r\n"
                                             " - you may not have enough free disk space\r\n"
                                             " - you may need to update your database drivers");
} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    void setParameter(const char* name, const QString& value)
    {
        Driver::Set_Parameter_Value(QLatin1String(name), value);
    }

    int savedEvents() const
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        return c.open(QStringLiteral("SELECT COUNT(*) AS N FROM GEOCODED_EVENTS")).field(QStringLiteral("N")).toInt32();
    }

    static gps::Reading reading()
    {
        gps::Reading r
            = makeReading(35.7796123, -78.6381845, 271.5, QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC));
        r.speed = 1.25;
        r.locked = true;
        return r;
    }

private slots:
    void init()
    {
        mFolder.emplace();
        setParameter("DATA_STORAGE_MODE", QStringLiteral("LOCAL"));
    }
    void cleanup() { mFolder.reset(); }

    void localSaveRoundTripsThroughTheView()
    {
        ScriptedMessages boxes;
        const QString notes = QStringLiteral("first line\r\nsecond \"quoted\" line\nit's <here> & there\n");
        setParameter("CLIENT_ID", QStringLiteral("crew 'B' 7"));
        Driver::Save_Event(12, notes, reading());
        setParameter("CLIENT_ID", QStringLiteral("second client"));
        Driver::Save_Event(-3, QString(), reading()); // empty notes stay an empty text

        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        auto rows = c.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
        QVERIFY(!rows.eof());
        QCOMPARE(rows.field(QStringLiteral("EVENT_TYPE_ID")).toInt16(), std::int16_t(12));
        QCOMPARE(rows.field(QStringLiteral("NOTES")).toString(), notes);
        QCOMPARE(rows.field(QStringLiteral("OBSERVER_MONIKER")).toString(), QStringLiteral("crew 'B' 7"));
        QCOMPARE(
            rows.field(QStringLiteral("GMT")).toDateTime(), QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC));
        QCOMPARE(rows.field(QStringLiteral("LATITUDE")).toDouble(), 35.7796123);
        QCOMPARE(rows.field(QStringLiteral("LONGITUDE")).toDouble(), -78.6381845);
        QCOMPARE(rows.field(QStringLiteral("SPEED")).toDouble(), 1.25);
        QCOMPARE(rows.field(QStringLiteral("DIRECTION")).toDouble(), 271.5);
        QCOMPARE(rows.field(QStringLiteral("LOCKED")).toBool(), true);
        const auto firstReading = rows.field(QStringLiteral("GPS_READING_ID")).toInt32();
        rows.moveNext();
        QVERIFY(!rows.eof());
        QCOMPARE(rows.field(QStringLiteral("EVENT_TYPE_ID")).toInt16(), std::int16_t(-3));
        QCOMPARE(rows.field(QStringLiteral("NOTES")).kind(), db::Value::Kind::Text);
        QCOMPARE(rows.field(QStringLiteral("NOTES")).toString(), QString());
        QCOMPARE(rows.field(QStringLiteral("OBSERVER_MONIKER")).toString(), QStringLiteral("second client"));
        QVERIFY(rows.field(QStringLiteral("GPS_READING_ID")).toInt32() != firstReading);
        rows.moveNext();
        QVERIFY(rows.eof());
        QVERIFY(boxes.shown().isEmpty());
    }

    void failedStoreShowsTheFiveLineMessage_data()
    {
        QTest::addColumn<bool>("missing");
        QTest::newRow("read-only event database") << false;
        QTest::newRow("missing event database") << true;
    }
    void failedStoreShowsTheFiveLineMessage()
    {
        QFETCH(bool, missing);
        const QString path = mFolder->eventDatabase();
        if (missing) {
            QVERIFY(QFile::remove(path));
        } else if (!mFolder->makeReadOnly(path)) {
            QSKIP("this file system cannot make a file read-only");
        }
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        Driver::Save_Event(4, QStringLiteral("lost?"), reading()); // returns normally
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().title, QStringLiteral("Zepta - Save Failed"));
        QCOMPARE(boxes.last().text, kLocalFailure.arg(mFolder->path() + QStringLiteral("/Nomrel.mdb")));
        QCOMPARE(boxes.last().text.count(QStringLiteral("\r\n")), 4);
        if (missing) {
            QVERIFY(!QFile::exists(path)); // no empty database made in its place
        } else {
            mFolder->makeWritable(path);
            QCOMPARE(savedEvents(), 0);
        }
    }

    // The mode is read for every event; only the exact upper-case words count.
    void storageModeIsReadPerEvent()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        setParameter("SERVER_IP", listener.serverAddress());
        setParameter("LISTENER_NAME", QStringLiteral("Zepta/listener.asp"));
        ScriptedMessages boxes;

        Driver::Save_Event(1, QStringLiteral("kept here"), reading());
        setParameter("DATA_STORAGE_MODE", QStringLiteral("XML"));
        Driver::Save_Event(2, QStringLiteral("sent away"), reading());
        QCOMPARE(savedEvents(), 1);
        QCOMPARE(listener.records().size(), 1);
        QVERIFY(listener.records().first().body.contains("<Notes>sent away</Notes>"));

        for (const char* mode : {"local", "xml", "", "SOAP", " LOCAL"}) {
            setParameter("DATA_STORAGE_MODE", QLatin1String(mode));
            Driver::Save_Event(3, QStringLiteral("goes nowhere"), reading());
        }
        QCOMPARE(savedEvents(), 1);
        QCOMPARE(listener.records().size(), 1);

        setParameter("DATA_STORAGE_MODE", QStringLiteral("LOCAL"));
        Driver::Save_Event(4, QStringLiteral("kept again"), reading());
        QCOMPARE(savedEvents(), 2);
        QCOMPARE(listener.records().size(), 1);
        QVERIFY(boxes.shown().isEmpty());
    }

    // A failure before the event is handed on passes to the caller, and
    // nothing is stored.
    void settingsFailurePassesToTheCaller()
    {
        ScriptedMessages boxes;
        mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = 'CLIENT_ID'"));
        QVERIFY_THROWS_EXCEPTION(ZeptaError, Driver::Save_Event(1, QString(), reading()));
        mFolder->execApplication(QStringLiteral("INSERT INTO CONFIGURATION (PARAMETER_NAME, PARAMETER_VALUE) "
                                                "VALUES ('CLIENT_ID', '1')"));
        mFolder->execApplication(
            QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = 'DATA_STORAGE_MODE'"));
        QVERIFY_THROWS_EXCEPTION(ZeptaError, Driver::Save_Event(1, QString(), reading()));
        QCOMPARE(savedEvents(), 0);
        QVERIFY(boxes.shown().isEmpty());
    }

    // Another program holds the write lock for the whole save: after the busy
    // wait the save reports its failure; once the lock is gone it succeeds.
    void busyDatabaseFailsClearlyThenSaves()
    {
        ScriptedMessages boxes;
        {
            auto holder = db::Connection::openFile(mFolder->eventDatabase());
            db::Connection::Transaction lock(holder);
            holder.execute(QStringLiteral("UPDATE GPS_READINGS SET HDOP = HDOP"));
            boxes.expect(QStringLiteral("Save Failed"));
            Driver::Save_Event(5, QStringLiteral("while locked"), reading());
            QVERIFY(boxes.allShown());
            QCOMPARE(boxes.last().text, kLocalFailure.arg(mFolder->eventDatabase()));
        } // rolled back, lock released
        Driver::Save_Event(5, QStringLiteral("after the lock"), reading());
        QCOMPARE(savedEvents(), 1);
        QCOMPARE(boxes.shown().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "test_recording.moc"

// Recording an event: the local store through the real event object, the
// failure message (a busy database too) and the storage mode read per event.

#include "core/Driver.h"
#include "core/Outbox.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QTest>

#include <optional>

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

private slots:
    void init()
    {
        mFolder.emplace();
        setParameter("DATA_STORAGE_MODE", QStringLiteral("LOCAL"));
    }
    void cleanup() { mFolder.reset(); }

    // What Save_Event hands the event object reaches the view: the client id
    // read afresh, the type, the notes exactly (empty ones as an empty text).
    // The reading's own columns are the event store's test.
    void localSaveRoundTripsThroughTheView()
    {
        const QString notes = QStringLiteral("first line\r\nsecond \"quoted\" line\nit's <here> & there\n");
        setParameter("CLIENT_ID", QStringLiteral("crew 'B' 7"));
        QVERIFY(Driver::Save_Event(12, notes, makeReading(35.7796123, -78.6381845, 271.5)));
        setParameter("CLIENT_ID", QStringLiteral("crew 8"));
        QVERIFY(Driver::Save_Event(-3, QString(), makeReading(1.0, 2.0)));

        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        QStringList rows;
        for (auto r = c.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS")); !r.eof(); r.moveNext())
            rows << QStringLiteral("%1|%2|%3|%4")
                        .arg(r.field(QStringLiteral("EVENT_TYPE_ID")).toInt16())
                        .arg(r.field(QStringLiteral("OBSERVER_MONIKER")).toString(),
                            r.field(QStringLiteral("NOTES")).toString())
                        .arg(r.field(QStringLiteral("NOTES")).kind() == db::Value::Kind::Text);
        QCOMPARE(rows,
            (QStringList {
                QStringLiteral("12|crew 'B' 7|") + notes + QStringLiteral("|1"), QStringLiteral("-3|crew 8||1")}));
    }

    void failedStoreShowsTheFiveLineMessage_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"read-only", "missing", "busy"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    // Busy: another program holds the write lock for the whole save, which
    // fails after the busy wait. Once the cause is gone a save succeeds.
    void failedStoreShowsTheFiveLineMessage()
    {
        QFETCH(QString, kind);
        const QString path = mFolder->eventDatabase();
        std::optional<db::Connection> holder;
        std::optional<db::Connection::Transaction> lock;
        if (kind == QLatin1String("missing")) {
            QVERIFY(QFile::remove(path));
        } else if (kind == QLatin1String("busy")) {
            holder.emplace(db::Connection::openFile(path));
            lock.emplace(*holder);
            holder->execute(QStringLiteral("UPDATE GPS_READINGS SET HDOP = HDOP"));
        } else if (!mFolder->makeReadOnly(path)) {
            QSKIP("this file system cannot make a file read-only");
        }
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        QVERIFY(!Driver::Save_Event(4, QStringLiteral("lost?"), makeReading(1.0, 2.0))); // returns normally
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text,
            QStringLiteral("Unable to save event to your local drive in: ") + mFolder->path()
                + QStringLiteral("/Nomrel.mdb\r\nPossible sources for this problem:\r\n - this file is not writable\r\n"
                                 " - you may not have enough free disk space\r\n"
                                 " - you may need to update your database drivers"));
        if (kind == QLatin1String("missing")) {
            QVERIFY(!QFile::exists(path)); // no empty database made in its place
            return;
        }
        lock.reset(); // rolled back
        mFolder->makeWritable(path);
        QCOMPARE(savedEvents(), 0);
        QVERIFY(Driver::Save_Event(5, QStringLiteral("saved now"), makeReading(1.0, 2.0)));
        QCOMPARE(savedEvents(), 1);
    }

    // The mode is read for every event: LOCAL stores it in the event
    // database, XML keeps it in the outbox for the sender.
    void storageModeIsReadPerEvent()
    {
        QVERIFY(Driver::Save_Event(1, QStringLiteral("kept here"), makeReading(1.0, 2.0)));
        setParameter("DATA_STORAGE_MODE", QStringLiteral("XML"));
        QVERIFY(Driver::Save_Event(2, QStringLiteral("sent away"), makeReading(1.0, 2.0)));
        QCOMPARE(savedEvents(), 1);
        const auto waiting = Driver::OutboxStore(Driver::outboxPath()).pending(10);
        QCOMPARE(waiting.size(), 1);
        QVERIFY(waiting.first().document.contains(QLatin1String("<Notes>sent away</Notes>")));
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "test_recording.moc"

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

    // The view's rows as "type|client|kind of the notes|notes".
    QStringList savedEvents() const
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        const QString sql = QStringLiteral("SELECT EVENT_TYPE_ID || '|' || OBSERVER_MONIKER || '|' || typeof(NOTES) || "
                                           "'|' || IFNULL(NOTES, '') FROM GEOCODED_EVENTS_WITH_GPS_READINGS");
        QStringList rows;
        for (auto r = c.open(sql); !r.eof(); r.moveNext())
            rows << r.field(0).toString();
        return rows;
    }

private slots:
    void init()
    {
        mFolder.emplace();
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("LOCAL"));
    }
    void cleanup() { mFolder.reset(); }

    // The view gets the client id read afresh, the type and the notes exactly
    // (empty ones as text); the mode is read per event (XML: to the outbox).
    void savedAsGivenInTheModeOfTheMoment()
    {
        const QString notes = QStringLiteral("first line\r\nsecond \"quoted\" line\nit's <here> & there\n");
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 'B' 7"));
        QVERIFY(Driver::Save_Event(12, notes, makeReading(35.7796123, -78.6381845, 271.5)));
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 8"));
        QVERIFY(Driver::Save_Event(-3, QString(), makeReading(1.0, 2.0)));
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
        QVERIFY(Driver::Save_Event(2, QStringLiteral("sent away"), makeReading(1.0, 2.0)));
        QCOMPARE(savedEvents(), (QStringList {"12|crew 'B' 7|text|" + notes, "-3|crew 8|text|"}));
        QCOMPARE(Driver::OutboxStore(Driver::outboxPath()).counts().waiting, 1);
    }

    void failedStoreShowsTheFiveLineMessage_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"read-only", "missing", "busy"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    // Busy: another program holds the write lock past the busy wait.
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
        QCOMPARE(boxes.shown().value(0).kind, MessageKind::Exclamation);
        QCOMPARE(boxes.shown().value(0).text,
            QStringLiteral("Unable to save event to your local drive in: %1\r\nPossible sources for this problem:\r\n"
                           " - this file is not writable\r\n - you may not have enough free disk space\r\n"
                           " - you may need to update your database drivers")
                .arg(path));
        if (kind == QLatin1String("missing")) {
            QVERIFY(!QFile::exists(path)); // no empty database made in its place
            return;
        }
        lock.reset(); // rolled back
        mFolder->makeWritable(path);
        QVERIFY(Driver::Save_Event(5, QStringLiteral("saved now"), makeReading(1.0, 2.0)));
        QCOMPARE(savedEvents().size(), 1); // the failed one was not kept
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "test_recording.moc"

// Capture and tracking in the main window, into the real event database of a temporary folder.

#include "core/Driver.h"
#include "gui/frmConfig.h"
#include "gui/frmZEPTA.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

#include <optional>

namespace
{
// Timer running, Save enabled, Stop shown, Auto shown.
const QList<bool> kTracking = {true, false, true, false}, kIdle = {false, true, false, true};
} // namespace

class TestCapture : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    frmZEPTA* mWindow = nullptr;

    void deliver() { mFolder->component().receiver->deliver(makeReading(10.0, 20.0)); }

    // Chooses slot `slot` (-1: none), which then holds event type `type`.
    void choose(int slot, std::int16_t type = 14)
    {
        if (slot >= 0)
            mWindow->mEventTypeIDs[static_cast<std::size_t>(slot)] = type;
        mWindow->mSelectedSlot = static_cast<std::int16_t>(slot);
    }

    QStringList saved() const // "type: notes", in order
    {
        QStringList events;
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        for (auto r
             = c.open(QStringLiteral("SELECT EVENT_TYPE_ID || ': ' || NOTES FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
             !r.eof(); r.moveNext())
            events << r.field(0).toString();
        return events;
    }

    // Each event's run, numbered from 1 in the order the runs began; empty for none.
    QStringList tracks() const
    {
        QStringList runs;
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        for (auto r
             = c.open(QStringLiteral("SELECT (SELECT COUNT(DISTINCT T.TRACK_ID) FROM GEOCODED_EVENTS T WHERE "
                                     "T.TRACK_ID <= E.TRACK_ID) FROM GEOCODED_EVENTS E ORDER BY GEOCODED_EVENT_ID"));
             !r.eof(); r.moveNext())
            runs << (r.field(0).toInt32() == 0 ? QString() : r.field(0).toString());
        return runs;
    }

    QList<bool> state() const
    {
        return {mWindow->TrackingTimer.isActive(), mWindow->btnSave->isEnabled(),
            mWindow->btnStopAuto->isVisibleTo(mWindow), mWindow->btnAuto->isVisibleTo(mWindow)};
    }
    bool minimized() const { return mWindow->windowState() & Qt::WindowMinimized; }

private slots:
    void init()
    {
        mFolder.emplace();
        mWindow = &frmZEPTA::instance();
        mWindow->show(); // the opening focus chooses slot 0 before a test chooses

        QVERIFY(QTest::qWaitForWindowActive(mWindow));
    }
    void cleanup()
    {
        frmZEPTA::unload();
        mFolder.reset();
    }

    // A fix more than 2 s old shows its age beside its accuracy.
    void staleFixShowsItsAge()
    {
        gps::Reading reading = makeReading(10.0, 20.0);
        reading.accuracy = 4.24;
        reading.fixAge = 3.4;
        mFolder->component().receiver->deliver(reading);
        QCOMPARE(mWindow->txtFixKind->text() + " " + mWindow->txtAccuracy->text(),
            QStringLiteral("3D, 8 sats \u00b14.2 m, 3 s old"));
    }

    // Validity first, then a filled slot; an inexact storage mode, a read-only event database or a
    // bad interval stores nothing. Each says why and keeps the choice, the notes and the window.
    void refusalsStoreNothingAndKeepTheChoice_data()
    {
        QTest::addColumn<QString>("setting"); // KEY=value
        QTest::addColumn<int>("slot"); // chosen, or -1
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("text"); // "" not compared
        const auto row = [](const char* name, const QString& setting, int slot, const char* box, const QString& text) {
            QTest::newRow(name) << setting << slot << QString(box) << text;
        };
        const QString wait
            = QStringLiteral("You must wait until you have a valid GPS Reading before you can capture an event!");
        row("no reading, no choice, tracking", "DATA_STORAGE_MODE=LOCAL", -1, "GPS Reading Required", wait);
        row("no choice", "DATA_STORAGE_MODE=LOCAL", -1, "Choose Event", "You must choose an event type!");
        row("slot left empty", "DATA_STORAGE_MODE=LOCAL", 5, "Choose Event", "You must choose an event type!");
        for (const char* mode : {"local", "LOCAL ", "xml", "", "abc", "SOAP"})
            row(mode, QStringLiteral("DATA_STORAGE_MODE=") + mode, 3, "Save Failed",
                QStringLiteral("The event was not stored: the storage method \"%1\" is not one Zepta saves with.\r\n"
                               "Choose LOCAL or XML in File > Configure, on the Data Storage page.")
                    .arg(mode));
        row("read-only event database", "DATA_STORAGE_MODE=LOCAL", 3, "Save Failed", "");
        for (const char* interval : {"soon", "0.4", "2147484", "99999999999"})
            row(qPrintable(QStringLiteral("tracking every %1").arg(interval)),
                QStringLiteral("TRACKING_INTERVAL=") + interval, 6, "Invalid Tracking Interval",
                QStringLiteral("The tracking interval \"%1\" cannot be used: it must be a whole number of seconds "
                               "from 1 to 2147483. Change it in File > Configure; tracking has not started.")
                    .arg(interval));
    }
    void refusalsStoreNothingAndKeepTheChoice()
    {
        QFETCH(QString, setting);
        QFETCH(int, slot);
        QFETCH(QString, box);
        QFETCH(QString, text);
        const QByteArray tag = QTest::currentDataTag();
        Driver::Set_Parameter_Value(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
        if (tag.startsWith("read-only") && !mFolder->makeReadOnly(mFolder->eventDatabase()))
            QSKIP("this file system cannot make a file read-only for root");
        ScriptedMessages boxes;
        if (!tag.startsWith("no reading"))
            deliver();
        choose(slot);
        if (tag == "slot left empty")
            mWindow->mSlotFilled[5] = false; // an old type stays: no choice
        mWindow->Notes->setPlainText(QStringLiteral("try again"));
        boxes.expect(box);
        QTest::mouseClick(tag.contains("tracking") ? mWindow->btnAuto : mWindow->btnSave, Qt::LeftButton);
        mFolder->makeWritable(mFolder->eventDatabase());
        QCOMPARE(boxes.shown().value(0).kind, MessageKind::Exclamation);
        if (!text.isEmpty())
            QCOMPARE(boxes.shown().value(0).text, text);
        QVERIFY(saved().isEmpty());
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(slot));
        QCOMPARE(mWindow->Notes->toPlainText(), QStringLiteral("try again"));
        QVERIFY(!minimized());
        QCOMPARE(state(), kIdle);
    }

    // A save records the notes as they are, then clears them and the choice and minimizes. A
    // tracking tick records what is current, clears nothing and beeps twice; a refused one once.
    // Closing Configure clears the choice, tracking goes on; closing the window stops it.
    void saveThenTrack()
    {
        ScriptedMessages boxes;
        deliver();
        const QString notes = QStringLiteral("\ngate open\n\"north\" side\n\n");
        mWindow->Notes->setPlainText(notes);
        choose(2, 31);
        QTest::mouseClick(mWindow->btnSave, Qt::LeftButton);
        QCOMPARE(saved(), QStringList {QStringLiteral("31: ") + notes});
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(-1));
        QVERIFY(mWindow->Notes->toPlainText().isEmpty());
        QVERIFY(minimized());

        // The longest period the timer takes; one second more is refused above.
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("2147483"));
        choose(0, 11);
        mWindow->Notes->setPlainText(QStringLiteral("walking"));
        QTest::mouseClick(mWindow->btnAuto, Qt::LeftButton);
        QCOMPARE(state(), kTracking);
        QCOMPARE(mWindow->TrackingTimer.interval(), 2147483000);
        QCOMPARE(saved().mid(1), QStringList {QStringLiteral("11: walking")}); // the first event at once
        QCOMPARE(mFolder->beeps(), 2);

        choose(4, 12);
        mWindow->Notes->setPlainText(QStringLiteral("running"));
        QVERIFY(QMetaObject::invokeMethod(&mWindow->TrackingTimer, "timeout"));
        QCOMPARE(saved().mid(1), QStringList({QStringLiteral("11: walking"), QStringLiteral("12: running")}));
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(4));
        QCOMPARE(mWindow->Notes->toPlainText(), QStringLiteral("running"));
        QCOMPARE(mFolder->beeps(), 4);

        boxes.expect(QStringLiteral("Out of Range")); // the dialog's check of the stored interval
        QTimer::singleShot(0, [] { frmConfig::instance().Button_Cancel->click(); });
        mWindow->menu_Configure_Click();
        QVERIFY(mWindow->Notes->toPlainText().isEmpty());
        boxes.expect(QStringLiteral("Choose Event"));
        mWindow->TrackingTimer_Timer();
        QCOMPARE(state(), kTracking);
        QCOMPARE(saved().size(), 3);
        QCOMPARE(mFolder->beeps(), 5);

        // Each run has its own track; a save by hand has none.
        choose(1, 13);
        mWindow->btnStopAuto->click();
        mWindow->btnAuto->click();
        QCOMPARE(tracks(), (QStringList {QString(), "1", "1", "2"}));
        mWindow->close();
        QVERIFY(!mWindow->TrackingTimer.isActive());
        QCOMPARE(saved().size(), 4);
    }

    // No stored setting ends the program: a row that is missing or a value that cannot be used
    // is reported once, naming it, and its default used.
    void unusableSettingsUseTheirDefaults_data()
    {
        QTest::addColumn<QString>("setting"); // KEY=value, or a KEY whose row is missing
        QTest::addColumn<QString>("shown");
        QTest::newRow("beep empty") << QStringLiteral("BEEP_AFTER_SAVES=") << QStringLiteral("holds \"\"");
        QTest::newRow("beep abc") << QStringLiteral("BEEP_AFTER_SAVES=abc") << QStringLiteral("holds \"abc\"");
        QTest::newRow("long") << "BEEP_AFTER_SAVES=" + QString(10000, 'x') << "holds \"" + QString(40, 'x') + "...\"";
        for (const char* key : {"DATA_STORAGE_MODE", "CLIENT_ID", "TRACKING_INTERVAL"})
            QTest::newRow(key) << QString(key) << QStringLiteral("cannot be read");
    }
    void unusableSettingsUseTheirDefaults()
    {
        QFETCH(QString, setting);
        QFETCH(QString, shown);
        const QString key = setting.section(QLatin1Char('='), 0, 0);
        if (key == setting)
            mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = '%1'").arg(key));
        else
            Driver::Set_Parameter_Value(key, setting.section(QLatin1Char('='), 1));
        ScriptedMessages boxes;
        deliver();
        boxes.expect(QStringLiteral("Invalid Setting"));
        for (int i = 0; i < 2; ++i) { // told once
            choose(2, 15);
            mWindow->btnAuto_Click(); // the interval, then a capture
            QTest::mouseClick(mWindow->btnStopAuto, Qt::LeftButton);
            QCOMPARE(state(), kIdle);
        }
        const QString text = boxes.shown().value(0).text;
        QVERIFY2(text.startsWith(QStringLiteral("The setting %1 %2").arg(key, shown)), qPrintable(text));
        QCOMPARE(text.section(QStringLiteral("\r\n"), 1),
            QStringLiteral("Zepta uses \"%1\" until the setting is saved again in File > Configure.")
                .arg(Driver::Default_Parameter_Value(key)));
        QCOMPARE(saved(), QStringList(2, QStringLiteral("15: ")));
    }
};

QTEST_MAIN(TestCapture)
#include "test_capture.moc"

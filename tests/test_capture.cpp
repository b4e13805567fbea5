// Capture and tracking in the main window, recording into the real event
// database of a temporary program folder.

#include "core/Driver.h"
#include "gui/frmConfig.h"
#include "gui/frmZEPTA.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <optional>

class TestCapture : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    frmZEPTA* mWindow = nullptr;

    ScriptedReceiver& receiver() { return *mFolder->component().receiver; }

    // Slot `slot` holds event type `type` in the current category and is chosen.
    void choose(int slot, std::int16_t type)
    {
        mWindow->mEventTypeIDs[static_cast<std::size_t>(slot)] = type;
        mWindow->mSlotFilled[static_cast<std::size_t>(slot)] = true;
        mWindow->mSelectedSlot = static_cast<std::int16_t>(slot);
    }

    // The recorded events as "type: notes", in order.
    QStringList saved() const
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        auto rows = c.open(QStringLiteral("SELECT EVENT_TYPE_ID, NOTES FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
        QStringList result;
        for (; !rows.eof(); rows.moveNext())
            result.append(QString::number(rows.field(QStringLiteral("EVENT_TYPE_ID")).toInt16()) + QStringLiteral(": ")
                + rows.field(QStringLiteral("NOTES")).toString());
        return result;
    }

    // The timer and the buttons agree on "tracking" or "idle"; "mixed" if not.
    QString state() const
    {
        const bool on = mWindow->TrackingTimer.isActive();
        if (on == mWindow->btnSave->isEnabled() || on != mWindow->btnStopAuto->isVisibleTo(mWindow)
            || on == mWindow->btnAuto->isVisibleTo(mWindow))
            return QStringLiteral("mixed");
        return on ? QStringLiteral("tracking") : QStringLiteral("idle");
    }

    bool minimized() const { return mWindow->windowState() & Qt::WindowMinimized; }

private slots:
    void init()
    {
        mFolder.emplace();
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("LOCAL"));
        Driver::Set_Parameter_Value(QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("False"));
        mWindow = &frmZEPTA::instance();
        // Let the opening focus settle (it chooses slot 0) before a test
        // makes its own choice.
        mWindow->show();
        mWindow->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mWindow));
    }
    void cleanup()
    {
        frmZEPTA::unload();
        mWindow = nullptr;
        mFolder.reset();
    }

    // Validity is asked first; then a chosen slot that the category filled. A
    // refused save keeps the choice and the notes; a save records the notes as
    // they are, then resets the choice and the notes and minimizes.
    void captureChecksThenSaves()
    {
        ScriptedMessages boxes;
        const QString notes = QStringLiteral("\ngate open\n\"north\" side\n\n");
        mWindow->Notes->setPlainText(notes);
        mWindow->mSelectedSlot = -1;
        boxes.expect(QStringLiteral("GPS Reading Required"));
        QTest::mouseClick(mWindow->btnSave, Qt::LeftButton);
        QCOMPARE(boxes.last().text,
            QStringLiteral("You must wait until you have a valid GPS Reading before you can capture an event!"));
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);

        receiver().deliver(makeReading(51.5, -0.12));
        boxes.expect(QStringLiteral("Choose Event"));
        QTest::mouseClick(mWindow->btnSave, Qt::LeftButton);
        QCOMPARE(boxes.last().text, QStringLiteral("You must choose an event type!"));

        // A slot the current category left empty keeps an old type: no choice.
        choose(5, 9);
        mWindow->mSlotFilled[5] = false;
        boxes.expect(QStringLiteral("Choose Event"));
        mWindow->btnSave_Click();
        QVERIFY(boxes.allShown());
        QVERIFY(saved().isEmpty());
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(5));
        QCOMPARE(mWindow->Notes->toPlainText(), notes);
        QVERIFY(!minimized());

        choose(2, 31);
        QTest::mouseClick(mWindow->btnSave, Qt::LeftButton);
        QCOMPARE(saved(), QStringList {QStringLiteral("31: ") + notes});
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(-1));
        QVERIFY(mWindow->Notes->toPlainText().isEmpty());
        QVERIFY(minimized());
    }

    // Tracking starts only after a first capture succeeds; each tick records
    // what is current and clears nothing (beeping twice: in the capture and
    // after it; a refused tick once). Closing Configure reloads the palette:
    // later ticks are refused until an icon is chosen, and tracking goes on.
    // Closing the window stops it without another save.
    void trackingRecordsAtTheInterval()
    {
        ScriptedMessages boxes;
        // The longest period the timer takes; one second more is refused below.
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("2147483"));
        Driver::Set_Parameter_Value(QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("True"));
        choose(0, 11);
        mWindow->Notes->setPlainText(QStringLiteral("walking"));
        boxes.expect(QStringLiteral("GPS Reading Required"));
        mWindow->btnAuto_Click();
        QCOMPARE(state(), QStringLiteral("idle"));
        QCOMPARE(mFolder->beeps(), 0);

        receiver().deliver(makeReading(10.0, 20.0));
        QTest::mouseClick(mWindow->btnAuto, Qt::LeftButton);
        QCOMPARE(state(), QStringLiteral("tracking"));
        QCOMPARE(mWindow->TrackingTimer.interval(), 2147483000);
        QCOMPARE(saved(), QStringList {QStringLiteral("11: walking")}); // the first event at once
        QCOMPARE(mFolder->beeps(), 1);

        choose(4, 12);
        mWindow->Notes->setPlainText(QStringLiteral("running"));
        QVERIFY(QMetaObject::invokeMethod(&mWindow->TrackingTimer, "timeout"));
        QCOMPARE(saved(), QStringList({QStringLiteral("11: walking"), QStringLiteral("12: running")}));
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(4));
        QCOMPARE(mWindow->Notes->toPlainText(), QStringLiteral("running"));
        QCOMPARE(mFolder->beeps(), 3);

        boxes.expect(QStringLiteral("Out of Range")); // the dialog's check of the stored interval
        QTimer::singleShot(0, [] { frmConfig::instance().Button_Cancel->click(); });
        mWindow->menu_Configure_Click();
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(-1));
        QVERIFY(mWindow->Notes->toPlainText().isEmpty());
        boxes.expect(QStringLiteral("Choose Event"));
        mWindow->TrackingTimer_Timer();
        QCOMPARE(state(), QStringLiteral("tracking"));
        QCOMPARE(saved().size(), 2);
        QCOMPARE(mFolder->beeps(), 4);

        QTest::mouseClick(mWindow->btnStopAuto, Qt::LeftButton);
        QCOMPARE(state(), QStringLiteral("idle"));

        choose(1, 13);
        QTest::mouseClick(mWindow->btnAuto, Qt::LeftButton);
        QCOMPARE(saved().size(), 3);
        mWindow->close();
        QVERIFY(!mWindow->TrackingTimer.isActive());
        QTest::qWait(50); // nothing left to fire
        QCOMPARE(saved().size(), 3);
        QVERIFY(boxes.allShown());
    }

    // A save that stores nothing (a storage mode other than the exact words,
    // an event database that cannot be written) says so and keeps the choice,
    // the notes and the window, so the user can try again.
    void saveThatStoresNothingKeepsTheChoice_data()
    {
        QTest::addColumn<QString>("mode");
        for (const char* mode : {"local", "LOCAL ", "xml", "", "abc", "SOAP"})
            QTest::newRow(mode) << QString::fromLatin1(mode);
        QTest::newRow("read-only event database") << QStringLiteral("LOCAL");
    }
    void saveThatStoresNothingKeepsTheChoice()
    {
        QFETCH(QString, mode);
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), mode);
        if (mode == QLatin1String("LOCAL") && !mFolder->makeReadOnly(mFolder->eventDatabase()))
            QSKIP("this file system cannot make a file read-only for root");
        ScriptedMessages boxes;
        receiver().deliver(makeReading(10.0, 20.0));
        choose(3, 14);
        mWindow->Notes->setPlainText(QStringLiteral("try again"));
        boxes.expect(QStringLiteral("Save Failed"));
        mWindow->btnSave_Click();
        QVERIFY(boxes.allShown());
        if (mode != QLatin1String("LOCAL"))
            QCOMPARE(boxes.last().text,
                QStringLiteral("The event was not stored: the storage method \"%1\" is not one Zepta saves with.\r\n"
                               "Choose LOCAL or XML in File > Configure, on the Data Storage page.")
                    .arg(mode));
        mFolder->makeWritable(mFolder->eventDatabase());
        QVERIFY(saved().isEmpty());
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(3));
        QCOMPARE(mWindow->Notes->toPlainText(), QStringLiteral("try again"));
        QVERIFY(!minimized());
    }

    // No stored setting ends the program: a row that is missing or a value
    // that cannot be used is reported once, naming it, and its default used.
    void unusableSettingsUseTheirDefaults_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value"); // null: the row is missing
        QTest::addColumn<QString>("shown");
        QTest::newRow("beep empty") << "BEEP_AFTER_SAVES"
                                    << ""
                                    << "holds \"\"";
        QTest::newRow("beep abc") << "BEEP_AFTER_SAVES"
                                  << "abc"
                                  << "holds \"abc\"";
        QTest::newRow("beep huge") << "BEEP_AFTER_SAVES" << QString(10000, QLatin1Char('x'))
                                   << "holds \"" + QString(40, QLatin1Char('x')) + "...\"";
        QTest::newRow("no mode") << "DATA_STORAGE_MODE" << QString() << "cannot be read";
        QTest::newRow("no client") << "CLIENT_ID" << QString() << "cannot be read";
        QTest::newRow("no interval") << "TRACKING_INTERVAL" << QString() << "cannot be read";
    }
    void unusableSettingsUseTheirDefaults()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, shown);
        if (value.isNull())
            mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = '%1'").arg(key));
        else
            Driver::Set_Parameter_Value(key, value);
        ScriptedMessages boxes;
        receiver().deliver(makeReading(10.0, 20.0));
        boxes.expect(QStringLiteral("Invalid Setting"));
        for (int i = 0; i < 2; ++i) { // told once
            choose(2, 15);
            if (key == QLatin1String("TRACKING_INTERVAL")) {
                mWindow->btnStopAuto_Click();
                mWindow->btnAuto_Click();
            } else
                mWindow->btnSave_Click();
        }
        QVERIFY(boxes.allShown());
        QVERIFY2(boxes.last().text.startsWith(QStringLiteral("The setting %1 %2").arg(key, shown)),
            qPrintable(boxes.last().text));
        const QString fallback = Driver::Default_Parameter_Value(key);
        QVERIFY(boxes.last().text.endsWith(
            QStringLiteral("Zepta uses \"%1\" until the setting is saved again in File > Configure.").arg(fallback)));
        if (key == QLatin1String("TRACKING_INTERVAL")) {
            QCOMPARE(state(), QStringLiteral("tracking"));
            QCOMPARE(mWindow->TrackingTimer.interval(), 60000);
        } else {
            QCOMPARE(saved(), QStringList(2, QStringLiteral("15: ")));
        }
    }

    void invalidIntervalIsRefusedBeforeAnythingIsRecorded_data()
    {
        QTest::addColumn<QString>("interval");
        for (const char* interval : {"soon", "0.4", "2147484", "99999999999"})
            QTest::newRow(interval) << QString::fromLatin1(interval);
    }
    void invalidIntervalIsRefusedBeforeAnythingIsRecorded()
    {
        QFETCH(QString, interval);
        ScriptedMessages boxes;
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), interval);
        receiver().deliver(makeReading(10.0, 20.0));
        choose(6, 21);
        boxes.expect(QStringLiteral("Invalid Tracking Interval"));
        mWindow->btnAuto_Click();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().text,
            QStringLiteral("The tracking interval \"%1\" cannot be used: it must be a whole number of seconds from 1 "
                           "to 2147483. Change it in File > Configure; tracking has not started.")
                .arg(interval));
        QCOMPARE(state(), QStringLiteral("idle"));
        QVERIFY(saved().isEmpty());
    }
};

QTEST_MAIN(TestCapture)
#include "test_capture.moc"

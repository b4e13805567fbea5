// Capture and tracking in the main window, recording into the real event
// database of a temporary program folder.

#include "capture/frmZEPTA.h"
#include "core/Driver.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

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
    // what is current and clears nothing; stopping restores the buttons.
    void trackingRecordsAtTheInterval()
    {
        ScriptedMessages boxes;
        // The longest period the timer takes; one second more is refused below.
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("2147483"));
        choose(0, 11);
        mWindow->Notes->setPlainText(QStringLiteral("walking"));
        boxes.expect(QStringLiteral("GPS Reading Required"));
        mWindow->btnAuto_Click();
        QCOMPARE(state(), QStringLiteral("idle"));

        receiver().deliver(makeReading(10.0, 20.0));
        QTest::mouseClick(mWindow->btnAuto, Qt::LeftButton);
        QCOMPARE(state(), QStringLiteral("tracking"));
        QCOMPARE(mWindow->TrackingTimer.interval(), 2147483000);
        QCOMPARE(saved(), QStringList {QStringLiteral("11: walking")}); // the first event at once

        choose(4, 12);
        mWindow->Notes->setPlainText(QStringLiteral("running"));
        QVERIFY(QMetaObject::invokeMethod(&mWindow->TrackingTimer, "timeout"));
        QCOMPARE(saved(), QStringList({QStringLiteral("11: walking"), QStringLiteral("12: running")}));
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(4));
        QCOMPARE(mWindow->Notes->toPlainText(), QStringLiteral("running"));

        // A refused tick tells the user and tracking goes on.
        mWindow->mSelectedSlot = -1;
        boxes.expect(QStringLiteral("Choose Event"));
        mWindow->TrackingTimer_Timer();
        QCOMPARE(state(), QStringLiteral("tracking"));
        QCOMPARE(saved().size(), 2);

        QTest::mouseClick(mWindow->btnStopAuto, Qt::LeftButton);
        QCOMPARE(state(), QStringLiteral("idle"));
        QVERIFY(boxes.allShown());
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

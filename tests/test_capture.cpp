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

namespace
{
const QString kWaitForReading
    = QStringLiteral("You must wait until you have a valid GPS Reading before you can capture an event!");
const QString kChooseEvent = QStringLiteral("You must choose an event type!");
} // namespace

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

    struct Saved {
        int type;
        QString notes;
    };
    QList<Saved> saved() const
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        auto rows = c.open(QStringLiteral("SELECT EVENT_TYPE_ID, NOTES FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
        QList<Saved> result;
        for (; !rows.eof(); rows.moveNext())
            result.append({rows.field(QStringLiteral("EVENT_TYPE_ID")).toInt16(),
                rows.field(QStringLiteral("NOTES")).toString()});
        return result;
    }

    bool tracking() const
    {
        return mWindow->TrackingTimer.isActive() && !mWindow->btnSave->isEnabled()
            && mWindow->btnStopAuto->isVisibleTo(mWindow) && !mWindow->btnAuto->isVisibleTo(mWindow);
    }
    bool idle() const
    {
        return !mWindow->TrackingTimer.isActive() && mWindow->btnSave->isEnabled()
            && !mWindow->btnStopAuto->isVisibleTo(mWindow) && mWindow->btnAuto->isVisibleTo(mWindow);
    }

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

    // Validity is asked first; then a chosen slot that the category filled.
    void captureChecksReadingThenChoice()
    {
        ScriptedMessages boxes;
        mWindow->mSelectedSlot = -1;
        boxes.expect(QStringLiteral("GPS Reading Required"));
        QVERIFY(!mWindow->Capture_Current_Event());
        QCOMPARE(boxes.last().text, kWaitForReading);
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);

        receiver().deliver(makeReading(51.5, -0.12));
        boxes.expect(QStringLiteral("Choose Event"));
        QVERIFY(!mWindow->Capture_Current_Event());
        QCOMPARE(boxes.last().text, kChooseEvent);

        // A slot the current category left empty keeps an old type: no choice.
        choose(5, 9);
        mWindow->mSlotFilled[5] = false;
        boxes.expect(QStringLiteral("Choose Event"));
        QVERIFY(!mWindow->Capture_Current_Event());

        receiver().loseFix();
        choose(1, 4);
        boxes.expect(QStringLiteral("GPS Reading Required"));
        QVERIFY(!mWindow->Capture_Current_Event());
        QVERIFY(boxes.allShown());
        QVERIFY(saved().isEmpty());
    }

    void saveRecordsThenResetsAndMinimizes()
    {
        ScriptedMessages boxes;
        Driver::Set_Parameter_Value(QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("TRUE"));
        receiver().deliver(makeReading(51.5, -0.12));
        choose(2, 31);
        mWindow->Notes->setPlainText(QStringLiteral("gate open\n\"north\" side"));
        QTest::mouseClick(mWindow->btnSave, Qt::LeftButton);

        QCOMPARE(saved().size(), 1);
        QCOMPARE(saved()[0].type, 31);
        QCOMPARE(saved()[0].notes, QStringLiteral("gate open\n\"north\" side"));
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(-1));
        QVERIFY(mWindow->Notes->toPlainText().isEmpty());
        QVERIFY(mWindow->windowState() & Qt::WindowMinimized);
        QVERIFY(boxes.shown().isEmpty());
    }

    void refusedSaveKeepsEverything()
    {
        ScriptedMessages boxes;
        choose(3, 7);
        mWindow->Notes->setPlainText(QStringLiteral("\n\n"));
        boxes.expect(QStringLiteral("GPS Reading Required"));
        mWindow->btnSave_Click();
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(3));
        QCOMPARE(mWindow->Notes->toPlainText(), QStringLiteral("\n\n"));
        QVERIFY(!(mWindow->windowState() & Qt::WindowMinimized));

        // Notes of only line breaks are recorded as they are.
        receiver().deliver(makeReading(1.0, 2.0));
        mWindow->btnSave_Click();
        QCOMPARE(saved().size(), 1);
        QCOMPARE(saved()[0].notes, QStringLiteral("\n\n"));
        QVERIFY(boxes.allShown());
    }

    void trackingRecordsAtTheInterval()
    {
        ScriptedMessages boxes;
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("30"));
        receiver().deliver(makeReading(10.0, 20.0));
        choose(0, 11);
        mWindow->Notes->setPlainText(QStringLiteral("walking"));
        QTest::mouseClick(mWindow->btnAuto, Qt::LeftButton);
        QVERIFY(tracking());
        QCOMPARE(mWindow->TrackingTimer.interval(), 30000);
        QCOMPARE(saved().size(), 1); // the first event at once

        // A later change of the setting leaves the run's period alone.
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("16"));
        QVERIFY(QMetaObject::invokeMethod(&mWindow->TrackingTimer, "timeout"));
        QCOMPARE(saved().size(), 2);
        QCOMPARE(mWindow->TrackingTimer.interval(), 30000);
        // A tick keeps the choice and the notes; what is current is recorded.
        QCOMPARE(mWindow->mSelectedSlot, std::int16_t(0));
        choose(4, 12);
        mWindow->Notes->setPlainText(QStringLiteral("running"));
        mWindow->TrackingTimer_Timer();
        QCOMPARE(saved().size(), 3);
        QCOMPARE(saved()[2].type, 12);
        QCOMPARE(saved()[2].notes, QStringLiteral("running"));

        // A refused tick tells the user and tracking goes on.
        mWindow->mSelectedSlot = -1;
        boxes.expect(QStringLiteral("Choose Event"));
        mWindow->TrackingTimer_Timer();
        QVERIFY(tracking());
        QCOMPARE(saved().size(), 3);
        QVERIFY(!(mWindow->windowState() & Qt::WindowMinimized));

        QTest::mouseClick(mWindow->btnStopAuto, Qt::LeftButton);
        QVERIFY(idle());
        QVERIFY(boxes.allShown());
    }

    void trackingStartsOnlyAfterAFirstCapture()
    {
        ScriptedMessages boxes;
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("30"));
        choose(0, 11);
        boxes.expect(QStringLiteral("GPS Reading Required"));
        mWindow->btnAuto_Click();
        QVERIFY(idle());
        receiver().deliver(makeReading(10.0, 20.0));
        mWindow->mSelectedSlot = -1;
        boxes.expect(QStringLiteral("Choose Event"));
        mWindow->btnAuto_Click();
        QVERIFY(idle());
        QVERIFY(saved().isEmpty());
        QVERIFY(boxes.allShown());
    }

    void intervalIsCheckedBeforeAnythingIsRecorded_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<int>("period"); // 0: refused
        QTest::newRow("not a number") << "soon" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("rounds to zero") << "0.4" << 0;
        QTest::newRow("negative") << "-5" << 0;
        QTest::newRow("too long for the timer") << "2147484" << 0;
        QTest::newRow("beyond 32 bits") << "99999999999" << 0;
        QTest::newRow("longest") << "2147483" << 2147483000;
        QTest::newRow("blanks around") << " 16 " << 16000;
        QTest::newRow("half to even") << "30.5" << 30000;
    }
    void intervalIsCheckedBeforeAnythingIsRecorded()
    {
        QFETCH(QString, interval);
        QFETCH(int, period);
        ScriptedMessages boxes;
        Driver::Set_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"), interval);
        receiver().deliver(makeReading(10.0, 20.0));
        choose(6, 21);
        if (period == 0)
            boxes.expect(QStringLiteral("Invalid Tracking Interval"));
        mWindow->btnAuto_Click();
        QVERIFY(boxes.allShown());
        if (period == 0) {
            QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
            QVERIFY2(boxes.last().text.contains(QLatin1Char('"') + interval + QLatin1Char('"')),
                qPrintable(boxes.last().text));
            QVERIFY(boxes.last().text.contains(QLatin1String("from 1 to 2147483")));
            QVERIFY(idle());
            QVERIFY(saved().isEmpty());
        } else {
            QVERIFY(tracking());
            QCOMPARE(mWindow->TrackingTimer.interval(), period);
            QCOMPARE(saved().size(), 1);
            mWindow->btnStopAuto_Click();
        }
    }
};

QTEST_MAIN(TestCapture)
#include "test_capture.moc"

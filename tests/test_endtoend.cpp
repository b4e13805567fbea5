// The main window with the real receiver component on a pseudo-terminal made
// by `nomrel simulate`: live values in the GPS frame, an event saved with the
// receiver's reading, and the device going away and coming back.

#include "ReceiverTesting.h"
#include "gui/EventIcon.h"
#include "gui/frmZEPTA.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>

#include <memory>
#include <optional>

namespace
{
constexpr int kPatience = 30000; // ms: generous, for a loaded machine
}

class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    std::shared_ptr<ManualClock> mClock;
    std::optional<nomrel::Component> mComponent;
    std::unique_ptr<ToolProcess> mSimulator;

    // `nomrel simulate` on COM1 of the folder, once its link is there.
    bool simulate()
    {
        mSimulator = std::make_unique<ToolProcess>(QStringLiteral(NOMREL_TOOL),
            QStringList {"simulate", "--rate", "10", "--folder", mFolder->path(), "--port", "1"});
        return mSimulator->firstLine().contains(QLatin1String("linked as"));
    }

private slots:
    void init()
    {
        mFolder.emplace();
        // The real component in place of the scripted one, on a clock the
        // test moves.
        mClock = std::make_shared<ManualClock>();
        mComponent.emplace(mFolder->path(), mClock);
        gps::setComponent(&*mComponent);
        QVERIFY(simulate());
    }

    void cleanup()
    {
        frmZEPTA::unload();
        mSimulator.reset();
        gps::setComponent(&mFolder->component());
        mComponent.reset();
        mFolder.reset();
    }

    void liveReadingsAreShownAndSavedWithTheEvent()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        w.show();
        QCOMPARE(w.txtLatitude->text(), QStringLiteral("No GPS Data"));

        // The simulated walk starts near 57.4125 N, 6.1960 W.
        QTRY_VERIFY_WITH_TIMEOUT(w.txtLatitude->text().startsWith(QLatin1String(" 57.41")), kPatience);
        QVERIFY2(w.txtLongitude->text().startsWith(QLatin1String("-6.19")), qPrintable(w.txtLongitude->text()));
        QVERIFY(w.mGPS->ValidReading());

        QTest::mouseClick(w.Event_Icon[2], Qt::LeftButton);
        w.btnSave_Click();

        auto events = db::Connection::openFile(mFolder->eventDatabase());
        auto row = events.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
        QVERIFY(!row.eof());
        // (What else is stored is the business of test_recording.)
        QCOMPARE(row.field(QStringLiteral("EVENT_TYPE_ID")).toInt32(), 103); // Fallen Tree, slot 2 of Road Survey
        QVERIFY(qAbs(row.field(QStringLiteral("LATITUDE")).toDouble() - 57.4125) < 0.01);
        QVERIFY(qAbs(row.field(QStringLiteral("LONGITUDE")).toDouble() + 6.196) < 0.01);
        QVERIFY(row.field(QStringLiteral("LOCKED")).toBool());
        QVERIFY(w.isMinimized());
        QVERIFY(boxes.allShown());
    }

    void receiverGoingAwayIsReportedOnceAndComesBack()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.mGPS->ValidReading(), kPatience);

        // The simulator dies without a goodbye, as a pulled receiver does.
        boxes.expect(QStringLiteral("No GPS Data"));
        mSimulator->kill();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown().size(), 1, kPatience);
        QCOMPARE(w.txtLatitude->text(), QStringLiteral("No GPS Data"));
        QCOMPARE(boxes.last().text, QStringLiteral("Your computer is not receiving GPS data"));
        QVERIFY(!w.mGPS->ValidReading());

        // It comes back: at the next attempt, 2 s on, live values again, with
        // no dialog touched and no further box.
        QVERIFY(simulate());
        mClock->ms += 2000;
        QTRY_VERIFY_WITH_TIMEOUT(w.txtLatitude->text().startsWith(QLatin1String(" 57.41")), kPatience);
        QVERIFY(w.mGPS->ValidReading());
        QCOMPARE(boxes.shown().size(), 1);
        QVERIFY(boxes.allShown());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_endtoend.moc"

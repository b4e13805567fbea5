// The main window with the real receiver component on a pseudo-terminal made
// by `nomrel simulate`: live values, an event saved with the reading, and the
// receiver going away (told once) and coming back by itself.

#include "ReceiverTesting.h"
#include "gui/EventIcon.h"
#include "gui/frmZEPTA.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QScopeGuard>
#include <QTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void liveReadingsSavedLostOnceAndBack()
    {
        TempProgramFolder folder;
        // The real component in place of the scripted one, on a clock the test moves.
        auto clock = std::make_shared<ManualClock>();
        nomrel::Component component(folder.path(), clock);
        auto feeder = simulate(folder.path(), 1);
        QVERIFY(feeder);
        gps::setComponent(&component);
        const auto restore = qScopeGuard([&] {
            frmZEPTA::unload();
            gps::setComponent(&folder.component());
        });
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        w.show();
        QCOMPARE(w.txtLatitude->text(), QStringLiteral("No GPS Data"));
        // The simulated walk starts near 57.4125 N, 6.1960 W.
        QTRY_VERIFY_WITH_TIMEOUT(w.txtLatitude->text().startsWith(QLatin1String(" 57.41")), kPatience);
        QVERIFY2(w.txtLongitude->text().startsWith(QLatin1String("-6.19")), qPrintable(w.txtLongitude->text()));

        QTest::mouseClick(w.Event_Icon[2], Qt::LeftButton);
        w.btnSave_Click();
        auto events = db::Connection::openFile(folder.eventDatabase());
        auto row = events.open(QStringLiteral("SELECT * FROM GEOCODED_EVENTS_WITH_GPS_READINGS"));
        QVERIFY(!row.eof()); // (what else is stored is the business of test_recording)
        QVERIFY(qAbs(row.field(QStringLiteral("LATITUDE")).toDouble() - 57.4125) < 0.01);
        QVERIFY(qAbs(row.field(QStringLiteral("LONGITUDE")).toDouble() + 6.196) < 0.01);
        QVERIFY(row.field(QStringLiteral("LOCKED")).toBool());

        // The simulator dies without a goodbye, as a pulled receiver does: one box.
        boxes.expect(QStringLiteral("No GPS Data"));
        feeder.reset();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown().size(), 1, kPatience);
        QCOMPARE(boxes.last().text, QStringLiteral("Your computer is not receiving GPS data"));
        QCOMPARE(w.txtLatitude->text(), QStringLiteral("No GPS Data"));
        QVERIFY(!w.mGPS->ValidReading());
        // It comes back: at the next attempt, 2 s on, live values again, no
        // dialog touched and no further box.
        feeder = simulate(folder.path(), 1);
        QVERIFY(feeder);
        clock->ms += 2000;
        QTRY_VERIFY_WITH_TIMEOUT(w.txtLatitude->text().startsWith(QLatin1String(" 57.41")), kPatience);
        QVERIFY(w.mGPS->ValidReading());
        QCOMPARE(boxes.shown().size(), 1);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_endtoend.moc"

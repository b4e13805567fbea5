// Fix quality in the main window with the real receiver component on a pseudo-terminal fed by
// `nomrel simulate` with a chosen HDOP, outliers or a fix loss: the indicator, the accuracy limit,
// averaged capture and tracking through an outage.

#include "ReceiverTesting.h"
#include "core/Driver.h"
#include "gui/EventIcon.h"
#include "gui/frmAveraging.h"
#include "gui/frmZEPTA.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QtWidgets>

#include <optional>

class TestQuality : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    std::shared_ptr<ManualClock> mClock;
    std::optional<nomrel::Component> mComponent;
    std::unique_ptr<ToolProcess> mFeeder;

    frmZEPTA& window() { return frmZEPTA::instance(); }

    // The window on the real receiver, fed by `nomrel simulate --rate 10` with these options.
    bool start(const QStringList& options)
    {
        mFeeder = std::make_unique<ToolProcess>(QStringLiteral(NOMREL_TOOL),
            QStringList {"simulate", "--rate", "10", "--folder", mFolder->path(), "--port", "1"} + options);
        if (!mFeeder->firstLine().contains(QLatin1String("linked as")))
            return false;
        window().show();
        return QTest::qWaitFor([this] { return window().mGPS->ValidReading(); }, kPatience);
    }

    void set(const char* key, const char* value)
    {
        Driver::Set_Parameter_Value(QLatin1String(key), QLatin1String(value));
        window().Update_Form_per_Options(); // as when Configure closes
    }

    void choose(int slot, const QString& notes)
    {
        QTest::mouseClick(window().Event_Icon[static_cast<std::size_t>(slot)], Qt::LeftButton);
        window().Notes->setPlainText(notes);
    }

    // Each event as "SAMPLES|SPREAD_M below 2 m|ACCURACY_M rounded|TRACK_ID set".
    QStringList events() const
    {
        QStringList rows;
        auto c = db::Connection::openFile(mFolder->eventDatabase(), db::Connection::Mode::ReadOnly);
        for (auto r = c.open(QStringLiteral(
                 "SELECT SAMPLES || '|' || IFNULL(SPREAD_M < 2, '') || '|' || IFNULL(CAST(ROUND(ACCURACY_M) AS "
                 "INTEGER), '') || '|' || "
                 "(TRACK_ID IS NOT NULL) FROM GEOCODED_EVENTS JOIN GPS_READINGS USING (GPS_READING_ID)"));
             !r.eof(); r.moveNext())
            rows << r.field(0).toString();
        return rows;
    }

    static QString colourOf(const QLabel* label)
    {
        const QColor c = label->palette().color(QPalette::WindowText);
        if (c == QColor(0, 128, 0))
            return QStringLiteral("green");
        if (c == QColor(200, 120, 0))
            return QStringLiteral("amber");
        if (c == QColor(192, 0, 0))
            return QStringLiteral("red");
        return c == label->palette().color(QPalette::Disabled, QPalette::WindowText) ? QStringLiteral("grey")
                                                                                     : c.name();
    }
    QString indicator() { return window().txtFixKind->text() + " " + window().txtAccuracy->text(); }

private slots:
    void init()
    {
        mFolder.emplace();
        mClock = std::make_shared<ManualClock>();
        mComponent.emplace(mFolder->path(), mClock);
        gps::setComponent(&*mComponent);
    }
    void cleanup()
    {
        frmZEPTA::unload();
        mFeeder.reset();
        gps::setComponent(&mFolder->component());
        mComponent.reset();
        mFolder.reset();
    }

    // HDOP 4 without GST is ±21 m: its colour against no limit (5 m stands for one), 25 m and 15 m;
    // a save above a 5 m limit asks, No keeps everything, Yes saves. A receiver gone greys it.
    void indicatorAndLimit()
    {
        QVERIFY(start({"--hdop", "4"}));
        QTRY_COMPARE(indicator(), QStringLiteral("3D, 8 sats \u00b121 m"));
        for (const auto& [limit, colour] : {std::pair {"0", "red"}, {"25", "green"}, {"15", "amber"}}) {
            set("ACCURACY_LIMIT_M", limit);
            QTRY_COMPARE(colourOf(window().txtAccuracy), QLatin1String(colour));
        }
        set("ACCURACY_LIMIT_M", "5");
        ScriptedMessages boxes;
        choose(3, QStringLiteral("pothole"));
        boxes.expect(QStringLiteral("Poor Accuracy"), MessageAnswer::No);
        window().btnSave->click();
        QCOMPARE(boxes.last().text,
            QStringLiteral("The GPS fix is accurate to \u00b121 m, worse than the limit of 5 m.\r\nSave anyway?"));
        QCOMPARE(window().mSelectedSlot, std::int16_t(3));
        QCOMPARE(window().Notes->toPlainText(), QStringLiteral("pothole"));
        QVERIFY(events().isEmpty());
        boxes.expect(QStringLiteral("Poor Accuracy"), MessageAnswer::Yes);
        window().btnSave->click();
        QCOMPARE(events(), QStringList {"1||21|0"});

        boxes.expect(QStringLiteral("No GPS Data"));
        mFeeder.reset(); // the receiver pulled out
        QTRY_COMPARE_WITH_TIMEOUT(indicator(), QStringLiteral("No data \u00b1? m"), kPatience);
        QCOMPARE(colourOf(window().txtAccuracy), QStringLiteral("grey"));
    }

    // One sample in ten 80 m off with HDOP 25: averaging within a 10 m limit keeps the others.
    // A cancelled window stores nothing; the window stays after a save when SHRINK_AFTER_SAVES is No.
    void averagingSkipsOutliers()
    {
        QVERIFY(start({"--outliers", "10"}));
        set("ACCURACY_LIMIT_M", "10");
        set("SHRINK_AFTER_SAVES", "False");
        set("AVERAGING_SECONDS", "60");
        choose(1, QStringLiteral("gate"));
        QTimer::singleShot(300, this, [] {
            if (auto* averaging = qobject_cast<frmAveraging*>(QApplication::activeModalWidget()))
                averaging->btnCancel->click();
        });
        window().btnSave->click();
        QVERIFY(events().isEmpty());
        QCOMPARE(window().Notes->toPlainText(), QStringLiteral("gate"));
        QCOMPARE(window().mSelectedSlot, std::int16_t(1));

        Driver::Set_Parameter_Value(QStringLiteral("AVERAGING_SECONDS"), QStringLiteral("2"));
        window().btnSave->click(); // ends by itself after 2 s: about 20 taken
        const QStringList saved = events();
        QCOMPARE(saved.size(), 1);
        // Any ten cycles in a row hold an outlier, so a spread under 2 m over ten or more shows
        // they were left out (how many arrive in 2 s depends on the machine's load).
        const int samples = saved.value(0).section('|', 0, 0).toInt();
        QVERIFY2(samples >= 10, qPrintable(saved.value(0)));
        QCOMPARE(saved.value(0).section('|', 1), QStringLiteral("1|5|0"));
        QVERIFY(!(window().windowState() & Qt::WindowMinimized));
        QCOMPARE(window().mSelectedSlot, std::int16_t(-1));
    }

    // A fix lost for three ticks shows one box and counts them; the run records again when the
    // fix returns, every event with the run's track.
    void trackingThroughAnOutage()
    {
        QVERIFY(start({"--lose-fix-after", "3", "--lose-fix-for", "4"})); // time to start the run with a fix
        ScriptedMessages boxes;
        choose(0, QStringLiteral("walk"));
        window().btnAuto->click();
        QTRY_COMPARE_WITH_TIMEOUT(window().txtLatitude->text(), QStringLiteral("Poor Signal"), kPatience);
        QCOMPARE(indicator(), QStringLiteral("No fix \u00b1? m"));
        boxes.expect(QStringLiteral("GPS Reading Required"));
        for (int tick = 0; tick < 3; ++tick)
            window().TrackingTimer_Timer();
        QCOMPARE(window().txtSkippedTicks->text(), QStringLiteral("Skipped: 3"));
        QVERIFY(window().txtSkippedTicks->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window().mGPS->ValidReading(), kPatience);
        window().TrackingTimer_Timer();
        QCOMPARE(events(), (QStringList {"1||5|1", "1||5|1"}));
        QVERIFY(window().TrackingTimer.isActive());

        // The run exported to GPX is one track of both points, to GDAL and GPSBabel.
        const QString gpx = mFolder->file(QStringLiteral("run.gpx"));
        boxes.expect(QStringLiteral("Save Completed"));
        Driver::Export_Events_To_File(gpx, Driver::ExportFormat::Gpx);
        auto output = [](const QString& program, const QStringList& arguments) {
            QProcess process;
            process.start(program, arguments);
            process.waitForFinished(60000);
            return QString::fromUtf8(process.readAllStandardOutput());
        };
        const QString tracks = output(QStringLiteral("ogrinfo"), {"-ro", "-so", gpx, "tracks"});
        QVERIFY2(tracks.contains(QLatin1String("Feature Count: 1")), qPrintable(tracks));
        const QString points = output(QStringLiteral("gpsbabel"),
            {"-t", "-i", "gpx", "-f", gpx, "-x", "nuketypes,waypoints", "-o", "unicsv", "-F", "-"});
        QCOMPARE(points.trimmed().split(QLatin1Char('\n')).size(), 3); // a header and two points
        // In GeoJSON, the two points and the run's line.
        const QString json = mFolder->file(QStringLiteral("run.geojson"));
        boxes.expect(QStringLiteral("Save Completed"));
        Driver::Export_Events_To_File(json, Driver::ExportFormat::GeoJson);
        const QString lines = output(QStringLiteral("ogrinfo"),
            {"-ro", "-al", "-q", "-where",
                "TRACK_ID IS NOT NULL "
                "AND GEOCODED_EVENT_ID IS NULL",
                json});
        QCOMPARE(lines.count(QLatin1String("LINESTRING (")), 1);
    }

    // The outage box left open while the crew drives: real ticks go on under it and record
    // again once the fix is back.
    void trackingUnderAnOpenBox()
    {
        QVERIFY(start({"--lose-fix-after", "3", "--lose-fix-for", "2"})); // time to start the run with a fix
        set("TRACKING_INTERVAL", "1");
        choose(0, QStringLiteral("walk"));
        int recordedUnderTheBox = -1;
        const MessagePresenter previous = setMessagePresenter([&](const Message&) {
            const qsizetype before = events().size();
            (void)QTest::qWaitFor([&] { return events().size() >= before + 2; }, kPatience);
            recordedUnderTheBox = static_cast<int>(events().size() - before);
            return MessageAnswer::Ok;
        });
        auto restore = qScopeGuard([&] { setMessagePresenter(previous); });
        window().btnAuto->click();
        QTRY_VERIFY_WITH_TIMEOUT(recordedUnderTheBox >= 0, 2 * kPatience);
        window().btnStopAuto->click();
        QCOMPARE(recordedUnderTheBox, 2);
    }
};

QTEST_MAIN(TestQuality)
#include "test_quality.moc"

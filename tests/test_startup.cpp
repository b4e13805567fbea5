// Start-up: the splash window in both modes, and the order of Main.

#include "app/Main.h"
#include "core/Driver.h"
#include "gps/Component.h"
#include "gui/frmSplash.h"
#include "gui/frmZEPTA.h"
#include "support/ErrorOf.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

#include <optional>

class TestStartup : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        frmZEPTA::unload();
        frmSplash::unload();
        mFolder.reset();
    }

    // The start-up window ends only by its five-second timer, not by Escape or closing; hidden, it
    // stays loaded, and loads afresh after an unload. The about box: same window, Close, no timer.
    void splashByTimerAboutByClose()
    {
        frmSplash& splash = frmSplash::instance();
        QCOMPARE(splash.SplashTimer.interval(), 5000);
        QTimer::singleShot(0, &splash, [&] {
            QVERIFY(splash.SplashTimer.isActive());
            QVERIFY(!splash.Close->isVisible());
            QTest::keyClick(&splash, Qt::Key_Escape);
            splash.close();
            QVERIFY(splash.isVisible());
            QMetaObject::invokeMethod(&splash.SplashTimer, "timeout"); // as the timer does after 5 s
        });
        splash.showStartup();
        QVERIFY(!splash.isVisible());
        QVERIFY(frmSplash::isLoaded());

        splash.lblVersion->setText(QStringLiteral("stale"));
        frmSplash::unload();
        frmSplash* fresh = &frmSplash::instance();
        QCOMPARE(fresh->lblVersion->text(), QStringLiteral("Version 1.0r2"));
        QVERIFY(fresh->SplashTimer.isActive());
        for (int round = 0; round < 2; ++round) {
            QTimer::singleShot(0, fresh, [&] {
                QVERIFY(fresh->Close->isVisible());
                QVERIFY(!fresh->SplashTimer.isActive());
                QTest::mouseClick(fresh->Close, Qt::LeftButton);
            });
            frmSplash::instance().showAbout();
            QCOMPARE(&frmSplash::instance(), fresh);
            QVERIFY(!fresh->isVisible());
        }
    }

    void mainTouchesNoDatabaseBeforeTheSplashHides()
    {
        Driver::applicationConnectionString().clear();
        gps::component().CreateDataLink()->setConnectionString(QVariant(QString()));
        frmSplash::instance().SplashTimer.setInterval(20);

        bool seenDuringSplash = false;
        QTimer::singleShot(0, [&] {
            QVERIFY(frmSplash::instance().isVisible());
            QVERIFY(Driver::applicationConnectionString().isEmpty());
            QVERIFY(gps::component().CreateDataLink()->connectionString().isEmpty());
            QCOMPARE(mFolder->component().receiversMade, 0);
            seenDuringSplash = true;
        });
        Driver::Main();
        QVERIFY(seenDuringSplash);

        QCOMPARE(Driver::applicationConnectionString(),
            Driver::connectionStringFor(mFolder->path(), QStringLiteral("zepta.mdb")));
        QCOMPARE(gps::component().CreateDataLink()->connectionString(),
            Driver::connectionStringFor(mFolder->path(), QStringLiteral("Nomrel.mdb")));
        QVERIFY(frmZEPTA::instance().isVisible());
        QVERIFY(!frmSplash::isLoaded());
    }

    void mainNamesAnUnusableApplicationDatabase()
    {
        QVERIFY(QFile::remove(mFolder->applicationDatabase()));
        frmSplash::instance().SplashTimer.setInterval(20);
        QCOMPARE(errorOf([] { Driver::Main(); }).section(QStringLiteral(": "), 0, 0),
            QStringLiteral("The application database %1 cannot be used").arg(mFolder->applicationDatabase()));
        QVERIFY(!frmZEPTA::isLoaded());
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"

// Start-up: the splash window in both modes, and the order of Main.

#include "app/Main.h"
#include "core/Driver.h"
#include "gps/Component.h"
#include "gui/frmSplash.h"
#include "gui/frmZEPTA.h"
#include "support/ErrorOf.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

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

    void loadingPreparesStartupMode()
    {
        frmSplash& splash = frmSplash::instance();
        QCOMPARE(splash.lblVersion->text(), QStringLiteral("Version 1.0r2"));
        QVERIFY(!splash.Close->isVisibleTo(&splash));
        QVERIFY(splash.SplashTimer.isActive());
        QCOMPARE(splash.SplashTimer.interval(), 5000);
        QVERIFY(splash.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(splash.windowTitle().isEmpty());
        QCOMPARE(splash.size(), QSize(487, 384)); // 7305 x 5760 twips
        QCOMPARE(splash.Close->text(), QStringLiteral("&Close"));
        QCOMPARE(splash.lblPlatform->text(), QStringLiteral("Linux 64-bit"));
    }

    void startupModeEndsOnlyByItsTimer()
    {
        frmSplash& splash = frmSplash::instance();
        bool escapeIgnored = false;
        QTimer::singleShot(0, &splash, [&] {
            QVERIFY(splash.isVisible());
            QTest::keyClick(&splash, Qt::Key_Escape);
            splash.close();
            escapeIgnored = splash.isVisible();
            QMetaObject::invokeMethod(&splash.SplashTimer, "timeout"); // as the timer does after 5 s
        });
        splash.showStartup();
        QVERIFY(escapeIgnored);
        QVERIFY(!splash.isVisible());
        QVERIFY(frmSplash::isLoaded()); // hidden, not unloaded
    }

    void aboutModeTwiceShowsTheSameWindow()
    {
        frmSplash* first = &frmSplash::instance();
        for (int round = 0; round < 2; ++round) {
            bool checked = false;
            QTimer::singleShot(0, first, [&] {
                QVERIFY(first->isVisible());
                QVERIFY(first->Close->isVisible());
                QVERIFY(!first->SplashTimer.isActive());
                QCOMPARE(first->lblVersion->text(), QStringLiteral("Version 1.0r2"));
                checked = true;
                QTest::mouseClick(first->Close, Qt::LeftButton);
            });
            frmSplash::instance().showAbout();
            QVERIFY(checked);
            QCOMPARE(&frmSplash::instance(), first);
            QVERIFY(!first->isVisible());
        }
    }

    void aboutAfterUnloadLoadsAfresh()
    {
        frmSplash::instance().SplashTimer.stop();
        frmSplash::instance().lblVersion->setText(QStringLiteral("stale"));
        frmSplash::unload();
        // Loading again runs Form_Load: version set afresh, timer on, Close hidden.
        QCOMPARE(frmSplash::instance().lblVersion->text(), QStringLiteral("Version 1.0r2"));
        QVERIFY(frmSplash::instance().SplashTimer.isActive());
        QVERIFY(!frmSplash::instance().Close->isVisibleTo(&frmSplash::instance()));
    }

    void mainTouchesNoDatabaseBeforeTheSplashHides()
    {
        ScriptedMessages boxes;
        Driver::applicationConnectionString().clear();
        gps::component().CreateDataLink()->setConnectionString(QVariant(QString()));
        frmSplash::instance().SplashTimer.setInterval(20);

        bool seenDuringSplash = false;
        QTimer::singleShot(0, [&] {
            QVERIFY(frmSplash::instance().isVisible());
            QVERIFY(Driver::applicationConnectionString().isEmpty());
            QVERIFY(gps::component().CreateDataLink()->connectionString().isEmpty());
            QCOMPARE(mFolder->component().receiversMade, 0);
            QVERIFY(!frmZEPTA::isLoaded());
            seenDuringSplash = true;
        });
        Driver::Main();
        QVERIFY(seenDuringSplash);

        QCOMPARE(Driver::applicationConnectionString(),
            Driver::connectionStringFor(mFolder->path(), QStringLiteral("zepta.mdb")));
        QCOMPARE(gps::component().CreateDataLink()->connectionString(),
            Driver::connectionStringFor(mFolder->path(), QStringLiteral("Nomrel.mdb")));
        QVERIFY(frmZEPTA::isLoaded());
        QVERIFY(frmZEPTA::instance().isVisible());
        QCOMPARE(frmZEPTA::instance().windowTitle(), QStringLiteral("Zepta"));
        QVERIFY(!frmSplash::isLoaded());
        QCOMPARE(mFolder->component().receiversMade, 1);
        QCOMPARE(mFolder->component().receiver->calls.value(0), QStringLiteral("Initialize"));
        QVERIFY(boxes.allShown());
    }

    // Without its settings the program cannot start: the error names the file.
    void mainNamesAnUnusableApplicationDatabase()
    {
        QVERIFY(QFile::remove(mFolder->applicationDatabase()));
        frmSplash::instance().SplashTimer.setInterval(20);
        QVERIFY(errorOf([] { Driver::Main(); })
                    .startsWith(QStringLiteral("The application database %1 cannot be used: ")
                                    .arg(mFolder->applicationDatabase())));
        QVERIFY(!frmZEPTA::isLoaded());
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"

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

    // Loading starts the five-second timer and hides Close: the window ends
    // only by its timer, neither Escape nor closing it does; hidden, it stays
    // loaded. Loaded again after an unload, it starts afresh.
    void startupModeEndsOnlyByItsTimer()
    {
        frmSplash& splash = frmSplash::instance();
        QCOMPARE(splash.lblVersion->text(), QStringLiteral("Version 1.0r2"));
        QCOMPARE(splash.SplashTimer.interval(), 5000);
        bool escapeIgnored = false;
        QTimer::singleShot(0, &splash, [&] {
            QVERIFY(splash.SplashTimer.isActive());
            QVERIFY(!splash.Close->isVisible());
            QTest::keyClick(&splash, Qt::Key_Escape);
            splash.close();
            escapeIgnored = splash.isVisible();
            QMetaObject::invokeMethod(&splash.SplashTimer, "timeout"); // as the timer does after 5 s
        });
        splash.showStartup();
        QVERIFY(escapeIgnored);
        QVERIFY(!splash.isVisible());
        QVERIFY(frmSplash::isLoaded());

        splash.SplashTimer.stop();
        splash.lblVersion->setText(QStringLiteral("stale"));
        frmSplash::unload();
        QCOMPARE(frmSplash::instance().lblVersion->text(), QStringLiteral("Version 1.0r2"));
        QVERIFY(frmSplash::instance().SplashTimer.isActive());
    }

    // The about box is the same window, its timer off and Close shown.
    void aboutModeTwiceShowsTheSameWindow()
    {
        frmSplash* first = &frmSplash::instance();
        for (int round = 0; round < 2; ++round) {
            bool checked = false;
            QTimer::singleShot(0, first, [&] {
                QVERIFY(first->Close->isVisible());
                QVERIFY(!first->SplashTimer.isActive());
                checked = true;
                QTest::mouseClick(first->Close, Qt::LeftButton);
            });
            frmSplash::instance().showAbout();
            QVERIFY(checked);
            QCOMPARE(&frmSplash::instance(), first);
            QVERIFY(!first->isVisible());
        }
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
        QVERIFY(frmZEPTA::instance().isVisible());
        QVERIFY(!frmSplash::isLoaded());
        QCOMPARE(mFolder->component().receiversMade, 1);
        QCOMPARE(mFolder->component().receiver->calls.value(0), QStringLiteral("Initialize"));
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

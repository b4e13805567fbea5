// Start-up: the splash window in both modes, and the order of Main.

#include "app/CommandLine.h"
#include "app/DataFolder.h"
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
#include <vector>

Q_DECLARE_METATYPE(CommandLine::Action)

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

    // Ours are answered before any window; Qt's own options pass with their values.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<CommandLine::Action>("action");
        QTest::addColumn<QString>("error");
        using A = CommandLine::Action;
        QTest::newRow("nothing") << QStringList() << A::Run << QString();
        QTest::newRow("help") << QStringList {"--help"} << A::Help << QString();
        QTest::newRow("-h after a Qt option") << QStringList {"-platform", "offscreen", "-h"} << A::Help << QString();
        QTest::newRow("version") << QStringList {"--version"} << A::Version << QString();
        QTest::newRow("Qt options") << QStringList {"--platform=offscreen", "-style", "Fusion", "-reverse"} << A::Run
                                    << QString();
        QTest::newRow("version as a value") << QStringList {"-style", "--version"} << A::Run << QString();
        QTest::newRow("unknown") << QStringList {"--verbose"} << A::Error << "unknown option --verbose";
        QTest::newRow("a file") << QStringList {"events.txt"} << A::Error << "unexpected argument events.txt";
        QTest::newRow("value missing") << QStringList {"-platform"} << A::Error << "option -platform needs a value";
    }
    void commandLine()
    {
        QFETCH(QStringList, args);
        std::vector<QByteArray> texts {"zepta"};
        for (const QString& arg : args)
            texts.push_back(arg.toUtf8());
        std::vector<const char*> argv;
        for (const QByteArray& text : texts)
            argv.push_back(text.constData());
        const CommandLine parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        QTEST(parsed.action, "action");
        QTEST(QString::fromStdString(parsed.error), "error");
    }

    // Installed: the data folder is made private from the template, then locked against a second
    // Zepta; one that cannot be made is named with the reason and nothing is left of the attempt.
    void installedDataFolder()
    {
        QTemporaryDir root;
        const QString share = root.filePath(QStringLiteral("share"));
        QVERIFY(QDir().mkpath(share));
        QVERIFY(QFile::copy(mFolder->applicationDatabase(), share + QStringLiteral("/zepta.mdb")));
        const QString data = root.filePath(QStringLiteral("home/.local/share/zepta"));
        const Driver::Folders folders {true, data, share};

        DataFolderState first = prepareDataFolder(folders);
        QCOMPARE(first.outcome, DataFolderState::Outcome::Ready);
        QVERIFY(first.lock && first.lock->isLocked());
        const auto ownerGroupOther = QFileInfo(data).permissions() & QFileDevice::Permissions(0x7077);
        QCOMPARE(ownerGroupOther, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        Driver::applicationConnectionString() = Driver::connectionStringFor(data, QStringLiteral("zepta.mdb"));
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 7"));

        const DataFolderState second = prepareDataFolder(folders);
        QCOMPARE(second.outcome, DataFolderState::Outcome::AnotherRunning);
        QVERIFY(second.message.contains(data));
        first.lock.reset();
        QCOMPARE(prepareDataFolder(folders).outcome, DataFolderState::Outcome::Ready); // kept, not copied again
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QStringLiteral("crew 7"));

        QFile blocker(root.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const QString underAFile = blocker.fileName() + QStringLiteral("/a/zepta");
        const DataFolderState blocked = prepareDataFolder({true, underAFile, share});
        QCOMPARE(blocked.outcome, DataFolderState::Outcome::Unusable);
        QCOMPARE(blocked.message, QStringLiteral("Zepta cannot keep its data in %1: Not a directory.").arg(underAFile));

        const QString noTemplate = root.filePath(QStringLiteral("other/zepta"));
        const DataFolderState missing = prepareDataFolder({true, noTemplate, root.filePath(QStringLiteral("none"))});
        QCOMPARE(missing.outcome, DataFolderState::Outcome::Unusable);
        QVERIFY2(missing.message.startsWith(QStringLiteral("Zepta cannot keep its data in %1: the settings cannot be "
                                                           "copied from ")
                                                .arg(noTemplate)),
            qPrintable(missing.message));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("other"))));
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
        QCOMPARE(errorOf([] { Driver::Main(); }),
            QStringLiteral("The application database %1 cannot be used: the file or its folder does not exist.")
                .arg(mFolder->applicationDatabase()));
        QVERIFY(!frmZEPTA::isLoaded());
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"

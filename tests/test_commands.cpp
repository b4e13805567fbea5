// The main window's menu commands: Save Data, Delete Data, Exit, Contents,
// About.

#include "capture/frmZEPTA.h"
#include "core/Driver.h"
#include "info/frmSplash.h"
#include "platform/Db.h"
#include "platform/QtPresenters.h"
#include "platform/SharedWindow.h"
#include "support/ScriptedMessages.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

class TestCommands : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    frmZEPTA& window() { return frmZEPTA::instance(); }

    void addEvents(int count)
    {
        for (int i = 0; i < count; ++i)
            mFolder->execEvents(QStringLiteral(
                "INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED) "
                "VALUES ('2026-12-06 07:30:15', 57.4, -6.2, 1.5, 90, 1);"
                "INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, NOTES) "
                "VALUES ('COM1', '1', 101, last_insert_rowid(), 'n')"));
    }

    // Both tables still hold the given number of rows.
    void expectRows(int count)
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        for (const char* table : {"GEOCODED_EVENTS", "GPS_READINGS"})
            QCOMPARE(c.open(QStringLiteral("SELECT COUNT(*) AS N FROM ") + QLatin1String(table))
                         .field(QStringLiteral("N"))
                         .toInt32(),
                count);
    }

private slots:
    void init()
    {
        mFolder.emplace();
        window(); // loads it, with the scripted receiver
    }
    void cleanup()
    {
        unloadAllSharedWindows();
        mFolder.reset();
    }

    // The first offer is zepta.txt in the documents folder; then the name
    // last chosen, with the default extension it was given. A cancel exports
    // nothing.
    void saveDataOffersTheLastChosenName()
    {
        ScriptedMessages boxes;
        addEvents(2);
        const QString chosen = mFolder->file(QStringLiteral("field data"));
        QList<std::optional<QString>> answers {chosen, std::nullopt};
        QList<SaveDialogRequest> requests;
        const SaveDialogPresenter previous = setSaveDialogPresenter([&](const SaveDialogRequest& request) {
            requests.append(request);
            return answers.isEmpty() ? std::nullopt : answers.takeFirst();
        });
        const auto restore = qScopeGuard([&] { setSaveDialogPresenter(previous); });
        boxes.expect(QStringLiteral("Save Completed")); // none for the cancel
        window().menu_CopyData->trigger();
        window().menu_CopyData->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(requests.size(), 2);

        const SaveDialogRequest& first = requests.first();
        QCOMPARE(first.title, QStringLiteral("Save Data to File"));
        QCOMPARE(first.defaultExtension, QStringLiteral(".txt"));
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QCOMPARE(first.fileName,
            QDir(documents.isEmpty() ? QDir::homePath() : documents).filePath(QStringLiteral("zepta.txt")));
        QCOMPARE(requests.at(1).fileName, chosen + QStringLiteral(".txt"));

        QCOMPARE(
            boxes.shown().at(0).text, QStringLiteral("Saved 2 events to file: ") + chosen + QStringLiteral(".txt"));
        QFile file(chosen + QStringLiteral(".txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count('\n'), 3); // header and two events
        QVERIFY(!QFile::exists(chosen));
    }

    // No deletes nothing and shows no second box. Yes while another program
    // holds the write lock fails after the engine's busy wait, is reported,
    // and leaves both tables; Yes then deletes, with the count confirmed.
    void deleteDataConfirmsWithTheCount()
    {
        ScriptedMessages boxes;
        addEvents(3);
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::No);
        window().menu_DeleteData->trigger();
        QCOMPARE(boxes.shown().size(), 1);
        expectRows(3);

        auto holder = db::Connection::openFile(mFolder->eventDatabase());
        holder.execute(QStringLiteral("BEGIN IMMEDIATE"));
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Delete Failed"));
        window().menu_DeleteData->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QVERIFY2(boxes.last().text.startsWith(QStringLiteral("Unable to delete the saved events in: ")
                     + Driver::eventDatabasePath() + QStringLiteral("\r\n")),
            qPrintable(boxes.last().text));
        QVERIFY2(boxes.last().text.contains(QLatin1String("locked")), qPrintable(boxes.last().text));
        holder.execute(QStringLiteral("ROLLBACK"));
        expectRows(3);

        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Events Deleted"));
        window().menu_DeleteData->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.shown().size(), 5);
        for (int i : {0, 1, 3}) {
            QCOMPARE(boxes.shown().at(i).kind, MessageKind::YesNo);
            QCOMPARE(boxes.shown().at(i).text,
                QStringLiteral("Are you sure you want to PERMANENTLY DELETE ALL 3 OF YOUR SAVED EVENTS?"));
        }
        QCOMPARE(boxes.last().kind, MessageKind::Plain);
        QCOMPARE(boxes.last().text, QStringLiteral("3 geocoded events were permanently deleted."));
        expectRows(0);
    }

    // Exit closes the window, and its unload ends the program's event loop.
    void exitEndsTheProgram()
    {
        window().show();
        QObject watchdog; // only fires when Exit failed to end the loop
        QTimer::singleShot(30000, &watchdog, [] { QCoreApplication::exit(99); });
        QTimer::singleShot(0, &window(), [this] { window().menu_Exit->trigger(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!window().isVisible());
        QVERIFY(!window().mGPS); // Form_Unload ran
    }

    // The help file of the program folder, in the real viewer, opened at the
    // top of its first page even after reading further down.
    void contentsOpensTheHelpAtItsFirstPage()
    {
        ScriptedMessages boxes;
        const HelpPresenter previous = setHelpPresenter(&showQtHelpViewer);
        const auto restore = qScopeGuard([&] { setHelpPresenter(previous); });
        const QString helpFile = mFolder->file(QStringLiteral("Zepta.html"));
        boxes.expect(QStringLiteral("Help Not Found"));
        window().menu_Contents->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text, QStringLiteral("The help file cannot be opened: ") + helpFile);

        QVERIFY(QFile::copy(sourceFile(QStringLiteral("data/help/Zepta.html")), helpFile));
        window().menu_Contents->trigger();
        QTextBrowser* browser = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("HelpWindow") && widget->isVisible())
                browser = widget->findChild<QTextBrowser*>(QStringLiteral("HelpBrowser"));
        QVERIFY(browser);
        QCOMPARE(browser->documentTitle(), QStringLiteral("Zepta Help"));

        browser->setSource(QUrl::fromLocalFile(helpFile).resolved(QUrl(QStringLiteral("#files"))));
        QVERIFY(browser->verticalScrollBar()->value() > 0);
        window().menu_Contents->trigger();
        QCOMPARE(browser->source(), QUrl::fromLocalFile(helpFile));
        QCOMPARE(browser->verticalScrollBar()->value(), 0);
    }

    void aboutShowsTheSplashInAboutMode()
    {
        bool checked = false;
        QTimer::singleShot(0, [&] {
            frmSplash& splash = frmSplash::instance();
            QVERIFY(splash.isVisible());
            QVERIFY(splash.Close->isVisible());
            QVERIFY(!splash.SplashTimer.isActive());
            checked = true;
            QTest::mouseClick(splash.Close, Qt::LeftButton);
        });
        window().menu_About->trigger();
        QVERIFY(checked);
        QVERIFY(!frmSplash::instance().isVisible());
    }
};

QTEST_MAIN(TestCommands)
#include "test_commands.moc"

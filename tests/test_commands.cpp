// The main window's menu commands: Save Data, Delete Data, Exit, Contents,
// About.

#include "capture/frmZEPTA.h"
#include "core/Driver.h"
#include "info/frmSplash.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/FileDialog.h"
#include "platform/HelpViewer.h"
#include "platform/SharedWindow.h"
#include "support/ScriptedMessages.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <optional>

namespace
{
// Answers the file-save dialog for one test: each request gets the next
// scripted answer (a file name, a cancel, or a failure of the dialog).
class ScriptedSaveDialog
{
public:
    struct Answer {
        std::optional<QString> fileName;
        bool fails = false;
    };

    ScriptedSaveDialog()
    {
        mPrevious = setSaveDialogPresenter([this](const SaveDialogRequest& request) -> std::optional<QString> {
            requests.append(request);
            if (mAnswers.isEmpty()) {
                QTest::qFail("unexpected save dialog", __FILE__, __LINE__);
                return std::nullopt;
            }
            const Answer answer = mAnswers.takeFirst();
            if (answer.fails)
                throw ZeptaError(QStringLiteral("the dialog cannot be shown"));
            return answer.fileName;
        });
    }
    ~ScriptedSaveDialog() { setSaveDialogPresenter(std::move(mPrevious)); }

    void choose(const QString& fileName) { mAnswers.append({fileName, false}); }
    void cancel() { mAnswers.append({std::nullopt, false}); }
    void fail() { mAnswers.append({std::nullopt, true}); }
    bool allUsed() const { return mAnswers.isEmpty(); }

    QList<SaveDialogRequest> requests;

private:
    QList<Answer> mAnswers;
    SaveDialogPresenter mPrevious;
};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QWidget* topLevel(const char* name)
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String(name))
            return widget;
    return nullptr;
}
} // namespace

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

    int rows(const char* table)
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        return c.open(QStringLiteral("SELECT COUNT(*) AS N FROM ") + QLatin1String(table))
            .field(QStringLiteral("N"))
            .toInt32();
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
    // last chosen, with the default extension it was given.
    void saveDataOffersTheLastChosenName()
    {
        ScriptedSaveDialog dialog;
        ScriptedMessages boxes;
        addEvents(2);
        const QString chosen = mFolder->file(QStringLiteral("field data"));
        dialog.choose(chosen);
        boxes.expect(QStringLiteral("Save Completed"));
        window().menu_CopyData->trigger();

        QCOMPARE(dialog.requests.size(), 1);
        const SaveDialogRequest& first = dialog.requests.first();
        QCOMPARE(first.title, QStringLiteral("Save Data to File"));
        QCOMPARE(first.defaultExtension, QStringLiteral(".txt"));
        QCOMPARE(first.filter, QStringLiteral("*.*"));
        QCOMPARE(QFileInfo(first.fileName).fileName(), QStringLiteral("zepta.txt"));
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QCOMPARE(QFileInfo(first.fileName).absolutePath(),
            QFileInfo(documents.isEmpty() ? QDir::homePath() : documents).absoluteFilePath());

        QCOMPARE(boxes.last().text, QStringLiteral("Saved 2 events to file: ") + chosen + QStringLiteral(".txt"));
        QCOMPARE(contents(chosen + QStringLiteral(".txt")).count('\n'), 3);
        QVERIFY(!QFile::exists(chosen));

        // Offered again next time; a name with an extension keeps it.
        const QString second = mFolder->file(QStringLiteral("second.csv"));
        dialog.choose(second);
        boxes.expect(QStringLiteral("Save Completed"));
        window().menu_CopyData->trigger();
        QCOMPARE(dialog.requests.at(1).fileName, chosen + QStringLiteral(".txt"));
        QVERIFY(QFile::exists(second));
        QVERIFY(boxes.allShown());
        QVERIFY(dialog.allUsed());
    }

    void cancelledOrFailedDialogExportsNothing()
    {
        ScriptedSaveDialog dialog;
        ScriptedMessages boxes; // none expected
        addEvents(1);
        window().mLastExportPath = mFolder->file(QStringLiteral("before.txt"));
        dialog.cancel();
        window().menu_CopyData_Click();
        dialog.fail();
        window().menu_CopyData_Click();
        QCOMPARE(dialog.requests.size(), 2);
        QCOMPARE(dialog.requests.at(1).fileName, mFolder->file(QStringLiteral("before.txt")));
        QCOMPARE(window().mLastExportPath, mFolder->file(QStringLiteral("before.txt")));
        QVERIFY(!QFile::exists(mFolder->file(QStringLiteral("before.txt"))));
        QVERIFY(boxes.shown().isEmpty());
    }

    void deleteDataConfirmsWithTheCount()
    {
        ScriptedMessages boxes;
        addEvents(3);
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Events Deleted"));
        window().menu_DeleteData->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.shown().at(0).kind, MessageKind::YesNo);
        QCOMPARE(boxes.shown().at(0).text,
            QStringLiteral("Are you sure you want to PERMANENTLY DELETE ALL 3 OF YOUR SAVED EVENTS?"));
        QCOMPARE(boxes.shown().at(1).kind, MessageKind::Plain);
        QCOMPARE(boxes.shown().at(1).text, QStringLiteral("3 geocoded events were permanently deleted."));
        QCOMPARE(rows("GEOCODED_EVENTS"), 0);
        QCOMPARE(rows("GPS_READINGS"), 0);

        // Nothing saved: still asked, with 0.
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Events Deleted"));
        window().menu_DeleteData_Click();
        QCOMPARE(boxes.shown().at(2).text,
            QStringLiteral("Are you sure you want to PERMANENTLY DELETE ALL 0 OF YOUR SAVED EVENTS?"));
        QCOMPARE(boxes.last().text, QStringLiteral("0 geocoded events were permanently deleted."));
        QVERIFY(boxes.allShown());
    }

    void answeringNoDeletesNothing()
    {
        ScriptedMessages boxes;
        addEvents(2);
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::No);
        window().menu_DeleteData_Click();
        QCOMPARE(boxes.shown().size(), 1);
        QCOMPARE(rows("GEOCODED_EVENTS"), 2);
        QCOMPARE(rows("GPS_READINGS"), 2);
    }

    // Another program holds the write lock: the purge fails after the
    // engine's busy wait, is reported, and the program goes on.
    void lockedDatabaseReportsTheFailedDelete()
    {
        ScriptedMessages boxes;
        addEvents(2);
        auto holder = db::Connection::openFile(mFolder->eventDatabase());
        holder.execute(QStringLiteral("BEGIN IMMEDIATE"));
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Delete Failed"));
        window().menu_DeleteData_Click();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QVERIFY2(boxes.last().text.startsWith(QStringLiteral("Unable to delete the saved events in: ")
                     + Driver::eventDatabasePath() + QStringLiteral("\r\n")),
            qPrintable(boxes.last().text));
        QVERIFY2(boxes.last().text.contains(QLatin1String("locked")), qPrintable(boxes.last().text));
        holder.execute(QStringLiteral("ROLLBACK"));
        QCOMPARE(rows("GEOCODED_EVENTS"), 2);
        QCOMPARE(rows("GPS_READINGS"), 2);
    }

    void countFailureIsReportedWithoutAsking()
    {
        ScriptedMessages boxes;
        QVERIFY(QFile::remove(mFolder->eventDatabase()));
        boxes.expect(QStringLiteral("Delete Failed"));
        window().menu_DeleteData_Click();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.shown().size(), 1);
        QVERIFY(boxes.last().text.contains(QLatin1String("unable to open database file")));
        QVERIFY(frmZEPTA::isLoaded());
    }

    // Exit closes the window, and its unload ends the program's event loop.
    void exitEndsTheProgram()
    {
        window().show();
        QVERIFY(window().mGPS);
        QTimer watchdog; // only fires when Exit failed to end the loop
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(30000);
        QTimer::singleShot(0, &window(), [this] { window().menu_Exit->trigger(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!window().isVisible());
        QVERIFY(!window().mGPS); // Form_Unload ran
    }

    void contentsOpensTheHelpOfTheProgramFolder()
    {
        ScriptedMessages boxes;
        QStringList opened;
        const HelpPresenter previous = setHelpPresenter([&](const QString& file) { opened << file; });
        const auto restore = qScopeGuard([&] { setHelpPresenter(previous); });

        boxes.expect(QStringLiteral("Help Not Found"));
        window().menu_Contents->trigger();
        QVERIFY(opened.isEmpty());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QVERIFY(boxes.last().text.contains(mFolder->file(QStringLiteral("Zepta.html"))));

        QVERIFY(QFile::copy(QDir(shippedProgramFolder()).filePath(QStringLiteral("Zepta.html")),
            mFolder->file(QStringLiteral("Zepta.html"))));
        window().menu_Contents->trigger();
        QCOMPARE(opened, QStringList {mFolder->file(QStringLiteral("Zepta.html"))});
        QVERIFY(boxes.allShown());
    }

    // The shipped help in the real viewer: it opens at the top of its first
    // page, and every link inside it leads somewhere.
    void shippedHelpOpensAtItsFirstPage()
    {
        const QString helpFile = QDir(shippedProgramFolder()).filePath(QStringLiteral("Zepta.html"));
        QVERIFY2(QFile::exists(helpFile), qPrintable(helpFile));
        Show_Help(helpFile);
        QWidget* viewer = topLevel("HelpWindow");
        QVERIFY(viewer);
        QVERIFY(viewer->isVisible());
        auto* browser = viewer->findChild<QTextBrowser*>(QStringLiteral("HelpBrowser"));
        QVERIFY(browser);
        QCOMPARE(browser->documentTitle(), QStringLiteral("Zepta Help"));
        const QString text = browser->toPlainText();
        for (const char* topic : {"ports/COM1", "nomrel simulate", "Saving your events to a file", "Tracking",
                 "Deleting your saved events", "Configuration options"})
            QVERIFY2(text.contains(QLatin1String(topic)), topic);

        const QString html = QString::fromUtf8(contents(helpFile));
        const QRegularExpression link(QStringLiteral("href=\"#([^\"]+)\""));
        int links = 0;
        for (auto match = link.globalMatch(html); match.hasNext(); ++links) {
            const QString anchor = match.next().captured(1);
            QVERIFY2(html.contains(QStringLiteral("name=\"%1\"").arg(anchor)), qPrintable(anchor));
        }
        QVERIFY(links >= 10);

        // Opened again after reading further down: back at the top.
        browser->setSource(QUrl::fromLocalFile(helpFile).resolved(QUrl(QStringLiteral("#files"))));
        Show_Help(helpFile);
        QCOMPARE(topLevel("HelpWindow"), viewer);
        QCOMPARE(browser->source(), QUrl::fromLocalFile(helpFile));
        QCOMPARE(browser->verticalScrollBar()->value(), 0);
    }

    void aboutShowsTheSplashUntilClose()
    {
        bool checked = false;
        QTimer::singleShot(0, [&] {
            frmSplash& splash = frmSplash::instance();
            QVERIFY(splash.isVisible());
            QVERIFY(splash.isModal());
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

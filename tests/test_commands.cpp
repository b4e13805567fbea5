// The main window's menu commands: Save Data, Delete Data, Exit, Contents,
// About.

#include "core/Driver.h"
#include "gui/EventIcon.h"
#include "gui/frmSplash.h"
#include "gui/frmZEPTA.h"
#include "platform/Db.h"
#include "platform/QtPresenters.h"
#include "platform/SharedWindow.h"
#include "support/ScriptedMessages.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeySequence>
#include <QPlainTextEdit>
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

    // First zepta.txt in the documents folder, as text; then the name and type
    // last chosen. A typed extension chooses the format, whatever the type.
    void saveDataOffersTheLastChosenName()
    {
        ScriptedMessages boxes;
        addEvents(2);
        const QString text = QStringLiteral("Comma-separated text (*.txt *.csv)");
        const QString gpx = QStringLiteral("GPX 1.1 (*.gpx)"), geoJson = QStringLiteral("GeoJSON (*.geojson)");
        const QString chosen = mFolder->file(QStringLiteral("field data"));
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QStringList offered {
            QDir(documents.isEmpty() ? QDir::homePath() : documents).filePath(QStringLiteral("zepta.txt")), text};
        std::optional<SaveDialogChoice> answer;
        SaveDialogRequest asked;
        setSaveDialogPresenter([&](const SaveDialogRequest& request) { // the folder puts the seam back
            asked = request;
            return answer;
        });
        // Typed after the name and the type selected; the file written and its first byte.
        const std::tuple<const char*, QString, const char*, QString, char> steps[] = {{"", {}, ".txt", text, '"'},
            {"", gpx, ".gpx", gpx, '<'}, {".json", gpx, ".json", geoJson, '{'}, {".CSV", geoJson, ".CSV", text, '"'}};
        for (const auto& [typed, selected, extension, type, first] : steps) {
            answer.emplace(chosen + QLatin1String(typed), selected);
            boxes.expect(QStringLiteral("Save Completed"));
            window().menu_CopyData->trigger();
            QVERIFY(boxes.allShown());
            QCOMPARE((QStringList {asked.fileName, asked.fileType}), offered);
            offered = QStringList {chosen + QLatin1String(extension), type};
            QCOMPARE(boxes.last().text, QStringLiteral("Saved 2 events to file: ") + offered.first());
            QFile file(offered.first());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.read(1), QByteArray(1, first));
        }
        answer.reset(); // Cancel: no export, no box
        window().menu_CopyData->trigger();
        QCOMPARE((QStringList {asked.fileName, asked.fileType}), offered);
        QCOMPARE(asked.title, QStringLiteral("Save Data to File"));
        QCOMPARE(asked.fileTypes, (QStringList {text, gpx, geoJson}));
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

        // With nothing saved it still asks, and reports 0.
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Events Deleted"));
        window().menu_DeleteData->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.shown().at(5).text,
            QStringLiteral("Are you sure you want to PERMANENTLY DELETE ALL 0 OF YOUR SAVED EVENTS?"));
        QCOMPARE(boxes.last().text, QStringLiteral("0 geocoded events were permanently deleted."));
    }

    // The six shortcuts act wherever the focus is, the notes box included
    // (where Ctrl+X and Ctrl+A would otherwise cut and select), pressed as a
    // user presses them.
    void menuShortcutsWinWhereverTheFocusIs_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("focus");
        for (const char* focus : {"icon", "notes", "button"})
            for (const Qt::Key key : {Qt::Key_F, Qt::Key_S, Qt::Key_D, Qt::Key_X, Qt::Key_H, Qt::Key_A})
                QTest::addRow("Ctrl+%s in %s", qPrintable(QKeySequence(key).toString()), focus)
                    << int(key) << QString::fromLatin1(focus);
    }
    void menuShortcutsWinWhereverTheFocusIs()
    {
        QFETCH(int, key);
        QFETCH(QString, focus);
        frmZEPTA& w = window();
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QWidget* target = focus == QLatin1String("icon") ? static_cast<QWidget*>(w.Event_Icon[3])
            : focus == QLatin1String("notes")            ? static_cast<QWidget*>(w.Notes)
                                                         : static_cast<QWidget*>(w.btnAuto);
        target->setFocus();
        QCOMPARE(QApplication::focusWidget(), target);
        w.Notes->setPlainText(QStringLiteral("keep me"));

        QStringList acted;
        const Presenters previous = installPresenters({[&](const Message& message) {
                                                           acted << message.title;
                                                           return MessageAnswer::No;
                                                       },
            [&](const SaveDialogRequest& request) {
                acted << request.title;
                return std::optional<QString>();
            },
            [&](const QString&) { acted << QStringLiteral("help"); }, {}});
        const auto restore = qScopeGuard([&] { installPresenters(previous); });
        // Modal windows opened by a shortcut are closed from inside.
        QTimer closer;
        closer.setSingleShot(true);
        connect(&closer, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (widget->isVisible() && qobject_cast<QDialog*>(widget)) {
                    acted << widget->objectName();
                    widget->hide();
                }
        });
        closer.start(0);
        QTest::keyClick(target, Qt::Key(key), Qt::ControlModifier);
        const QMap<int, QString> expected {{Qt::Key_F, "frmConfig"}, {Qt::Key_S, "Save Data to File"},
            {Qt::Key_D, "Zepta - Confirm Deletion"}, {Qt::Key_X, "closed"}, {Qt::Key_H, "help"},
            {Qt::Key_A, "frmSplash"}};
        if (!w.isVisible())
            acted << QStringLiteral("closed");
        QCOMPARE(acted, QStringList {expected.value(key)});
        // Configure reloads the palette, which empties the notes.
        QCOMPARE(w.Notes->toPlainText(), key == Qt::Key_F ? QString() : QStringLiteral("keep me"));
        QVERIFY(!w.Notes->textCursor().hasSelection());
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
        QVERIFY(QFile::rename(helpFile, helpFile + QStringLiteral(".away")));
        boxes.expect(QStringLiteral("Help Not Found"));
        window().menu_Contents->trigger();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text, QStringLiteral("The help file cannot be opened: ") + helpFile);

        QVERIFY(QFile::rename(helpFile + QStringLiteral(".away"), helpFile));
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
};

QTEST_MAIN(TestCommands)
#include "test_commands.moc"

// The main window's menus and commands: Save Data, Delete Data, Exit, Contents, About, the View menu.

#include "core/Driver.h"
#include "gui/frmMap.h"
#include "gui/frmZEPTA.h"
#include "platform/Db.h"
#include "platform/QtPresenters.h"
#include "platform/SharedWindow.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

#include <optional>

class TestCommands : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    frmZEPTA& window() { return frmZEPTA::instance(); }

    void addEvents(int count)
    {
        for (int i = 0; i < count; ++i)
            QVERIFY(Driver::Save_Event(101, QStringLiteral("n"), makeReading(57.4, -6.2)));
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        unloadAllSharedWindows();
        mFolder.reset();
    }

    // First zepta.txt in the documents folder (the home folder for a user who has none), as
    // text; then the name and type last chosen. A typed extension chooses the format, whatever
    // the type.
    void saveDataOffersTheLastChosenName()
    {
        ScriptedMessages boxes;
        addEvents(2);
        const QString text = QStringLiteral("Comma-separated text (*.txt *.csv)");
        const QString gpx = QStringLiteral("GPX 1.1 (*.gpx)"), geoJson = QStringLiteral("GeoJSON (*.geojson)");
        const QString chosen = mFolder->file(QStringLiteral("field data"));
        const QString home = mFolder->file(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(home));
        const auto restore = qScopeGuard([previous = std::make_pair(qgetenv("HOME"), qgetenv("XDG_CONFIG_HOME"))] {
            qputenv("HOME", previous.first);
            if (previous.second.isNull())
                qunsetenv("XDG_CONFIG_HOME");
            else
                qputenv("XDG_CONFIG_HOME", previous.second);
        });
        qputenv("HOME", QFile::encodeName(home));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
        QStringList offered {home + QStringLiteral("/zepta.txt"), text};
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

    // No deletes nothing. Yes while another program holds the write lock fails after the busy
    // wait, is reported, and leaves both tables; Yes then deletes; with nothing saved it still asks.
    void deleteDataConfirmsWithTheCount()
    {
        ScriptedMessages boxes;
        addEvents(3);
        const QString ask = QStringLiteral("Are you sure you want to PERMANENTLY DELETE ALL %1 OF YOUR SAVED EVENTS?");
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::No);
        window().menu_DeleteData->trigger();
        auto holder = db::Connection::openFile(mFolder->eventDatabase());
        holder.execute(QStringLiteral("BEGIN IMMEDIATE"));
        boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes).expect(QStringLiteral("Delete Failed"));
        window().menu_DeleteData->trigger();
        const QString failure = boxes.shown().value(2).text;
        QCOMPARE(boxes.shown().value(2).kind, MessageKind::Exclamation);
        QCOMPARE(failure.section(QStringLiteral("\r\n"), 0, 0),
            QStringLiteral("Unable to delete the saved events in: ") + Driver::eventDatabasePath());
        QCOMPARE(failure.section(QStringLiteral("\r\n"), 1),
            QStringLiteral("Another program is using the file; try again in a moment."));
        holder.execute(QStringLiteral("ROLLBACK"));
        QCOMPARE(Driver::Count_Saved_Events(), 3); // the purge itself is tested with the export

        for (int count : {3, 0}) {
            boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::Yes)
                .expect(QStringLiteral("Events Deleted"));
            window().menu_DeleteData->trigger();
            const QList<Message>& shown = boxes.shown();
            QCOMPARE(shown.value(shown.size() - 2).kind, MessageKind::YesNo);
            QCOMPARE(shown.value(shown.size() - 2).text, ask.arg(count));
            QCOMPARE(shown.last().kind, MessageKind::Plain);
            QCOMPARE(shown.last().text, QStringLiteral("%1 geocoded events were permanently deleted.").arg(count));
            QCOMPARE(Driver::Count_Saved_Events(), 0);
        }
    }

    // File and Help hold exactly their six items; what was added sits in View, between them.
    void menusInTheirOrder()
    {
        QStringList menus;
        for (const QAction* menu : window().menuBar()->actions()) {
            QStringList items;
            for (const QAction* item : menu->menu()->actions())
                items << item->text() + QLatin1Char(' ') + item->shortcut().toString();
            menus << menu->text() + QStringLiteral(": ") + items.join(QStringLiteral(", "));
        }
        QCOMPARE(menus,
            (QStringList {"&File: Con&figure Ctrl+F, &Save Data Ctrl+S, &Delete Data... Ctrl+D, E&xit Ctrl+X",
                "&View: &Map Ctrl+M, &Outbox... ", "&Help: &Contents Ctrl+H, &About Ctrl+A"}));
    }

    // The six shortcuts and the map's act wherever the focus is, also in the notes (no cut, no
    // select all).
    void menuShortcutsWinWhereverTheFocusIs_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QString>("acted");
        for (const char* focus : {"Event_Icon_3", "Notes", "btnAuto"})
            for (const auto& [key, acted] :
                {std::pair {Qt::Key_F, "frmConfig"}, {Qt::Key_S, "Save Data to File"}, {Qt::Key_D, "the box"},
                    {Qt::Key_X, "closed"}, {Qt::Key_H, "help"}, {Qt::Key_A, "frmSplash"}, {Qt::Key_M, "frmMap"}})
                QTest::addRow("Ctrl+%s in %s", qPrintable(QKeySequence(key).toString()), focus)
                    << int(key) << QString::fromLatin1(focus) << QString::fromLatin1(acted);
    }
    void menuShortcutsWinWhereverTheFocusIs()
    {
        QFETCH(int, key);
        QFETCH(QString, focus);
        QFETCH(QString, acted);
        frmZEPTA& w = window();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QWidget* target = w.findChild<QWidget*>(focus);
        target->setFocus();
        QCOMPARE(QApplication::focusWidget(), target);
        w.Notes->setPlainText(QStringLiteral("keep me"));

        QStringList seen;
        Presenters scripted;
        scripted.saveDialog = [&](const SaveDialogRequest& request) {
            seen << request.title;
            return std::nullopt;
        };
        scripted.help = [&](const QString&) { seen << QStringLiteral("help"); };
        installPresenters(scripted); // the folder puts the seams back
        ScriptedMessages boxes;
        if (key == Qt::Key_D)
            boxes.expect(QStringLiteral("Confirm Deletion"), MessageAnswer::No);
        QObject scope; // modal windows opened by a shortcut are closed from inside
        QTimer::singleShot(0, &scope, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                seen << modal->objectName();
                modal->hide();
            }
        });
        QTest::keyClick(target, Qt::Key(key), Qt::ControlModifier);
        if (!w.isVisible())
            seen << QStringLiteral("closed");
        if (!boxes.shown().isEmpty())
            seen << QStringLiteral("the box");
        if (frmMap::isLoaded() && frmMap::instance().isVisible())
            seen << QStringLiteral("frmMap");
        QCOMPARE(seen, QStringList {acted});
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
        QVERIFY(!window().mGPS); // Form_Unload ran
    }

    // The folder's help file, in the real viewer, at the top of its first page even after scrolling.
    void contentsOpensTheHelpAtItsFirstPage()
    {
        ScriptedMessages boxes;
        setHelpPresenter(&showQtHelpViewer); // the folder puts the seam back
        const QString helpFile = mFolder->file(QStringLiteral("Zepta.html"));
        QVERIFY(QFile::rename(helpFile, helpFile + QStringLiteral(".away")));
        boxes.expect(QStringLiteral("Help Not Found"));
        window().menu_Contents->trigger();
        QCOMPARE(boxes.shown().value(0).text, QStringLiteral("The help file cannot be opened: ") + helpFile);

        QVERIFY(QFile::rename(helpFile + QStringLiteral(".away"), helpFile));
        window().menu_Contents->trigger();
        QTextBrowser* browser = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("HelpWindow") && widget->isVisible())
                browser = widget->findChild<QTextBrowser*>(QStringLiteral("HelpBrowser"));
        QVERIFY(browser);
        browser->setSource(QUrl::fromLocalFile(helpFile).resolved(QUrl(QStringLiteral("#files"))));
        QVERIFY(browser->verticalScrollBar()->value() > 0);
        window().menu_Contents->trigger();
        QCOMPARE(browser->source(), QUrl::fromLocalFile(helpFile));
        QCOMPARE(browser->verticalScrollBar()->value(), 0);
    }
};

QTEST_MAIN(TestCommands)
#include "test_commands.moc"

// The main window: menus by storage mode, the GPS display, the event palette,
// the choice of a slot by focus and click, and the notes box.

#include "core/Driver.h"
#include "gui/EventIcon.h"
#include "gui/frmZEPTA.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <optional>

namespace
{
const QString kInvalidGps = QStringLiteral("Invalid GPS Configuration");
const QString kNoGpsData = QStringLiteral("No GPS Data");
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    std::optional<ScriptedMessages> mBoxes; // every box a test expects must have been shown
    QLocale mDefaultLocale;

    ScriptedReceiver& receiver() { return *mFolder->component().receiver; }
    QImage iconFile(const char* name)
    {
        QImage image(mFolder->file(QStringLiteral("Icons/") + QLatin1String(name)));
        if (image.isNull())
            qFatal("cannot read icon %s", name);
        return image;
    }
    QStringList gpsFields(const frmZEPTA& w)
    {
        return {w.txtLatitude->text(), w.txtLongitude->text(), w.txtGMT->text(), w.txtHeading->text()};
    }
    // The slots whose icon shows the highlight colour, as painted; an icon
    // showing neither that nor the button face is listed as -1.
    QList<int> highlighted(const frmZEPTA& w)
    {
        QList<int> list;
        for (int i = 0; i < Driver::kPaletteSlots; ++i) {
            const QColor colour = w.Event_Icon[i]->grab().toImage().pixelColor(1, 1);
            if (colour != w.palette().color(QPalette::Active, QPalette::Button))
                list << (colour == w.palette().color(QPalette::Active, QPalette::Highlight) ? i : -1);
        }
        return list;
    }
    frmZEPTA& shownWindow()
    {
        frmZEPTA& w = frmZEPTA::instance();
        w.show();
        w.activateWindow();
        if (!QTest::qWaitForWindowActive(&w))
            qFatal("the main window did not become active");
        return w;
    }

private slots:
    void init()
    {
        mFolder.emplace();
        mBoxes.emplace();
        mDefaultLocale = QLocale();
    }
    void cleanup()
    {
        frmZEPTA::unload();
        QLocale::setDefault(mDefaultLocale);
        mBoxes.reset(); // fails the test if an expected box never came
        mFolder.reset();
    }

    // ---- the window and its menus

    // Loading starts the receiver and fills the window; the data menus follow
    // the storage mode; the first icon is chosen only when the window opens.
    void windowLoadsThenOpensWithTheFirstIconChosen()
    {
        frmZEPTA& w = frmZEPTA::instance();
        QCOMPARE(receiver().calls,
            (QStringList {"Initialize", "HideMonitor", "setPort 1", "setSettings 4800,N,8,1", "Start"}));
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Road Survey"));
        for (const char* mode : {"XML", "LOCAL", "local", "SOAP", " LOCAL"}) {
            Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QLatin1String(mode));
            w.Update_Form_per_Options();
            const bool local = qstrcmp(mode, "LOCAL") == 0;
            QVERIFY2(w.menu_CopyData->isEnabled() == local, mode);
            QVERIFY2(w.menu_DeleteData->isEnabled() == local, mode);
        }
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        shownWindow();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[0]));
        QCOMPARE(w.mSelectedSlot, std::int16_t(0));
        QCOMPARE(highlighted(w), QList<int> {0});
    }

    // ---- the palette

    void categorySwitchKeepsOldTypesButEmptiesTheSlots()
    {
        frmZEPTA& w = shownWindow();
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
        QTest::mouseClick(w.Event_Icon[6], Qt::LeftButton);
        QTest::keyClicks(w.Notes, QStringLiteral("pending"));

        // A missing or unreadable icon falls back for its slot only.
        QVERIFY(QFile::remove(mFolder->file(QStringLiteral("Icons/mammal.ico"))));
        QFile garbage(mFolder->file(QStringLiteral("Icons/bird.ico")));
        QVERIFY(garbage.open(QIODevice::WriteOnly | QIODevice::Truncate) && garbage.write("not a picture") > 0);
        garbage.close();
        Driver::Set_Parameter_Value(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("12"));
        w.Update_Form_per_Options();
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QStringList captions;
        QList<bool> filled;
        for (int i = 0; i < Driver::kPaletteSlots; ++i) {
            captions << w.Event_Label[i]->text();
            filled << w.slotHasEventType(i);
        }
        QCOMPARE(captions, (QStringList {"Bird", "Mammal", "", "", "", "Nest Site", "", ""}));
        // The array keeps what the earlier category put in the slots this one
        // leaves empty; those slots record nothing.
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {201, 202, 103, 104, 105, 203, 107, 108}));
        QCOMPARE(filled, (QList<bool> {true, true, false, false, false, true, false, false}));
        QCOMPARE(w.Event_Icon[5]->picture(), iconFile("nest_site.ico"));
        for (int i : {0, 1, 2, 3, 4, 6, 7})
            QVERIFY2(w.Event_Icon[i]->picture() == iconFile("not_found.ico"), qPrintable(QString::number(i)));
        // Every load ends with nothing chosen and an empty notes box.
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
        QVERIFY(w.Notes->toPlainText().isEmpty());
    }

    // ---- choosing a slot

    void tabAndClicksMoveTheChoice()
    {
        frmZEPTA& w = shownWindow();
        const auto press = [](int times, Qt::Key key) {
            for (int i = 0; i < times; ++i)
                QTest::keyClick(QApplication::focusWidget(), key);
        };
        press(4, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[4]));
        QCOMPARE(w.mSelectedSlot, std::int16_t(4));
        QCOMPARE(highlighted(w), QList<int> {4});
        // Icons, then notes, then buttons; leaving the icons keeps the choice.
        press(5, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.btnSave));
        QCOMPARE(highlighted(w), QList<int> {7});
        press(3, Qt::Key_Backtab);
        QCOMPARE(w.mSelectedSlot, std::int16_t(6));
        // A click chooses an icon, never a caption.
        QTest::mouseClick(w.Event_Icon[2], Qt::LeftButton);
        QTest::mouseClick(w.Event_Label[5], Qt::LeftButton);
        QCOMPARE(w.mSelectedSlot, std::int16_t(2));
        QCOMPARE(highlighted(w), QList<int> {2});

        // A choice cleared (as after a save) stays cleared when the window
        // gets the focus back, so no type is recorded that the user did not
        // pick again.
        w.Reset_Event_Selection();
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
    }

    // A paste into the notes keeps what fits of 255 characters and the text
    // after the insertion point.
    void notesPasteKeepsAtMost255Characters()
    {
        frmZEPTA& w = frmZEPTA::instance();
        w.Notes->setPlainText(QString(250, QLatin1Char('b')) + QStringLiteral("END"));
        QTextCursor cursor = w.Notes->textCursor();
        cursor.setPosition(100);
        w.Notes->setTextCursor(cursor);
        QApplication::clipboard()->setText(QStringLiteral("0123456789"));
        w.Notes->paste();
        QCOMPARE(w.Notes->toPlainText(),
            QString(100, QLatin1Char('b')) + QStringLiteral("01") + QString(150, QLatin1Char('b'))
                + QStringLiteral("END"));
    }

    // ---- the GPS display

    // Each value is fetched from the receiver, in the regional formats (4
    // decimals rounded, the heading without fixed decimals, GMT in UTC); the
    // receiver's events switch all four fields, every NoData with its box.
    void readingsAndStatesOfTheReceiver()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        frmZEPTA& w = frmZEPTA::instance();
        const QDateTime gmt(QDate(2026, 12, 6), QTime(8, 30, 15), Qt::OffsetFromUTC, 3600);
        receiver().deliver(makeReading(35.77966, -78.63818, 90.0, gmt));
        w.Display_GPS_Reading(makeReading(1.0, 2.0, 3.0)); // a handler running late
        QCOMPARE(gpsFields(w), (QStringList {" 35,7797", "-78,6382", "06.12.26 07:30:15", "90"}));
        receiver().deliver(makeReading(35.77961, -78.63818, 123.4, gmt));
        QCOMPARE(w.txtHeading->text(), QStringLiteral("123,4"));

        receiver().loseFix();
        QCOMPARE(gpsFields(w), QStringList(4, QStringLiteral("Poor Signal")));
        mBoxes->expect(kNoGpsData).expect(kNoGpsData);
        receiver().stopData();
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        QCOMPARE(mBoxes->last().text, QStringLiteral("Your computer is not receiving GPS data"));
        receiver().deliver(makeReading(35.77961, -78.63818));
        QCOMPARE(w.txtLatitude->text(), QStringLiteral(" 35,7796"));
        receiver().stopData();
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
    }

    void invalidGpsConfigurationSkipsTheLaterSteps_data()
    {
        QTest::addColumn<QString>("parameter");
        QTest::addColumn<QString>("value"); // a null value deletes the row
        QTest::addColumn<QString>("failingCall");
        QTest::addColumn<QStringList>("calls");
        const auto row = [](const char* name, const char* parameter, const char* value, const char* failing,
                             const QStringList& calls) {
            QTest::newRow(name) << QString(parameter) << QString(value) << QString(failing) << calls;
        };
        row("port not a number", "COM_PORT", "abc", "", {"HideMonitor"});
        row("monitor not yes/no", "SHOW_GPS_WINDOW", "maybe", "", {});
        row("monitor refused", "SHOW_GPS_WINDOW", " true ", "ShowMonitor", {"ShowMonitor"});
        row("settings rejected", "COM_SETTINGS", "4800,X,9,3", "setSettings",
            {"HideMonitor", "setPort 1", "setSettings 4800,X,9,3"});
        row("start fails", "", "", "Start", {"HideMonitor", "setPort 1", "setSettings 4800,N,8,1", "Start"});
        row("settings row missing", "COM_SETTINGS", nullptr, "", {"HideMonitor", "setPort 1"});
    }

    void invalidGpsConfigurationSkipsTheLaterSteps()
    {
        QFETCH(QString, parameter);
        QFETCH(QString, value);
        QFETCH(QString, failingCall);
        QFETCH(QStringList, calls);
        frmZEPTA& w = frmZEPTA::instance();
        receiver().deliver(makeReading(35.77961, -78.63818));
        if (value.isNull())
            mFolder->execApplication(
                QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = '%1'").arg(parameter));
        else if (!parameter.isEmpty())
            Driver::Set_Parameter_Value(parameter, value);
        if (!failingCall.isEmpty())
            receiver().failing << failingCall;
        receiver().calls.clear();

        mBoxes->expect(kInvalidGps);
        w.Update_GPS_per_Options();
        QVERIFY(mBoxes->allShown());
        QCOMPARE(mBoxes->last().kind, MessageKind::Exclamation);
        QCOMPARE(mBoxes->last().text,
            QStringLiteral("Your GPS configuration appears to be invalid.\r\nPlease correct its configuration."));
        QCOMPARE(receiver().calls, calls);
        // The display is not touched by a settings failure.
        QCOMPARE(w.txtLatitude->text(), QStringLiteral(" 35.7796"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

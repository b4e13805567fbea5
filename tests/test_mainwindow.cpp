// The main window: menus by storage mode, the GPS display, the event palette,
// the choice of a slot by focus, and the notes box.

#include "capture/EventIcon.h"
#include "capture/frmZEPTA.h"
#include "core/Driver.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <optional>

namespace
{
const QString kInvalidGps = QStringLiteral("Invalid GPS Configuration");
const QString kNoGpsData = QStringLiteral("No GPS Data");

QImage iconFile(const QString& folder, const QString& name)
{
    QImage image(folder + QStringLiteral("/Icons/") + name);
    if (image.isNull())
        qFatal("cannot read icon %s", qPrintable(name));
    return image;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    QLocale mDefaultLocale;

    void setParameter(const char* name, const QString& value)
    {
        Driver::Set_Parameter_Value(QLatin1String(name), value);
    }
    ScriptedReceiver& receiver() { return *mFolder->component().receiver; }
    QStringList gpsFields(const frmZEPTA& w)
    {
        return {w.txtLatitude->text(), w.txtLongitude->text(), w.txtGMT->text(), w.txtHeading->text()};
    }
    QStringList captions(const frmZEPTA& w)
    {
        QStringList list;
        for (const QLabel* label : w.Event_Label)
            list << label->text();
        return list;
    }
    QList<bool> filledSlots(const frmZEPTA& w)
    {
        QList<bool> list;
        for (int i = 0; i < Driver::kPaletteSlots; ++i)
            list << w.slotHasEventType(i);
        return list;
    }
    QColor highlight(const frmZEPTA& w) { return w.palette().color(QPalette::Active, QPalette::Highlight); }
    QColor buttonFace(const frmZEPTA& w) { return w.palette().color(QPalette::Active, QPalette::Button); }
    // The slots whose icon shows the highlight colour, as painted.
    QList<int> highlighted(const frmZEPTA& w)
    {
        QList<int> list;
        for (int i = 0; i < Driver::kPaletteSlots; ++i) {
            const QColor colour = w.Event_Icon[i]->grab().toImage().pixelColor(1, 1);
            if (colour == highlight(w))
                list << i;
            else if (colour != buttonFace(w))
                qWarning("icon %d has neither colour", i);
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
        mDefaultLocale = QLocale();
    }
    void cleanup()
    {
        frmZEPTA::unload();
        QLocale::setDefault(mDefaultLocale);
        mFolder.reset();
    }

    // ---- the window and its menus

    void loadingAppliesSettingsInOrder()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        QCOMPARE(receiver().calls,
            (QStringList {"Initialize", "HideMonitor", "setPort 1", "setSettings 4800,N,8,1", "Start"}));
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        QCOMPARE(w.windowTitle(), QStringLiteral("Zepta"));
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Road Survey"));
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1)); // chosen only when the window opens
        QVERIFY(boxes.allShown());
    }

    void dataMenusFollowStorageMode()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        QVERIFY(w.menu_CopyData->isEnabled());
        QVERIFY(w.menu_DeleteData->isEnabled());

        for (const char* mode : {"XML", "local", "SOAP", " LOCAL"}) {
            setParameter("DATA_STORAGE_MODE", QLatin1String(mode));
            w.Update_Form_per_Options();
            QVERIFY2(!w.menu_CopyData->isEnabled(), mode);
            QVERIFY2(!w.menu_DeleteData->isEnabled(), mode);
        }
        // Disabled items ignore their shortcuts.
        QSignalSpy copy(w.menu_CopyData, &QAction::triggered);
        QSignalSpy remove(w.menu_DeleteData, &QAction::triggered);
        QTest::keyClick(&w, Qt::Key_S, Qt::ControlModifier);
        QTest::keyClick(&w, Qt::Key_D, Qt::ControlModifier);
        QCOMPARE(copy.count(), 0);
        QCOMPARE(remove.count(), 0);

        setParameter("DATA_STORAGE_MODE", QStringLiteral("LOCAL"));
        w.Update_Form_per_Options();
        QVERIFY(w.menu_CopyData->isEnabled());
        QVERIFY(w.menu_DeleteData->isEnabled());
        QVERIFY(w.menu_Configure->isEnabled() && w.menu_Exit->isEnabled());
        QVERIFY(boxes.allShown());
    }

    // ---- the palette

    void paletteOfCategoryWithThreeSlots()
    {
        ScriptedMessages boxes;
        setParameter("EVENT_CATEGORY", QStringLiteral("12"));
        frmZEPTA& w = frmZEPTA::instance();
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QCOMPARE(captions(w), (QStringList {"Bird", "Mammal", "", "", "", "Nest Site", "", ""}));
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {201, 202, 0, 0, 0, 203, 0, 0}));
        QCOMPARE(filledSlots(w), (QList<bool> {true, true, false, false, false, true, false, false}));

        const QImage fallback = iconFile(mFolder->path(), QStringLiteral("not_found.ico"));
        QCOMPARE(w.Event_Icon[0]->picture(), iconFile(mFolder->path(), QStringLiteral("bird.ico")));
        QCOMPARE(w.Event_Icon[1]->picture(), iconFile(mFolder->path(), QStringLiteral("mammal.ico")));
        QCOMPARE(w.Event_Icon[5]->picture(), iconFile(mFolder->path(), QStringLiteral("nest_site.ico")));
        for (int i : {2, 3, 4, 6, 7})
            QVERIFY2(w.Event_Icon[i]->picture() == fallback, qPrintable(QString::number(i)));
        QVERIFY(w.Event_Icon[0]->picture() != fallback);

        // The picture is scaled into the 41 x 41 box.
        const QPixmap shown = w.Event_Icon[0]->pixmap();
        QVERIFY(!shown.isNull());
        const QSizeF logical = shown.deviceIndependentSize();
        QVERIFY(logical.width() <= 41 && logical.height() <= 41 && logical.width() >= 32);
        QCOMPARE(w.Event_Icon[0]->size(), QSize(41, 41));
        QVERIFY(boxes.allShown());
    }

    void categorySwitchKeepsOldTypesButEmptiesTheSlots()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
        QCOMPARE(filledSlots(w), QList<bool>(8, true));
        QTest::mouseClick(w.Event_Icon[6], Qt::LeftButton);
        QTest::keyClicks(w.Notes, QStringLiteral("pending"));
        QCOMPARE(w.mSelectedSlot, std::int16_t(6));

        setParameter("EVENT_CATEGORY", QStringLiteral("12"));
        w.Update_Form_per_Options();
        // The described array keeps what the earlier category put in the
        // slots this one leaves empty; those slots record nothing.
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {201, 202, 103, 104, 105, 203, 107, 108}));
        QCOMPARE(filledSlots(w), (QList<bool> {true, true, false, false, false, true, false, false}));
        QVERIFY(!w.slotHasEventType(-1) && !w.slotHasEventType(8));
        QCOMPARE(captions(w), (QStringList {"Bird", "Mammal", "", "", "", "Nest Site", "", ""}));
        QCOMPARE(w.Event_Icon[6]->picture(), iconFile(mFolder->path(), QStringLiteral("not_found.ico")));
        // Every load ends with nothing chosen and an empty notes box.
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
        QVERIFY(w.Notes->toPlainText().isEmpty());

        // Back to the full category: every slot filled again.
        setParameter("EVENT_CATEGORY", QStringLiteral("30"));
        w.Update_Form_per_Options();
        QCOMPARE(filledSlots(w), QList<bool>(8, true));
        QCOMPARE(captions(w).at(6), QStringLiteral("Worn Markings"));
        QVERIFY(boxes.allShown());
    }

    void unusableCategoryValues()
    {
        ScriptedMessages boxes;
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (0, 'Unsorted');"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (4, 0, 301);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (3, 77, 302);"));
        frmZEPTA& w = frmZEPTA::instance();
        // Not a number, or beyond 16 bits: category 0.
        for (const char* value : {"abc", "70000", ""}) {
            setParameter("EVENT_CATEGORY", QStringLiteral("30"));
            w.Load_Current_Event_Category();
            setParameter("EVENT_CATEGORY", QLatin1String(value));
            w.Load_Current_Event_Category();
            QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Unsorted"));
            QCOMPARE(captions(w), (QStringList {"", "", "", "", "Pole Damage", "", "", ""}));
            QCOMPARE(filledSlots(w), (QList<bool> {false, false, false, false, true, false, false, false}));
        }
        // A category without a name row keeps the label's text, and still
        // loads its slots.
        setParameter("EVENT_CATEGORY", QStringLiteral("77"));
        w.Load_Current_Event_Category();
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Unsorted"));
        QCOMPARE(captions(w), (QStringList {"", "", "", "Cable Down", "", "", "", ""}));
        // A category without rows at all: nothing filled, nothing shown.
        setParameter("EVENT_CATEGORY", QStringLiteral("555"));
        w.Load_Current_Event_Category();
        QCOMPARE(captions(w), QStringList(8, QString()));
        QCOMPARE(filledSlots(w), QList<bool>(8, false));
        // No EVENT_CATEGORY row: category 0 as well.
        mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = 'EVENT_CATEGORY'"));
        w.Load_Current_Event_Category();
        QCOMPARE(captions(w).at(4), QStringLiteral("Pole Damage"));
        QVERIFY(boxes.allShown());
    }

    void rejectedMappingRowShowsTheSlotsBeforeIt()
    {
        ScriptedMessages boxes;
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (40, 'Broken');"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 40, 101);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (1, 40, 102);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (8, 40, 103);"));
        setParameter("EVENT_CATEGORY", QStringLiteral("40"));
        frmZEPTA& w = frmZEPTA::instance();
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Broken"));
        QCOMPARE(captions(w), (QStringList {"Pothole", "Damaged Sign", "", "", "", "", "", ""}));
        QCOMPARE(filledSlots(w), (QList<bool> {true, true, false, false, false, false, false, false}));
        QCOMPARE(w.Event_Icon[2]->picture(), iconFile(mFolder->path(), QStringLiteral("not_found.ico")));
        QVERIFY(boxes.allShown());
    }

    void missingIconFallsBackForThatSlotOnly()
    {
        ScriptedMessages boxes;
        QVERIFY(QFile::remove(mFolder->file(QStringLiteral("Icons/mammal.ico"))));
        QFile garbage(mFolder->file(QStringLiteral("Icons/bird.ico")));
        QVERIFY(garbage.open(QIODevice::WriteOnly | QIODevice::Truncate));
        garbage.write("not a picture at all");
        garbage.close();
        setParameter("EVENT_CATEGORY", QStringLiteral("12"));
        frmZEPTA& w = frmZEPTA::instance();
        const QImage fallback = iconFile(mFolder->path(), QStringLiteral("not_found.ico"));
        QCOMPARE(w.Event_Icon[0]->picture(), fallback);
        QCOMPARE(w.Event_Icon[1]->picture(), fallback);
        QCOMPARE(w.Event_Icon[5]->picture(), iconFile(mFolder->path(), QStringLiteral("nest_site.ico")));
        // The slots stay what the catalogue says.
        QCOMPARE(captions(w).mid(0, 2), (QStringList {"Bird", "Mammal"}));
        QVERIFY(w.slotHasEventType(0) && w.slotHasEventType(1));
        QVERIFY(boxes.allShown());
    }

    void failedFallbackKeepsTheOldPicture()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance(); // category 30: all eight icons
        const QImage tree = iconFile(mFolder->path(), QStringLiteral("fallen_tree.ico"));
        QCOMPARE(w.Event_Icon[2]->picture(), tree);
        QVERIFY(QFile::remove(mFolder->file(QStringLiteral("Icons/not_found.ico"))));
        setParameter("EVENT_CATEGORY", QStringLiteral("12"));
        w.Load_Current_Event_Category();
        QCOMPARE(w.Event_Icon[2]->picture(), tree);
        QCOMPARE(w.Event_Label[2]->text(), QString());
        QVERIFY(!w.slotHasEventType(2));
        QCOMPARE(w.Event_Icon[0]->picture(), iconFile(mFolder->path(), QStringLiteral("bird.ico")));
        QVERIFY(boxes.allShown());
    }

    void unreadableDatabaseLeavesThePaletteUsable()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        QTest::mouseClick(w.Event_Icon[3], Qt::LeftButton);
        QFile broken(mFolder->applicationDatabase());
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
        broken.write(QByteArray(4096, 'x'));
        broken.close();

        w.Load_Current_Event_Category();
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Road Survey"));
        QCOMPARE(captions(w), QStringList(8, QString()));
        QCOMPARE(filledSlots(w), QList<bool>(8, false));
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
        QCOMPARE(w.Event_Icon[3]->picture(), iconFile(mFolder->path(), QStringLiteral("not_found.ico")));
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));

        // The receiver settings cannot be read either: one message, no start.
        receiver().calls.clear();
        boxes.expect(kInvalidGps);
        w.Update_GPS_per_Options();
        QVERIFY(receiver().calls.isEmpty());
        QVERIFY(boxes.allShown());
    }

    // ---- choosing a slot

    void windowOpensWithTheFirstIconChosen()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[0]));
        QCOMPARE(w.mSelectedSlot, std::int16_t(0));
        QCOMPARE(highlighted(w), QList<int> {0});
        QCOMPARE(w.centralWidget()->size(), QSize(453, 446)); // 6795 x 6690 twips
        QVERIFY(boxes.allShown());
    }

    void focusAndHighlightMoveWithTab()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[3]));
        QCOMPARE(w.mSelectedSlot, std::int16_t(3));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[4]));
        QCOMPARE(w.mSelectedSlot, std::int16_t(4));
        QCOMPARE(highlighted(w), QList<int> {4});

        // Leaving the icons keeps the choice: icons, then notes, then buttons.
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(w.mSelectedSlot, std::int16_t(7));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Notes));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.btnSave));
        QCOMPARE(w.mSelectedSlot, std::int16_t(7));
        QCOMPARE(highlighted(w), QList<int> {7});
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[7]));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(w.mSelectedSlot, std::int16_t(6));
        QCOMPARE(highlighted(w), QList<int> {6});
        QVERIFY(boxes.allShown());
    }

    void clicksChooseIconsNeverCaptions()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        QTest::mouseClick(w.Event_Icon[2], Qt::LeftButton);
        QCOMPARE(w.mSelectedSlot, std::int16_t(2));
        QTest::mouseClick(w.Event_Label[5], Qt::LeftButton);
        QCOMPARE(w.mSelectedSlot, std::int16_t(2));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[2]));
        QCOMPARE(highlighted(w), QList<int> {2});

        // After a reset the focus stays on icon 2; a click on it chooses it again.
        QTest::keyClicks(w.Notes, QStringLiteral("x"));
        w.Reset_Event_Selection();
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
        QVERIFY(w.Notes->toPlainText().isEmpty());
        QTest::mouseClick(w.Event_Icon[2], Qt::LeftButton);
        QCOMPARE(w.mSelectedSlot, std::int16_t(2));
        QVERIFY(boxes.allShown());
    }

    void comingBackToTheWindowDoesNotChoose()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        QTest::mouseClick(w.Event_Icon[5], Qt::LeftButton);
        w.Reset_Event_Selection(); // as after a save

        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[5]));
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
        QVERIFY(boxes.allShown());
    }

    void notesHoldAtMost255Characters()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = shownWindow();
        w.Notes->setFocus();
        QTest::keyClicks(w.Notes, QString(300, QLatin1Char('a')));
        QCOMPARE(w.Notes->toPlainText(), QString(255, QLatin1Char('a')));

        // A paste keeps what fits and the text after the insertion point.
        w.Notes->setPlainText(QString(250, QLatin1Char('b')) + QStringLiteral("END"));
        QCOMPARE(w.Notes->toPlainText().size(), 253);
        QTextCursor cursor = w.Notes->textCursor();
        cursor.setPosition(100);
        w.Notes->setTextCursor(cursor);
        QApplication::clipboard()->setText(QStringLiteral("0123456789"));
        w.Notes->paste();
        QCOMPARE(w.Notes->toPlainText(),
            QString(100, QLatin1Char('b')) + QStringLiteral("01") + QString(150, QLatin1Char('b'))
                + QStringLiteral("END"));

        // Line breaks count, and a full box takes nothing more.
        w.Notes->setPlainText(QString(254, QLatin1Char('c')));
        w.Notes->moveCursor(QTextCursor::End);
        QTest::keyClick(w.Notes, Qt::Key_Return);
        QTest::keyClick(w.Notes, Qt::Key_Z);
        QCOMPARE(w.Notes->toPlainText(), QString(254, QLatin1Char('c')) + QLatin1Char('\n'));
        QVERIFY(boxes.allShown());
    }

    // ---- the GPS display

    void readingFormatsFollowRegionalSettings_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("C") << QLocale::c()
                           << QStringList {" 35.7796", "-78.6382", "6 Dec 2026 07:30:15", "90", " 35.7797", "123.4"};
        QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedStates)
                                 << QStringList {
                                        " 35.7796", "-78.6382", "12/6/26 7:30:15 AM", "90", " 35.7797", "123.4"};
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany)
                                << QStringList {" 35,7796", "-78,6382", "06.12.26 07:30:15", "90", " 35,7797", "123,4"};
    }

    void readingFormatsFollowRegionalSettings()
    {
        QFETCH(QLocale, locale);
        QFETCH(QStringList, expected);
        QLocale::setDefault(locale);
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        // The same instant given with an offset: GMT shows the UTC time.
        const QDateTime gmt(QDate(2026, 12, 6), QTime(8, 30, 15), Qt::OffsetFromUTC, 3600);
        receiver().deliver(makeReading(35.77961, -78.63818, 90.0, gmt));
        QCOMPARE(gpsFields(w), expected.mid(0, 4));
        // Rounded to 4 decimals, not cut; the heading without fixed decimals.
        receiver().deliver(makeReading(35.77966, -78.63818, 123.4, gmt));
        QCOMPARE(w.txtLatitude->text(), expected.at(4));
        QCOMPARE(w.txtHeading->text(), expected.at(5));
        QVERIFY(boxes.allShown());
    }

    void displayTakesTheReceiversCurrentValues()
    {
        QLocale::setDefault(QLocale::c());
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        receiver().deliver(makeReading(-33.8568, 151.2153, 275.25));
        // A handler running later with an older reading shows the receiver's values.
        w.Display_GPS_Reading(makeReading(1.0, 2.0, 3.0));
        QCOMPARE(gpsFields(w), (QStringList {" -33.8568", "151.2153", "6 Dec 2026 07:30:15", "275.25"}));
        QVERIFY(boxes.allShown());
    }

    void receiverEventsSwitchTheDisplay()
    {
        QLocale::setDefault(QLocale::c());
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        receiver().deliver(makeReading(35.77961, -78.63818));
        QCOMPARE(w.txtLongitude->text(), QStringLiteral("-78.6382"));
        receiver().loseFix();
        QCOMPARE(gpsFields(w), QStringList(4, QStringLiteral("Poor Signal")));
        receiver().deliver(makeReading(35.77961, -78.63818));
        QCOMPARE(w.txtLatitude->text(), QStringLiteral(" 35.7796"));

        // Every NoData shows its own box, after the fields were cleared.
        boxes.expect(kNoGpsData).expect(kNoGpsData);
        receiver().stopData();
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        receiver().deliver(makeReading(35.77961, -78.63818));
        receiver().stopData();
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.shown().size(), 2);
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text, QStringLiteral("Your computer is not receiving GPS data"));
        receiver().loseFix();
        QCOMPARE(gpsFields(w), QStringList(4, QStringLiteral("Poor Signal")));
    }

    void monitorFollowsShowGpsWindow()
    {
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        QVERIFY(!receiver().monitorShown);
        for (const char* yes : {"TRUE", "-1", " true "}) {
            setParameter("SHOW_GPS_WINDOW", QLatin1String(yes));
            receiver().calls.clear();
            w.Update_GPS_per_Options();
            QVERIFY2(receiver().monitorShown, yes);
            QCOMPARE(receiver().calls.first(), QStringLiteral("ShowMonitor"));
            QCOMPARE(receiver().calls.last(), QStringLiteral("Start")); // started again every time
        }
        setParameter("SHOW_GPS_WINDOW", QStringLiteral("0"));
        setParameter("COM_PORT", QStringLiteral(" 3 "));
        setParameter("COM_SETTINGS", QStringLiteral("19200,O,7,2"));
        receiver().calls.clear();
        w.Update_GPS_per_Options();
        QCOMPARE(receiver().calls, (QStringList {"HideMonitor", "setPort 3", "setSettings 19200,O,7,2", "Start"}));
        QVERIFY(boxes.allShown());
    }

    void invalidGpsConfigurationSkipsTheLaterSteps_data()
    {
        QTest::addColumn<QString>("parameter");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("failingCall");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("port not a number") << "COM_PORT"
                                           << "abc" << QString() << QStringList {"HideMonitor"};
        QTest::newRow("port beyond 16 bits") << "COM_PORT"
                                             << "40000" << QString() << QStringList {"HideMonitor"};
        QTest::newRow("monitor not yes/no") << "SHOW_GPS_WINDOW"
                                            << "maybe" << QString() << QStringList {};
        QTest::newRow("monitor refused") << "SHOW_GPS_WINDOW"
                                         << "True"
                                         << "ShowMonitor" << QStringList {"ShowMonitor"};
        QTest::newRow("settings rejected")
            << "COM_SETTINGS"
            << "4800,X,9,3"
            << "setSettings" << QStringList {"HideMonitor", "setPort 1", "setSettings 4800,X,9,3"};
        QTest::newRow("start fails") << QString() << QString() << "Start"
                                     << QStringList {"HideMonitor", "setPort 1", "setSettings 4800,N,8,1", "Start"};
        QTest::newRow("settings row missing")
            << "-COM_SETTINGS" << QString() << QString() << QStringList {"HideMonitor", "setPort 1"};
    }

    void invalidGpsConfigurationSkipsTheLaterSteps()
    {
        QFETCH(QString, parameter);
        QFETCH(QString, value);
        QFETCH(QString, failingCall);
        QFETCH(QStringList, calls);
        ScriptedMessages boxes;
        frmZEPTA& w = frmZEPTA::instance();
        receiver().deliver(makeReading(35.77961, -78.63818));
        if (parameter.startsWith(QLatin1Char('-')))
            mFolder->execApplication(
                QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = '%1'").arg(parameter.mid(1)));
        else if (!parameter.isEmpty())
            Driver::Set_Parameter_Value(parameter, value);
        if (!failingCall.isEmpty())
            receiver().failing << failingCall;
        receiver().calls.clear();

        boxes.expect(kInvalidGps);
        w.Update_GPS_per_Options();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text,
            QStringLiteral("Your GPS configuration appears to be invalid.\r\nPlease correct its configuration."));
        QCOMPARE(receiver().calls, calls);
        // The display is not touched by a settings failure.
        QCOMPARE(w.txtLatitude->text(), QStringLiteral(" 35.7796"));
    }

    void invalidGpsConfigurationAtLoadingLetsTheWindowGoOn()
    {
        setParameter("COM_PORT", QStringLiteral("abc"));
        setParameter("EVENT_CATEGORY", QStringLiteral("12"));
        ScriptedMessages boxes;
        boxes.expect(kInvalidGps);
        frmZEPTA& w = frmZEPTA::instance();
        QVERIFY(boxes.allShown());
        QCOMPARE(receiver().calls, (QStringList {"Initialize", "HideMonitor"}));
        // The loading went on: palette before, "No GPS Data" after.
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        // A corrected configuration is applied at the next run.
        setParameter("COM_PORT", QStringLiteral("2"));
        receiver().calls.clear();
        w.Update_GPS_per_Options();
        QCOMPARE(receiver().calls, (QStringList {"HideMonitor", "setPort 2", "setSettings 4800,N,8,1", "Start"}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

// The main window: menus by storage mode, the GPS display, the palette and its choice, the notes.

#include "core/Driver.h"
#include "gui/EventIcon.h"
#include "gui/frmZEPTA.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

#include <optional>

namespace
{
const QString kNoGpsData = QStringLiteral("No GPS Data");

QStringList gpsFields(const frmZEPTA& w)
{
    return {w.txtLatitude->text(), w.txtLongitude->text(), w.txtGMT->text(), w.txtHeading->text()};
}

// The slots whose icon is painted in the highlight colour (-1: neither it nor the button face).
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
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    ScriptedReceiver& receiver() { return *mFolder->component().receiver; }
    QImage iconFile(const char* name) const { return QImage(mFolder->file(QStringLiteral("Icons/") + name)); }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        frmZEPTA::unload();
        mFolder.reset();
    }

    // Loading starts the receiver; the data menus follow the storage mode. The first icon is chosen
    // when the window opens; Tab and clicks move the choice; a cleared one stays cleared.
    void loadingThenChoosingBySlotFocusAndClick()
    {
        frmZEPTA& w = frmZEPTA::instance();
        QCOMPARE(receiver().calls,
            (QStringList {"Initialize", "HideMonitor", "setPort 1", "setSettings 4800,N,8,1", "Start"}));
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        for (const char* mode : {"XML", "LOCAL", "local", "SOAP", " LOCAL"}) {
            Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QLatin1String(mode));
            w.Update_Form_per_Options();
            const bool local = qstrcmp(mode, "LOCAL") == 0;
            QCOMPARE((QList<bool> {w.menu_CopyData->isEnabled(), w.menu_DeleteData->isEnabled()}),
                (QList<bool> {local, local}));
        }
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.mSelectedSlot, std::int16_t(0));
        QCOMPARE(highlighted(w), QList<int> {0});

        const auto press = [](int times, Qt::Key key) {
            while (times-- > 0)
                QTest::keyClick(QApplication::focusWidget(), key);
        };
        press(4, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.Event_Icon[4]));
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
        QCOMPARE(highlighted(w), QList<int> {2});

        w.Reset_Event_Selection();
        QWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
    }

    // A missing or damaged icon falls back for its slot only. Slots a category leaves empty keep
    // the earlier types but record nothing. Every load ends with nothing chosen and no notes.
    void categorySwitchAndNotes()
    {
        frmZEPTA& w = frmZEPTA::instance();
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
        w.mSelectedSlot = 6;
        w.Notes->setPlainText(QStringLiteral("pending"));
        QVERIFY(QFile::remove(mFolder->file(QStringLiteral("Icons/mammal.ico"))));
        QVERIFY(QFile::resize(mFolder->file(QStringLiteral("Icons/bird.ico")), 10)); // damaged

        Driver::Set_Parameter_Value(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("12"));
        w.Update_Form_per_Options();
        QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QStringList captions;
        QList<bool> filled;
        for (int i = 0; i < Driver::kPaletteSlots; ++i) {
            captions << w.Event_Label[i]->text();
            filled << w.slotHasEventType(i);
            QVERIFY(w.Event_Icon[i]->picture() == iconFile(i == 5 ? "nest_site.ico" : "not_found.ico"));
        }
        QVERIFY(!iconFile("not_found.ico").isNull());
        QCOMPARE(captions, (QStringList {"Bird", "Mammal", "", "", "", "Nest Site", "", ""}));
        QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {201, 202, 103, 104, 105, 203, 107, 108}));
        QCOMPARE(filled, (QList<bool> {true, true, false, false, false, true, false, false}));
        QCOMPARE(w.mSelectedSlot, std::int16_t(-1));
        QVERIFY(highlighted(w).isEmpty());
        QVERIFY(w.Notes->toPlainText().isEmpty());

        // A paste into the notes keeps what fits of 255 characters and the text after it.
        w.Notes->setPlainText(QString(250, 'b') + QStringLiteral("END"));
        QTextCursor cursor = w.Notes->textCursor();
        cursor.setPosition(100);
        w.Notes->setTextCursor(cursor);
        QApplication::clipboard()->setText(QStringLiteral("0123456789"));
        w.Notes->paste();
        QCOMPARE(w.Notes->toPlainText(), QString(100, 'b') + QStringLiteral("01") + QString(150, 'b') + "END");
    }

    // Values fetched from the receiver, in regional formats (GMT in UTC); the receiver's events
    // switch all four fields, every NoData with its box.
    void readingsAndStatesOfTheReceiver()
    {
        ScriptedMessages boxes;
        const auto restore = qScopeGuard([locale = QLocale()] { QLocale::setDefault(locale); });
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
        boxes.expect(kNoGpsData).expect(kNoGpsData);
        receiver().stopData();
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
        QCOMPARE(boxes.last().text, QStringLiteral("Your computer is not receiving GPS data"));
        receiver().deliver(makeReading(35.77961, -78.63818));
        receiver().stopData();
        QCOMPARE(gpsFields(w), QStringList(4, kNoGpsData));
    }

    // EVENT_CATEGORY that names no category: named once, the first category loaded.
    void unusableCategoryLoadsTheFirst()
    {
        frmZEPTA& w = frmZEPTA::instance();
        ScriptedMessages boxes;
        for (const QString& value :
            {QStringLiteral("abc"), QString(), QStringLiteral("1e20"), QStringLiteral("ü12"), QStringLiteral("99")}) {
            Driver::Set_Parameter_Value(QStringLiteral("EVENT_CATEGORY"), value);
            boxes.expect(QStringLiteral("Invalid Setting"));
            for (int i = 0; i < 2; ++i) { // told once
                w.Update_Form_per_Options();
                QCOMPARE(w.label_Event_Category->text(), QStringLiteral("Road Survey"));
                QCOMPARE(w.mEventTypeIDs, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
            }
            QVERIFY(boxes.allShown());
            QCOMPARE(boxes.last().text,
                QStringLiteral("The setting EVENT_CATEGORY holds \"%1\", which Zepta cannot use.\r\nZepta uses "
                               "\"30\" until the setting is saved again in File > Configure.")
                    .arg(value));
        }
    }

    // A receiver setting that cannot be used is named once and its default used, so the receiver
    // starts; a receiver that refuses a step ends the run there with one box.
    void unusableGpsSettings_data()
    {
        QTest::addColumn<QString>("setting"); // KEY=value; a KEY alone deletes the row
        QTest::addColumn<QString>("failingCall");
        QTest::addColumn<QString>("named"); // the Invalid Setting text after the key; none: Invalid GPS Configuration
        QTest::addColumn<QStringList>("calls");
        const QStringList all = {"HideMonitor", "setPort 1", "setSettings 4800,N,8,1", "Start"};
        const auto row = [](const char* name, const QString& setting, const char* failing, const char* named,
                             const QStringList& calls) {
            QTest::newRow(name) << setting << QString(failing) << QString(named) << calls;
        };
        row("port not a number", "COM_PORT=abc", "", "holds \"abc\"", all);
        row("port zero", "COM_PORT=0", "", "holds \"0\"", all);
        row("port row missing", "COM_PORT", "", "cannot be read from", all);
        row("monitor abc", "SHOW_GPS_WINDOW=abc", "", "holds \"abc\"", all);
        row("monitor empty", "SHOW_GPS_WINDOW=", "", "holds \"\"", all);
        row("monitor non-ASCII", QStringLiteral("SHOW_GPS_WINDOW=jä"), "", "holds \"jä\"", all);
        row("settings garbage", "COM_SETTINGS=4800,X,9,3", "", "holds \"4800,X,9,3\"", all);
        row("settings row missing", "COM_SETTINGS", "", "cannot be read from", all);
        row("monitor refused", "SHOW_GPS_WINDOW= true ", "ShowMonitor", "", {"ShowMonitor"});
        row("settings refused", "COM_PORT=1", "setSettings", "",
            {"HideMonitor", "setPort 1", "setSettings 4800,N,8,1"});
        row("start fails", "COM_PORT=1", "Start", "", all);
    }
    void unusableGpsSettings()
    {
        QFETCH(QString, setting);
        QFETCH(QString, failingCall);
        QFETCH(QString, named);
        QFETCH(QStringList, calls);
        frmZEPTA& w = frmZEPTA::instance();
        receiver().deliver(makeReading(35.77961, -78.63818));
        const QString key = setting.section(QLatin1Char('='), 0, 0);
        if (key == setting)
            mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = '%1'").arg(key));
        else
            Driver::Set_Parameter_Value(key, setting.section(QLatin1Char('='), 1));
        receiver().failing << failingCall;
        receiver().calls.clear();

        ScriptedMessages boxes;
        boxes.expect(named.isEmpty() ? QStringLiteral("Invalid GPS Configuration") : QStringLiteral("Invalid Setting"));
        w.Update_GPS_per_Options();
        QCOMPARE(receiver().calls, calls);
        const QString text = boxes.shown().value(0).text;
        if (named.isEmpty())
            QCOMPARE(text,
                QStringLiteral("Your GPS configuration appears to be invalid.\r\nPlease correct its configuration."));
        else
            QVERIFY2(text.startsWith(QStringLiteral("The setting %1 %2").arg(key, named)) && !text.contains("SQL"),
                qPrintable(text));
        QCOMPARE(w.txtLatitude->text(), QStringLiteral(" 35.7796")); // the display is not touched
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

// The configuration dialog and the "Con&figure" command, on a real copy of the
// application database.

#include "capture/frmZEPTA.h"
#include "config/frmConfig.h"
#include "core/Driver.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <optional>

namespace
{
const QString kOutOfRange = QStringLiteral("Out of Range");

// The keys in the order the dialog writes them.
const QStringList kWriteOrder = {QStringLiteral("EVENT_CATEGORY"), QStringLiteral("TRACKING_INTERVAL"),
    QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("SHRINK_AFTER_SAVES"), QStringLiteral("SHOW_GPS_WINDOW"),
    QStringLiteral("COM_PORT"), QStringLiteral("COM_SETTINGS"), QStringLiteral("CLIENT_ID"),
    QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("SERVER_IP"), QStringLiteral("LISTENER_NAME")};

QStringList entryTexts(const QComboBox* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts;
}

QList<int> entryData(const QComboBox* list)
{
    QList<int> data;
    for (int i = 0; i < list->count(); ++i)
        data << list->itemData(i).toInt();
    return data;
}

QColor captionColour(const QWidget* caption) { return caption->palette().color(QPalette::WindowText); }
QColor greyText() { return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText); }
QColor windowText() { return QApplication::palette().color(QPalette::Active, QPalette::WindowText); }
} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    // Arranging goes through the real store; checking reads the file itself.
    void store(const QString& key, const QString& value) { Driver::Set_Parameter_Value(key, value); }

    QString stored(const QString& key) const
    {
        auto connection = db::Connection::openFile(mFolder->applicationDatabase());
        return connection
            .open(QStringLiteral("SELECT PARAMETER_VALUE FROM CONFIGURATION WHERE PARAMETER_NAME = ?"),
                {db::Value::text(key)})
            .field(QStringLiteral("PARAMETER_VALUE"))
            .toString();
    }

    QMap<QString, QString> allStored() const
    {
        QMap<QString, QString> values;
        for (const QString& key : kWriteOrder)
            values.insert(key, stored(key));
        return values;
    }

    // Every update of a CONFIGURATION row is logged, in order, by a trigger.
    void logWrites() const
    {
        mFolder->execApplication(QStringLiteral(
            "CREATE TABLE WRITE_LOG (SEQ INTEGER PRIMARY KEY AUTOINCREMENT, NAME TEXT, VALUE TEXT);"
            "CREATE TRIGGER LOG_WRITES AFTER UPDATE ON CONFIGURATION BEGIN "
            "INSERT INTO WRITE_LOG (NAME, VALUE) VALUES (NEW.PARAMETER_NAME, NEW.PARAMETER_VALUE); END;"));
    }

    QStringList writes() const
    {
        QStringList names;
        auto connection = db::Connection::openFile(mFolder->applicationDatabase());
        for (auto rows = connection.open(QStringLiteral("SELECT NAME FROM WRITE_LOG ORDER BY SEQ")); !rows.eof();
             rows.moveNext())
            names << rows.field(QStringLiteral("NAME")).toString();
        return names;
    }

    // Shows the dialog modally and acts inside it; a failed check inside still
    // closes the dialog, so no test can block on it.
    void runModal(const std::function<void(frmConfig&)>& act)
    {
        bool acted = false;
        QTimer::singleShot(0, [&] {
            QPointer<frmConfig> dialog = &frmConfig::instance();
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->isModal());
            act(*dialog);
            acted = true;
            if (dialog && dialog->isVisible())
                dialog->reject();
        });
        frmConfig::instance().exec();
        QVERIFY(acted);
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        frmConfig::unload();
        frmZEPTA::unload();
        mFolder.reset();
    }

    void builtAsDescribed()
    {
        frmConfig& dialog = frmConfig::instance();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Configuration Options"));
        QCOMPARE(dialog.size(), QSize(688, 333)); // 10320 x 4995 twips
        QCOMPARE(dialog.OptionsTab->geometry(), QRect(8, 8, 673, 289));
        QCOMPARE(dialog.OptionsTab->count(), 3);
        QCOMPARE(dialog.OptionsTab->tabText(0), QStringLiteral("User Interface"));
        QCOMPARE(dialog.OptionsTab->tabText(1), QStringLiteral("GPS"));
        QCOMPARE(dialog.OptionsTab->tabText(2), QStringLiteral("Data Storage"));
        QCOMPARE(dialog.OptionsTab->currentIndex(), 0);
        QCOMPARE(dialog.Button_Defaults->text(), QStringLiteral("Restore &Defaults"));
        QCOMPARE(dialog.Button_Defaults->geometry(), QRect(32, 304, 129, 25));
        QCOMPARE(dialog.Button_Save->text(), QStringLiteral("&Save"));
        QCOMPARE(dialog.Button_Save->geometry(), QRect(456, 304, 97, 25));
        QCOMPARE(dialog.Button_Cancel->text(), QStringLiteral("Cancel"));
        QCOMPARE(dialog.Button_Cancel->geometry(), QRect(568, 304, 97, 25));

        // Frames by name, with their captions, on their pages.
        const QList<std::pair<const char*, const char*>> frames
            = {{"fraArea", "Event Customization"}, {"fraEventSave", "Event Saving"}, {"frame_GPS", "GPS"},
                {"fraGPSPort", "Serial Interface"}, {"frame_RemoteHost", "Remote Server"}};
        for (const auto& [name, caption] : frames) {
            auto* frame = dialog.findChild<QGroupBox*>(QLatin1String(name));
            QVERIFY2(frame, name);
            QCOMPARE(frame->title(), QLatin1String(caption));
        }
        QCOMPARE(dialog.fraArea->parentWidget(), dialog.OptionsTab->widget(0));
        QCOMPARE(dialog.fraGPSPort->parentWidget(), dialog.OptionsTab->widget(1));
        QCOMPARE(dialog.frame_RemoteHost->parentWidget(), dialog.OptionsTab->widget(2));
        QCOMPARE(dialog.lblIP->text(), QStringLiteral("IP Address:"));
        QCOMPARE(dialog.lblListenerName->text(), QStringLiteral("Listener Name:"));

        // Every label names its control's setting.
        QStringList labels;
        for (const QLabel* label : dialog.findChildren<QLabel*>())
            labels << label->text();
        for (const char* text : {"Event Category:", "Tracking Interval (sec):", "Beep After Saves:",
                 "Shrink After Saves:", "Show GPS Monitor:", "COM Port:", "Speed (bps):", "Parity Bit:", "Data Bits:",
                 "Stop Bits:", "Storage Method:", "Client ID:"})
            QVERIFY2(labels.contains(QLatin1String(text)), text);
        QCOMPARE(labels.count(QStringLiteral(".")), 3);

        // Entries and their item data.
        QCOMPARE(entryTexts(dialog.combo_Beep_After_Saves), (QStringList {"Yes", "No"}));
        QCOMPARE(entryData(dialog.combo_Beep_After_Saves), (QList<int> {-1, 0}));
        QCOMPARE(entryData(dialog.combo_Shrink_After_Saves), (QList<int> {-1, 0}));
        QCOMPARE(dialog.cmbCOMPort->count(), 16);
        QCOMPARE(dialog.cmbCOMPort->itemText(0), QStringLiteral("COM1:"));
        QCOMPARE(dialog.cmbCOMPort->itemText(15), QStringLiteral("COM16:"));
        QCOMPARE(dialog.cmbCOMPort->itemData(15).toInt(), 16);
        QCOMPARE(entryTexts(dialog.cmbCOMSpeed), (QStringList {"1200", "2400", "4800", "9600", "19200", "38400"}));
        QCOMPARE(entryTexts(dialog.cmbCOMParityBit), (QStringList {"N", "E", "O"}));
        QCOMPARE(entryTexts(dialog.cmbCOMDataBits), (QStringList {"8", "7"}));
        QCOMPARE(entryTexts(dialog.cmbCOMStopBits), (QStringList {"1", "2"}));
        QCOMPARE(entryTexts(dialog.combo_Storage_Mode), (QStringList {"LOCAL", "XML", "SOAP"}));
        QCOMPARE(entryData(dialog.combo_Storage_Mode), (QList<int> {0, 0, 0}));
        for (QComboBox* list : dialog.findChildren<QComboBox*>())
            QVERIFY2(!list->isEditable(), qPrintable(list->objectName()));

        // The category list holds the shipped categories in the order the table returns them.
        QCOMPARE(entryData(dialog.cmbEventCategory), (QList<int> {30, 12, 21, 7}));
        QCOMPARE(dialog.cmbEventCategory->itemText(0), QStringLiteral("Road Survey"));
    }

    // Tab runs through every control in reading order, then the three buttons.
    void tabFollowsTheReadingOrder()
    {
        frmConfig& dialog = frmConfig::instance();
        const QList<QWidget*> expected = {dialog.cmbEventCategory, dialog.txtTrackingInterval,
            dialog.combo_Beep_After_Saves, dialog.combo_Shrink_After_Saves, dialog.option_Show_GPS_No,
            dialog.option_Show_GPS_Yes, dialog.cmbCOMPort, dialog.cmbCOMSpeed, dialog.cmbCOMParityBit,
            dialog.cmbCOMDataBits, dialog.cmbCOMStopBits, dialog.combo_Storage_Mode, dialog.txtClient_ID,
            dialog.txtOctet1, dialog.txtOctet2, dialog.txtOctet3, dialog.txtOctet4, dialog.txtListenerName,
            dialog.Button_Defaults, dialog.Button_Save, dialog.Button_Cancel};
        QList<QWidget*> chain;
        for (QWidget* w = dialog.OptionsTab->nextInFocusChain(); w != dialog.OptionsTab; w = w->nextInFocusChain()) {
            if (expected.contains(w))
                chain << w;
        }
        QCOMPARE(chain, expected);
    }

    void loadingShowsEachStoredValue()
    {
        store(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("21"));
        store(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("30"));
        store(QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("FALSE"));
        store(QStringLiteral("SHRINK_AFTER_SAVES"), QStringLiteral("-1"));
        store(QStringLiteral("SHOW_GPS_WINDOW"), QStringLiteral("true"));
        store(QStringLiteral("COM_PORT"), QStringLiteral("3"));
        store(QStringLiteral("COM_SETTINGS"), QStringLiteral("19200,O,7,2,extra"));
        store(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 7"));
        store(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
        store(QStringLiteral("SERVER_IP"), QStringLiteral("10.0.0.5"));
        store(QStringLiteral("LISTENER_NAME"), QStringLiteral("srv/in.asp"));
        ScriptedMessages boxes; // none expected

        frmConfig& dialog = frmConfig::instance();
        QCOMPARE(dialog.cmbEventCategory->currentText(), QStringLiteral("Utility Inspection"));
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("30"));
        QCOMPARE(dialog.combo_Beep_After_Saves->currentText(), QStringLiteral("No"));
        QCOMPARE(dialog.combo_Shrink_After_Saves->currentText(), QStringLiteral("Yes"));
        QVERIFY(dialog.option_Show_GPS_Yes->isChecked());
        QVERIFY(!dialog.option_Show_GPS_No->isChecked());
        QCOMPARE(dialog.cmbCOMPort->currentText(), QStringLiteral("COM3:"));
        QCOMPARE(dialog.cmbCOMSpeed->currentText(), QStringLiteral("19200"));
        QCOMPARE(dialog.cmbCOMParityBit->currentText(), QStringLiteral("O"));
        QCOMPARE(dialog.cmbCOMDataBits->currentText(), QStringLiteral("7"));
        QCOMPARE(dialog.cmbCOMStopBits->currentText(), QStringLiteral("2"));
        QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("crew 7"));
        QCOMPARE(dialog.combo_Storage_Mode->currentText(), QStringLiteral("XML"));
        QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("10"));
        QCOMPARE(dialog.txtOctet2->text(), QStringLiteral("0"));
        QCOMPARE(dialog.txtOctet3->text(), QStringLiteral("0"));
        QCOMPARE(dialog.txtOctet4->text(), QStringLiteral("5"));
        QCOMPARE(dialog.txtListenerName->text(), QStringLiteral("srv/in.asp"));
        QVERIFY(boxes.shown().isEmpty());
    }

    // Numbers compare as numbers (blanks ignored, fractions rounded, halves
    // to even); texts exactly; the last of several matches stays selected.
    void entriesAreSelectedByNumberOrExactText()
    {
        mFolder->execApplication(QStringLiteral(
            "DROP TABLE EVENT_CATEGORIES;"
            "CREATE TABLE EVENT_CATEGORIES (EVENT_CATEGORY_ID SMALLINT, EVENT_CATEGORY_NAME TEXT);"
            "INSERT INTO EVENT_CATEGORIES VALUES (5, 'Five'), (2, 'Two'), (9, 'Nine'), (2, 'Two again');"));
        store(QStringLiteral("EVENT_CATEGORY"), QStringLiteral(" 2.0 "));
        store(QStringLiteral("COM_PORT"), QStringLiteral("4.5")); // rounds to 4
        store(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("local"));
        store(QStringLiteral("COM_SETTINGS"), QStringLiteral("4800,n,8,1"));
        ScriptedMessages boxes; // none expected

        frmConfig& dialog = frmConfig::instance();
        QCOMPARE(entryData(dialog.cmbEventCategory), (QList<int> {5, 2, 9, 2}));
        QCOMPARE(dialog.cmbEventCategory->currentIndex(), 3);
        QCOMPARE(dialog.cmbCOMPort->currentText(), QStringLiteral("COM4:"));
        QCOMPARE(dialog.combo_Storage_Mode->currentIndex(), -1);
        QCOMPARE(dialog.cmbCOMParityBit->currentIndex(), -1);
        QCOMPARE(dialog.cmbCOMSpeed->currentText(), QStringLiteral("4800"));
        // No selection counts as "not LOCAL": the remote-server boxes are open.
        QVERIFY(dialog.txtOctet1->isEnabled());
        QVERIFY(boxes.shown().isEmpty());

        // The first category of the table's order is the default one.
        dialog.Button_Defaults_Click();
        QCOMPARE(dialog.cmbEventCategory->currentText(), QStringLiteral("Five"));
    }

    // Faulty stored values open the dialog with what it can show, without a
    // message; saving then keeps the stored value of a key whose list stayed
    // empty (field by field for the serial line) and corrupts nothing.
    void faultyStoredValuesStillOpenAndSaveSafely()
    {
        store(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("abc"));
        store(QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("maybe"));
        store(QStringLiteral("SHRINK_AFTER_SAVES"), QString());
        store(QStringLiteral("SHOW_GPS_WINDOW"), QStringLiteral("perhaps"));
        store(QStringLiteral("COM_PORT"), QStringLiteral("x"));
        store(QStringLiteral("COM_SETTINGS"), QStringLiteral("9600,Q"));
        store(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("FTP"));
        store(QStringLiteral("SERVER_IP"), QStringLiteral("10.1"));
        logWrites();
        ScriptedMessages boxes; // none expected

        runModal([&](frmConfig& dialog) {
            QCOMPARE(dialog.cmbEventCategory->currentIndex(), -1);
            QCOMPARE(dialog.combo_Beep_After_Saves->currentIndex(), -1);
            QCOMPARE(dialog.combo_Shrink_After_Saves->currentIndex(), -1);
            QVERIFY(!dialog.option_Show_GPS_Yes->isChecked());
            QVERIFY(!dialog.option_Show_GPS_No->isChecked());
            QCOMPARE(dialog.cmbCOMPort->currentIndex(), -1);
            QCOMPARE(dialog.cmbCOMSpeed->currentText(), QStringLiteral("9600"));
            QCOMPARE(dialog.cmbCOMParityBit->currentIndex(), -1);
            QCOMPARE(dialog.cmbCOMDataBits->currentIndex(), -1);
            QCOMPARE(dialog.cmbCOMStopBits->currentIndex(), -1);
            QCOMPARE(dialog.combo_Storage_Mode->currentIndex(), -1);
            QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("10"));
            QCOMPARE(dialog.txtOctet2->text(), QStringLiteral("1"));
            QCOMPARE(dialog.txtOctet3->text(), QString());
            QCOMPARE(dialog.txtOctet4->text(), QString());
            QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("60"));
            dialog.cmbCOMStopBits->setCurrentIndex(1);
            QTest::mouseClick(dialog.Button_Save, Qt::LeftButton);
        });
        QVERIFY(!frmConfig::isLoaded());
        QCOMPARE(writes(), kWriteOrder);
        QCOMPARE(stored(QStringLiteral("EVENT_CATEGORY")), QStringLiteral("abc"));
        QCOMPARE(stored(QStringLiteral("BEEP_AFTER_SAVES")), QStringLiteral("maybe"));
        QCOMPARE(stored(QStringLiteral("SHRINK_AFTER_SAVES")), QString());
        QCOMPARE(stored(QStringLiteral("SHOW_GPS_WINDOW")), QStringLiteral("False"));
        QCOMPARE(stored(QStringLiteral("COM_PORT")), QStringLiteral("x"));
        // Speed and stop bits from the lists, parity kept from the store, data
        // bits (stored nowhere) by default.
        QCOMPARE(stored(QStringLiteral("COM_SETTINGS")), QStringLiteral("9600,Q,8,2"));
        QCOMPARE(stored(QStringLiteral("DATA_STORAGE_MODE")), QStringLiteral("FTP"));
        QCOMPARE(stored(QStringLiteral("SERVER_IP")), QStringLiteral("10.1.."));
        QVERIFY(boxes.shown().isEmpty());
    }

    void intervalCheckAcceptsSixteenToSixtyFour()
    {
        frmConfig& dialog = frmConfig::instance();
        store(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("30")); // after loading: the check reads it again
        QLineEdit* box = dialog.txtTrackingInterval;
        {
            ScriptedMessages none;
            for (const char* text : {"16", "64", " 20 ", "15.5", "64.5"}) {
                box->setText(QLatin1String(text));
                QCOMPARE(box->text(), QLatin1String(text));
            }
            QVERIFY(none.shown().isEmpty());
        }
        for (const char* text : {"15", "65", "65.5", "-20", "abc", ""}) {
            ScriptedMessages boxes;
            boxes.expect(kOutOfRange);
            box->setText(QLatin1String(text));
            QVERIFY2(boxes.allShown(), text);
            QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
            QCOMPARE(
                boxes.last().text, QStringLiteral("The Tracking Interval must be greater than 15 and less than 65"));
            QCOMPARE(box->text(), QStringLiteral("30")); // the stored value, not the box's last one ("64.5")
            box->setText(QStringLiteral("64.5"));
        }
        QCOMPARE(stored(QStringLiteral("TRACKING_INTERVAL")), QStringLiteral("30"));
    }

    void deletingADigitBringsTheMessageAndTheStoredValueBack()
    {
        frmConfig& dialog = frmConfig::instance();
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("60"));
        ScriptedMessages boxes;
        boxes.expect(kOutOfRange);
        dialog.txtTrackingInterval->setFocus();
        dialog.txtTrackingInterval->end(false);
        QTest::keyClick(dialog.txtTrackingInterval, Qt::Key_Backspace);
        QVERIFY(boxes.allShown());
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("60"));
        QCOMPARE(boxes.shown().size(), 1);
    }

    void storedOutOfRangeIntervalIsReportedOnce()
    {
        store(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("100"));
        ScriptedMessages boxes;
        boxes.expect(kOutOfRange);
        frmConfig& dialog = frmConfig::instance();
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.shown().size(), 1);
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("100"));

        // A typed value out of range: one message, the stored value back, no second one for it.
        boxes.expect(kOutOfRange);
        dialog.txtTrackingInterval->setText(QStringLiteral("7"));
        QCOMPARE(boxes.shown().size(), 2);
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("100"));

        // The spin control counts from 100 and stops at the end of its range.
        dialog.UpDown1->stepDown();
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("64"));
        QCOMPARE(boxes.shown().size(), 2);
    }

    // A store failure inside the check passes over the putting back.
    void intervalCheckGoesOnWhenTheStoreFails()
    {
        frmConfig& dialog = frmConfig::instance();
        const QString database = mFolder->applicationDatabase();
        QVERIFY(QFile::rename(database, database + QStringLiteral(".away")));
        ScriptedMessages boxes;
        boxes.expect(kOutOfRange);
        dialog.txtTrackingInterval->setText(QStringLiteral("5"));
        QVERIFY(boxes.allShown());
        QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("5"));
        QVERIFY(QFile::rename(database + QStringLiteral(".away"), database));
    }

    void spinStepsByFiveAndStopsAtTheEnds()
    {
        ScriptedMessages boxes; // the spin control never writes a number out of range
        frmConfig& dialog = frmConfig::instance();
        QLineEdit* box = dialog.txtTrackingInterval;
        QSignalSpy changes(box, &QLineEdit::textChanged);
        QTest::mouseClick(dialog.UpDown1->upButton, Qt::LeftButton);
        QCOMPARE(box->text(), QStringLiteral("64")); // 60 + 5 stops at 64
        QCOMPARE(changes.count(), 1);
        dialog.UpDown1->stepUp();
        QCOMPARE(box->text(), QStringLiteral("64"));
        QTest::mouseClick(dialog.UpDown1->downButton, Qt::LeftButton);
        QCOMPARE(box->text(), QStringLiteral("59"));
        box->setText(QStringLiteral("19"));
        dialog.UpDown1->stepDown();
        QCOMPARE(box->text(), QStringLiteral("16"));
        dialog.UpDown1->stepDown();
        QCOMPARE(box->text(), QStringLiteral("16"));
        box->setText(QStringLiteral(" 20.5 ")); // read as 20
        dialog.UpDown1->stepUp();
        QCOMPARE(box->text(), QStringLiteral("25"));
        QVERIFY(boxes.shown().isEmpty());

        // Unreadable text counts as 0: a step goes to the low end.
        store(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("soon"));
        boxes.expect(kOutOfRange);
        box->setText(QStringLiteral("x"));
        QCOMPARE(box->text(), QStringLiteral("soon"));
        dialog.UpDown1->stepUp();
        QCOMPARE(box->text(), QStringLiteral("16"));
        QCOMPARE(boxes.shown().size(), 1);
    }

    void storageModeSwitchesTheRemoteServerControls()
    {
        store(QStringLiteral("SERVER_IP"), QStringLiteral("192.168.1.20"));
        frmConfig& dialog = frmConfig::instance();
        const QList<QLineEdit*> boxes
            = {dialog.txtOctet1, dialog.txtOctet2, dialog.txtOctet3, dialog.txtOctet4, dialog.txtListenerName};
        const QList<QWidget*> captions = {dialog.frame_RemoteHost, dialog.lblIP, dialog.lblListenerName};
        QVERIFY(greyText() != windowText());
        auto check = [&](bool local) {
            for (QLineEdit* box : boxes)
                QCOMPARE(box->isEnabled(), !local);
            for (QWidget* caption : captions)
                QCOMPARE(captionColour(caption), local ? greyText() : windowText());
            // The other captions of the page keep the window-text colour.
            QCOMPARE(captionColour(dialog.findChild<QLabel*>(QStringLiteral("lblDot1"))), windowText());
            QVERIFY(dialog.txtClient_ID->isEnabled());
        };
        check(true); // the shipped mode is LOCAL
        dialog.combo_Storage_Mode->setCurrentIndex(1);
        check(false);
        dialog.combo_Storage_Mode->setCurrentIndex(0);
        check(true);
        dialog.combo_Storage_Mode->setCurrentIndex(2);
        check(false);
        dialog.combo_Storage_Mode->setCurrentIndex(-1);
        check(false);
        dialog.combo_Storage_Mode->setCurrentIndex(0);

        // Disabled boxes keep their texts, and saving writes them.
        QCOMPARE(dialog.txtOctet3->text(), QStringLiteral("1"));
        dialog.txtListenerName->setText(QStringLiteral("kept/listener"));
        runModal([](frmConfig& d) { d.Button_Save->click(); });
        QCOMPARE(stored(QStringLiteral("SERVER_IP")), QStringLiteral("192.168.1.20"));
        QCOMPARE(stored(QStringLiteral("LISTENER_NAME")), QStringLiteral("kept/listener"));
        QCOMPARE(stored(QStringLiteral("DATA_STORAGE_MODE")), QStringLiteral("LOCAL"));
    }

    // An address box takes at most three typed characters, but a longer
    // stored field is shown and saved whole.
    void addressBoxesLimitTypingNotStoredText()
    {
        store(QStringLiteral("SERVER_IP"), QStringLiteral("1000.20.30.40.50"));
        frmConfig& dialog = frmConfig::instance();
        QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("1000"));
        QCOMPARE(dialog.txtOctet4->text(), QStringLiteral("40"));
        dialog.combo_Storage_Mode->setCurrentIndex(1);
        dialog.txtOctet2->end(false);
        QTest::keyClicks(dialog.txtOctet2, QStringLiteral("56"));
        QCOMPARE(dialog.txtOctet2->text(), QStringLiteral("205"));
        dialog.txtOctet1->end(false);
        QTest::keyClick(dialog.txtOctet1, Qt::Key_7);
        QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("1000"));
        QTest::keyClick(dialog.txtOctet1, Qt::Key_Backspace);
        QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("100"));
        dialog.txtOctet3->setText(QStringLiteral("3000"));
        runModal([](frmConfig& d) { d.Button_Save->click(); });
        QCOMPARE(stored(QStringLiteral("SERVER_IP")), QStringLiteral("100.205.3000.40"));
    }

    void restoreDefaultsThenSaveWritesTheDefaultTable()
    {
        store(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("7"));
        store(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("20"));
        store(QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("False"));
        store(QStringLiteral("SHRINK_AFTER_SAVES"), QStringLiteral("False"));
        store(QStringLiteral("SHOW_GPS_WINDOW"), QStringLiteral("True"));
        store(QStringLiteral("COM_PORT"), QStringLiteral("9"));
        store(QStringLiteral("COM_SETTINGS"), QStringLiteral("38400,E,7,2"));
        store(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 9"));
        store(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("SOAP"));
        store(QStringLiteral("SERVER_IP"), QStringLiteral("10.9.8.7"));
        store(QStringLiteral("LISTENER_NAME"), QStringLiteral("x/y"));
        logWrites();

        runModal([&](frmConfig& dialog) {
            QVERIFY(dialog.option_Show_GPS_Yes->isChecked());
            QVERIFY(dialog.txtOctet1->isEnabled());
            QTest::mouseClick(dialog.Button_Defaults, Qt::LeftButton);
            QVERIFY(writes().isEmpty()); // nothing written yet
            QCOMPARE(dialog.cmbEventCategory->currentText(), QStringLiteral("Road Survey"));
            // "Yes" was selected: neither option is now.
            QVERIFY(!dialog.option_Show_GPS_Yes->isChecked());
            QVERIFY(!dialog.option_Show_GPS_No->isChecked());
            QVERIFY(!dialog.txtOctet1->isEnabled());
            QCOMPARE(captionColour(dialog.lblIP), greyText());
            QTest::mouseClick(dialog.Button_Save, Qt::LeftButton);
        });
        QVERIFY(!frmConfig::isLoaded());
        QCOMPARE(writes(), kWriteOrder);
        const QMap<QString, QString> defaults {{"EVENT_CATEGORY", "30"}, {"TRACKING_INTERVAL", "60"},
            {"BEEP_AFTER_SAVES", "True"}, {"SHRINK_AFTER_SAVES", "True"}, {"SHOW_GPS_WINDOW", "False"},
            {"COM_PORT", "1"}, {"COM_SETTINGS", "4800,N,8,1"}, {"CLIENT_ID", "1"}, {"DATA_STORAGE_MODE", "LOCAL"},
            {"SERVER_IP", "127.0.0.1"}, {"LISTENER_NAME", "Zepta/listener.asp"}};
        QCOMPARE(allStored(), defaults);
    }

    // "No" selected before Restore Defaults stays selected.
    void restoreDefaultsLeavesNoAsItWas()
    {
        frmConfig& dialog = frmConfig::instance();
        QVERIFY(dialog.option_Show_GPS_No->isChecked()); // shipped "False"
        dialog.Button_Defaults_Click();
        QVERIFY(dialog.option_Show_GPS_No->isChecked());
        QVERIFY(!dialog.option_Show_GPS_Yes->isChecked());
        // The group is exclusive again afterwards.
        QVERIFY(dialog.option_Show_GPS_No->group()->exclusive());
        dialog.option_Show_GPS_Yes->click();
        QVERIFY(!dialog.option_Show_GPS_No->isChecked());
    }

    void categoriesKeepTheOrderTheTableReturns()
    {
        mFolder->execApplication(
            QStringLiteral("DELETE FROM EVENT_CATEGORIES;"
                           "INSERT INTO EVENT_CATEGORIES VALUES (5, 'Five'), (2, 'Two'), (9, 'Nine');"));
        store(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("9"));
        runModal([](frmConfig& dialog) {
            QCOMPARE(entryTexts(dialog.cmbEventCategory), (QStringList {"Five", "Two", "Nine"}));
            QCOMPARE(entryData(dialog.cmbEventCategory), (QList<int> {5, 2, 9}));
            QCOMPARE(dialog.cmbEventCategory->currentText(), QStringLiteral("Nine"));
            dialog.Button_Defaults->click();
            QCOMPARE(dialog.cmbEventCategory->currentData().toInt(), 5);
            dialog.Button_Save->click();
        });
        QCOMPARE(stored(QStringLiteral("EVENT_CATEGORY")), QStringLiteral("5"));
    }

    // With no categories at all, Restore Defaults and "&Save" keep the stored category.
    void emptyCategoryListKeepsTheStoredCategory()
    {
        mFolder->execApplication(QStringLiteral("DELETE FROM EVENT_CATEGORIES;"));
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.cmbEventCategory->count(), 0);
            dialog.Button_Defaults->click();
            QCOMPARE(dialog.cmbEventCategory->currentIndex(), -1);
            dialog.Button_Save->click();
        });
        QCOMPARE(stored(QStringLiteral("EVENT_CATEGORY")), QStringLiteral("30"));
    }

    void cancelWritesNothingAndKeepsTheEditsAndPage()
    {
        store(QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("30"));
        store(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 3"));
        logWrites();
        const QMap<QString, QString> before = allStored();
        QPointer<frmConfig> first = &frmConfig::instance();

        runModal([](frmConfig& dialog) {
            dialog.Button_Defaults->click();
            dialog.OptionsTab->setCurrentIndex(1);
            QTest::mouseClick(dialog.Button_Cancel, Qt::LeftButton);
            QVERIFY(!dialog.isVisible());
        });
        QVERIFY(writes().isEmpty());
        QCOMPARE(allStored(), before);
        QVERIFY(frmConfig::isLoaded());
        QCOMPARE(&frmConfig::instance(), first.data());

        // Showing it again neither reloads the categories nor the settings.
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (99, 'New');"));
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 1);
            QCOMPARE(dialog.txtTrackingInterval->text(), QStringLiteral("60"));
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("1"));
            QCOMPARE(dialog.cmbEventCategory->count(), 4);
            dialog.Button_Save->click();
        });
        QCOMPARE(stored(QStringLiteral("TRACKING_INTERVAL")), QStringLiteral("60"));
        QCOMPARE(stored(QStringLiteral("CLIENT_ID")), QStringLiteral("1"));
    }

    void saveUnloadsAndTheNextShowingLoadsAfresh()
    {
        runModal([](frmConfig& dialog) {
            dialog.OptionsTab->setCurrentIndex(2);
            dialog.txtClient_ID->setText(QStringLiteral("saved id"));
            dialog.Button_Save->click();
        });
        QVERIFY(!frmConfig::isLoaded());
        QCOMPARE(stored(QStringLiteral("CLIENT_ID")), QStringLiteral("saved id"));
        store(QStringLiteral("CLIENT_ID"), QStringLiteral("changed since"));
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 0);
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("changed since"));
        });
    }

    void titleBarCloseUnloadsWithoutWriting()
    {
        logWrites();
        runModal([](frmConfig& dialog) {
            dialog.OptionsTab->setCurrentIndex(1);
            dialog.txtClient_ID->setText(QStringLiteral("never saved"));
            QVERIFY(dialog.close());
        });
        QVERIFY(!frmConfig::isLoaded());
        QVERIFY(writes().isEmpty());
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 0);
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("1"));
        });
    }

    // However the dialog closes, the main window reads the settings again:
    // menus, palette and receiver follow what is stored.
    void configureReappliesTheStoredSettingsEvenOnCancel()
    {
        frmZEPTA& window = frmZEPTA::instance();
        ScriptedReceiver* receiver = mFolder->component().receiver;
        QVERIFY(receiver);
        QVERIFY(window.menu_CopyData->isEnabled());
        const int startsBefore = receiver->calls.count(QStringLiteral("Start"));
        const QString categoryBefore = window.label_Event_Category->text();

        bool acted = false;
        QTimer::singleShot(0, [&] {
            frmConfig& dialog = frmConfig::instance();
            QVERIFY(dialog.isVisible());
            // Stored behind the dialog's back: Cancel writes nothing itself.
            store(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
            store(QStringLiteral("EVENT_CATEGORY"), QStringLiteral("12"));
            store(QStringLiteral("COM_PORT"), QStringLiteral("5"));
            acted = true;
            dialog.Button_Cancel->click();
        });
        window.menu_Configure->trigger();
        QVERIFY(acted);
        QVERIFY(frmConfig::isLoaded());
        QVERIFY(!window.menu_CopyData->isEnabled());
        QVERIFY(!window.menu_DeleteData->isEnabled());
        QCOMPARE(window.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QVERIFY(window.label_Event_Category->text() != categoryBefore);
        QCOMPARE(receiver->calls.count(QStringLiteral("Start")), startsBefore + 1);
        QVERIFY(receiver->calls.contains(QStringLiteral("setPort 5")));

        // And after "&Save": the dialog's values (storage mode XML, loaded at
        // the first showing, still LOCAL in the hidden dialog) are written and applied.
        QTimer::singleShot(0, [&] { frmConfig::instance().Button_Save->click(); });
        window.menu_Configure->trigger();
        QVERIFY(!frmConfig::isLoaded());
        QCOMPARE(stored(QStringLiteral("DATA_STORAGE_MODE")), QStringLiteral("LOCAL"));
        QVERIFY(window.menu_CopyData->isEnabled());
        QCOMPARE(receiver->calls.count(QStringLiteral("Start")), startsBefore + 2);
    }
};

QTEST_MAIN(TestConfig)
#include "test_config.moc"

// The configuration dialog and the "Con&figure" command, on a real copy of the
// application database.

#include "core/Driver.h"
#include "gui/frmConfig.h"
#include "gui/frmZEPTA.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
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
const QStringList kWriteOrder = QStringLiteral("EVENT_CATEGORY TRACKING_INTERVAL BEEP_AFTER_SAVES SHRINK_AFTER_SAVES "
                                               "SHOW_GPS_WINDOW COM_PORT COM_SETTINGS CLIENT_ID DATA_STORAGE_MODE "
                                               "SERVER_IP LISTENER_NAME")
                                    .split(QLatin1Char(' '));

// What the controls show after Restore Defaults, in the order of controlTexts.
const QStringList kDefaultTexts = {"Road Survey", "60", "Yes", "Yes", "COM1:", "4800", "N", "8", "1", "1", "LOCAL",
    "127", "0", "0", "1", "Zepta/listener.asp"};

// The Restore Defaults values, in the order of kWriteOrder.
const QStringList kDefaultValues
    = {"30", "60", "True", "True", "False", "1", "4800,N,8,1", "1", "LOCAL", "127.0.0.1", "Zepta/listener.asp"};

// Each entry of a list as "text/item data".
QStringList entries(const QComboBox* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i) + QLatin1Char('/') + list->itemData(i).toString();
    return texts;
}

// The text every list and box shows ("" for a list without a selection).
QStringList controlTexts(const frmConfig& d)
{
    return {d.cmbEventCategory->currentText(), d.txtTrackingInterval->text(), d.combo_Beep_After_Saves->currentText(),
        d.combo_Shrink_After_Saves->currentText(), d.cmbCOMPort->currentText(), d.cmbCOMSpeed->currentText(),
        d.cmbCOMParityBit->currentText(), d.cmbCOMDataBits->currentText(), d.cmbCOMStopBits->currentText(),
        d.txtClient_ID->text(), d.combo_Storage_Mode->currentText(), d.txtOctet1->text(), d.txtOctet2->text(),
        d.txtOctet3->text(), d.txtOctet4->text(), d.txtListenerName->text()};
}

QColor captionColour(const QWidget* caption) { return caption->palette().color(QPalette::WindowText); }
QColor greyText() { return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText); }
QColor windowText() { return QApplication::palette().color(QPalette::Active, QPalette::WindowText); }
} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    void store(const QList<std::pair<QString, QString>>& values)
    {
        for (const auto& [key, value] : values)
            Driver::Set_Parameter_Value(key, value);
    }

    static QString stored(const QString& key) { return Driver::Get_Parameter_Value(key); }

    static QStringList allStored()
    {
        QStringList values;
        for (const QString& key : kWriteOrder)
            values << stored(key);
        return values;
    }

    // Every update of a CONFIGURATION row is logged, in order, by a trigger.
    void logWrites() const
    {
        mFolder->execApplication(
            QStringLiteral("CREATE TABLE WRITE_LOG (SEQ INTEGER PRIMARY KEY AUTOINCREMENT, NAME TEXT);"
                           "CREATE TRIGGER LOG_WRITES AFTER UPDATE ON CONFIGURATION BEGIN "
                           "INSERT INTO WRITE_LOG (NAME) VALUES (NEW.PARAMETER_NAME); END;"));
    }
    QStringList writes() const
    {
        QStringList names;
        auto connection = db::Connection::openFile(mFolder->applicationDatabase());
        for (auto rows = connection.open(QStringLiteral("SELECT NAME FROM WRITE_LOG ORDER BY SEQ")); !rows.eof();
             rows.moveNext())
            names << rows.field(0).toString();
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

    // Loading shows each stored value (the serial line read as the receiver
    // reads it, fields after the fourth ignored); Restore Defaults writes nothing, and "&Save" then writes exactly the
    // default table, in order.
    void loadThenRestoreDefaultsThenSave()
    {
        store({{"EVENT_CATEGORY", "21"}, {"TRACKING_INTERVAL", "30"}, {"BEEP_AFTER_SAVES", "FALSE"},
            {"SHRINK_AFTER_SAVES", "-1"}, {"SHOW_GPS_WINDOW", "true"}, {"COM_PORT", "3"},
            {"COM_SETTINGS", "19200,o, 7,2,extra"}, {"CLIENT_ID", "crew 7"}, {"DATA_STORAGE_MODE", "XML"},
            {"SERVER_IP", "10.0.0.5"}, {"LISTENER_NAME", "srv/in.asp"}});
        logWrites();
        ScriptedMessages boxes; // none expected

        runModal([&](frmConfig& dialog) {
            QCOMPARE(controlTexts(dialog),
                (QStringList {"Utility Inspection", "30", "No", "Yes", "COM3:", "19200", "O", "7", "2", "crew 7", "XML",
                    "10", "0", "0", "5", "srv/in.asp"}));
            QVERIFY(dialog.option_Show_GPS_Yes->isChecked());

            QTest::mouseClick(dialog.Button_Defaults, Qt::LeftButton);
            QVERIFY(writes().isEmpty());
            QCOMPARE(controlTexts(dialog), kDefaultTexts);
            // "Yes" was selected: neither option is now, and the group stays exclusive.
            QVERIFY(!dialog.option_Show_GPS_Yes->isChecked());
            QVERIFY(!dialog.option_Show_GPS_No->isChecked());
            QVERIFY(dialog.option_Show_GPS_No->group()->exclusive());
            QVERIFY(!dialog.txtOctet1->isEnabled()); // the storage mode is LOCAL again
            QTest::mouseClick(dialog.Button_Save, Qt::LeftButton);
        });
        QVERIFY(!frmConfig::isLoaded());
        QCOMPARE(writes(), kWriteOrder);
        QCOMPARE(allStored(), kDefaultValues);
    }

    // Categories keep the order the table returns them in; numbers compare as
    // numbers (blanks ignored), texts exactly; the last of several matches
    // stays selected. Faulty stored values open the dialog with what it can
    // show, without a message; saving then keeps the stored value of a key
    // whose list stayed empty (field by field for the serial line).
    void storedValuesAreMatchedAndUnmatchedOnesKept()
    {
        mFolder->execApplication(QStringLiteral(
            "DROP TABLE EVENT_CATEGORIES;"
            "CREATE TABLE EVENT_CATEGORIES (EVENT_CATEGORY_ID SMALLINT, EVENT_CATEGORY_NAME TEXT);"
            "INSERT INTO EVENT_CATEGORIES VALUES (5, 'Five'), (2, 'Two'), (9, 'Nine'), (2, 'Two again');"));
        store({{"EVENT_CATEGORY", " 2.0 "}, {"BEEP_AFTER_SAVES", "maybe"}, {"SHRINK_AFTER_SAVES", ""},
            {"SHOW_GPS_WINDOW", "perhaps"}, {"COM_PORT", "x"}, {"COM_SETTINGS", " 9600 ,x"},
            {"DATA_STORAGE_MODE", "local"}, {"SERVER_IP", "10.1"}});
        ScriptedMessages boxes; // none expected

        runModal([](frmConfig& dialog) {
            QCOMPARE(entries(dialog.cmbEventCategory), (QStringList {"Five/5", "Two/2", "Nine/9", "Two again/2"}));
            QCOMPARE(dialog.cmbEventCategory->currentIndex(), 3);
            QCOMPARE(controlTexts(dialog).mid(1),
                (QStringList {"60", "", "", "", "9600", "", "", "", "1", "", "10", "1", "", "", "Zepta/listener.asp"}));
            QVERIFY(dialog.txtOctet1->isEnabled()); // no storage mode selected counts as "not LOCAL"
            dialog.cmbCOMStopBits->setCurrentIndex(1);
            QTest::mouseClick(dialog.Button_Save, Qt::LeftButton);
        });
        // Speed and stop bits from the lists, parity kept from the store, data
        // bits (stored nowhere) by default.
        QCOMPARE(allStored(),
            (QStringList {
                "2", "60", "maybe", "", "False", "x", "9600,x,8,2", "1", "local", "10.1..", "Zepta/listener.asp"}));

        // Restore Defaults takes the first category of the table's order.
        runModal([](frmConfig& dialog) {
            dialog.Button_Defaults->click();
            QCOMPARE(dialog.cmbEventCategory->currentText(), QStringLiteral("Five"));
            dialog.Button_Save->click();
        });
        QCOMPARE(stored(QStringLiteral("EVENT_CATEGORY")), QStringLiteral("5"));
    }

    // Accepted and refused texts (the stored value, read again, is put
    // back), and a store failure inside the check.
    void intervalCheck()
    {
        QLineEdit* box = frmConfig::instance().txtTrackingInterval;
        ScriptedMessages boxes;
        store({{"TRACKING_INTERVAL", "30"}}); // after loading: the check reads it again
        for (const char* text : {"16", "64", " 20 ", "15.5", "64.5"}) {
            box->setText(QLatin1String(text));
            QCOMPARE(box->text(), QLatin1String(text));
        }
        for (const char* text : {"15", "65", "65.5", "-20", "abc", ""}) {
            boxes.expect(kOutOfRange);
            box->setText(QLatin1String(text));
            QVERIFY2(boxes.pending() == 0, text);
            QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
            QCOMPARE(
                boxes.last().text, QStringLiteral("The Tracking Interval must be greater than 15 and less than 65"));
            QCOMPARE(box->text(), QStringLiteral("30")); // the stored value, not the box's last one ("64.5")
            box->setText(QStringLiteral("64.5"));
        }
        QCOMPARE(stored(QStringLiteral("TRACKING_INTERVAL")), QStringLiteral("30"));

        // A store failure passes over the putting back.
        const QString database = mFolder->applicationDatabase();
        QVERIFY(QFile::rename(database, database + QStringLiteral(".away")));
        boxes.expect(kOutOfRange);
        box->setText(QStringLiteral("5"));
        QCOMPARE(box->text(), QStringLiteral("5"));
        QVERIFY(QFile::rename(database + QStringLiteral(".away"), database));
        QVERIFY(boxes.allShown());
    }

    // A stored value out of range is reported once, at loading; the spin
    // control counts from it, steps by five, stops at 16 and 64, and never
    // brings a message itself.
    void storedOutOfRangeAndSpinSteps()
    {
        store({{"TRACKING_INTERVAL", "100"}});
        ScriptedMessages boxes;
        boxes.expect(kOutOfRange);
        frmConfig& dialog = frmConfig::instance();
        QLineEdit* box = dialog.txtTrackingInterval;
        QCOMPARE(boxes.shown().size(), 1);
        QCOMPARE(box->text(), QStringLiteral("100"));
        // A typed value out of range brings one message; putting back the
        // stored one, itself out of range, brings none.
        boxes.expect(kOutOfRange);
        box->setText(QStringLiteral("7"));
        QCOMPARE(boxes.shown().size(), 2);
        QCOMPARE(box->text(), QStringLiteral("100"));

        const QList<std::tuple<const char*, bool, const char*>> steps = {{nullptr, false, "64"}, {nullptr, true, "64"},
            {"19", false, "16"}, {" 20.5 ", true, "25"}}; // start text (none: as left), up, result
        for (const auto& [start, up, result] : steps) {
            if (start)
                box->setText(QLatin1String(start));
            QTest::mouseClick(up ? dialog.UpDown1->upButton : dialog.UpDown1->downButton, Qt::LeftButton);
            QCOMPARE(box->text(), QLatin1String(result));
        }
    }

    // The five boxes and three captions follow the storage mode; disabled
    // boxes keep their texts and saving writes them. An address box takes at
    // most three typed characters, but a longer stored field is kept whole.
    void storageModeSwitchesTheRemoteServerControls()
    {
        store({{"SERVER_IP", "1000.20.1.30.99"}});
        frmConfig& dialog = frmConfig::instance();
        const QList<QLineEdit*> boxes
            = {dialog.txtOctet1, dialog.txtOctet2, dialog.txtOctet3, dialog.txtOctet4, dialog.txtListenerName};
        const QList<QWidget*> captions = {dialog.frame_RemoteHost, dialog.lblIP, dialog.lblListenerName};
        QVERIFY(greyText() != windowText());
        for (int mode : {0, 1, 0, 2, 0, -1}) {
            dialog.combo_Storage_Mode->setCurrentIndex(mode); // the shipped mode, LOCAL, first
            for (QLineEdit* box : boxes)
                QCOMPARE(box->isEnabled(), mode != 0);
            for (QWidget* caption : captions)
                QCOMPARE(captionColour(caption), mode == 0 ? greyText() : windowText());
        }

        // Pages turn from a combo box too, which would take Ctrl+Tab as a letter to search for.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        for (const auto& [key, modifiers, page] :
            {std::tuple {Qt::Key_Tab, Qt::KeyboardModifiers(Qt::ControlModifier), 0},
                {Qt::Key_PageDown, Qt::ControlModifier, 0},
                {Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, 1},
                {Qt::Key_PageUp, Qt::ControlModifier, 1}}) {
            dialog.OptionsTab->setCurrentIndex(2);
            dialog.combo_Storage_Mode->setFocus();
            QVERIFY(dialog.combo_Storage_Mode->hasFocus());
            QTest::keyClick(dialog.combo_Storage_Mode, key, modifiers);
            QCOMPARE(dialog.OptionsTab->currentIndex(), page);
        }
        dialog.hide();

        QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("1000"));
        dialog.txtOctet2->end(false);
        QTest::keyClicks(dialog.txtOctet2, QStringLiteral("56"));
        QCOMPARE(dialog.txtOctet2->text(), QStringLiteral("205"));
        dialog.txtListenerName->setText(QStringLiteral("kept/listener"));
        dialog.combo_Storage_Mode->setCurrentIndex(0);
        runModal([](frmConfig& d) { d.Button_Save->click(); });
        QCOMPARE(allStored().mid(8), (QStringList {"LOCAL", "1000.205.1.30", "kept/listener"}));
    }

    // A settings row that cannot be read is reported and its default shown;
    // a store that cannot be written keeps the dialog open with the edits.
    void unreadableOrReadOnlySettings()
    {
        mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = 'CLIENT_ID'"));
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Invalid Setting"));
        runModal([&](frmConfig& dialog) {
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("1"));
            QVERIFY(boxes.last().text.startsWith(QLatin1String("The setting CLIENT_ID cannot be read from ")));
            mFolder->execApplication(QStringLiteral("INSERT INTO CONFIGURATION VALUES ('CLIENT_ID', '1')"));
            if (!mFolder->makeReadOnly(mFolder->applicationDatabase()))
                return;
            dialog.txtClient_ID->setText(QStringLiteral("crew 9"));
            boxes.expect(QStringLiteral("Settings Not Saved"));
            dialog.Button_Save->click();
            QVERIFY(dialog.isVisible());
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("crew 9"));
            QVERIFY2(boxes.last().text.startsWith(
                         QStringLiteral("The settings could not be saved in %1:\r\nEVENT_CATEGORY: ")
                             .arg(mFolder->applicationDatabase())),
                qPrintable(boxes.last().text));
            mFolder->makeWritable(mFolder->applicationDatabase());
            dialog.Button_Save->click();
        });
        QVERIFY(boxes.allShown());
        QCOMPARE(stored(QStringLiteral("CLIENT_ID")), QStringLiteral("crew 9"));
    }

    // Restore Defaults then Cancel writes nothing; the next showing is the
    // same dialog, with the defaults and the page it was left on. The
    // title-bar close unloads without writing, and the next showing loads
    // afresh on the first page.
    void closingByCancelOrTitleBar()
    {
        store({{"TRACKING_INTERVAL", "30"}, {"CLIENT_ID", "crew 3"}});
        logWrites();
        QPointer<frmConfig> first = &frmConfig::instance();
        runModal([](frmConfig& dialog) {
            dialog.Button_Defaults->click();
            QVERIFY(dialog.option_Show_GPS_No->isChecked()); // "No" selected before stays selected
            dialog.OptionsTab->setCurrentIndex(1);
            QTest::mouseClick(dialog.Button_Cancel, Qt::LeftButton);
            QVERIFY(!dialog.isVisible());
        });
        QVERIFY(writes().isEmpty());
        QCOMPARE(&frmConfig::instance(), first.data());

        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (99, 'New');"));
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 1);
            QCOMPARE(controlTexts(dialog), kDefaultTexts);
            QCOMPARE(dialog.cmbEventCategory->count(), 4); // not read again
            QVERIFY(dialog.close());
        });
        QVERIFY(!frmConfig::isLoaded());
        QVERIFY(writes().isEmpty());
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 0);
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("crew 3"));
            QCOMPARE(dialog.cmbEventCategory->count(), 5);
        });
    }

    // Even on Cancel the main window reads the settings again: menus,
    // palette and receiver follow what is stored.
    void configureReappliesTheStoredSettingsEvenOnCancel()
    {
        frmZEPTA& window = frmZEPTA::instance();
        ScriptedReceiver* receiver = mFolder->component().receiver;
        QVERIFY(receiver);
        QVERIFY(window.menu_CopyData->isEnabled());
        const int startsBefore = receiver->calls.count(QStringLiteral("Start"));
        QVERIFY(window.label_Event_Category->text() != QStringLiteral("Wildlife Observation"));

        bool acted = false;
        QTimer::singleShot(0, [&] {
            // Stored behind the dialog's back: Cancel writes nothing itself.
            store({{"DATA_STORAGE_MODE", "XML"}, {"EVENT_CATEGORY", "12"}, {"COM_PORT", "5"}});
            acted = true;
            frmConfig::instance().Button_Cancel->click();
        });
        window.menu_Configure->trigger();
        QVERIFY(acted);
        QVERIFY(frmConfig::isLoaded());
        QVERIFY(!window.menu_CopyData->isEnabled());
        QCOMPARE(window.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QCOMPARE(receiver->calls.count(QStringLiteral("Start")), startsBefore + 1);
        QVERIFY(receiver->calls.contains(QStringLiteral("setPort 5")));
    }
};

QTEST_MAIN(TestConfig)
#include "test_config.moc"

// The configuration dialog and "Con&figure", on a real copy of the application database.

#include "core/Driver.h"
#include "gui/frmConfig.h"
#include "gui/frmZEPTA.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

namespace
{
const QString kOutOfRange = QStringLiteral("Out of Range");

QStringList settings(const char* text) { return QString::fromLatin1(text).split(QLatin1Char('|')); }

// The Restore Defaults table, as the dialog writes it, in order.
const QStringList kDefaultWrites
    = settings("EVENT_CATEGORY=30|TRACKING_INTERVAL=60|BEEP_AFTER_SAVES=True|SHRINK_AFTER_SAVES=True|"
               "SHOW_GPS_WINDOW=False|COM_PORT=1|COM_SETTINGS=4800,N,8,1|CLIENT_ID=1|DATA_STORAGE_MODE=LOCAL|"
               "SERVER_IP=127.0.0.1|LISTENER_NAME=Zepta/listener.asp|ACCURACY_LIMIT_M=0|AVERAGING_SECONDS=0|"
               "LISTENER_KEY=|LISTENER_CA_FILE=");

// What the controls show after Restore Defaults when "Yes" was selected.
const QStringList kDefaultTexts = {"Road Survey", "60", "Yes", "Yes", "COM1:", "4800", "N", "8", "1", "1", "LOCAL",
    "127", "0", "0", "1", "Zepta/listener.asp", "", ""};

QString ifChecked(const QAbstractButton* option) { return option->isChecked() ? option->text() : QString(); }

// The text every list, box and option shows ("" for none selected).
QStringList controlTexts(const frmConfig& d)
{
    return {d.cmbEventCategory->currentText(), d.txtTrackingInterval->text(), d.combo_Beep_After_Saves->currentText(),
        d.combo_Shrink_After_Saves->currentText(), d.cmbCOMPort->currentText(), d.cmbCOMSpeed->currentText(),
        d.cmbCOMParityBit->currentText(), d.cmbCOMDataBits->currentText(), d.cmbCOMStopBits->currentText(),
        d.txtClient_ID->text(), d.combo_Storage_Mode->currentText(), d.txtOctet1->text(), d.txtOctet2->text(),
        d.txtOctet3->text(), d.txtOctet4->text(), d.txtListenerName->text(), ifChecked(d.option_Show_GPS_No),
        ifChecked(d.option_Show_GPS_Yes)};
}
} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    void store(const char* values) // "KEY=value|KEY=value"
    {
        for (const QString& setting : settings(values))
            Driver::Set_Parameter_Value(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
        takeWrites(); // arranging is not writing
    }

    // The updates of CONFIGURATION rows ("KEY=value", in order) since the last call.
    QStringList takeWrites() const
    {
        auto c = db::Connection::openFile(mFolder->applicationDatabase());
        QString log
            = c.open(QStringLiteral("SELECT ifnull(group_concat(NAME,'|'),'') FROM WRITE_LOG")).field(0).toString();
        c.execute(QStringLiteral("DELETE FROM WRITE_LOG"));
        return log.split(QLatin1Char('|'), Qt::SkipEmptyParts);
    }

    // Shows the dialog modally and acts inside it; a failed check inside still
    // closes the dialog, so no test can block on it.
    void runModal(const std::function<void(frmConfig&)>& act)
    {
        QTimer::singleShot(0, [&] {
            QPointer<frmConfig> dialog = &frmConfig::instance();
            QVERIFY(dialog->isModal());
            act(*dialog);
            if (dialog && dialog->isVisible())
                dialog->reject();
        });
        frmConfig::instance().exec();
    }

private slots:
    void init()
    {
        mFolder.emplace();
        mFolder->execApplication(
            QStringLiteral("CREATE TABLE WRITE_LOG (SEQ INTEGER PRIMARY KEY, NAME TEXT);"
                           "CREATE TRIGGER LOG_WRITES AFTER UPDATE ON CONFIGURATION BEGIN INSERT INTO WRITE_LOG "
                           "(NAME) VALUES (NEW.PARAMETER_NAME || '=' || NEW.PARAMETER_VALUE); END;"));
    }
    void cleanup()
    {
        frmConfig::unload();
        frmZEPTA::unload();
        mFolder.reset();
    }

    // Restore Defaults writes nothing and clears only "Yes"; Cancel hides and keeps the edits and
    // the page; the title-bar close unloads without writing; "&Save" writes the default table.
    void restoreDefaultsCancelCloseAndSave()
    {
        store(
            "EVENT_CATEGORY=21|TRACKING_INTERVAL=30|BEEP_AFTER_SAVES=FALSE|SHRINK_AFTER_SAVES=-1|SHOW_GPS_WINDOW=true|"
            "COM_PORT=3|COM_SETTINGS=19200,o, 7,2,extra|CLIENT_ID=crew 7|DATA_STORAGE_MODE=XML|SERVER_IP=10.0.0.5|"
            "LISTENER_NAME=srv/in.asp");
        const QStringList loaded = {"Utility Inspection", "30", "No", "Yes", "COM3:", "19200", "O", "7", "2", "crew 7",
            "XML", "10", "0", "0", "5", "srv/in.asp", "", "Yes"};
        ScriptedMessages boxes; // none expected
        runModal([&](frmConfig& dialog) {
            QCOMPARE(controlTexts(dialog), loaded);
            QTest::mouseClick(dialog.Button_Defaults, Qt::LeftButton);
            QCOMPARE(controlTexts(dialog), kDefaultTexts);
            QVERIFY(dialog.option_Show_GPS_No->group()->exclusive());
            QVERIFY(!dialog.txtOctet1->isEnabled()); // the storage mode is LOCAL again
            dialog.OptionsTab->setCurrentIndex(1);
            QTest::mouseClick(dialog.Button_Cancel, Qt::LeftButton);
            QVERIFY(!dialog.isVisible());
        });
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (99, 'New');"));
        runModal([&](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 1);
            QCOMPARE(controlTexts(dialog), kDefaultTexts);
            QCOMPARE(dialog.cmbEventCategory->count(), 4); // not read again
            QVERIFY(dialog.close());
        });
        QVERIFY(!frmConfig::isLoaded());
        QVERIFY(takeWrites().isEmpty());
        runModal([&](frmConfig& dialog) {
            QCOMPARE(dialog.OptionsTab->currentIndex(), 0);
            QCOMPARE(controlTexts(dialog), loaded);
            QCOMPARE(dialog.cmbEventCategory->count(), 5);
            dialog.option_Show_GPS_No->setChecked(true);
            dialog.Button_Defaults->click();
            QVERIFY(dialog.option_Show_GPS_No->isChecked());
            QTest::mouseClick(dialog.Button_Save, Qt::LeftButton);
        });
        QVERIFY(!frmConfig::isLoaded());
        QCOMPARE(takeWrites(), kDefaultWrites);
    }

    // The fix quality page: a stored value that cannot be used is named once and its default
    // shown; a typed one that cannot be used is refused before anything is written.
    void accuracyPage()
    {
        store("ACCURACY_LIMIT_M=abc|AVERAGING_SECONDS=1e9");
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Invalid Setting")).expect(QStringLiteral("Invalid Setting"));
        boxes.expect(QStringLiteral("Settings Not Saved")).expect(QStringLiteral("Settings Not Saved"));
        runModal([](frmConfig& dialog) {
            QCOMPARE(dialog.txtAccuracyLimit->text() + "|" + dialog.txtAveragingSeconds->text(), QStringLiteral("0|0"));
            for (const auto& [limit, seconds] : {std::pair {"-3", "5"}, {"7.5", "2.5"}}) {
                dialog.txtAccuracyLimit->setText(QLatin1String(limit));
                dialog.txtAveragingSeconds->setText(QLatin1String(seconds));
                dialog.Button_Save->click();
                QVERIFY(dialog.isVisible());
            }
            dialog.txtAveragingSeconds->setText(QStringLiteral(" 5 "));
            dialog.Button_Save->click();
        });
        QCOMPARE(takeWrites().mid(11, 2), settings("ACCURACY_LIMIT_M=7.5|AVERAGING_SECONDS=5"));
        QVERIFY(boxes.allShown());
    }

    // The crew key and CA file, below the remote server's frame: rows an older database lacks
    // open empty without a box; the key is masked unless "Show" is ticked; a key that cannot be
    // sent or a CA file that cannot be read is refused, the key never repeated in the message.
    void listenerKeyAndCaFile()
    {
        mFolder->execApplication(
            QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME IN ('LISTENER_KEY', 'LISTENER_CA_FILE')"));
        store("DATA_STORAGE_MODE=XML");
        QTemporaryDir dir;
        const QString ca = dir.filePath(QStringLiteral("ca.pem"));
        QFile file(ca);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QString key = QStringLiteral("q3Zr-8_Ks0Tn");
        ScriptedMessages boxes;
        runModal([&](frmConfig& dialog) {
            QCOMPARE(dialog.txtListenerKey->text() + "|" + dialog.txtListenerCaFile->text(), QStringLiteral("|"));
            QVERIFY(dialog.txtListenerKey->isEnabled());
            QVERIFY(dialog.txtListenerKey->geometry().top() >= dialog.frame_RemoteHost->geometry().bottom());
            QCOMPARE(dialog.txtListenerKey->echoMode(), QLineEdit::Password);
            dialog.chkShowKey->click();
            QCOMPARE(dialog.txtListenerKey->echoMode(), QLineEdit::Normal);
            dialog.chkShowKey->click();
            QCOMPARE(dialog.txtListenerKey->echoMode(), QLineEdit::Password);
            for (const auto& [typed, caFile, refused] : {std::tuple {key + " x", ca, "LISTENER_KEY"},
                     {key + "\nHost: x", ca, "LISTENER_KEY"}, {key, ca + "-gone", "LISTENER_CA_FILE"}}) {
                boxes.expect(QStringLiteral("Settings Not Saved"));
                dialog.txtListenerKey->setText(typed);
                dialog.txtListenerCaFile->setText(caFile);
                dialog.Button_Save->click();
                QVERIFY(dialog.isVisible());
                QVERIFY2(boxes.last().text.contains(QLatin1String(refused)), qPrintable(boxes.last().text));
                QVERIFY(!boxes.last().text.contains(key));
            }
            dialog.txtListenerCaFile->setText(ca);
            dialog.Button_Save->click();
        });
        QVERIFY(takeWrites().size() >= 11); // everything else, in the same save
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("LISTENER_KEY")), key);
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("LISTENER_CA_FILE")), ca);
        QVERIFY(boxes.allShown());
    }

    // Lists match item data as numbers (the last match wins), texts exactly; saving keeps the
    // stored value of a list left empty, field by field for the serial line.
    void storedValuesAreMatchedAndUnmatchedOnesKept()
    {
        mFolder->execApplication(QStringLiteral(
            "DROP TABLE EVENT_CATEGORIES;"
            "CREATE TABLE EVENT_CATEGORIES (EVENT_CATEGORY_ID SMALLINT, EVENT_CATEGORY_NAME TEXT);"
            "INSERT INTO EVENT_CATEGORIES VALUES (5, 'Five'), (2, 'Two'), (9, 'Nine'), (2, 'Two again');"));
        store("EVENT_CATEGORY= 2.0 |BEEP_AFTER_SAVES=maybe|SHRINK_AFTER_SAVES=|SHOW_GPS_WINDOW=perhaps|COM_PORT=x|"
              "COM_SETTINGS= 9600 ,x|DATA_STORAGE_MODE=local|SERVER_IP=10.1");
        ScriptedMessages boxes; // none expected
        runModal([](frmConfig& dialog) {
            QCOMPARE(controlTexts(dialog),
                (QStringList {"Two again", "60", "", "", "", "9600", "", "", "", "1", "", "10.1", "", "", "",
                    "Zepta/listener.asp", "", ""}));
            QVERIFY(dialog.txtOctet1->isEnabled()); // no storage mode selected counts as "not LOCAL"
            dialog.cmbCOMStopBits->setCurrentIndex(1);
            QTest::mouseClick(dialog.Button_Save, Qt::LeftButton);
        });
        // Data bits, stored nowhere, by default.
        QCOMPARE(takeWrites(),
            settings("EVENT_CATEGORY=2|TRACKING_INTERVAL=60|BEEP_AFTER_SAVES=maybe|SHRINK_AFTER_SAVES=|"
                     "SHOW_GPS_WINDOW=False|COM_PORT=x|COM_SETTINGS=9600,x,8,2|CLIENT_ID=1|DATA_STORAGE_MODE=local|"
                     "SERVER_IP=10.1|LISTENER_NAME=Zepta/listener.asp|ACCURACY_LIMIT_M=0|AVERAGING_SECONDS=0|"
                     "LISTENER_KEY=|LISTENER_CA_FILE="));
        runModal([](frmConfig& dialog) { // Restore Defaults takes the table's first category
            dialog.Button_Defaults->click();
            dialog.Button_Save->click();
        });
        QCOMPARE(takeWrites().value(0), QStringLiteral("EVENT_CATEGORY=5"));
    }

    // The tracking interval: a stored value out of range is reported once, at
    // loading, and a typed one too; a refused text puts back the stored value,
    // read again. The spin control steps by five between 16 and 64, silently.
    void intervalCheck()
    {
        store("TRACKING_INTERVAL=100");
        ScriptedMessages boxes;
        boxes.expect(kOutOfRange);
        frmConfig& dialog = frmConfig::instance();
        QLineEdit* box = dialog.txtTrackingInterval;
        boxes.expect(kOutOfRange);
        box->setText(QStringLiteral("7")); // putting back 100 brings no second message
        QCOMPARE(box->text(), QStringLiteral("100"));
        for (const auto& [start, up, result] : // start text ("": as left), up, result
            {std::tuple {"", false, "64"}, {"", true, "64"}, {"19", false, "16"}, {" 20.5 ", true, "25"}}) {
            if (*start)
                box->setText(QLatin1String(start));
            QTest::mouseClick(up ? dialog.UpDown1->upButton : dialog.UpDown1->downButton, Qt::LeftButton);
            QCOMPARE(box->text(), QLatin1String(result));
        }

        store("TRACKING_INTERVAL=30");
        for (const char* text : {"16", "64", " 20 ", "15.5", "64.5"}) {
            box->setText(QLatin1String(text));
            QCOMPARE(box->text(), QLatin1String(text));
        }
        for (const char* text : {"15", "65", "65.5", "-20", "abc", ""}) {
            boxes.expect(kOutOfRange);
            box->setText(QLatin1String(text));
            QVERIFY2(boxes.allShown(), text);
            QCOMPARE(box->text(), QStringLiteral("30")); // the stored value, not the box's last one
            box->setText(QStringLiteral("64.5"));
        }
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text, QStringLiteral("The Tracking Interval must be greater than 15 and less than 65"));
        QVERIFY(takeWrites().isEmpty());

        // A store failure passes over the putting back.
        const QString database = mFolder->applicationDatabase();
        QVERIFY(QFile::rename(database, database + QStringLiteral(".away")));
        boxes.expect(kOutOfRange);
        box->setText(QStringLiteral("5"));
        QCOMPARE(box->text(), QStringLiteral("5"));
        QVERIFY(QFile::rename(database + QStringLiteral(".away"), database));
    }

    // The remote-server controls follow the storage mode; disabled boxes keep their texts, which
    // are saved. An address that is not four numbers stands whole in the first box and is saved as it is.
    void storageModeSwitchesTheRemoteServerControls()
    {
        store("SERVER_IP=1000.20.1.30.99");
        frmConfig& dialog = frmConfig::instance();
        const QColor grey = QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
        const QColor black = QApplication::palette().color(QPalette::Active, QPalette::WindowText);
        QVERIFY(grey != black);
        for (int mode : {0, 1, 0, 2, 0, -1}) { // LOCAL first
            dialog.combo_Storage_Mode->setCurrentIndex(mode);
            for (QLineEdit* box :
                {dialog.txtOctet1, dialog.txtOctet2, dialog.txtOctet3, dialog.txtOctet4, dialog.txtListenerName})
                QCOMPARE(box->isEnabled(), mode != 0);
            for (QWidget* caption : QList<QWidget*> {dialog.frame_RemoteHost, dialog.lblIP, dialog.lblListenerName})
                QCOMPARE(caption->palette().color(QPalette::WindowText), mode == 0 ? grey : black);
        }

        // Pages turn from a combo box too, which would take Ctrl+Tab as a letter to search for.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        for (const auto& [keys, page] :
            {std::pair {QKeyCombination(Qt::CTRL | Qt::Key_Tab), 3}, {Qt::CTRL | Qt::Key_PageDown, 3},
                {Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab, 1}, {Qt::CTRL | Qt::Key_PageUp, 1}}) {
            dialog.OptionsTab->setCurrentIndex(2);
            dialog.combo_Storage_Mode->setFocus();
            QVERIFY(dialog.combo_Storage_Mode->hasFocus());
            QTest::keyClick(dialog.combo_Storage_Mode, keys.key(), keys.keyboardModifiers());
            QCOMPARE(dialog.OptionsTab->currentIndex(), page);
        }
        dialog.hide();

        QCOMPARE(dialog.txtOctet1->text(), QStringLiteral("1000.20.1.30.99")); // not four numbers: whole
        dialog.txtListenerName->setText(QStringLiteral("kept/listener"));
        dialog.combo_Storage_Mode->setCurrentIndex(0);
        runModal([](frmConfig& d) { d.Button_Save->click(); });
        QCOMPARE(takeWrites().mid(8, 3),
            settings("DATA_STORAGE_MODE=LOCAL|SERVER_IP=1000.20.1.30.99|LISTENER_NAME=kept/listener"));
    }

    // The address boxes hold what SERVER_IP can hold, typed: a ":port" in the last box, a host
    // name or an https:// address in the first; what they cannot hold is refused, never stored
    // as another value.
    void addressBoxesHoldServerAddresses()
    {
        const QList<std::pair<QStringList, QString>> rows = {{{"127", "0", "0", "1:57080"}, "127.0.0.1:57080"},
            {{"https://office.example.org:8443", "", "", ""}, "https://office.example.org:8443"},
            {{"listener-2", "", "", ""}, "listener-2"}, {{"10", "0", "0", "300"}, ""},
            {{"10", "0", "0", "1:99999"}, ""}, {{"10", "", "0", "1"}, ""}, {{"http://x", "", "", ""}, ""},
            {{"a b", "", "", ""}, ""}};
        for (const auto& [typed, saved] : rows) {
            ScriptedMessages boxes;
            if (saved.isEmpty())
                boxes.expect(QStringLiteral("Settings Not Saved"));
            runModal([&](frmConfig& dialog) {
                dialog.combo_Storage_Mode->setCurrentIndex(1);
                QLineEdit* address[] = {dialog.txtOctet1, dialog.txtOctet2, dialog.txtOctet3, dialog.txtOctet4};
                for (int i = 0; i < 4; ++i) {
                    address[i]->clear();
                    QTest::keyClicks(address[i], typed.at(i));
                }
                dialog.Button_Save->click();
                QCOMPARE(dialog.isVisible(), saved.isEmpty());
            });
            QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("SERVER_IP")),
                saved.isEmpty() ? QStringLiteral("127.0.0.1") : saved);
            if (!saved.isEmpty())
                Driver::Set_Parameter_Value(QStringLiteral("SERVER_IP"), QStringLiteral("127.0.0.1"));
            frmConfig::unload();
        }
    }

    // A missing settings row is reported and its default shown; a store that cannot be written
    // keeps the dialog open with the edits and says why in words; Save makes the missing row.
    void missingRowOrReadOnlySettings()
    {
        mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = 'CLIENT_ID'"));
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Invalid Setting"));
        runModal([&](frmConfig& dialog) {
            QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("1"));
            QVERIFY2(boxes.last().text.startsWith(QStringLiteral("The setting CLIENT_ID cannot be read from %1: no "
                                                                 "row holds it.\r\n")
                                                      .arg(mFolder->applicationDatabase())),
                qPrintable(boxes.last().text));
            dialog.Button_Defaults->click();
            dialog.txtClient_ID->setText(QStringLiteral("crew 9"));
            if (mFolder->makeReadOnly(mFolder->applicationDatabase())) {
                boxes.expect(QStringLiteral("Settings Not Saved"));
                dialog.Button_Save->click();
                QVERIFY(dialog.isVisible());
                QCOMPARE(dialog.txtClient_ID->text(), QStringLiteral("crew 9"));
                QCOMPARE(boxes.last().text,
                    QStringLiteral("The settings could not be saved in %1:\r\nEVENT_CATEGORY: the file or its folder "
                                   "is read-only\r\nYour changes are still in the dialog.")
                        .arg(mFolder->applicationDatabase()));
                mFolder->makeWritable(mFolder->applicationDatabase());
            }
            dialog.Button_Save->click();
        });
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QStringLiteral("crew 9"));
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("EVENT_CATEGORY")), QStringLiteral("30"));
    }

    // Even on Cancel the main window reads the settings again: menus,
    // palette and receiver follow what is stored.
    void configureReappliesTheStoredSettingsEvenOnCancel()
    {
        frmZEPTA& window = frmZEPTA::instance();
        ScriptedReceiver* receiver = mFolder->component().receiver;
        receiver->calls.clear();
        QTimer::singleShot(0, [&] {
            // Stored behind the dialog's back: Cancel writes nothing itself.
            store("DATA_STORAGE_MODE=XML|EVENT_CATEGORY=12|COM_PORT=5");
            frmConfig::instance().Button_Cancel->click();
        });
        window.menu_Configure->trigger();
        QVERIFY(!window.menu_CopyData->isEnabled());
        QCOMPARE(window.label_Event_Category->text(), QStringLiteral("Wildlife Observation"));
        QCOMPARE(receiver->calls, (QStringList {"HideMonitor", "setPort 5", "setSettings 4800,N,8,1", "Start"}));
    }
};

QTEST_MAIN(TestConfig)
#include "test_config.moc"

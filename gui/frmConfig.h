#pragma once

#include "platform/SharedWindow.h"
#include "platform/UpDown.h"

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

// The configuration dialog: views, checks, defaults and saves the eleven
// configuration parameters, and on a page of their own the two of fix quality. Shown modally by the main window's
// "Con&figure".
// "&Save" writes and unloads; "Cancel" only hides (edits and the open page are
// kept for the next showing); the title-bar close unloads without writing.
class frmConfig : public QDialog, public SharedWindow<frmConfig>
{
    Q_OBJECT
public:
    frmConfig();
    ~frmConfig() override;

    // Shows the dialog modally; when it was closed by "&Save" or the title-bar
    // close, unloads it once the modal loop has returned (never from inside it).
    int exec() override;

    void Form_Load();
    void Load_Event_Categories();
    void Update_UI_per_Options();
    void Load_COM_Settings(const QString& settings);
    void Load_IP_Address(const QString& address);
    void Update_UI_for_Storage_Mode();
    void txtTrackingInterval_Change();
    void Button_Defaults_Click();
    void Save_Options();
    void Button_Save_Click();
    void Button_Cancel_Click();

    QTabWidget* OptionsTab = nullptr;
    QPushButton* Button_Save = nullptr;
    QPushButton* Button_Cancel = nullptr;
    QPushButton* Button_Defaults = nullptr;

    // Page "User Interface"
    QGroupBox* fraArea = nullptr;
    QComboBox* cmbEventCategory = nullptr;
    QGroupBox* fraEventSave = nullptr;
    QLineEdit* txtTrackingInterval = nullptr;
    UpDown* UpDown1 = nullptr;
    QComboBox* combo_Beep_After_Saves = nullptr;
    QComboBox* combo_Shrink_After_Saves = nullptr;
    QGroupBox* frame_GPS = nullptr;
    QRadioButton* option_Show_GPS_No = nullptr;
    QRadioButton* option_Show_GPS_Yes = nullptr;
    QButtonGroup* mShowGpsGroup = nullptr;

    // Page "GPS"
    QGroupBox* fraGPSPort = nullptr;
    QComboBox* cmbCOMPort = nullptr;
    QComboBox* cmbCOMSpeed = nullptr;
    QComboBox* cmbCOMParityBit = nullptr;
    QComboBox* cmbCOMDataBits = nullptr;
    QComboBox* cmbCOMStopBits = nullptr;

    // Page "Data Storage"
    QComboBox* combo_Storage_Mode = nullptr;
    QLineEdit* txtClient_ID = nullptr;
    QGroupBox* frame_RemoteHost = nullptr;
    QLabel* lblIP = nullptr;
    QLineEdit* txtOctet1 = nullptr;
    QLineEdit* txtOctet2 = nullptr;
    QLineEdit* txtOctet3 = nullptr;
    QLineEdit* txtOctet4 = nullptr;
    QLabel* lblListenerName = nullptr;
    QLineEdit* txtListenerName = nullptr;

    // Page "Accuracy" (frmConfig_Accuracy.cpp)
    QLineEdit* txtAccuracyLimit = nullptr;
    QLineEdit* txtAveragingSeconds = nullptr;
    void Load_Accuracy_Options();
    void Default_Accuracy_Options();
    void Check_Accuracy_Options() const; // throws ZeptaError naming the key
    void Save_Accuracy_Options();

    // Below the remote server's frame (frmConfig_Listener.cpp)
    QLabel* lblListenerKey = nullptr;
    QLineEdit* txtListenerKey = nullptr;
    QCheckBox* chkShowKey = nullptr;
    QLabel* lblListenerCaFile = nullptr;
    QLineEdit* txtListenerCaFile = nullptr;
    void Load_Listener_Options();
    void Default_Listener_Options();
    void Check_Listener_Options() const; // throws ZeptaError naming the key
    void Save_Listener_Options();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildUserInterfacePage(QWidget* page);
    void buildGpsPage(QWidget* page);
    void buildDataStoragePage(QWidget* page);
    void buildAccuracyPage(QWidget* page);
    void buildListenerRows(QWidget* page);
    void Update_Listener_Controls(bool local, const QColor& colour);
    void setTabOrderByReading();
    // Captions follow the storage mode in the system's grey-text or
    // window-text colour; only the caption's own palette changes.
    static void setCaptionColour(QWidget* caption, const QColor& colour);
    void Unload_Form();

    bool mInExec = false;
    bool mUnloadRequested = false;
    bool mPuttingBackInterval = false;
};

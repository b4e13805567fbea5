#pragma once

#include "core/Driver.h"
#include "gps/Receiver.h"
#include "platform/SharedWindow.h"

#include <QMainWindow>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class EventIcon;

// The main window: GPS display, event palette, notes, capture buttons and the
// menu commands. Its parts live in several files:
//   frmZEPTA.cpp          layout, menus, Form_Load, Update_Form_per_Options, Form_Unload
//   frmZEPTA_Gps.cpp      Update_GPS_per_Options and the receiver's events
//   frmZEPTA_Palette.cpp  Load_Current_Event_Category and the icon choice
//   frmZEPTA_Capture.cpp  Capture_Current_Event, saving and tracking
//   frmZEPTA_Commands.cpp the menu commands
//   frmZEPTA_Outbox.cpp   the View menu: the map and the outbox of the XML storage mode
class frmZEPTA : public QMainWindow, public SharedWindow<frmZEPTA>
{
    Q_OBJECT
public:
    frmZEPTA();
    ~frmZEPTA() override;

    // ---- window (frmZEPTA.cpp)
    void Form_Load();
    void Form_Unload();
    void Update_Form_per_Options();

    // ---- GPS display (frmZEPTA_Gps.cpp)
    void Update_GPS_per_Options();
    void Display_GPS_Reading(const gps::Reading& Position);
    void Display_Poor_Signal();
    void Display_No_GPS_Data();
    void mGPS_NewReading(const gps::Reading& Position);
    void mGPS_Unlocked();
    void mGPS_NoData();

    // ---- palette (frmZEPTA_Palette.cpp)
    void Load_Current_Event_Category();
    void Reset_Event_Selection();
    void Unhighlight_Event_Icons();
    void Event_Icon_GotFocus(std::int16_t index);

    // ---- capture and tracking (frmZEPTA_Capture.cpp)
    // Whether an event was handed to Save_Event; `stored` tells whether it was
    // stored (or sent).
    bool Capture_Current_Event(bool* stored = nullptr);
    void btnSave_Click();
    void btnAuto_Click();
    void btnStopAuto_Click();
    void TrackingTimer_Timer();
    // Fix quality (frmZEPTA_Capture.cpp, frmZEPTA_Quality.cpp).
    void Count_Skipped_Tick();
    void Show_Skipped_Ticks();
    bool Save_Poor_Fix(const gps::Reading& reading, double limit); // asks; true: save anyway
    std::optional<gps::Reading> Average_Readings(int seconds, double limit);
    void Display_Fix_Quality();
    void Display_No_Fix_Quality(const QString& text);

    // ---- menu commands (frmZEPTA_Commands.cpp)
    void menu_Configure_Click();
    void menu_CopyData_Click();
    void menu_DeleteData_Click();
    void menu_Exit_Click();
    void menu_Contents_Click();
    void menu_About_Click();

    // ---- the map of the saved events (frmZEPTA_Outbox.cpp)
    void menu_Map_Click();

    // ---- the outbox of the XML storage mode (frmZEPTA_Outbox.cpp)
    void menu_Outbox_Click();
    // Follows the sender the program runs: its address from the settings,
    // the count in the menu, a box when posting starts to fail.
    void Update_Outbox_per_Options();
    void Show_Outbox_Count();
    void Outbox_Outage(const QString& url, const QString& answer, bool attention);
    void Outbox_Stalled(const QString& reason);

    // ---- state
    std::unique_ptr<gps::Receiver> mGPS;
    Driver::SlotTypes mEventTypeIDs {}; // all 0 when the window is created
    std::int16_t mSelectedSlot = -1;
    std::optional<std::int64_t> mTrackId; // of the tracking run under way
    int mSkippedTicks = 0; // of this run: no valid fix, or worse than the limit
    bool mOutageTold = false; // "GPS Reading Required" shown in this outage of a run
    double mAccuracyLimit = 0; // for the indicator's colour; read with the other options
    bool mShowingFix = false; // the indicator shows a fix (its age is kept up to date)
    QTimer mQualityTimer;
    // Which slots the last palette load filled from the catalogue. A slot the
    // current category leaves empty (fallback icon, empty caption) keeps an
    // older value in mEventTypeIDs; slotHasEventType(slot) is false for it, and
    // the capture treats choosing it as no choice, so no event is recorded with
    // a type the user never saw.
    std::array<bool, 8> mSlotFilled {};
    bool slotHasEventType(int slot) const { return slot >= 0 && slot < 8 && mSlotFilled[slot]; }

    // ---- controls
    QLabel* Title = nullptr;
    QGroupBox* Position = nullptr;
    QLabel* lblLat = nullptr;
    QLabel* txtLatitude = nullptr;
    QLabel* lblLon = nullptr;
    QLabel* txtLongitude = nullptr;
    QLabel* lblGMT = nullptr;
    QLabel* txtGMT = nullptr;
    QLabel* lblHeading = nullptr;
    QLabel* txtHeading = nullptr;
    QLabel* label_Event_Category = nullptr;
    QLabel* lblEventType = nullptr;
    std::array<EventIcon*, 8> Event_Icon {};
    std::array<QLabel*, 8> Event_Label {};
    QLabel* lblNotes = nullptr;
    QPlainTextEdit* Notes = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnAuto = nullptr;
    QPushButton* btnStopAuto = nullptr;
    QLabel* txtFixKind = nullptr; // fix kind and satellites, right in the GPS frame
    QLabel* txtAccuracy = nullptr; // "±N m", coloured against the accuracy limit
    QLabel* txtSkippedTicks = nullptr; // beside Stop Track while a run skips ticks
    QTimer TrackingTimer;

    QMenu* menu_File = nullptr;
    QAction* menu_Configure = nullptr;
    QAction* menu_CopyData = nullptr;
    QAction* menu_DeleteData = nullptr;
    QAction* menu_Exit = nullptr;
    QMenu* menu_Help = nullptr;
    QAction* menu_Contents = nullptr;
    QAction* menu_About = nullptr;
    QMenu* menu_View = nullptr; // between File and Help
    QAction* menu_Map = nullptr;
    QAction* menu_Outbox = nullptr;

    // The file name and type the save dialog offers next ("&Save Data").
    QString mLastExportPath;
    Driver::ExportFormat mLastExportFormat = Driver::ExportFormat::Text;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void followOutboxSender();
    QObject* mFollowedSender = nullptr;
    void buildLayout();
    void buildMenus();
    void connectReceiver();
    void buildQualityIndicator();
};

// "±4.7 m": whole metres from 10 m, one decimal from 1 m, two below.
QString accuracyText(double metres);

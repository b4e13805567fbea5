// Handlers whose work is still to be written. Each block moves to its own file.
#include "capture/frmZEPTA.h"

#include <QLabel>

void frmZEPTA::Update_GPS_per_Options() { }
void frmZEPTA::Display_GPS_Reading(const gps::Reading&) { }
void frmZEPTA::Display_Poor_Signal() { }
void frmZEPTA::Display_No_GPS_Data()
{
    for (QLabel* label : {txtLatitude, txtLongitude, txtGMT, txtHeading})
        label->setText(QStringLiteral("No GPS Data"));
}
void frmZEPTA::mGPS_NewReading(const gps::Reading&) { }
void frmZEPTA::mGPS_Unlocked() { }
void frmZEPTA::mGPS_NoData() { }

void frmZEPTA::Load_Current_Event_Category() { }
void frmZEPTA::Reset_Event_Selection() { }
void frmZEPTA::Unhighlight_Event_Icons() { }
void frmZEPTA::Event_Icon_GotFocus(std::int16_t) { }

bool frmZEPTA::Capture_Current_Event() { return false; }
void frmZEPTA::btnSave_Click() { }
void frmZEPTA::btnAuto_Click() { }
void frmZEPTA::btnStopAuto_Click() { }
void frmZEPTA::TrackingTimer_Timer() { }

void frmZEPTA::menu_Configure_Click() { }
void frmZEPTA::menu_CopyData_Click() { }
void frmZEPTA::menu_DeleteData_Click() { }
void frmZEPTA::menu_Exit_Click() { close(); }
void frmZEPTA::menu_Contents_Click() { }
void frmZEPTA::menu_About_Click() { }

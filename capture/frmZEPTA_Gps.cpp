#include "capture/frmZEPTA.h"

#include <QLabel>

// Not written yet.
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

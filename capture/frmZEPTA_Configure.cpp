#include "capture/frmZEPTA.h"

#include "config/frmConfig.h"

// The dialog reports nothing back: however it was closed, the window reads
// the stored settings again, which is how the menus, the palette and the
// receiver follow what was saved.
void frmZEPTA::menu_Configure_Click()
{
    frmConfig::instance().exec();
    // The dialog has no owner window, so nothing hands the keyboard back to
    // this one when it closes: take it back, or the shortcuts stop working.
    activateWindow();
    Update_Form_per_Options();
    Update_GPS_per_Options();
}

#include "capture/frmZEPTA.h"

// Not written yet.
bool frmZEPTA::Capture_Current_Event() { return false; }
void frmZEPTA::btnSave_Click() { }
void frmZEPTA::btnAuto_Click() { }
void frmZEPTA::btnStopAuto_Click() { }
void frmZEPTA::TrackingTimer_Timer() { }

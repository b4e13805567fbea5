#include "capture/frmZEPTA.h"

// Not written yet.
void frmZEPTA::Load_Current_Event_Category() { }
void frmZEPTA::Reset_Event_Selection() { }
void frmZEPTA::Unhighlight_Event_Icons() { }
void frmZEPTA::Event_Icon_GotFocus(std::int16_t) { }

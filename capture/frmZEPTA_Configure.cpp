#include "capture/frmZEPTA.h"

// Not written yet.
void frmZEPTA::menu_Configure_Click() { }

#include "capture/frmZEPTA.h"

// Not written yet.
void frmZEPTA::menu_CopyData_Click() { }
void frmZEPTA::menu_DeleteData_Click() { }
void frmZEPTA::menu_Exit_Click() { close(); }
void frmZEPTA::menu_Contents_Click() { }
void frmZEPTA::menu_About_Click() { }

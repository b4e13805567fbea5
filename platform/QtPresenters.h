#pragma once

// The real presenters of platform/UserInterface.h: a modal QMessageBox with
// the kind's icon and buttons, a modal QFileDialog in save mode, a help
// window of our own, QApplication::beep, a QProgressDialog. Under Qt's
// offscreen platform (tests, headless runs) nobody could answer a modal
// window, so boxes are written to the standard error stream and answered as
// when none is installed, and the save dialog counts as cancelled; the
// progress dialog never waits for anyone, so it works there as anywhere.

#include "platform/UserInterface.h"

Presenters qtPresenters();

MessageAnswer showQtMessageBox(const Message& message);
std::optional<SaveDialogChoice> showQtSaveDialog(const SaveDialogRequest& request);
// One shared, modeless window that shows the file from its top.
void showQtHelpViewer(const QString& helpFile);
// A modal QProgressDialog that shows itself once the task looks like taking
// longer than the request's showAfterMs, with "n of total" and Cancel. While
// it shows, each advance lets the program handle its events.
std::unique_ptr<Progress> showQtProgress(const ProgressRequest& request);

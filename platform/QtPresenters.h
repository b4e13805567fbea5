#pragma once

// The real presenters of platform/UserInterface.h: a modal QMessageBox with
// the kind's icon and buttons, a modal QFileDialog in save mode, a help
// window of our own, QApplication::beep. Under Qt's offscreen platform (tests,
// headless runs) nobody could answer a modal window, so boxes are written to
// the standard error stream and answered as when none is installed, and the
// save dialog counts as cancelled.

#include "platform/UserInterface.h"

Presenters qtPresenters();

MessageAnswer showQtMessageBox(const Message& message);
std::optional<QString> showQtSaveDialog(const SaveDialogRequest& request);
// One shared, modeless window that shows the file from its top.
void showQtHelpViewer(const QString& helpFile);

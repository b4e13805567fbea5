#pragma once

// The help viewer: the program's HTML help file in a window of its own, opened
// at its first page. Windows open help through Show_Help, which hands the
// file to the installed presenter: the Qt viewer in the program, a recording
// one in tests (so no test shows a window it does not expect).

#include <QString>

#include <functional>

// Opens the help file (full path) at its first page.
using HelpPresenter = std::function<void(const QString& helpFile)>;

void Show_Help(const QString& helpFile);

// Installs the presenter and returns the one it replaces. Without one, the Qt
// viewer is used.
HelpPresenter setHelpPresenter(HelpPresenter presenter);

// The Qt viewer: one shared, modeless window that shows the file from its top.
void showQtHelpViewer(const QString& helpFile);

#pragma once

// The common file-save dialog. Windows ask for a file name through
// Show_Save_Dialog, which hands the request to the installed presenter: the Qt
// dialog in the program, a scripted one in tests (so no test blocks on a
// modal dialog).

#include <QString>

#include <functional>
#include <optional>

struct SaveDialogRequest {
    QString title;
    QString defaultExtension; // with its period, e.g. ".txt"
    QString filter; // e.g. "*.*"
    QString fileName; // the name offered, with its folder
};

// The chosen file name, or nothing when the user cancelled. A presenter may
// throw when the dialog cannot be shown.
using SaveDialogPresenter = std::function<std::optional<QString>(const SaveDialogRequest&)>;

// Shows the dialog and returns the chosen file name, with the default
// extension appended when the name has none; nothing on cancel.
std::optional<QString> Show_Save_Dialog(const SaveDialogRequest& request);

// Installs the presenter and returns the one it replaces. Without one, the Qt
// dialog is shown.
SaveDialogPresenter setSaveDialogPresenter(SaveDialogPresenter presenter);

// The Qt dialog: a modal QFileDialog in save mode that asks before it
// replaces an existing file.
std::optional<QString> showQtSaveDialog(const SaveDialogRequest& request);

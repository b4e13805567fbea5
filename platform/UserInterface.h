#pragma once

// Everything the program does that waits for the user or makes a noise goes
// through here: message boxes, the file-save dialog, the help viewer and the
// system beep. Each is handed to an installed presenter: the Qt ones in the
// program (platform/QtPresenters.h), scripted ones in tests, so no test blocks
// on a modal window. Code below the windows reports through here and never
// touches widgets.

#include <QString>

#include <functional>
#include <optional>

// ---- message boxes: title "Zepta - " + subject, icon and buttons by kind

enum class MessageKind {
    Exclamation, // refusals and failures: exclamation icon, OK
    Plain, // completion reports: no icon, OK
    YesNo, // confirmations: no icon, Yes and No
};

enum class MessageAnswer { Ok, Yes, No };

struct Message {
    MessageKind kind;
    QString title;
    QString text;
};

using MessagePresenter = std::function<MessageAnswer(const Message&)>;

// Shows a box titled "Zepta - " + subject and returns the user's answer.
MessageAnswer Msg_Box(MessageKind kind, const QString& subject, const QString& text);

// ---- the common file-save dialog

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

// ---- help: the program's HTML help file opened at its first page

using HelpPresenter = std::function<void(const QString& helpFile)>;
void Show_Help(const QString& helpFile);

// ---- the system beep

using Beeper = std::function<void()>;
void Beep();

// ---- presenters

struct Presenters {
    MessagePresenter message;
    SaveDialogPresenter saveDialog;
    HelpPresenter help;
    Beeper beep;
};

// Installs all four and returns the ones replaced. Where none is installed a
// box is written to the standard error stream and answered Ok/No, the save
// dialog counts as cancelled, help and the beep do nothing.
Presenters installPresenters(Presenters presenters);

// Each alone, returning the one replaced.
MessagePresenter setMessagePresenter(MessagePresenter presenter);
SaveDialogPresenter setSaveDialogPresenter(SaveDialogPresenter presenter);
HelpPresenter setHelpPresenter(HelpPresenter presenter);
Beeper setBeeper(Beeper beeper);

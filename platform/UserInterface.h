#pragma once

// Everything the program does that waits for the user or makes a noise goes
// through here: message boxes, the file-save dialog, the help viewer, the
// system beep and the progress window of a long task. Each is handed to an installed presenter: the Qt ones in the
// program (platform/QtPresenters.h), scripted ones in tests, so no test blocks
// on a modal window. Code below the windows reports through here and never
// touches widgets.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

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
    // The file types offered, e.g. "GPX 1.1 (*.gpx)"; none lists every file.
    QStringList fileTypes;
    QString fileType; // the one selected at first
    QString fileName; // the name offered, with its folder
};

struct SaveDialogChoice {
    // A presenter that answers with a name alone leaves the file type as
    // it was offered.
    SaveDialogChoice(QString chosenName, QString chosenType = {})
        : fileName(std::move(chosenName))
        , fileType(std::move(chosenType))
    {
    }
    QString fileName;
    QString fileType;
};

// The user's choice, or nothing when the user cancelled. A presenter may
// throw when the dialog cannot be shown.
using SaveDialogPresenter = std::function<std::optional<SaveDialogChoice>(const SaveDialogRequest&)>;

// Shows the dialog and returns the chosen file name and type. A name without
// an extension gets the chosen type's first one ("GPX 1.1 (*.gpx)": ".gpx").
// Nothing on cancel.
std::optional<SaveDialogChoice> Show_Save_Dialog(const SaveDialogRequest& request);

// The extension a file type adds, without its period: "gpx" for
// "GPX 1.1 (*.gpx)"; empty for one without a "*.ext" pattern.
QString fileTypeExtension(const QString& fileType);

// ---- help: the program's HTML help file opened at its first page

using HelpPresenter = std::function<void(const QString& helpFile)>;
void Show_Help(const QString& helpFile);

// ---- the system beep

using Beeper = std::function<void()>;
void Beep();

// ---- the progress of a long task, with Cancel

struct ProgressRequest {
    QString subject; // the window's title is "Zepta - " + subject
    QString text;
    std::int64_t total = 0; // the steps of the whole task
    // A task that ends sooner shows no window at all.
    int showAfterMs = 500;
};

// The progress of one task, shown while this lives.
class Progress
{
public:
    virtual ~Progress() = default;
    // `done` of the total so far. False once the user has asked to cancel.
    virtual bool advance(std::int64_t done) = 0;
};

using ProgressPresenter = std::function<std::unique_ptr<Progress>(const ProgressRequest&)>;

// Never null: where no presenter is installed the task shows nothing and is
// never cancelled.
std::unique_ptr<Progress> Start_Progress(const ProgressRequest& request);

// ---- presenters

struct Presenters {
    MessagePresenter message;
    SaveDialogPresenter saveDialog;
    HelpPresenter help;
    Beeper beep;
    ProgressPresenter progress {}; // may be left out where none is wanted
};

// Installs all five and returns the ones replaced. Where none is installed a
// box is written to the standard error stream and answered Ok/No, the save
// dialog counts as cancelled, help, the beep and the progress do nothing.
Presenters installPresenters(Presenters presenters);

// Each alone, returning the one replaced.
MessagePresenter setMessagePresenter(MessagePresenter presenter);
SaveDialogPresenter setSaveDialogPresenter(SaveDialogPresenter presenter);
HelpPresenter setHelpPresenter(HelpPresenter presenter);
Beeper setBeeper(Beeper beeper);
ProgressPresenter setProgressPresenter(ProgressPresenter presenter);

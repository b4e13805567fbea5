#pragma once

// The program's message boxes. Every box goes through Msg_Box, which builds the
// title "Zepta - " + subject and hands the box to the installed presenter: the
// Qt one in the program, a scripted one in tests (so no test blocks on a modal
// box). Code below the windows reports through here and never touches widgets.

#include <QString>

#include <functional>

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

// Installs the presenter and returns the one it replaces. Without one, boxes
// are written to the standard error stream and answered Ok/No.
MessagePresenter setMessagePresenter(MessagePresenter presenter);

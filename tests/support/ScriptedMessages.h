#pragma once

#include "platform/UserInterface.h"

#include <QList>
#include <QString>

// Replaces the message boxes for one test. Each box the code shows must have
// been expected, in order, with the answer to give; an unexpected box fails
// the test at once, and an expected box never shown fails it when this goes
// (allShown() checks earlier). Every box shown is also recorded.
class ScriptedMessages
{
public:
    ScriptedMessages();
    ~ScriptedMessages();

    // Expects a box whose title is "Zepta - " + subject.
    ScriptedMessages& expect(const QString& subject, MessageAnswer answer = MessageAnswer::Ok);

    const QList<Message>& shown() const { return mShown; }
    const Message& last() const { return mShown.last(); }
    int pending() const { return static_cast<int>(mExpected.size()); }

    bool allShown() const; // every expected box shown by now

private:
    MessageAnswer present(const Message& message);

    struct Expected {
        QString title;
        MessageAnswer answer;
    };
    QList<Expected> mExpected;
    QList<Message> mShown;
    MessagePresenter mPrevious;
};

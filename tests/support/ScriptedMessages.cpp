#include "support/ScriptedMessages.h"

#include <QTest>

ScriptedMessages::ScriptedMessages()
{
    mPrevious = setMessagePresenter([this](const Message& message) { return present(message); });
}

ScriptedMessages::~ScriptedMessages()
{
    setMessagePresenter(std::move(mPrevious));
    if (!mExpected.isEmpty())
        QTest::qFail(qPrintable(QStringLiteral("%1 expected message box(es) never shown, first \"%2\"")
                                    .arg(mExpected.size())
                                    .arg(mExpected.first().title)),
            __FILE__, __LINE__);
}

ScriptedMessages& ScriptedMessages::expect(const QString& subject, MessageAnswer answer)
{
    mExpected.append({QStringLiteral("Zepta - ") + subject, answer});
    return *this;
}

bool ScriptedMessages::allShown() const
{
    if (!mExpected.isEmpty())
        qWarning("expected message box not shown: %s", qPrintable(mExpected.first().title));
    return mExpected.isEmpty();
}

MessageAnswer ScriptedMessages::present(const Message& message)
{
    mShown.append(message);
    const Expected expected = mExpected.isEmpty() ? Expected {QStringLiteral("no box"),
                                  message.kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok}
                                                  : mExpected.takeFirst();
    if (expected.title != message.title)
        QTest::qFail(qPrintable(QStringLiteral("message box \"%1\" shown where \"%2\" was expected: %3")
                                    .arg(message.title, expected.title, message.text)),
            __FILE__, __LINE__);
    return expected.answer;
}

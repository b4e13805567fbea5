#include "platform/Messages.h"

#include <cstdio>
#include <utility>

namespace
{
MessagePresenter& presenter()
{
    static MessagePresenter current;
    return current;
}
} // namespace

MessageAnswer Msg_Box(MessageKind kind, const QString& subject, const QString& text)
{
    const Message message {kind, QStringLiteral("Zepta - ") + subject, text};
    if (presenter())
        return presenter()(message);
    std::fprintf(stderr, "%s\n%s\n", qPrintable(message.title), qPrintable(message.text));
    return kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
}

MessagePresenter setMessagePresenter(MessagePresenter replacement)
{
    return std::exchange(presenter(), std::move(replacement));
}

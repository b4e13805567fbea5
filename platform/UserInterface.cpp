#include "platform/UserInterface.h"

#include <QFileInfo>

#include <cstdio>
#include <utility>

namespace
{
Presenters& installed()
{
    static Presenters current;
    return current;
}

QString withDefaultExtension(const QString& path, const QString& extension)
{
    if (path.isEmpty() || extension.isEmpty() || !QFileInfo(path).suffix().isEmpty())
        return path;
    return extension.startsWith(QLatin1Char('.')) ? path + extension : path + QLatin1Char('.') + extension;
}
} // namespace

MessageAnswer Msg_Box(MessageKind kind, const QString& subject, const QString& text)
{
    const Message message {kind, QStringLiteral("Zepta - ") + subject, text};
    if (installed().message)
        return installed().message(message);
    std::fprintf(stderr, "%s\n%s\n", qPrintable(message.title), qPrintable(message.text));
    return kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
}

std::optional<QString> Show_Save_Dialog(const SaveDialogRequest& request)
{
    if (!installed().saveDialog)
        return std::nullopt;
    const std::optional<QString> chosen = installed().saveDialog(request);
    if (!chosen)
        return std::nullopt;
    return withDefaultExtension(*chosen, request.defaultExtension);
}

void Show_Help(const QString& helpFile)
{
    if (installed().help)
        installed().help(helpFile);
}

void Beep()
{
    if (installed().beep)
        installed().beep();
}

Presenters installPresenters(Presenters presenters) { return std::exchange(installed(), std::move(presenters)); }

MessagePresenter setMessagePresenter(MessagePresenter presenter)
{
    return std::exchange(installed().message, std::move(presenter));
}

SaveDialogPresenter setSaveDialogPresenter(SaveDialogPresenter presenter)
{
    return std::exchange(installed().saveDialog, std::move(presenter));
}

HelpPresenter setHelpPresenter(HelpPresenter presenter)
{
    return std::exchange(installed().help, std::move(presenter));
}

Beeper setBeeper(Beeper beeper) { return std::exchange(installed().beep, std::move(beeper)); }

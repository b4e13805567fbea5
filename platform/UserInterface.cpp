#include "platform/UserInterface.h"

#include <QFileInfo>
#include <QRegularExpression>

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
    return path + QLatin1Char('.') + extension;
}

// Shows nothing and is never cancelled.
class NoProgress final : public Progress
{
public:
    bool advance(std::int64_t) override { return true; }
};
} // namespace

MessageAnswer Msg_Box(MessageKind kind, const QString& subject, const QString& text)
{
    const Message message {kind, QStringLiteral("Zepta - ") + subject, text};
    if (installed().message)
        return installed().message(message);
    std::fprintf(stderr, "%s\n%s\n", qPrintable(message.title), qPrintable(message.text));
    return kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
}

std::optional<SaveDialogChoice> Show_Save_Dialog(const SaveDialogRequest& request)
{
    if (!installed().saveDialog)
        return std::nullopt;
    std::optional<SaveDialogChoice> chosen = installed().saveDialog(request);
    if (!chosen)
        return std::nullopt;
    if (chosen->fileType.isEmpty())
        chosen->fileType = request.fileType;
    chosen->fileName = withDefaultExtension(chosen->fileName, fileTypeExtension(chosen->fileType));
    return chosen;
}

QString fileTypeExtension(const QString& fileType)
{
    static const QRegularExpression firstPattern(QStringLiteral("\\*\\.([^\\s()*]+)"));
    return firstPattern.match(fileType).captured(1);
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

std::unique_ptr<Progress> Start_Progress(const ProgressRequest& request)
{
    std::unique_ptr<Progress> progress;
    if (installed().progress)
        progress = installed().progress(request);
    if (!progress)
        progress = std::make_unique<NoProgress>();
    return progress;
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

ProgressPresenter setProgressPresenter(ProgressPresenter presenter)
{
    return std::exchange(installed().progress, std::move(presenter));
}

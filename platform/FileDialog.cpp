#include "platform/FileDialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

#include <utility>

namespace
{
SaveDialogPresenter& presenter()
{
    static SaveDialogPresenter current;
    return current;
}

QString withDefaultExtension(const QString& path, const QString& extension)
{
    if (path.isEmpty() || extension.isEmpty() || !QFileInfo(path).suffix().isEmpty())
        return path;
    return extension.startsWith(QLatin1Char('.')) ? path + extension : path + QLatin1Char('.') + extension;
}
} // namespace

std::optional<QString> Show_Save_Dialog(const SaveDialogRequest& request)
{
    const std::optional<QString> chosen = presenter() ? presenter()(request) : showQtSaveDialog(request);
    if (!chosen)
        return std::nullopt;
    return withDefaultExtension(*chosen, request.defaultExtension);
}

SaveDialogPresenter setSaveDialogPresenter(SaveDialogPresenter replacement)
{
    return std::exchange(presenter(), std::move(replacement));
}

std::optional<QString> showQtSaveDialog(const SaveDialogRequest& request)
{
    QFileDialog dialog(QApplication::activeWindow(), request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    QString suffix = request.defaultExtension;
    if (suffix.startsWith(QLatin1Char('.')))
        suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);
    // "*.*" stands for every file on the platform it comes from; here many
    // files have no period, so the pattern that lists them all is "*".
    dialog.setNameFilter(request.filter == QLatin1String("*.*") ? QStringLiteral("*.* (*)") : request.filter);
    const QFileInfo offered(request.fileName);
    if (!request.fileName.isEmpty()) {
        dialog.setDirectory(offered.absolutePath());
        dialog.selectFile(offered.fileName());
    }
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    return files.first();
}

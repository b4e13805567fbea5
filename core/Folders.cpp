#include "core/Driver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <optional>
#include <utility>

namespace Driver
{

namespace
{
QString& folderOverride()
{
    static QString folder;
    return folder;
}

std::optional<std::pair<QString, Folders>>& foldersKept()
{
    static std::optional<std::pair<QString, Folders>> kept;
    return kept;
}
} // namespace

QString programFolder()
{
    if (!folderOverride().isEmpty())
        return folderOverride();
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

QString setProgramFolder(const QString& folder)
{
    return std::exchange(folderOverride(), folder.isEmpty() ? QString() : QDir::cleanPath(folder));
}

Folders foldersFor(const QString& programFolder)
{
    if (QFileInfo::exists(programFolder + QStringLiteral("/zepta.mdb")))
        return {false, programFolder, programFolder};
    // The share folder lies where the install put it relative to the
    // program's (../share/zepta), so an install under any prefix or DESTDIR
    // finds its own.
    return {true,
        QDir::cleanPath(
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zepta")),
        QDir::cleanPath(programFolder + QLatin1Char('/') + QStringLiteral(ZEPTA_SHARE_FROM_BIN))};
}

const Folders& folders()
{
    // A folder set by a test or a tool is a program folder of its own.
    if (!folderOverride().isEmpty()) {
        static Folders set;
        set = {false, folderOverride(), folderOverride()};
        return set;
    }
    const QString program = programFolder();
    auto& kept = foldersKept();
    if (!kept || kept->first != program)
        kept.emplace(program, foldersFor(program));
    return kept->second;
}

} // namespace Driver

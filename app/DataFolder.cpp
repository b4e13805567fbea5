#include "app/DataFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>
#include <vector>

namespace
{

const QString kTemplateName = QStringLiteral("zepta.mdb");

// The folders create_directories would make for `folder`, deepest last.
std::vector<QString> missingFolders(const QString& folder)
{
    std::vector<QString> missing;
    for (QString path = QDir::cleanPath(folder); !path.isEmpty() && !QFileInfo::exists(path);) {
        missing.insert(missing.begin(), path);
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    return missing;
}

// Undoes what a failed preparation made, so nothing half-made stays.
class Undo
{
public:
    ~Undo()
    {
        if (mDone)
            return;
        for (const QString& file : mFiles)
            QFile::remove(file);
        for (auto folder = mFolders.rbegin(); folder != mFolders.rend(); ++folder)
            QDir().rmdir(*folder);
    }
    void file(const QString& path) { mFiles.push_back(path); }
    void folders(std::vector<QString> paths) { mFolders = std::move(paths); }
    void done() { mDone = true; }

private:
    std::vector<QString> mFiles;
    std::vector<QString> mFolders;
    bool mDone = false;
};

DataFolderState unusable(const QString& folder, const QString& why)
{
    return {DataFolderState::Outcome::Unusable,
        QStringLiteral("Zepta cannot keep its data in %1: %2.").arg(QDir::toNativeSeparators(folder), why), nullptr};
}

// Why a file cannot be made in `folder`, in the system's words.
QString whyNotWritable(const QString& folder)
{
    QFile probe(folder + QStringLiteral("/zepta.lock"));
    if (probe.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("a file there cannot be locked");
    return probe.errorString();
}

} // namespace

DataFolderState prepareDataFolder(const Driver::Folders& folders)
{
    if (!folders.installed)
        return {};
    const QString folder = folders.data;
    Undo undo;

    const QFileInfo info(folder);
    if (info.exists() && !info.isDir())
        return unusable(folder, QStringLiteral("it is a file, not a folder"));
    std::vector<QString> made = missingFolders(folder);
    undo.folders(made);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(folder.toStdString()), error);
    if (error)
        return unusable(folder, QString::fromLocal8Bit(error.message().c_str()));
    // Made here, the folder is the user's alone: it holds the crew's events.
    if (!made.empty())
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    auto lock = std::make_unique<QLockFile>(folder + QStringLiteral("/zepta.lock"));
    lock->setStaleLockTime(0); // held for the whole run; a dead holder is noticed by its process id
    if (!lock->tryLock(0)) {
        if (lock->error() == QLockFile::LockFailedError)
            return {DataFolderState::Outcome::AnotherRunning,
                QStringLiteral("Another Zepta is running for this user, with its data in %1. Only one may send "
                               "the events of its outbox, so this one ends.")
                    .arg(QDir::toNativeSeparators(folder)),
                nullptr};
        return unusable(folder, whyNotWritable(folder));
    }

    const QString database = folder + QLatin1Char('/') + kTemplateName;
    if (!QFileInfo::exists(database)) {
        const QString templateFile = folders.share + QLatin1Char('/') + kTemplateName;
        const QString partial = database + QStringLiteral(".new");
        QFile::remove(partial);
        undo.file(partial);
        QFile source(templateFile);
        if (!source.copy(partial)) {
            lock->unlock();
            return unusable(folder,
                QStringLiteral("the settings cannot be copied from %1 (%2)")
                    .arg(QDir::toNativeSeparators(templateFile), source.errorString()));
        }
        QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (!QFile::rename(partial, database)) {
            lock->unlock();
            return unusable(folder, QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(database)));
        }
    }
    undo.done();
    return {DataFolderState::Outcome::Ready, {}, std::move(lock)};
}

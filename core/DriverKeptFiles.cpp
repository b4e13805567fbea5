// The files the program keeps, and whether a path the user chose reaches one.

#include "core/Driver.h"

#include "platform/Db.h"
#include "platform/Error.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>

namespace Driver
{

namespace
{
std::filesystem::path nativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }
} // namespace

QStringList keptFiles(const QString& dataFolder)
{
    QStringList files;
    for (const char* database : {"zepta.mdb", "Nomrel.mdb", "Outbox.mdb"})
        for (const char* side : {"", "-journal", "-wal", "-shm"})
            files << dataFolder + QLatin1Char('/') + QLatin1String(database) + QLatin1String(side);
    // An installed Zepta's lock: replaced, a second Zepta could start.
    files << dataFolder + QStringLiteral("/zepta.lock");
    return files;
}

QStringList keptFiles()
{
    QStringList files = keptFiles(dataFolder());
    // The connection strings may name other folders (tools and tests point
    // them elsewhere): whatever they name is kept as well.
    for (const QString& connectionString : {applicationConnectionString(), eventDatabaseConnectionString()}) {
        try {
            for (const QString& file : keptFiles(QFileInfo(db::dataSourceOf(connectionString)).absolutePath()))
                if (!files.contains(file))
                    files << file;
        } catch (const ZeptaError&) {
        }
    }
    return files;
}

// A file that exists is compared by identity (device and inode, links
// followed), which catches hard links, symbolic links and a second mount of
// the folder. One that does not exist yet (SQLite makes its side files when
// it needs them, and would take a stray one for its own) is compared by name
// in the same folder, the folders again by identity.
bool isKeptFile(const QString& path, const QStringList& kept)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target = nativePath(path);
    // Where a write to the path lands: links resolved as far as they exist.
    const fs::path landing = fs::weakly_canonical(fs::absolute(target, error), error);
    const bool exists = fs::exists(target, error);
    for (const QString& keptFile : kept) {
        const fs::path file = nativePath(keptFile);
        if (exists && fs::equivalent(target, file, error))
            return true;
        if (!landing.empty() && landing.filename() == file.filename()
            && fs::equivalent(landing.parent_path(), file.parent_path(), error))
            return true;
    }
    return false;
}

} // namespace Driver

#include "listener/file_sink.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace listener
{

namespace
{

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* at = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, at, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        left -= written;
    }
    return true;
}

bool readAll(int fd, QByteArray* data)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        data->append(buffer, got);
    }
}

// True when what follows the last whole record is the start of one that a
// crash cut short, rather than something that was never a record.
bool isCutRecord(const QByteArray& tail)
{
    const qsizetype lineEnd = tail.indexOf('\n');
    if (lineEnd < 0)
        return tail.size() < 256 && !tail.contains('\0');
    const QList<QByteArray> fields = tail.left(lineEnd).split(' ');
    if ((fields.size() != 4 && fields.size() != 5)
        || !QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODateWithMs).isValid())
        return false;
    bool ok = false;
    const qsizetype length = fields[2].toLongLong(&ok);
    return ok && tail.size() < lineEnd + 1 + length + 1;
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

} // namespace

FileSink::FileSink(int fd, bool ownsFd, QHash<QByteArray, QByteArray> ids)
    : mFd(fd)
    , mOwnsFd(ownsFd)
    , mIds(std::move(ids))
{
    struct stat info {
    };
    mSync = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    mGoodSize = mSync ? ::lseek(fd, 0, SEEK_END) : 0;
}

FileSink::~FileSink()
{
    stop();
    if (mOwnsFd)
        ::close(mFd);
}

std::unique_ptr<FileSink> FileSink::standardOutput()
{
    return std::unique_ptr<FileSink>(new FileSink(STDOUT_FILENO, false, {}));
}

std::unique_ptr<FileSink> FileSink::open(const QString& path, QString* error, QString* note)
{
    const QByteArray name = QFile::encodeName(path);
    const bool existed = ::access(name.constData(), F_OK) == 0;
    FdCloser fd {::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644)};
    if (fd.fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, systemError(errno));
        return nullptr;
    }
    if (::flock(fd.fd, LOCK_EX | LOCK_NB) != 0) {
        *error = QStringLiteral("%1 is in use by another zepta-listener").arg(path);
        return nullptr;
    }
    QByteArray data;
    if (!readAll(fd.fd, &data)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, systemError(errno));
        return nullptr;
    }
    bool complete = true;
    qsizetype end = 0;
    const QList<Record> records = parseRecords(data, &complete, &end);
    if (!complete) {
        if (!isCutRecord(data.mid(end))) {
            *error = QStringLiteral("%1 is not a file of zepta-listener records (from byte %2 on)").arg(path).arg(end);
            return nullptr;
        }
        if (::ftruncate(fd.fd, end) != 0 || ::fsync(fd.fd) != 0) {
            *error = QStringLiteral("cannot cut the unfinished record off %1: %2").arg(path, systemError(errno));
            return nullptr;
        }
        *note = QStringLiteral("cut off an unfinished record of %1 bytes at the end of %2 (it was never acknowledged)")
                    .arg(data.size() - end)
                    .arg(path);
    }
    QHash<QByteArray, QByteArray> ids;
    ids.reserve(records.size());
    for (const Record& record : records) {
        QString ignored;
        const QByteArray id
            = record.eventId.isEmpty() ? parseEvent(record.body, &ignored).value_or(Event {}).eventId : record.eventId;
        if (!id.isEmpty() && !ids.contains(id))
            ids.insert(id, bodyDigest(record.body));
    }
    if (!existed) {
        // The new file's name must survive a crash as well as its records.
        FdCloser directory {
            ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        if (directory.fd >= 0)
            ::fsync(directory.fd);
    }
    return std::unique_ptr<FileSink>(new FileSink(fd.release(), true, std::move(ids)));
}

void FileSink::write(std::vector<Submission>& batch)
{
    QByteArray out;
    QHash<QByteArray, QByteArray> fresh;
    std::vector<Outcome> outcomes(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const QByteArray& id = batch[i].event.eventId;
        const auto kept = mIds.constFind(id);
        const auto earlier = fresh.constFind(id);
        if (kept != mIds.cend() || earlier != fresh.cend()) {
            outcomes[i] = repeatOutcome(kept != mIds.cend() ? *kept : *earlier, batch[i].digest);
            continue;
        }
        fresh.insert(id, batch[i].digest);
        out += formatRecord(batch[i].record);
        outcomes[i] = storedOutcome();
    }
    if (!out.isEmpty()) {
        // A failed write may have left part of a batch behind: take it back
        // first (none of it was acknowledged), or append nothing after it.
        if ((!mTorn || ::ftruncate(mFd, mGoodSize) == 0) && writeAll(mFd, out) && (!mSync || ::fdatasync(mFd) == 0)) {
            mTorn = false;
            mGoodSize += out.size();
            mIds.insert(fresh);
        } else {
            const QString reason = systemError(errno);
            mTorn = mSync;
            if (mTorn && ::ftruncate(mFd, mGoodSize) == 0)
                mTorn = false;
            for (std::size_t i = 0; i < batch.size(); ++i)
                if (fresh.contains(batch[i].event.eventId))
                    outcomes[i] = {503, QStringLiteral("The event could not be written: %1").arg(reason)};
        }
    }
    for (std::size_t i = 0; i < batch.size(); ++i)
        batch[i].done(outcomes[i]);
}

} // namespace listener

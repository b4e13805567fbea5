#include "listener/crews.h"

#include "listener/auth.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <libpq-fe.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace listener
{

namespace
{

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// One line per crew: name, hex SHA-256 of the key, time added, time revoked
// or "-". The first line names the format.
constexpr char kFileHeader[] = "# zepta-listener crews: name key-sha256 added revoked";

class FileCrewStore final : public CrewStore
{
public:
    explicit FileCrewStore(QString path)
        : mPath(std::move(path))
    {
    }

    QString where() const override { return mPath; }

    bool read(std::vector<CrewRecord>* crews, QString* error) override
    {
        QFile file(mPath);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the crews file %1: %2").arg(mPath, file.errorString());
            return false;
        }
        return parse(file.readAll(), crews, error);
    }

    bool add(const QString& name, const QByteArray& keyHash, QString* error) override
    {
        return change(error, [&](std::vector<CrewRecord>& crews) {
            for (CrewRecord& crew : crews)
                if (crew.name == name) {
                    if (crew.revoked.isNull()) {
                        *error = QStringLiteral("crew %1 has a key already: revoke it first").arg(name);
                        return false;
                    }
                    crew = {name, keyHash, QDateTime::currentDateTimeUtc(), {}};
                    return true;
                }
            crews.push_back({name, keyHash, QDateTime::currentDateTimeUtc(), {}});
            return true;
        });
    }

    bool revoke(const QString& name, QString* error) override
    {
        return change(error, [&](std::vector<CrewRecord>& crews) {
            for (CrewRecord& crew : crews)
                if (crew.name == name && crew.revoked.isNull()) {
                    crew.revoked = QDateTime::currentDateTimeUtc();
                    return true;
                }
            *error = QStringLiteral("no crew %1 with a valid key in %2").arg(name, mPath);
            return false;
        });
    }

private:
    bool parse(const QByteArray& data, std::vector<CrewRecord>* crews, QString* error) const
    {
        const QList<QByteArray> lines = data.split('\n');
        if (lines.isEmpty() || lines.first() != kFileHeader) {
            *error = QStringLiteral("%1 is not a zepta-listener crews file").arg(mPath);
            return false;
        }
        crews->clear();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            if (lines[i].isEmpty())
                continue;
            const QList<QByteArray> fields = lines[i].split(' ');
            CrewRecord crew;
            if (fields.size() == 4) {
                crew.name = QString::fromLatin1(fields[0]);
                crew.keyHash = QByteArray::fromHex(fields[1]);
                crew.created = QDateTime::fromString(QString::fromLatin1(fields[2]), Qt::ISODateWithMs);
                if (fields[3] != "-")
                    crew.revoked = QDateTime::fromString(QString::fromLatin1(fields[3]), Qt::ISODateWithMs);
            }
            if (!auth::isValidName(crew.name) || crew.keyHash.size() != 32 || !crew.created.isValid()
                || (fields.size() == 4 && fields[3] != "-" && !crew.revoked.isValid())) {
                *error = QStringLiteral("line %1 of the crews file %2 is not a crew").arg(i + 1).arg(mPath);
                return false;
            }
            crews->push_back(crew);
        }
        return true;
    }

    // Reads, changes and replaces the file under a lock on its folder, so
    // two commands at once cannot lose each other's change. The new file is
    // written beside it with mode 0600, synced, then renamed over it.
    bool change(QString* error, const std::function<bool(std::vector<CrewRecord>&)>& edit)
    {
        const QString folder = QFileInfo(mPath).absolutePath();
        const Fd directory {::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        if (directory.fd < 0 || ::flock(directory.fd, LOCK_EX) != 0) {
            *error = QStringLiteral("cannot open the folder %1: %2").arg(folder, systemError());
            return false;
        }
        std::vector<CrewRecord> crews;
        if (QFileInfo::exists(mPath) && !read(&crews, error))
            return false;
        if (!edit(crews))
            return false;
        QByteArray data = QByteArray(kFileHeader) + '\n';
        for (const CrewRecord& crew : crews)
            data += crew.name.toLatin1() + ' ' + crew.keyHash.toHex() + ' '
                + crew.created.toUTC().toString(Qt::ISODateWithMs).toLatin1() + ' '
                + (crew.revoked.isNull() ? QByteArray("-")
                                         : crew.revoked.toUTC().toString(Qt::ISODateWithMs).toLatin1())
                + '\n';
        const QByteArray temporary = QFile::encodeName(mPath + QStringLiteral(".new"));
        const Fd out {::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600)};
        bool ok = out.fd >= 0 && ::fchmod(out.fd, 0600) == 0;
        for (qsizetype at = 0; ok && at < data.size();) {
            const ssize_t written = ::write(out.fd, data.constData() + at, static_cast<size_t>(data.size() - at));
            ok = written > 0 || (written < 0 && errno == EINTR);
            at += std::max<ssize_t>(written, 0);
        }
        ok = ok && ::fsync(out.fd) == 0 && ::rename(temporary.constData(), QFile::encodeName(mPath).constData()) == 0
            && ::fsync(directory.fd) == 0;
        if (!ok) {
            *error = QStringLiteral("cannot write the crews file %1: %2").arg(mPath, systemError());
            ::unlink(temporary.constData());
        }
        return ok;
    }

    const QString mPath;
};

struct PgFinish {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct PgClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using PgConnection = std::unique_ptr<PGconn, PgFinish>;
using PgResult = std::unique_ptr<PGresult, PgClear>;

constexpr const char* kCrewsTable = "CREATE SCHEMA IF NOT EXISTS zepta;\n"
                                    "CREATE TABLE IF NOT EXISTS zepta.crews (\n"
                                    "    name text PRIMARY KEY,\n"
                                    "    key_sha256 bytea NOT NULL UNIQUE,\n"
                                    "    added_at timestamptz NOT NULL DEFAULT now(),\n"
                                    "    revoked_at timestamptz\n"
                                    ");";

class PgCrewStore final : public CrewStore
{
public:
    explicit PgCrewStore(QByteArray conninfo)
        : mConninfo(std::move(conninfo))
    {
    }

    QString where() const override { return QStringLiteral("the table zepta.crews"); }

    bool read(std::vector<CrewRecord>* crews, QString* error) override
    {
        if (!connected(error))
            return false;
        const PgResult result(PQexec(mConnection.get(),
            "SELECT name, encode(key_sha256, 'hex'), added_at, revoked_at FROM zepta.crews ORDER BY name"));
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
            return failed(result.get(), error);
        crews->clear();
        for (int r = 0; r < PQntuples(result.get()); ++r) {
            const auto time = [&](int column) {
                return PQgetisnull(result.get(), r, column)
                    ? QDateTime()
                    : QDateTime::fromString(QString::fromLatin1(PQgetvalue(result.get(), r, column)), Qt::ISODate);
            };
            crews->push_back({QString::fromUtf8(PQgetvalue(result.get(), r, 0)),
                QByteArray::fromHex(PQgetvalue(result.get(), r, 1)), time(2), time(3)});
        }
        return true;
    }

    bool add(const QString& name, const QByteArray& keyHash, QString* error) override
    {
        const QByteArray hash = "\\x" + keyHash.toHex();
        const QByteArray utf8 = name.toUtf8();
        const char* values[] = {utf8.constData(), hash.constData()};
        if (!connected(error) || !exec(kCrewsTable, error))
            return false;
        const PgResult result(PQexecParams(mConnection.get(),
            "INSERT INTO zepta.crews (name, key_sha256) VALUES ($1, $2::bytea) ON CONFLICT (name) DO UPDATE SET "
            "key_sha256 = EXCLUDED.key_sha256, added_at = now(), revoked_at = NULL WHERE crews.revoked_at IS NOT NULL",
            2, nullptr, values, nullptr, nullptr, 0));
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
            return failed(result.get(), error);
        if (QByteArray(PQcmdTuples(result.get())) != "1") {
            *error = QStringLiteral("crew %1 has a key already: revoke it first").arg(name);
            return false;
        }
        return true;
    }

    bool revoke(const QString& name, QString* error) override
    {
        const QByteArray utf8 = name.toUtf8();
        const char* values[] = {utf8.constData()};
        if (!connected(error))
            return false;
        const PgResult result(PQexecParams(mConnection.get(),
            "UPDATE zepta.crews SET revoked_at = now() WHERE name = $1 AND revoked_at IS NULL", 1, nullptr, values,
            nullptr, nullptr, 0));
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
            return failed(result.get(), error);
        if (QByteArray(PQcmdTuples(result.get())) != "1") {
            *error = QStringLiteral("no crew %1 with a valid key in zepta.crews").arg(name);
            return false;
        }
        return true;
    }

    bool unreachable() const override { return mUnreachable; }

private:
    bool connected(QString* error)
    {
        mUnreachable = false;
        if (mConnection && PQstatus(mConnection.get()) == CONNECTION_OK)
            return true;
        const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
        const char* values[] = {"5", "zepta-listener", mConninfo.constData(), nullptr};
        mConnection.reset(PQconnectdbParams(keywords, values, 1));
        if (mConnection && PQstatus(mConnection.get()) == CONNECTION_OK) {
            // "already exists, skipping" is no news to a command's user.
            PQsetNoticeProcessor(
                mConnection.get(), [](void*, const char*) {}, nullptr);
            return true;
        }
        *error = QStringLiteral("cannot reach the database: %1")
                     .arg(mConnection ? QString::fromUtf8(PQerrorMessage(mConnection.get())).trimmed()
                                      : QStringLiteral("out of memory"));
        mConnection.reset();
        mUnreachable = true;
        return false;
    }

    bool exec(const char* sql, QString* error)
    {
        const PgResult result(PQexec(mConnection.get(), sql));
        return PQresultStatus(result.get()) == PGRES_COMMAND_OK || failed(result.get(), error);
    }

    bool failed(const PGresult* result, QString* error)
    {
        const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        *error = primary ? QStringLiteral("zepta.crews: %1").arg(QString::fromUtf8(primary))
                         : QString::fromUtf8(PQerrorMessage(mConnection.get())).trimmed();
        if (PQstatus(mConnection.get()) != CONNECTION_OK) {
            mConnection.reset();
            mUnreachable = true;
        }
        return false;
    }

    const QByteArray mConninfo;
    PgConnection mConnection;
    bool mUnreachable = false;
};

} // namespace

CrewStore::~CrewStore() = default;

std::unique_ptr<CrewStore> fileCrewStore(const QString& path) { return std::make_unique<FileCrewStore>(path); }
std::unique_ptr<CrewStore> pgCrewStore(const QByteArray& conninfo) { return std::make_unique<PgCrewStore>(conninfo); }
QString crewsFileFor(const QString& recordsPath) { return recordsPath + QStringLiteral(".crews"); }

CrewKeys::CrewKeys(
    std::unique_ptr<CrewStore> store, std::function<void(const QString&)> log, std::chrono::milliseconds period)
    : mStore(std::move(store))
    , mLog(std::move(log))
    , mPeriod(period)
{
}

CrewKeys::~CrewKeys() { stop(); }

bool CrewKeys::load(QString* error, bool* unreachable)
{
    std::vector<CrewRecord> crews;
    if (!mStore->read(&crews, error)) {
        if (unreachable)
            *unreachable = mStore->unreachable();
        return false;
    }
    auto keys = std::make_shared<std::vector<Key>>();
    for (const CrewRecord& crew : crews)
        if (crew.revoked.isNull())
            keys->push_back({crew.keyHash, crew.name.toUtf8()});
    const std::lock_guard lock(mMutex);
    mKeys = std::move(keys);
    return true;
}

void CrewKeys::start()
{
    mThread = std::thread([this] { run(); });
}

void CrewKeys::stop()
{
    {
        const std::lock_guard lock(mStopMutex);
        mStopping = true;
    }
    mWake.notify_all();
    if (mThread.joinable())
        mThread.join();
}

void CrewKeys::run()
{
    std::unique_lock wait(mStopMutex);
    while (!mWake.wait_for(wait, mPeriod, [this] { return mStopping; })) {
        QString error;
        const bool ok = load(&error);
        // The keys last read stay in force while the store cannot be read.
        if (!ok && !mFailing)
            mLog(QStringLiteral("cannot read the crews, keeping the keys last read: %1").arg(error));
        else if (ok && mFailing)
            mLog(QStringLiteral("crews read again"));
        mFailing = !ok;
    }
}

CrewKeys::Check CrewKeys::crewOf(const QByteArray& key, QByteArray* crew) const
{
    std::shared_ptr<const std::vector<Key>> keys;
    {
        const std::lock_guard lock(mMutex);
        keys = mKeys;
    }
    if (!keys)
        return Check::NotLoaded;
    const QByteArray hash = auth::keyHash(key);
    const Key* found = nullptr;
    for (const Key& candidate : *keys)
        if (auth::constantTimeEquals(candidate.hash, hash))
            found = &candidate;
    if (!found)
        return Check::Unknown;
    *crew = found->crew;
    return Check::Known;
}

} // namespace listener

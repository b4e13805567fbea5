#include "platform/DbConnection.h"

#include "platform/DbRecordset.h"
#include "platform/Error.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <sqlite3.h>

#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace db
{

struct Connection::Handle {
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> db; // declared first: closed last
    // Statements kept for reuse, finalized before the handle closes.
    std::unordered_map<QString, std::unique_ptr<Statement>> statements;
    QString path;
    bool writable = false;
    std::vector<const char*> used; // purposes of firstUse
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

QString parseDataSource(const QString& connectionString);

namespace
{

constexpr std::size_t kWaitingHandles = 8;
constexpr std::size_t kKeptStatements = 32;

// The file's identity, or nothing when it cannot be told (then a handle is
// never used again).
bool identify(const QString& path, std::uint64_t& device, std::uint64_t& inode)
{
#ifdef Q_OS_UNIX
    struct stat info {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    device = static_cast<std::uint64_t>(info.st_dev);
    inode = static_cast<std::uint64_t>(info.st_ino);
    return true;
#else
    Q_UNUSED(path);
    Q_UNUSED(device);
    Q_UNUSED(inode);
    return false;
#endif
}

bool stillWritable(const QString& path)
{
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
#else
    Q_UNUSED(path);
    return false;
#endif
}

// Handles given back on this thread, oldest first. Engine handles belong to
// the thread that opened them.
std::deque<std::shared_ptr<Connection::Handle>>& waiting()
{
    thread_local std::deque<std::shared_ptr<Connection::Handle>> handles;
    return handles;
}

std::shared_ptr<Connection::Handle> takeWaiting(const QString& path, bool writable)
{
    auto& handles = waiting();
    for (auto it = handles.begin(); it != handles.end(); ++it) {
        if ((*it)->path != path || (*it)->writable != writable)
            continue;
        std::shared_ptr<Connection::Handle> handle = std::move(*it);
        handles.erase(it);
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        if (identify(path, device, inode) && device == handle->device && inode == handle->inode
            && (!writable || stillWritable(path)))
            return handle;
        return nullptr; // another file now, or no longer writable: closed
    }
    return nullptr;
}

void giveBack(std::shared_ptr<Connection::Handle> handle)
{
    if (!handle || !handle->db || (handle->device == 0 && handle->inode == 0))
        return;
    // Only a handle at rest waits: no transaction open, no statement running.
    if (!sqlite3_get_autocommit(handle->db.get()))
        return;
    // Asked for writing, the engine opens a file it cannot write read-only:
    // such a handle must not serve a later writer once the file is writable.
    if (handle->writable && sqlite3_db_readonly(handle->db.get(), "main") != 0)
        return;
    for (sqlite3_stmt* s = sqlite3_next_stmt(handle->db.get(), nullptr); s; s = sqlite3_next_stmt(handle->db.get(), s))
        if (sqlite3_stmt_busy(s))
            return;
    auto& handles = waiting();
    handles.push_back(std::move(handle));
    while (handles.size() > kWaitingHandles)
        handles.pop_front();
}

} // namespace

QString dataSourceOf(const QString& connectionString)
{
    // The program asks with the same few strings again and again.
    thread_local QString lastString;
    thread_local QString lastSource;
    if (!lastString.isNull() && (connectionString.isSharedWith(lastString) || connectionString == lastString))
        return lastSource;
    const QString source = parseDataSource(connectionString);
    lastString = connectionString;
    lastSource = source;
    return source;
}

QString parseDataSource(const QString& connectionString)
{
    const QStringList parts = connectionString.split(QLatin1Char(';'));
    for (const QString& part : parts) {
        const int eq = part.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        if (part.left(eq).trimmed().compare(QLatin1String("Data Source"), Qt::CaseInsensitive) == 0)
            return part.mid(eq + 1).trimmed();
    }
    throw ZeptaError(QStringLiteral("The connection string names no Data Source: %1").arg(connectionString));
}

Connection::Connection(const QString& connectionString, Mode mode) { openPath(dataSourceOf(connectionString), mode); }

Connection Connection::openFile(const QString& path, Mode mode)
{
    Connection connection;
    connection.openPath(path, mode);
    return connection;
}

void Connection::openPath(const QString& path, Mode mode)
{
    mPath = path;
    const bool writable = mode != Mode::ReadOnly;
    if (mode != Mode::Create) {
        mHandle = takeWaiting(path, writable);
        if (mHandle)
            return;
        // Opening a missing file would otherwise only fail later with a vaguer error.
        if (!QFileInfo::exists(path))
            throw ZeptaError(QStringLiteral("unable to open database file: %1 does not exist").arg(path));
    }

    int flags = SQLITE_OPEN_NOMUTEX;
    if (mode == Mode::ReadOnly)
        flags |= SQLITE_OPEN_READONLY;
    else
        flags |= SQLITE_OPEN_READWRITE | (mode == Mode::Create ? SQLITE_OPEN_CREATE : 0);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &raw, flags, nullptr);
    auto handle = std::make_shared<Handle>();
    handle->db.reset(raw);
    if (rc != SQLITE_OK) {
        const QString message = raw ? QString::fromUtf8(sqlite3_errmsg(raw)) : QString::fromUtf8(sqlite3_errstr(rc));
        throw ZeptaError(QStringLiteral("%1: %2").arg(message, path));
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    sqlite3_extended_result_codes(raw, 1);
    handle->path = path;
    handle->writable = writable;
    identify(path, handle->device, handle->inode);
    mHandle = std::move(handle);
}

Connection::Connection(Connection&&) noexcept = default;
Connection& Connection::operator=(Connection&& other) noexcept
{
    if (this != &other) {
        close();
        mHandle = std::move(other.mHandle);
        mPath = std::move(other.mPath);
    }
    return *this;
}

Connection::~Connection() { close(); }

void Connection::close() { giveBack(std::exchange(mHandle, nullptr)); }

sqlite3* Connection::handle() const { return mHandle ? mHandle->db.get() : nullptr; }

bool Connection::firstUse(const char* purpose)
{
    if (!mHandle)
        return true;
    for (const char* seen : mHandle->used)
        if (qstrcmp(seen, purpose) == 0)
            return false;
    mHandle->used.push_back(purpose);
    return true;
}

Recordset Connection::open(const QString& sql, const Params& params) { return Recordset(*this, sql, params, false); }

Recordset Connection::openForUpdate(const QString& sql, const Params& params)
{
    return Recordset(*this, sql, params, true);
}

int Connection::execute(const QString& sql, const Params& params)
{
    if (!handle())
        throw ZeptaError(failure(nullptr, mPath, sql));
    // A single statement is kept for the next call with the same text.
    if (auto it = mHandle->statements.find(sql); it != mHandle->statements.end()) {
        Statement& statement = *it->second;
        statement.reset();
        statement.bind(params);
        while (statement.step()) { }
        return sqlite3_changes(handle());
    }
    QString rest = sql;
    int changes = 0;
    bool first = true;
    while (!rest.trimmed().isEmpty()) {
        auto statement = std::make_unique<Statement>(handle(), mPath, rest, &rest);
        if (statement->empty())
            break; // blanks or a comment after the last statement
        if (first)
            statement->bind(params);
        while (statement->step()) { }
        changes = sqlite3_changes(handle());
        if (first && rest.trimmed().isEmpty() && mHandle->statements.size() < kKeptStatements) {
            statement->reset();
            mHandle->statements.emplace(sql, std::move(statement));
        }
        first = false;
    }
    return changes;
}

std::unique_ptr<Statement> Connection::takeStatement(const QString& sql)
{
    if (!handle())
        throw ZeptaError(failure(nullptr, mPath, sql));
    if (auto it = mHandle->statements.find(sql); it != mHandle->statements.end()) {
        std::unique_ptr<Statement> statement = std::move(it->second);
        mHandle->statements.erase(it);
        return statement;
    }
    return std::make_unique<Statement>(handle(), mPath, sql);
}

void Connection::keepStatement(
    const std::shared_ptr<Handle>& handle, const QString& sql, std::unique_ptr<Statement> statement)
{
    if (!handle || !statement || statement->empty() || handle->statements.size() >= kKeptStatements)
        return;
    statement->reset();
    handle->statements.emplace(sql, std::move(statement));
}

std::int64_t Connection::lastInsertRowId() const { return sqlite3_last_insert_rowid(handle()); }

Connection::Transaction::Transaction(Connection& connection)
    : mConnection(connection)
{
    // IMMEDIATE takes the write lock now, so a busy database fails here (after
    // the busy wait) rather than half-way through.
    mConnection.execute(QStringLiteral("BEGIN IMMEDIATE"));
}

Connection::Transaction::~Transaction()
{
    if (!mDone && mConnection.handle())
        sqlite3_exec(mConnection.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Connection::Transaction::commit()
{
    mConnection.execute(QStringLiteral("COMMIT"));
    mDone = true;
}

} // namespace db

#pragma once

// A database opened by connection string, the way every procedure of the
// program reaches one: opened for the call, given back when the call ends.
//
// Giving back does not close the engine's handle at once: the handle waits
// on its thread for the next connection to the same file, with its prepared
// statements. A waiting handle is used again only while the file is the same
// one (device and inode) and, for writing, still writable; otherwise a fresh
// one is opened. Reads never see stale data either way: the engine checks the
// file at the start of every read. A program thus opens its databases once,
// not once per setting read or event saved.

#include "platform/DbStatement.h"
#include "platform/DbValue.h"

#include <QString>

#include <cstdint>
#include <memory>

struct sqlite3;

namespace db
{

class Recordset;

// The value of "Data Source" in a connection string such as
// "Provider=SQLite;Password=;Data Source=/x/zepta.mdb;Persist Security Info=True".
// Throws when the string has none.
QString dataSourceOf(const QString& connectionString);

// How long a statement waits for a lock held by another program before it
// gives up with the engine's "database is locked".
constexpr int kBusyTimeoutMs = 3000;

class Connection
{
public:
    enum class Mode { ReadWrite, ReadOnly, Create };

    // Opens the database named by the connection string's Data Source. A
    // missing file is an error unless mode is Create.
    explicit Connection(const QString& connectionString, Mode mode = Mode::ReadWrite);
    static Connection openFile(const QString& path, Mode mode = Mode::ReadWrite);
    Connection(Connection&&) noexcept;
    Connection& operator=(Connection&&) noexcept;
    ~Connection();

    Recordset open(const QString& sql, const Params& params = {});
    // Assigning a column and saving the row: for a SELECT on a single table.
    Recordset openForUpdate(const QString& sql, const Params& params = {});
    // Runs one or more statements (params bind to the first); returns the
    // rows changed by the last one.
    int execute(const QString& sql, const Params& params = {});
    std::int64_t lastInsertRowId() const;
    const QString& path() const { return mPath; }

    // True the first time it is asked for this purpose (a string literal) on
    // this engine handle, so work such as checking a schema is done once per
    // opened database.
    bool firstUse(const char* purpose);

    void close();
    sqlite3* handle() const;

    // Commits on commit(), rolls back when destroyed without it.
    class Transaction
    {
    public:
        explicit Transaction(Connection& connection);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Connection& mConnection;
        bool mDone = false;
    };

    struct Handle;
    // A statement of this handle's kept ones, taken out for a recordset (or
    // prepared anew), and given back when the recordset is done with it.
    std::unique_ptr<Statement> takeStatement(const QString& sql);
    static void keepStatement(
        const std::shared_ptr<Handle>& handle, const QString& sql, std::unique_ptr<Statement> statement);

private:
    friend class Recordset;
    Connection() = default;
    void openPath(const QString& path, Mode mode);

    std::shared_ptr<Handle> mHandle;
    QString mPath;
};

} // namespace db

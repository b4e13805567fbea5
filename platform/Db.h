#pragma once

// A small data-access layer over SQLite, shaped after what the program needs of
// its databases: open by connection string, run a text query and walk its rows,
// read a column of the current row by name, assign a column and save the row,
// execute a statement, and (for the receiver component) transactions.
// Every handle is owned by RAII; every failure is a ZeptaError with the
// engine's message.

#include "platform/Error.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace db
{

// The value of "Data Source" in a connection string such as
// "Provider=SQLite;Password=;Data Source=/x/zepta.mdb;Persist Security Info=True".
// Throws when the string has none.
QString dataSourceOf(const QString& connectionString);

// One typed column value. The kind comes from the stored value and the
// column's declared type: DATETIME/DATE/TIME columns give DateTime, BOOLEAN
// columns give Boolean.
class Value
{
public:
    enum class Kind { Null, Integer, Real, Text, DateTime, Boolean, Blob };

    Value() = default;
    static Value null() { return Value(); }
    static Value integer(std::int64_t v);
    static Value real(double v);
    static Value text(const QString& v);
    static Value dateTime(const QDateTime& v);
    static Value boolean(bool v);

    Kind kind() const { return mKind; }
    bool isNull() const { return mKind == Kind::Null; }

    // Conversions in the platform's usual way; each throws a ZeptaError
    // ("Invalid use of Null", "Type mismatch", "Overflow") when it cannot.
    QString toString() const;
    std::int16_t toInt16() const;
    std::int32_t toInt32() const;
    double toDouble() const;
    float toSingle() const;
    QDateTime toDateTime() const;
    bool toBool() const;

    // Raw access for writers that go by kind.
    std::int64_t integerValue() const { return mInt; }
    double realValue() const { return mReal; }
    const QString& textValue() const { return mText; }
    const QDateTime& dateTimeValue() const { return mDateTime; }

private:
    Kind mKind = Kind::Null;
    std::int64_t mInt = 0;
    double mReal = 0.0;
    QString mText;
    QDateTime mDateTime;
};

// Parameters bound to the '?' placeholders of a statement, in order.
using Params = std::vector<Value>;

class Connection;

// Rows of one query, read one at a time (the statement steps as the caller
// moves). Column lookup by name ignores letter case; a qualified name such as
// "M.EVENT_TYPE_ID" names the first result column called EVENT_TYPE_ID.
class Recordset
{
public:
    Recordset(Recordset&&) noexcept;
    Recordset& operator=(Recordset&&) noexcept;
    ~Recordset();

    bool eof() const { return mEof; }
    void moveNext();
    Value field(const QString& name) const;
    QStringList columnNames() const;

    // Assigning a column and saving the row: only for recordsets opened with
    // Connection::openForUpdate on a single table.
    void setField(const QString& name, const Value& value);
    void update();

    void close();

private:
    friend class Connection;
    struct Statement;
    Recordset(Connection& connection, const QString& sql, const Params& params, bool updatable);
    int columnIndex(const QString& name) const;
    void step();

    Connection* mConnection = nullptr;
    std::unique_ptr<Statement> mStatement;
    bool mEof = true;
    bool mUpdatable = false;
    QStringList mColumns;
    std::vector<Value> mRow;
    std::vector<Value> mPending; // assigned, not yet saved
    std::vector<bool> mAssigned;
    std::int64_t mRowId = 0;
    QString mTable;
};

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
    Recordset openForUpdate(const QString& sql, const Params& params = {});
    // Runs one or more statements; returns the rows changed by the last one.
    int execute(const QString& sql, const Params& params = {});
    std::int64_t lastInsertRowId() const;
    const QString& path() const { return mPath; }

    void close();
    sqlite3* handle() const { return mDb.get(); }

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

    [[noreturn]] void fail(const QString& what) const;

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    Connection() = default;
    void openPath(const QString& path, Mode mode);

    std::unique_ptr<sqlite3, Closer> mDb;
    QString mPath;
};

// How long a statement waits for a lock held by another program before it
// gives up with the engine's "database is locked".
constexpr int kBusyTimeoutMs = 3000;

} // namespace db

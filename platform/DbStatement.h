#pragma once

// One prepared statement, owned by RAII. The columns' names and the kinds
// their declared types give are resolved once, when it is prepared; every
// failure is a ZeptaError with the engine's message, the database file and
// the SQL that failed.

#include "platform/DbValue.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace db
{

class Statement
{
public:
    // Prepares the first statement of sql; `rest` (when given) receives what
    // follows it. A statement of blanks or comments only is empty().
    Statement(sqlite3* db, const QString& path, const QString& sql, QString* rest = nullptr);
    Statement(Statement&&) noexcept;
    Statement& operator=(Statement&&) noexcept;
    ~Statement();

    bool empty() const { return !mStmt; }
    void bind(const Params& params);
    // Steps once: true with a row, false when done.
    bool step();
    void reset();

    int columnCount() const { return static_cast<int>(mColumns.size()); }
    const QStringList& columnNames() const { return mNames; }
    // The first column of that name (letter case ignored), from `first` on;
    // a qualified name such as "M.EVENT_TYPE_ID" names the first column
    // called EVENT_TYPE_ID. -1 when there is none.
    int columnIndex(const QString& name, int first = 0) const;
    // The table of a result column, for saving an assigned row.
    QString columnTable(int column) const;
    Value column(int column) const;

    const QString& sql() const { return mSql; }
    [[noreturn]] void fail() const;

private:
    enum class Declared { Other, DateTime, Boolean };
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const;
    };

    sqlite3* mDb = nullptr;
    QString mPath;
    QString mSql;
    std::unique_ptr<sqlite3_stmt, Finalizer> mStmt;
    std::vector<Declared> mColumns;
    QStringList mNames;
    QStringList mUpperNames;
};

// The engine's message for db, with the file and the SQL it concerns.
QString failure(sqlite3* db, const QString& path, const QString& sql);

} // namespace db

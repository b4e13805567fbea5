#pragma once

// Rows of one query, read one at a time (the statement steps as the caller
// moves). Columns are looked up by name ignoring letter case, resolved once
// per query; a qualified name such as "M.EVENT_TYPE_ID" names the first
// result column called EVENT_TYPE_ID.

#include "platform/DbConnection.h"
#include "platform/DbStatement.h"
#include "platform/DbValue.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace db
{

class Recordset
{
public:
    Recordset(Recordset&&) noexcept;
    Recordset& operator=(Recordset&&) noexcept;
    ~Recordset();

    bool eof() const { return mEof; }
    void moveNext();

    // The index of a column, for reading many rows without looking it up.
    int column(const QString& name) const;
    Value field(int column) const;
    Value field(const QString& name) const { return field(column(name)); }
    QStringList columnNames() const;

    // Assigning a column and saving the row: only for recordsets opened with
    // Connection::openForUpdate on a single table.
    void setField(const QString& name, const Value& value);
    void update();

    void close();

private:
    friend class Connection;
    Recordset(Connection& connection, const QString& sql, const Params& params, bool updatable);
    void step();
    [[noreturn]] void noCurrentRecord() const;

    Connection* mConnection = nullptr;
    std::shared_ptr<Connection::Handle> mHandle; // the statement goes back to it
    QString mSql;
    std::unique_ptr<Statement> mStatement;
    int mFirstColumn = 0; // 1 when the row's identity comes first
    bool mEof = true;
    bool mUpdatable = false;
    std::vector<Value> mPending; // assigned, not yet saved
    std::vector<bool> mAssigned;
    std::int64_t mRowId = 0;
    QString mTable;
};

} // namespace db

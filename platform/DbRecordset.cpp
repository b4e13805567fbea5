#include "platform/DbRecordset.h"

#include "platform/Error.h"

namespace db
{

namespace
{
const QString kRowIdColumn = QStringLiteral("__zepta_rowid");
}

Recordset::Recordset(Connection& connection, const QString& sql, const Params& params, bool updatable)
    : mConnection(&connection)
    , mUpdatable(updatable)
{
    QString text = sql;
    if (updatable) {
        // The row's identity is needed to save it; the caller never sees it.
        const QString trimmed = sql.trimmed();
        if (!trimmed.startsWith(QLatin1String("SELECT "), Qt::CaseInsensitive))
            throw ZeptaError(QStringLiteral("Only a SELECT can be opened for update: %1").arg(sql));
        text = QStringLiteral("SELECT rowid AS %1, %2").arg(kRowIdColumn, trimmed.mid(7));
        mFirstColumn = 1;
    }
    mStatement = connection.takeStatement(text);
    if (mStatement->empty())
        throw ZeptaError(QStringLiteral("The query is empty"));
    mHandle = connection.mHandle;
    mSql = text;
    mStatement->bind(params);
    if (updatable) {
        const QStringList& names = mStatement->columnNames();
        for (int i = 1; i < names.size() && mTable.isEmpty(); ++i)
            mTable = mStatement->columnTable(i);
        if (mTable.isEmpty())
            throw ZeptaError(QStringLiteral("The query names no table to update: %1").arg(sql));
    }
    step();
}

Recordset::Recordset(Recordset&&) noexcept = default;
Recordset& Recordset::operator=(Recordset&&) noexcept = default;
Recordset::~Recordset() { close(); }

void Recordset::noCurrentRecord() const
{
    throw ZeptaError(QStringLiteral("No current record: the query returned no row here (%1; SQL: %2)")
                         .arg(mConnection ? mConnection->path() : QString(),
                             mStatement ? mStatement->sql().simplified() : QString()));
}

void Recordset::step()
{
    mEof = !mStatement->step();
    if (mEof)
        return;
    if (mUpdatable) {
        mRowId = mStatement->column(0).integerValue();
        mPending.assign(static_cast<std::size_t>(mStatement->columnCount()), Value());
        mAssigned.assign(static_cast<std::size_t>(mStatement->columnCount()), false);
    }
}

void Recordset::moveNext()
{
    if (mEof || !mStatement)
        noCurrentRecord();
    step();
}

int Recordset::column(const QString& name) const
{
    const int index = mStatement ? mStatement->columnIndex(name, mFirstColumn) : -1;
    if (index < 0)
        throw ZeptaError(QStringLiteral("Item not found: the query has no column %1").arg(name));
    return index;
}

QStringList Recordset::columnNames() const
{
    return mStatement ? mStatement->columnNames().mid(mFirstColumn) : QStringList();
}

Value Recordset::field(int column) const
{
    if (mEof || !mStatement)
        noCurrentRecord();
    const auto i = static_cast<std::size_t>(column);
    if (mUpdatable && mAssigned[i])
        return mPending[i];
    return mStatement->column(column);
}

void Recordset::setField(const QString& name, const Value& value)
{
    if (!mUpdatable)
        throw ZeptaError(QStringLiteral("The recordset is read-only"));
    const int i = column(name);
    if (mEof)
        noCurrentRecord();
    mPending[static_cast<std::size_t>(i)] = value;
    mAssigned[static_cast<std::size_t>(i)] = true;
}

void Recordset::update()
{
    if (!mUpdatable)
        throw ZeptaError(QStringLiteral("The recordset is read-only"));
    if (mEof)
        noCurrentRecord();
    QStringList assignments;
    Params params;
    const QStringList& names = mStatement->columnNames();
    for (std::size_t i = 0; i < mAssigned.size(); ++i) {
        if (!mAssigned[i])
            continue;
        assignments << QStringLiteral("\"%1\" = ?").arg(QString(names[int(i)]).replace('"', QLatin1String("\"\"")));
        params.push_back(mPending[i]);
    }
    if (assignments.isEmpty())
        return;
    params.push_back(Value::integer(mRowId));
    mConnection->execute(
        QStringLiteral("UPDATE \"%1\" SET %2 WHERE rowid = ?")
            .arg(QString(mTable).replace('"', QLatin1String("\"\"")), assignments.join(QLatin1String(", "))),
        params);
    // The statement still shows the row as read; what was saved is what the
    // fields now give.
}

void Recordset::close()
{
    Connection::keepStatement(mHandle, mSql, std::move(mStatement));
    mHandle.reset();
    mEof = true;
}

} // namespace db

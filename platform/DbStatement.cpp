#include "platform/DbStatement.h"

#include "platform/Error.h"

#include <sqlite3.h>

#include <cstdio>

namespace db
{

QString failure(sqlite3* db, const QString& path, const QString& sql)
{
    QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("the connection is closed");
    message += QStringLiteral(" (") + path;
    if (!sql.isEmpty())
        message += QStringLiteral("; SQL: ") + sql.simplified();
    return message + QLatin1Char(')');
}

void Statement::Finalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

Statement::Statement(sqlite3* db, const QString& path, const QString& sql, QString* rest)
    : mDb(db)
    , mPath(path)
{
    const QByteArray utf8 = sql.toUtf8();
    const char* tail = nullptr;
    sqlite3_stmt* raw = nullptr;
    if (!db || sqlite3_prepare_v2(db, utf8.constData(), static_cast<int>(utf8.size()), &raw, &tail) != SQLITE_OK) {
        mSql = sql;
        fail();
    }
    mStmt.reset(raw);
    const auto used = tail ? static_cast<int>(tail - utf8.constData()) : static_cast<int>(utf8.size());
    mSql = rest ? QString::fromUtf8(utf8.constData(), used) : sql;
    if (rest)
        *rest = QString::fromUtf8(utf8.constData() + used, static_cast<int>(utf8.size()) - used);
    if (!raw)
        return;
    const int count = sqlite3_column_count(raw);
    mColumns.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        mNames << QString::fromUtf8(sqlite3_column_name(raw, i));
        mUpperNames << mNames.last().toUpper();
        const char* declared = sqlite3_column_decltype(raw, i);
        const QString type = declared ? QString::fromLatin1(declared).toUpper() : QString();
        if (type.contains(QLatin1String("DATE")) || type.contains(QLatin1String("TIME")))
            mColumns.push_back(Declared::DateTime);
        else if (type.startsWith(QLatin1String("BOOL")) || type == QLatin1String("BIT")
            || type == QLatin1String("YESNO"))
            mColumns.push_back(Declared::Boolean);
        else
            mColumns.push_back(Declared::Other);
    }
}

Statement::Statement(Statement&&) noexcept = default;
Statement& Statement::operator=(Statement&&) noexcept = default;
Statement::~Statement() = default;

void Statement::fail() const { throw ZeptaError(failure(mDb, mPath, mSql)); }

void Statement::bind(const Params& params)
{
    sqlite3_stmt* stmt = mStmt.get();
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Value& value = params[i];
        const int index = static_cast<int>(i) + 1;
        int rc = SQLITE_OK;
        switch (value.kind()) {
        case Value::Kind::Null:
            rc = sqlite3_bind_null(stmt, index);
            break;
        case Value::Kind::Integer:
            rc = sqlite3_bind_int64(stmt, index, value.integerValue());
            break;
        case Value::Kind::Boolean:
            rc = sqlite3_bind_int(stmt, index, value.integerValue() ? 1 : 0);
            break;
        case Value::Kind::Real:
            rc = sqlite3_bind_double(stmt, index, value.realValue());
            break;
        case Value::Kind::DateTime: {
            const Timestamp& t = value.timestampValue();
            char text[32];
            const int length = std::snprintf(
                text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
            rc = sqlite3_bind_text(stmt, index, text, length, SQLITE_TRANSIENT);
            break;
        }
        case Value::Kind::Text:
        case Value::Kind::Blob: {
            const QByteArray utf8 = value.textValue().toUtf8();
            rc = sqlite3_bind_text(stmt, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
            break;
        }
        }
        if (rc != SQLITE_OK)
            fail();
    }
}

bool Statement::step()
{
    const int rc = sqlite3_step(mStmt.get());
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail();
}

// Bindings stay until the next bind replaces them; every use binds them all.
void Statement::reset() { sqlite3_reset(mStmt.get()); }

int Statement::columnIndex(const QString& name, int first) const
{
    const QString wanted = name.toUpper();
    for (int i = first; i < mUpperNames.size(); ++i)
        if (mUpperNames[i] == wanted)
            return i;
    const int dot = wanted.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? -1 : columnIndex(wanted.mid(dot + 1), first);
}

QString Statement::columnTable(int column) const
{
    const char* table = sqlite3_column_table_name(mStmt.get(), column);
    return table ? QString::fromUtf8(table) : QString();
}

Value Statement::column(int i) const
{
    sqlite3_stmt* stmt = mStmt.get();
    const Declared declared = mColumns[static_cast<std::size_t>(i)];
    switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_NULL:
        return Value::null();
    case SQLITE_INTEGER: {
        const auto v = static_cast<std::int64_t>(sqlite3_column_int64(stmt, i));
        return declared == Declared::Boolean ? Value::boolean(v != 0) : Value::integer(v);
    }
    case SQLITE_FLOAT:
        return Value::real(sqlite3_column_double(stmt, i));
    case SQLITE_BLOB:
        return Value::text(
            QString::fromUtf8(static_cast<const char*>(sqlite3_column_blob(stmt, i)), sqlite3_column_bytes(stmt, i)));
    default: {
        const char* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        const int size = sqlite3_column_bytes(stmt, i);
        if (declared == Declared::DateTime) {
            if (const auto parsed = parseTimestamp(std::string_view(utf8, static_cast<std::size_t>(size))))
                return Value::timestamp(*parsed);
        }
        const QString text = QString::fromUtf8(utf8, size);
        if (declared == Declared::Boolean) {
            if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
                return Value::boolean(true);
            if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
                return Value::boolean(false);
        }
        return Value::text(text);
    }
    }
}

} // namespace db

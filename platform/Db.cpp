#include "platform/Db.h"

#include "platform/NumberText.h"

#include <QFileInfo>

#include <sqlite3.h>

#include <cmath>
#include <limits>

namespace db
{

namespace
{

const char* const kNoCurrentRecord = "No current record: the query returned no row here";
const QString kRowIdColumn = QStringLiteral("__zepta_rowid");

QString engineMessage(sqlite3* db) { return QString::fromUtf8(sqlite3_errmsg(db)); }

enum class Declared { Other, DateTime, Boolean };

Declared declaredKind(const char* decltype_)
{
    if (!decltype_)
        return Declared::Other;
    const QString type = QString::fromLatin1(decltype_).toUpper();
    if (type.contains(QLatin1String("DATE")) || type.contains(QLatin1String("TIME")))
        return Declared::DateTime;
    if (type.startsWith(QLatin1String("BOOL")) || type == QLatin1String("BIT") || type == QLatin1String("YESNO"))
        return Declared::Boolean;
    return Declared::Other;
}

QTime parseTime(const QString& text)
{
    for (const char* format : {"HH:mm:ss.zzz", "HH:mm:ss", "HH:mm"}) {
        const QTime time = QTime::fromString(text, QLatin1String(format));
        if (time.isValid())
            return time;
    }
    return {};
}

// Stored times are UTC text. Date and time are read apart and joined as UTC:
// going through QDateTime::fromString would consult the local time zone for
// every value, which dominates the cost of reading many rows.
QDateTime parseDateTime(const QString& text)
{
    QString body = text.trimmed();
    if (body.endsWith(QLatin1Char('Z')))
        body.chop(1);
    int split = body.indexOf(QLatin1Char(' '));
    if (split < 0)
        split = body.indexOf(QLatin1Char('T'));
    const QString datePart = split < 0 ? body : body.left(split);
    const QDate date = QDate::fromString(datePart, QStringLiteral("yyyy-MM-dd"));
    if (date.isValid()) {
        if (split < 0)
            return QDateTime(date, QTime(0, 0), Qt::UTC);
        const QTime time = parseTime(body.mid(split + 1));
        return time.isValid() ? QDateTime(date, time, Qt::UTC) : QDateTime();
    }
    // A time without a date lies on the platform's zero date.
    const QTime time = parseTime(body);
    return time.isValid() ? QDateTime(QDate(1899, 12, 30), time, Qt::UTC) : QDateTime();
}

QString dateTimeText(const QDateTime& value) { return value.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

Value readColumn(sqlite3_stmt* stmt, int i)
{
    const Declared declared = declaredKind(sqlite3_column_decltype(stmt, i));
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
        const QString text = QString::fromUtf8(
            reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)), sqlite3_column_bytes(stmt, i));
        if (declared == Declared::DateTime) {
            const QDateTime dt = parseDateTime(text);
            if (dt.isValid())
                return Value::dateTime(dt);
        }
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

void bindValue(Connection& connection, sqlite3_stmt* stmt, int index, const Value& value)
{
    int rc = SQLITE_OK;
    switch (value.kind()) {
    case Value::Kind::Null:
        rc = sqlite3_bind_null(stmt, index);
        break;
    case Value::Kind::Integer:
        rc = sqlite3_bind_int64(stmt, index, value.integerValue());
        break;
    case Value::Kind::Boolean:
        rc = sqlite3_bind_int(stmt, index, value.toBool() ? 1 : 0);
        break;
    case Value::Kind::Real:
        rc = sqlite3_bind_double(stmt, index, value.realValue());
        break;
    case Value::Kind::DateTime: {
        const QByteArray utf8 = dateTimeText(value.dateTimeValue()).toUtf8();
        rc = sqlite3_bind_text(stmt, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        break;
    }
    case Value::Kind::Text:
    case Value::Kind::Blob: {
        const QByteArray utf8 = value.textValue().toUtf8();
        rc = sqlite3_bind_text(stmt, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        break;
    }
    }
    if (rc != SQLITE_OK)
        connection.fail(QStringLiteral("bind"));
}

} // namespace

// ---------------------------------------------------------------- Value

Value Value::integer(std::int64_t v)
{
    Value r;
    r.mKind = Kind::Integer;
    r.mInt = v;
    return r;
}
Value Value::real(double v)
{
    Value r;
    r.mKind = Kind::Real;
    r.mReal = v;
    return r;
}
Value Value::text(const QString& v)
{
    Value r;
    r.mKind = Kind::Text;
    r.mText = v;
    return r;
}
Value Value::dateTime(const QDateTime& v)
{
    Value r;
    r.mKind = Kind::DateTime;
    r.mDateTime = v.toUTC();
    return r;
}
Value Value::boolean(bool v)
{
    Value r;
    r.mKind = Kind::Boolean;
    r.mInt = v ? 1 : 0;
    return r;
}

namespace
{
[[noreturn]] void invalidUseOfNull() { throw ZeptaError(QStringLiteral("Invalid use of Null")); }
} // namespace

QString Value::toString() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::Integer:
        return QString::number(mInt);
    case Kind::Real:
        return QString::number(mReal, 'g', 15);
    case Kind::DateTime:
        return dateTimeText(mDateTime);
    case Kind::Boolean:
        return mInt ? QStringLiteral("True") : QStringLiteral("False");
    case Kind::Text:
    case Kind::Blob:
        break;
    }
    return mText;
}

double Value::toDouble() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::Integer:
        return static_cast<double>(mInt);
    case Kind::Real:
        return mReal;
    case Kind::Boolean:
        return mInt ? -1.0 : 0.0;
    case Kind::DateTime:
        throw ZeptaError(QStringLiteral("Type mismatch: a date is not a number"));
    case Kind::Text:
    case Kind::Blob:
        break;
    }
    const auto value = numtext::parse(mText);
    if (!value)
        throw ZeptaError(QStringLiteral("Type mismatch: \"%1\" is not a number").arg(mText));
    return *value;
}

std::int16_t Value::toInt16() const { return numtext::toInt16(toDouble()); }
std::int32_t Value::toInt32() const { return numtext::toInt32(toDouble()); }

float Value::toSingle() const
{
    const double value = toDouble();
    if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max()))
        throw ZeptaError(QStringLiteral("Overflow"));
    return static_cast<float>(value);
}

QDateTime Value::toDateTime() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::DateTime:
        return mDateTime;
    case Kind::Text: {
        const QDateTime value = parseDateTime(mText);
        if (value.isValid())
            return value;
        break;
    }
    default:
        break;
    }
    throw ZeptaError(QStringLiteral("Type mismatch: not a date and time"));
}

bool Value::toBool() const
{
    switch (mKind) {
    case Kind::Null:
        invalidUseOfNull();
    case Kind::Boolean:
    case Kind::Integer:
        return mInt != 0;
    case Kind::Real:
        return mReal != 0.0;
    case Kind::Text:
        return numtext::toBoolean(mText);
    default:
        throw ZeptaError(QStringLiteral("Type mismatch: not a yes/no value"));
    }
}

// ---------------------------------------------------------------- Connection

QString dataSourceOf(const QString& connectionString)
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

void Connection::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

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
    int flags = SQLITE_OPEN_NOMUTEX;
    switch (mode) {
    case Mode::ReadOnly:
        flags |= SQLITE_OPEN_READONLY;
        break;
    case Mode::ReadWrite:
        flags |= SQLITE_OPEN_READWRITE;
        break;
    case Mode::Create:
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        break;
    }
    // Opening a missing file would otherwise only fail later with a vaguer error.
    if (mode != Mode::Create && !QFileInfo::exists(path))
        throw ZeptaError(QStringLiteral("unable to open database file: %1 does not exist").arg(path));
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &raw, flags, nullptr);
    mDb.reset(raw);
    if (rc != SQLITE_OK) {
        const QString message = raw ? engineMessage(raw) : QString::fromUtf8(sqlite3_errstr(rc));
        mDb.reset();
        throw ZeptaError(QStringLiteral("%1: %2").arg(message, path));
    }
    sqlite3_busy_timeout(mDb.get(), kBusyTimeoutMs);
    sqlite3_extended_result_codes(mDb.get(), 1);
}

Connection::Connection(Connection&&) noexcept = default;
Connection& Connection::operator=(Connection&&) noexcept = default;
Connection::~Connection() = default;

void Connection::close() { mDb.reset(); }

void Connection::fail(const QString& what) const
{
    const QString message = mDb ? engineMessage(mDb.get()) : QStringLiteral("the connection is closed");
    Q_UNUSED(what);
    throw ZeptaError(message);
}

Recordset Connection::open(const QString& sql, const Params& params) { return Recordset(*this, sql, params, false); }

Recordset Connection::openForUpdate(const QString& sql, const Params& params)
{
    return Recordset(*this, sql, params, true);
}

int Connection::execute(const QString& sql, const Params& params)
{
    if (!mDb)
        fail(QString());
    const QByteArray utf8 = sql.toUtf8();
    const char* tail = utf8.constData();
    const char* const end = utf8.constData() + utf8.size();
    int changes = 0;
    bool first = true;
    while (tail < end) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(mDb.get(), tail, static_cast<int>(end - tail), &raw, &tail) != SQLITE_OK)
            fail(sql);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
        if (!stmt)
            continue; // blanks or a comment after the last statement
        if (first) {
            for (std::size_t i = 0; i < params.size(); ++i)
                bindValue(*this, stmt.get(), static_cast<int>(i) + 1, params[i]);
            first = false;
        }
        int rc;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) { }
        if (rc != SQLITE_DONE)
            fail(sql);
        changes = sqlite3_changes(mDb.get());
    }
    return changes;
}

std::int64_t Connection::lastInsertRowId() const { return sqlite3_last_insert_rowid(mDb.get()); }

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

// ---------------------------------------------------------------- Recordset

struct Recordset::Statement {
    struct Finalizer {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt;
};

Recordset::Recordset(Connection& connection, const QString& sql, const Params& params, bool updatable)
    : mConnection(&connection)
    , mStatement(std::make_unique<Statement>())
    , mUpdatable(updatable)
{
    if (!connection.handle())
        connection.fail(sql);
    QString text = sql;
    if (updatable) {
        // The row's identity is needed to save it; the caller never sees it.
        const QString trimmed = sql.trimmed();
        if (!trimmed.startsWith(QLatin1String("SELECT "), Qt::CaseInsensitive))
            throw ZeptaError(QStringLiteral("Only a SELECT can be opened for update: %1").arg(sql));
        text = QStringLiteral("SELECT rowid AS %1, %2").arg(kRowIdColumn, trimmed.mid(7));
    }
    const QByteArray utf8 = text.toUtf8();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(connection.handle(), utf8.constData(), utf8.size(), &raw, nullptr) != SQLITE_OK)
        connection.fail(sql);
    mStatement->stmt.reset(raw);
    if (!raw)
        throw ZeptaError(QStringLiteral("The query is empty"));
    for (std::size_t i = 0; i < params.size(); ++i)
        bindValue(connection, raw, static_cast<int>(i) + 1, params[i]);
    const int count = sqlite3_column_count(raw);
    for (int i = 0; i < count; ++i)
        mColumns << QString::fromUtf8(sqlite3_column_name(raw, i));
    if (updatable) {
        for (int i = 1; i < count && mTable.isEmpty(); ++i)
            if (const char* table = sqlite3_column_table_name(raw, i))
                mTable = QString::fromUtf8(table);
        if (mTable.isEmpty())
            throw ZeptaError(QStringLiteral("The query names no table to update: %1").arg(sql));
    }
    step();
}

Recordset::Recordset(Recordset&&) noexcept = default;
Recordset& Recordset::operator=(Recordset&&) noexcept = default;
Recordset::~Recordset() = default;

void Recordset::step()
{
    sqlite3_stmt* stmt = mStatement->stmt.get();
    const int rc = sqlite3_step(stmt);
    mRow.clear();
    mPending.clear();
    mAssigned.clear();
    if (rc == SQLITE_DONE) {
        mEof = true;
        return;
    }
    if (rc != SQLITE_ROW)
        mConnection->fail(QString());
    mEof = false;
    const int count = static_cast<int>(mColumns.size());
    mRow.reserve(count);
    for (int i = 0; i < count; ++i)
        mRow.push_back(readColumn(stmt, i));
    if (mUpdatable)
        mRowId = mRow.front().integerValue();
    mPending.assign(mRow.size(), Value());
    mAssigned.assign(mRow.size(), false);
}

void Recordset::moveNext()
{
    if (mEof || !mStatement)
        throw ZeptaError(QString::fromLatin1(kNoCurrentRecord));
    step();
}

int Recordset::columnIndex(const QString& name) const
{
    QString wanted = name;
    const int dot = wanted.lastIndexOf(QLatin1Char('.'));
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = mUpdatable ? 1 : 0; i < mColumns.size(); ++i)
            if (mColumns[i].compare(wanted, Qt::CaseInsensitive) == 0)
                return i;
        if (dot < 0)
            break;
        wanted = name.mid(dot + 1);
    }
    throw ZeptaError(QStringLiteral("Item not found: the query has no column %1").arg(name));
}

QStringList Recordset::columnNames() const { return mUpdatable ? mColumns.mid(1) : mColumns; }

Value Recordset::field(const QString& name) const
{
    const int i = columnIndex(name);
    if (mEof)
        throw ZeptaError(QString::fromLatin1(kNoCurrentRecord));
    return mAssigned[i] ? mPending[i] : mRow[i];
}

void Recordset::setField(const QString& name, const Value& value)
{
    if (!mUpdatable)
        throw ZeptaError(QStringLiteral("The recordset is read-only"));
    const int i = columnIndex(name);
    if (mEof)
        throw ZeptaError(QString::fromLatin1(kNoCurrentRecord));
    mPending[i] = value;
    mAssigned[i] = true;
}

void Recordset::update()
{
    if (!mUpdatable)
        throw ZeptaError(QStringLiteral("The recordset is read-only"));
    if (mEof)
        throw ZeptaError(QString::fromLatin1(kNoCurrentRecord));
    QStringList assignments;
    Params params;
    for (std::size_t i = 0; i < mAssigned.size(); ++i) {
        if (!mAssigned[i])
            continue;
        assignments << QStringLiteral("\"%1\" = ?")
                           .arg(QString(mColumns[int(i)]).replace(QLatin1Char('"'), QLatin1String("\"\"")));
        params.push_back(mPending[i]);
    }
    if (assignments.isEmpty())
        return;
    params.push_back(Value::integer(mRowId));
    mConnection->execute(QStringLiteral("UPDATE \"%1\" SET %2 WHERE rowid = ?")
                             .arg(QString(mTable).replace(QLatin1Char('"'), QLatin1String("\"\"")),
                                 assignments.join(QLatin1String(", "))),
        params);
    for (std::size_t i = 0; i < mAssigned.size(); ++i)
        if (mAssigned[i]) {
            mRow[i] = mPending[i];
            mAssigned[i] = false;
        }
}

void Recordset::close()
{
    mStatement.reset();
    mEof = true;
    mRow.clear();
}

} // namespace db

#include "listener/pg_sink.h"

#include <QFile>
#include <QHash>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <array>
#include <charconv>
#include <utility>

namespace listener
{

namespace
{

// Serializes the schema's creation between listeners starting together.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7306254135010481153)";
constexpr int kColumns = 23; // of an inserted row, each an array parameter
constexpr const char* kInsertName = "zepta_insert_events";
// Inserts the rows that are new and names them; it commits as a whole when
// it returns. A row not named was stored before, by this or another
// listener, and committed: a new statement sees it.
constexpr const char* kInsertSql
    = "INSERT INTO zepta.events (event_id, client_id, event_type_id, notes, gmt, geom, speed, heading, altitude, "
      "fix_quality, satellites, hdop, locked, received_at, sender_address, crew, body_sha256, accuracy_m, "
      "fix_age_s, samples, spread_m, track_id) "
      "SELECT id, client, type, notes, gmt, ST_SetSRID(ST_MakePoint(lon, lat), 4326), speed, heading, altitude, "
      "quality, satellites, hdop, locked, received, sender, crew, digest, accuracy, age, samples, spread, track "
      "FROM unnest($1::uuid[], $2::text[], $3::integer[], $4::text[], $5::timestamptz[], $6::float8[], "
      "$7::float8[], $8::float8[], $9::float8[], $10::float8[], $11::integer[], $12::integer[], $13::float8[], "
      "$14::boolean[], $15::timestamptz[], $16::inet[], $17::text[], $18::bytea[], $19::float8[], $20::float8[], "
      "$21::integer[], $22::float8[], $23::bigint[]) AS r(id, client, type, notes, gmt, lon, lat, speed, heading, "
      "altitude, quality, satellites, hdop, locked, received, sender, crew, digest, accuracy, age, samples, "
      "spread, track) "
      "ON CONFLICT (event_id) DO NOTHING RETURNING event_id::text";
constexpr auto kRetryPause = std::chrono::seconds(1); // between attempts to reach a lost database

struct ResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

QString pgError(PGconn* connection) { return QString::fromUtf8(PQerrorMessage(connection)).trimmed(); }

// A statement's error for the log: its code and first line, never the
// DETAIL that may quote a row (and with it a crew's notes).
QString statementError(PGconn* connection, const PGresult* result)
{
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (!primary)
        return pgError(connection).section(QLatin1Char('\n'), 0, 0);
    const char* code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    return QStringLiteral("%1 (SQLSTATE %2)").arg(QString::fromUtf8(primary), QString::fromLatin1(code ? code : "?"));
}

const QString kUnavailable = QStringLiteral("database unavailable");

// Runs SQL without parameters; empty on success, else the server's message.
QString exec(PGconn* connection, const char* sql)
{
    const Result result(PQexec(connection, sql));
    const ExecStatusType status = PQresultStatus(result.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ? QString() : pgError(connection);
}

QString execParams(PGconn* connection, const char* sql, const std::vector<QByteArray>& values)
{
    std::vector<const char*> pointers;
    for (const QByteArray& value : values)
        pointers.push_back(value.isNull() ? nullptr : value.constData());
    const Result result(PQexecParams(
        connection, sql, static_cast<int>(pointers.size()), nullptr, pointers.data(), nullptr, nullptr, 0));
    return PQresultStatus(result.get()) == PGRES_COMMAND_OK ? QString() : pgError(connection);
}

// A column of a batch as a PostgreSQL array literal: every element quoted
// (a backslash or a double quote escaped), a Null one as NULL.
class ArrayParameter
{
public:
    void add(const QByteArray& value)
    {
        mText += mText.isEmpty() ? '{' : ',';
        if (value.isNull()) {
            mText += "NULL";
            return;
        }
        mText += '"';
        qsizetype from = 0;
        for (qsizetype i = 0; i < value.size(); ++i) {
            if (value[i] == '"' || value[i] == '\\') {
                mText.append(value.constData() + from, i - from).append('\\');
                from = i;
            }
        }
        mText.append(value.constData() + from, value.size() - from).append('"');
    }
    const char* finish()
    {
        mText += '}';
        return mText.constData();
    }

private:
    QByteArray mText;
};

// Texts are never Null: an empty element is an empty text, as Zepta stores it.
QByteArray text(const QString& value) { return value.isEmpty() ? QByteArray("") : value.toUtf8(); }
// The shortest text that reads back as the same double.
QByteArray real(std::optional<double> value)
{
    if (!value)
        return {};
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, *value);
    return QByteArray(text, written.ptr - text);
}
QByteArray integer(std::optional<int> value) { return value ? QByteArray::number(*value) : QByteArray(); }

} // namespace

QByteArray schemaSql()
{
    return QByteArrayLiteral(R"(CREATE EXTENSION IF NOT EXISTS postgis;
CREATE SCHEMA IF NOT EXISTS zepta;
CREATE TABLE IF NOT EXISTS zepta.events (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    event_id uuid NOT NULL UNIQUE,
    client_id text,
    event_type_id integer,
    notes text,
    gmt timestamptz,
    geom geometry(Point, 4326) NOT NULL,
    speed double precision,
    heading double precision,
    altitude double precision,
    fix_quality integer,
    satellites integer,
    hdop double precision,
    locked boolean,
    received_at timestamptz NOT NULL,
    sender_address inet
);
CREATE INDEX IF NOT EXISTS events_geom_idx ON zepta.events USING gist (geom);
CREATE TABLE IF NOT EXISTS zepta.event_categories (
    event_category_id integer PRIMARY KEY,
    event_category_name text NOT NULL
);
CREATE TABLE IF NOT EXISTS zepta.event_types (
    event_type_id integer PRIMARY KEY,
    name text NOT NULL,
    icon text
);
CREATE TABLE IF NOT EXISTS zepta.event_ui_mappings (
    event_mapping_id integer NOT NULL,
    event_category_id integer NOT NULL,
    event_type_id integer NOT NULL
);
-- Columns added since the table was made, and the view made afresh when the
-- table has gained some (a view cannot take them in the middle). Only what is
-- missing is changed: ALTER and CREATE OR REPLACE lock out the readers of the
-- table and the view even when they change nothing.
DO $$ BEGIN
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns
                   WHERE table_schema = 'zepta' AND table_name = 'events' AND column_name = 'crew') THEN
        ALTER TABLE zepta.events ADD COLUMN crew text;
    END IF;
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns
                   WHERE table_schema = 'zepta' AND table_name = 'events' AND column_name = 'body_sha256') THEN
        ALTER TABLE zepta.events ADD COLUMN body_sha256 bytea;
    END IF;
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns
                   WHERE table_schema = 'zepta' AND table_name = 'events' AND column_name = 'track_id') THEN
        ALTER TABLE zepta.events ADD COLUMN accuracy_m double precision, ADD COLUMN fix_age_s double precision,
            ADD COLUMN samples integer, ADD COLUMN spread_m double precision, ADD COLUMN track_id bigint;
    END IF;
    IF (SELECT count(*) FROM information_schema.columns WHERE table_schema = 'zepta' AND table_name = 'events_map')
        <> (SELECT count(*) + 1 FROM information_schema.columns WHERE table_schema = 'zepta' AND table_name = 'events')
    THEN
        DROP VIEW IF EXISTS zepta.events_map;
        CREATE VIEW zepta.events_map AS
            SELECT e.*, t.name AS event_type_name
            FROM zepta.events e LEFT JOIN zepta.event_types t ON t.event_type_id = e.event_type_id;
    END IF;
END $$;
)");
}

std::optional<Catalogue> readCatalogue(const QString& path, QString* error)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, SqliteClose> db(raw);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("cannot open the catalogue %1: %2").arg(path, QString::fromUtf8(sqlite3_errstr(rc)));
        return std::nullopt;
    }
    Catalogue catalogue;
    const auto query = [&](const char* sql, const auto& take) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db.get(), sql, -1, &statement, nullptr) != SQLITE_OK) {
            *error = QStringLiteral("%1 is not a Zepta application database: %2")
                         .arg(path, QString::fromUtf8(sqlite3_errmsg(db.get())));
            return false;
        }
        const std::unique_ptr<sqlite3_stmt, SqliteFinalize> owned(statement);
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW)
            take(statement);
        if (step != SQLITE_DONE) {
            *error = QStringLiteral("cannot read the catalogue %1: %2")
                         .arg(path, QString::fromUtf8(sqlite3_errmsg(db.get())));
            return false;
        }
        return true;
    };
    const auto string = [](sqlite3_stmt* statement, int column) {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
    };
    const bool ok = query("SELECT EVENT_CATEGORY_ID, EVENT_CATEGORY_NAME FROM EVENT_CATEGORIES", [&](sqlite3_stmt* s) {
        catalogue.categories.push_back({sqlite3_column_int(s, 0), string(s, 1)});
    }) && query("SELECT EVENT_TYPE_ID, NAME, ICON FROM EVENT_TYPES", [&](sqlite3_stmt* s) {
        catalogue.types.push_back({sqlite3_column_int(s, 0), string(s, 1), string(s, 2)});
    }) && query("SELECT EVENT_MAPPING_ID, EVENT_CATEGORY, EVENT_TYPE_ID FROM EVENT_UI_MAPPINGS", [&](sqlite3_stmt* s) {
        catalogue.mappings.push_back({sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2)});
    });
    if (!ok)
        return std::nullopt;
    return catalogue;
}

void PgSink::ConnCloser::operator()(pg_conn* connection) const { PQfinish(connection); }

PgSink::PgSink(QByteArray conninfo, std::optional<Catalogue> catalogue, std::function<void(const QString&)> log)
    : mConninfo(std::move(conninfo))
    , mCatalogue(std::move(catalogue))
    , mLog(std::move(log))
{
}

PgSink::~PgSink() { stop(); }

bool PgSink::connectNow(QString* error)
{
    if (connect(error))
        return true;
    lost(*error);
    return false;
}

bool PgSink::connect(QString* error)
{
    mLastAttempt = std::chrono::steady_clock::now();
    // A database that does not answer must not hold the batch for ever; a
    // connect_timeout in the connection string wins over this one.
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "zepta-listener", mConninfo.constData(), nullptr};
    Connection connection(PQconnectdbParams(keywords, values, 1));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
        *error = connection ? pgError(connection.get()) : QStringLiteral("out of memory");
        return false;
    }
    PGconn* c = connection.get();
    // The schema's "already exists, skipping" notices are no news to the log.
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    QString problem = exec(c, "SET statement_timeout = '20s'");
    if (problem.isEmpty())
        problem = exec(c, "BEGIN");
    if (problem.isEmpty())
        problem = exec(c, kSchemaLock);
    if (problem.isEmpty())
        problem = exec(c, schemaSql().constData());
    if (problem.isEmpty() && mCatalogue) {
        for (const auto& category : mCatalogue->categories)
            if (problem.isEmpty())
                problem = execParams(c,
                    "INSERT INTO zepta.event_categories VALUES ($1, $2) ON CONFLICT (event_category_id) "
                    "DO UPDATE SET event_category_name = EXCLUDED.event_category_name",
                    {QByteArray::number(category.id), text(category.name)});
        for (const auto& type : mCatalogue->types)
            if (problem.isEmpty())
                problem = execParams(c,
                    "INSERT INTO zepta.event_types VALUES ($1, $2, $3) ON CONFLICT (event_type_id) "
                    "DO UPDATE SET name = EXCLUDED.name, icon = EXCLUDED.icon",
                    {QByteArray::number(type.id), text(type.name), text(type.icon)});
        if (problem.isEmpty())
            problem = exec(c, "DELETE FROM zepta.event_ui_mappings");
        for (const auto& mapping : mCatalogue->mappings)
            if (problem.isEmpty())
                problem = execParams(c, "INSERT INTO zepta.event_ui_mappings VALUES ($1, $2, $3)",
                    {QByteArray::number(mapping.slot), QByteArray::number(mapping.category),
                        QByteArray::number(mapping.type)});
    }
    if (problem.isEmpty())
        problem = exec(c, "COMMIT");
    if (!problem.isEmpty()) {
        *error = QStringLiteral("cannot create the zepta schema: %1").arg(problem);
        return false;
    }
    mConnection = std::move(connection);
    mPrepared = false;
    if (mReported)
        mLog(QStringLiteral("database connection restored"));
    mReported = false;
    return true;
}

void PgSink::lost(const QString& error)
{
    mConnection.reset();
    mLastError = error;
    if (!mReported)
        mLog(QStringLiteral("database unavailable, answering 503 until it is back: %1").arg(error));
    mReported = true;
}

bool PgSink::insert(const std::vector<Submission*>& rows, std::vector<RowResult>* results, QString* error)
{
    // One array per column: the statement is the same for any batch, so it
    // is parsed and planned once per connection.
    std::array<ArrayParameter, kColumns> columns;
    for (const Submission* row : rows) {
        const Event& e = row->event;
        const auto optionalText = [](const QByteArray& value) { return value.isEmpty() ? QByteArray() : value; };
        columns[0].add(e.eventId);
        columns[1].add(text(e.clientId));
        columns[2].add(integer(e.eventTypeId));
        columns[3].add(text(e.notes));
        columns[4].add(e.gmt ? isoUtc(*e.gmt) : QByteArray());
        columns[5].add(real(e.longitude));
        columns[6].add(real(e.latitude));
        columns[7].add(real(e.speed));
        columns[8].add(real(e.heading));
        columns[9].add(real(e.altitude));
        columns[10].add(integer(e.fixQuality));
        columns[11].add(integer(e.satellites));
        columns[12].add(real(e.hdop));
        columns[13].add(e.locked ? QByteArray(*e.locked ? "true" : "false") : QByteArray());
        columns[14].add(isoUtc(row->record.received));
        columns[15].add(optionalText(row->sender));
        columns[16].add(optionalText(row->crew));
        columns[17].add("\\x" + row->digest.toHex());
        columns[18].add(real(e.accuracy));
        columns[19].add(real(e.fixAge));
        columns[20].add(integer(e.samples));
        columns[21].add(real(e.spread));
        columns[22].add(e.trackId ? QByteArray::number(*e.trackId) : QByteArray());
    }
    std::array<const char*, kColumns> pointers {};
    for (int c = 0; c < kColumns; ++c)
        pointers[c] = columns[c].finish();
    if (!mPrepared) {
        const Result prepared(PQprepare(mConnection.get(), kInsertName, kInsertSql, kColumns, nullptr));
        if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
            *error = statementError(mConnection.get(), prepared.get());
            return false;
        }
        mPrepared = true;
    }
    Result result(PQexecPrepared(mConnection.get(), kInsertName, kColumns, pointers.data(), nullptr, nullptr, 0));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        *error = statementError(mConnection.get(), result.get());
        return false;
    }
    results->assign(rows.size(), RowResult {});
    QHash<QByteArray, std::size_t> rowOf;
    for (std::size_t i = 0; i < rows.size(); ++i)
        rowOf.insert(rows[i]->event.eventId, i);
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        const auto fresh = rowOf.constFind(QByteArray(PQgetvalue(result.get(), r, 0)));
        if (fresh != rowOf.cend()) {
            (*results)[*fresh].inserted = true;
            rowOf.erase(fresh);
        }
    }
    if (rowOf.isEmpty())
        return true;
    // The digests of the repeats, planned for this many ids (an index scan).
    ArrayParameter repeats;
    for (auto it = rowOf.cbegin(); it != rowOf.cend(); ++it)
        repeats.add(it.key());
    const char* parameter[] = {repeats.finish()};
    result.reset(PQexecParams(mConnection.get(),
        "SELECT event_id::text, encode(body_sha256, 'hex') FROM zepta.events WHERE event_id = ANY($1::uuid[])", 1,
        nullptr, parameter, nullptr, nullptr, 0));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        *error = statementError(mConnection.get(), result.get());
        return false;
    }
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        const auto found = rowOf.constFind(QByteArray(PQgetvalue(result.get(), r, 0)));
        if (found != rowOf.cend())
            (*results)[*found].digest = QByteArray::fromHex(PQgetvalue(result.get(), r, 1));
    }
    return true;
}

void PgSink::write(std::vector<Submission>& batch)
{
    // A repeat inside the batch is answered against its first copy.
    std::vector<Submission*> rows;
    std::vector<std::size_t> rowOf(batch.size());
    QHash<QByteArray, std::size_t> firstRow;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto found = firstRow.constFind(batch[i].event.eventId);
        if (found != firstRow.cend()) {
            rowOf[i] = *found;
            continue;
        }
        rowOf[i] = rows.size();
        firstRow.insert(batch[i].event.eventId, rows.size());
        rows.push_back(&batch[i]);
    }

    std::vector<bool> written(rows.size(), false);
    std::vector<RowResult> results;
    QString error;
    bool ok = false;
    if (!mConnection && std::chrono::steady_clock::now() - mLastAttempt < kRetryPause) {
        error = mLastError;
    } else if (!mConnection && !connect(&error)) {
        lost(error);
    } else {
        ok = insert(rows, &results, &error);
        if (!ok && PQstatus(mConnection.get()) == CONNECTION_BAD) {
            // The server restarted or the network broke: one fresh connection
            // may do. A commit whose answer was lost is harmless to repeat.
            lost(error);
            if (connect(&error))
                ok = insert(rows, &results, &error);
            else
                lost(error);
        }
    }
    if (ok) {
        written.assign(rows.size(), true);
    } else if (mConnection && rows.size() > 1) {
        // The database refused the batch, not the connection: one row may be
        // to blame, so the others must not wait on it.
        results.assign(rows.size(), RowResult {});
        for (std::size_t r = 0; r < rows.size(); ++r) {
            std::vector<RowResult> one;
            QString rowError;
            if (mConnection && insert({rows[r]}, &one, &rowError)) {
                written[r] = true;
                results[r] = one[0];
            } else {
                mLog(QStringLiteral("event %1 not stored: %2")
                         .arg(QString::fromLatin1(rows[r]->event.eventId), rowError.isEmpty() ? mLastError : rowError));
            }
            if (mConnection && PQstatus(mConnection.get()) == CONNECTION_BAD)
                lost(rowError);
        }
    } else if (mConnection) {
        mLog(QStringLiteral("event %1 not stored: %2").arg(QString::fromLatin1(rows[0]->event.eventId), error));
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::size_t r = rowOf[i];
        if (!written[r])
            batch[i].done({503, kUnavailable});
        else if (results[r].inserted && rows[r] == &batch[i])
            batch[i].done(storedOutcome());
        else
            batch[i].done(repeatOutcome(results[r].inserted ? rows[r]->digest : results[r].digest, batch[i].digest));
    }
}

} // namespace listener

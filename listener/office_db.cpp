#include "listener/office_db.h"

#include "listener/office_users.h"
#include "listener/pg_sink.h"

namespace listener::pg
{

QString message(PGconn* connection) { return QString::fromUtf8(PQerrorMessage(connection)).trimmed(); }

Connection connect(const QByteArray& conninfo, QString* error)
{
    // A connect_timeout in the connection string wins over this one.
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "zepta-listener", conninfo.constData(), nullptr};
    Connection connection(PQconnectdbParams(keywords, values, 1));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
        *error = connection ? message(connection.get()) : QStringLiteral("out of memory");
        return nullptr;
    }
    // The schema's "already exists, skipping" notices are no news.
    PQsetNoticeProcessor(
        connection.get(), [](void*, const char*) {}, nullptr);
    return connection;
}

Result query(PGconn* connection, const char* sql, const std::vector<QByteArray>& values, QString* error)
{
    std::vector<const char*> pointers;
    pointers.reserve(values.size());
    for (const QByteArray& value : values)
        pointers.push_back(value.isNull() ? nullptr : value.constData());
    Result result(PQexecParams(
        connection, sql, static_cast<int>(pointers.size()), nullptr, pointers.data(), nullptr, nullptr, 0));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        *error = message(connection);
        return nullptr;
    }
    return result;
}

QString createSchema(PGconn* connection)
{
    QString error;
    // The same advisory lock as the sink's, so listeners starting together
    // never create the same object twice.
    const QByteArray sql = "BEGIN; SELECT pg_advisory_xact_lock(7306254135010481153);\n" + schemaSql() + "\n"
        + officeSchemaSql() + "\nCOMMIT;";
    const Result result(PQexec(connection, sql.constData()));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return QString();
    error = message(connection);
    const Result rollback(PQexec(connection, "ROLLBACK"));
    return error;
}

QSet<QByteArray> eventColumns(PGconn* connection, QString* error)
{
    QSet<QByteArray> columns;
    const Result names = query(connection,
        "SELECT column_name::text FROM information_schema.columns "
        "WHERE table_schema = 'zepta' AND table_name = 'events'",
        {}, error);
    for (int row = 0; names && row < PQntuples(names.get()); ++row)
        columns.insert(QByteArray(PQgetvalue(names.get(), row, 0)));
    return columns;
}

} // namespace listener::pg

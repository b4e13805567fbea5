#pragma once

// Small RAII helpers over libpq for the office side of the listener (users,
// sessions, the web API and the live feed), each on connections of its own:
// the sink's connection belongs to the sink's thread.

#include <QByteArray>
#include <QSet>
#include <QString>

#include <libpq-fe.h>

#include <memory>
#include <vector>

namespace listener::pg
{

struct ConnFinish {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnFinish>;

struct ResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

// Connects with a time-out and an application name; empty with the reason in
// `error` when it cannot (the reason may name the host: keep it for the log).
Connection connect(const QByteArray& conninfo, QString* error);

// Creates what is missing of the sink's and the office's schema, serialised
// between listeners; empty on success, else the server's message.
QString createSchema(PGconn* connection);

// Runs SQL with text parameters (a null QByteArray is SQL Null). The result,
// or null with the server's message in `error`.
Result query(PGconn* connection, const char* sql, const std::vector<QByteArray>& values, QString* error);

QString message(PGconn* connection);

// The columns of zepta.events: other parts of the listener add some, and the
// office's queries use those that are there. Empty with `error` set on failure.
QSet<QByteArray> eventColumns(PGconn* connection, QString* error);

} // namespace listener::pg

#pragma once

// The office's users: people who open the web map. Each has a name and a
// password kept only as an Argon2id hash (Debian's libargon2), in the table
// zepta.office_users of the PostgreSQL sink's database, so every listener on
// that database knows the same users. Crews post with keys; users only read.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

struct pg_conn;

namespace listener
{

// The encoded Argon2id hash of a password with a fresh random salt
// ("$argon2id$v=19$m=...,t=...,p=...$salt$hash"); empty if it cannot be made.
QByteArray hashPassword(const QByteArray& password);
// Whether `password` matches `encoded`. An empty or malformed `encoded` costs
// as much as a real check, so the time taken does not tell whether the user
// exists.
bool verifyPassword(const QByteArray& encoded, const QByteArray& password);

// Empty when `name` can be a user's name, else the reason.
QString checkUserName(const QString& name);

// The SQL that creates the users' and sessions' tables and the trigger that
// tells listening pages about new events.
QByteArray officeSchemaSql();

// `zepta-listener users add NAME | list | remove NAME` against CONNINFO. The
// password of `add` comes from the terminal (asked twice, not echoed) or, when
// standard input is not a terminal, from its first line. Returns the exit
// status; messages go to `out` and `err`.
int runUsersCommand(
    const QStringList& arguments, const QByteArray& conninfo, std::FILE* in, std::FILE* out, std::FILE* err);

} // namespace listener

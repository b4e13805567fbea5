#pragma once

// Office users' sessions: a random token in a cookie, of which only the
// SHA-256 is stored (zepta.office_sessions), so every listener on the
// database knows the session and a copy of the table opens none. A session
// ends after 12 hours without use, at logout, or when its user is removed.

#include <QByteArray>
#include <QString>

#include <libpq-fe.h>

namespace listener::sessions
{

// The Set-Cookie value: HttpOnly and SameSite=Strict always, Secure over TLS;
// `end` makes the browser drop it.
QByteArray cookie(const QByteArray& token, bool tls, bool end);

// The user of the session the Cookie header names, touching its last use at
// most once a minute; empty when there is none. `failed` is set when the
// database did not answer.
QString userOf(PGconn* connection, const QByteArray& cookieHeader, bool* failed);

// A new session for `user`: its token, or empty when none could be stored.
QByteArray open(PGconn* connection, const QByteArray& user);

// Ends the session the Cookie header names, if any.
void close(PGconn* connection, const QByteArray& cookieHeader);

} // namespace listener::sessions

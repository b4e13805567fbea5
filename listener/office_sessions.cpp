#include "listener/office_sessions.h"

#include "listener/office_db.h"

#include <QCryptographicHash>

#include <sys/random.h>

#include <cstring>

namespace listener::sessions
{

namespace
{

constexpr const char* kCookie = "zepta_session";

QByteArray tokenOf(const QByteArray& header)
{
    for (const QByteArray& part : header.split(';')) {
        const QByteArray item = part.trimmed();
        if (item.startsWith(QByteArray(kCookie) + '='))
            return item.mid(qsizetype(std::strlen(kCookie)) + 1);
    }
    return QByteArray();
}

// What is stored of a token: its SHA-256, in hex for decode().
QByteArray hashOf(const QByteArray& token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
}

} // namespace

QByteArray cookie(const QByteArray& token, bool tls, bool end)
{
    QByteArray text = QByteArray(kCookie) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict";
    if (tls)
        text += "; Secure";
    if (end)
        text += "; Max-Age=0";
    return text;
}

QString userOf(PGconn* connection, const QByteArray& cookieHeader, bool* failed)
{
    const QByteArray token = tokenOf(cookieHeader);
    if (token.isEmpty() || token.size() > 100)
        return QString();
    QString error;
    const pg::Result found = pg::query(connection,
        "SELECT user_name, last_seen < now() - interval '1 minute' FROM zepta.office_sessions "
        "WHERE token_hash = decode($1, 'hex') AND last_seen > now() - interval '12 hours'",
        {hashOf(token)}, &error);
    if (!found) {
        *failed = true;
        return QString();
    }
    if (PQntuples(found.get()) != 1)
        return QString();
    if (QByteArray(PQgetvalue(found.get(), 0, 1)) == "t")
        pg::query(connection, "UPDATE zepta.office_sessions SET last_seen = now() WHERE token_hash = decode($1, 'hex')",
            {hashOf(token)}, &error);
    return QString::fromUtf8(PQgetvalue(found.get(), 0, 0));
}

QByteArray open(PGconn* connection, const QByteArray& user)
{
    QByteArray token(32, '\0');
    if (getrandom(token.data(), static_cast<size_t>(token.size()), 0) != token.size())
        return QByteArray();
    token = token.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    QString error;
    pg::query(
        connection, "DELETE FROM zepta.office_sessions WHERE last_seen < now() - interval '12 hours'", {}, &error);
    if (!pg::query(connection,
            "INSERT INTO zepta.office_sessions (token_hash, user_name) VALUES (decode($1, 'hex'), $2)",
            {hashOf(token), user}, &error))
        return QByteArray();
    return token;
}

void close(PGconn* connection, const QByteArray& cookieHeader)
{
    const QByteArray token = tokenOf(cookieHeader);
    QString error;
    if (!token.isEmpty())
        pg::query(connection, "DELETE FROM zepta.office_sessions WHERE token_hash = decode($1, 'hex')", {hashOf(token)},
            &error);
}

} // namespace listener::sessions

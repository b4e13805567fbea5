#pragma once

// Secrets of the listener's clients, kept apart from HTTP and storage so
// other kinds of user can share them: keys made from the system's random
// generator, kept only as hashes and compared in constant time; the Bearer
// header; names. Failed attempts are limited by FailureLimiter.

#include <QByteArray>
#include <QString>

namespace listener::auth
{

// A new key: 32 bytes from the system's generator, in base64url without
// padding (43 characters, easy to paste). Empty when the generator failed.
QByteArray newKey();

// What is stored of a key: its SHA-256. A key has 256 random bits, so no
// slow hash is needed to keep it from being guessed back.
QByteArray keyHash(const QByteArray& key);

// Equal contents, in a time that depends only on the lengths.
bool constantTimeEquals(const QByteArray& a, const QByteArray& b);

// The token of an "Authorization: Bearer <token>" header value; empty when
// there is none or it is not one (a token is 1 to 512 base64url or
// base64 characters).
QByteArray bearerToken(const char* header);

// A name for a crew (or a user): 1 to 64 letters, digits, '.', '_' or '-',
// so it can stand in a log line, a file and a command line as it is.
bool isValidName(const QString& name);

} // namespace listener::auth

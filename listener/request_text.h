#pragma once

// How a request's path and address are written into records and the log,
// and which paths are refused before anything serves them.

#include <QByteArray>

struct sockaddr;

namespace listener
{

// The path as the client sent it (not unescaped), control characters and
// blanks percent-escaped.
QByteArray cleanPath(const char* url);
// A path that climbs out of its folder or hides a NUL or a control character.
bool isSuspectPath(const QByteArray& raw);
// A path as the log shows it: long ones cut short.
QByteArray logged(const QByteArray& path);
// The client's address as text (IPv4 or IPv6), empty for another family.
QByteArray addressText(const sockaddr* address);

} // namespace listener

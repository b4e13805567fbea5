#include "listener/request_text.h"

#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace listener
{

// The path as the client sent it (not unescaped), and never with a blank or
// a control character, since it goes into a record's header line and the log.
QByteArray cleanPath(const char* url)
{
    QByteArray path;
    for (const char* p = url; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c >= 0x7f)
            path += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        else
            path += static_cast<char>(c);
    }
    return path.isEmpty() ? QByteArray("/") : path;
}

// A path that climbs out of its folder or hides a NUL or a control
// character, as sent or percent-escaped: no client of ours sends one, and
// whatever later serves files by path must never meet it.
bool isSuspectPath(const QByteArray& raw)
{
    const QByteArray path = QByteArray::fromPercentEncoding(raw);
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    for (const QByteArray& segment : path.split('/'))
        if (segment == ".." || segment == ".")
            return true;
    return path.contains('\\');
}

// A path as the log shows it: long ones cut short.
QByteArray logged(const QByteArray& path) { return path.size() <= 256 ? path : path.left(256) + "..."; }

QByteArray addressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return QByteArray(text);
}

} // namespace listener

#include "listener/auth.h"

#include "listener/listener_core.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include <cctype>

namespace listener::auth
{

QByteArray newKey()
{
    QByteArray bytes(32, '\0');
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + got, static_cast<size_t>(bytes.size() - got), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        got += n;
    }
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray keyHash(const QByteArray& key) { return sha256(key); }

bool constantTimeEquals(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QByteArray bearerToken(const char* header)
{
    if (!header)
        return {};
    const QByteArray value = QByteArray(header).trimmed();
    if (value.size() > 7 + 512 || value.left(7).toLower() != "bearer ")
        return {};
    const QByteArray token = value.mid(7).trimmed();
    if (token.isEmpty())
        return {};
    for (const char c : token)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_+/=.~", c))
            return {};
    return token;
}

bool isValidName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return pattern.match(name).hasMatch();
}

} // namespace listener::auth

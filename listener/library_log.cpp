#include "listener/library_log.h"

#include <QDateTime>

#include <cstdio>
#include <utility>

namespace listener
{

LibraryLog::LibraryLog(std::function<void(const QString&)> log)
    : mLog(std::move(log))
{
}

void LibraryLog::write(void* self, const char* format, va_list arguments)
{
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length > 0)
        static_cast<LibraryLog*>(self)->message(QByteArray(text).trimmed(), Clock::now());
}

void LibraryLog::message(const QByteArray& text, Clock::time_point now)
{
    QString line;
    {
        const std::lock_guard lock(mMutex);
        if (now - mMinuteStart >= std::chrono::minutes(1)) {
            if (mSuppressed > 0)
                line = QStringLiteral("%1 more messages of the HTTP library in the last minute not logged; ")
                           .arg(mSuppressed);
            mMinuteStart = now;
            mWritten = 0;
            mSuppressed = 0;
        }
        if (mWritten >= kPerMinute) {
            ++mSuppressed;
            return;
        }
        ++mWritten;
    }
    // A message may quote what a client sent: control characters are escaped.
    QByteArray clean;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte >= 0x80)
            clean += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            clean += c;
    }
    mLog(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QStringLiteral(" http library: ") + line
        + QString::fromLatin1(clean));
}

} // namespace listener

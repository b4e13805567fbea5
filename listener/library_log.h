#pragma once

// The HTTP library's own messages (a failed TLS handshake, a socket error)
// in the listener's log: with the time, escaped, and at most kPerMinute lines
// a minute, since any client can cause one with each connection it opens.

#include <QString>

#include <chrono>
#include <cstdarg>
#include <functional>
#include <mutex>

namespace listener
{

class LibraryLog
{
public:
    static constexpr int kPerMinute = 20;
    using Clock = std::chrono::steady_clock;

    explicit LibraryLog(std::function<void(const QString&)> log);

    // libmicrohttpd's logger callback; `self` is a LibraryLog.
    static void write(void* self, const char* format, va_list arguments);
    // One message, at `now`.
    void message(const QByteArray& text, Clock::time_point now);

private:
    std::function<void(const QString&)> mLog;
    std::mutex mMutex;
    Clock::time_point mMinuteStart {};
    int mWritten = 0;
    int mSuppressed = 0;
};

} // namespace listener

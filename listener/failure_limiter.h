#pragma once

// Counts failed attempts (logins) per client address: more than `allowed`
// within a minute blocks that address for `block`. The table is bounded:
// when full, the entries with no recent failure make room first.

#include <QByteArray>
#include <QHash>

#include <chrono>
#include <deque>
#include <mutex>

namespace listener
{

class FailureLimiter
{
public:
    using Clock = std::chrono::steady_clock;
    explicit FailureLimiter(
        int allowed = 10, std::chrono::seconds block = std::chrono::minutes(5), int maxAddresses = 20000);

    // Seconds the address must still wait, 0 when it may try.
    int blockedFor(const QByteArray& address, Clock::time_point now = Clock::now());
    void failed(const QByteArray& address, Clock::time_point now = Clock::now());

private:
    struct Entry {
        std::deque<Clock::time_point> failures; // within the last minute
        Clock::time_point blockedUntil {};
    };
    void prune(Clock::time_point now);

    const int mAllowed;
    const std::chrono::seconds mBlock;
    const int mMaxAddresses;
    std::mutex mMutex;
    QHash<QByteArray, Entry> mEntries;
};

} // namespace listener

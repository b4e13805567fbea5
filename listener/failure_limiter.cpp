#include "listener/failure_limiter.h"

namespace listener
{

namespace
{
constexpr auto kWindow = std::chrono::minutes(1);
}

FailureLimiter::FailureLimiter(int allowed, std::chrono::seconds block, int maxAddresses)
    : mAllowed(allowed)
    , mBlock(block)
    , mMaxAddresses(maxAddresses)
{
}

int FailureLimiter::blockedFor(const QByteArray& address, Clock::time_point now)
{
    const std::lock_guard lock(mMutex);
    const auto found = mEntries.constFind(address);
    if (found == mEntries.cend() || found->blockedUntil <= now)
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(found->blockedUntil - now).count());
}

void FailureLimiter::failed(const QByteArray& address, Clock::time_point now)
{
    const std::lock_guard lock(mMutex);
    if (!mEntries.contains(address) && mEntries.size() >= mMaxAddresses)
        prune(now);
    Entry& entry = mEntries[address];
    while (!entry.failures.empty() && now - entry.failures.front() >= kWindow)
        entry.failures.pop_front();
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) >= mAllowed)
        entry.blockedUntil = now + mBlock;
}

void FailureLimiter::prune(Clock::time_point now)
{
    for (auto it = mEntries.begin(); it != mEntries.end();) {
        const bool quiet = it->failures.empty() || now - it->failures.back() >= kWindow;
        it = quiet && it->blockedUntil <= now ? mEntries.erase(it) : std::next(it);
    }
    // Still full (an attack from many addresses): start afresh rather than grow.
    if (mEntries.size() >= mMaxAddresses)
        mEntries.clear();
}

} // namespace listener

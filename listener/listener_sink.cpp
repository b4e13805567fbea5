#include "listener/listener_sink.h"

#include <utility>

namespace listener
{

Outcome repeatOutcome(const QByteArray& storedDigest, const QByteArray& digest)
{
    // Rows stored before digests were kept have none: take them as the same.
    if (storedDigest.isEmpty() || storedDigest == digest)
        return {200, QStringLiteral("Already stored.")};
    return {409, QStringLiteral("Another document is stored under this EventId.")};
}

Outcome storedOutcome() { return {200, QStringLiteral("Stored.")}; }

Sink::Sink(std::size_t maxQueued, std::size_t maxBatch)
    : mMaxQueued(maxQueued)
    , mMaxBatch(maxBatch)
{
}

Sink::~Sink() = default;

void Sink::start()
{
    mThread = std::thread([this] { run(); });
}

void Sink::stop()
{
    {
        const std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    if (mThread.joinable())
        mThread.join();
}

bool Sink::submit(Submission&& submission)
{
    {
        const std::lock_guard lock(mMutex);
        if (mStopping || mQueue.size() >= mMaxQueued)
            return false;
        mQueue.push_back(std::move(submission));
    }
    mWake.notify_one();
    return true;
}

void Sink::run()
{
    std::vector<Submission> batch;
    for (;;) {
        {
            std::unique_lock lock(mMutex);
            mWake.wait(lock, [this] { return mStopping || !mQueue.empty(); });
            if (mQueue.empty())
                return; // stopping, and everything queued is written
            while (!mQueue.empty() && batch.size() < mMaxBatch) {
                batch.push_back(std::move(mQueue.front()));
                mQueue.pop_front();
            }
        }
        write(batch);
        batch.clear();
    }
}

} // namespace listener

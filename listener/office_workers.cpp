#include "listener/office_workers.h"

#include "listener/office_db.h"

#include <chrono>

namespace listener
{

namespace
{
constexpr std::size_t kMaxQueued = 2000;
constexpr auto kRetryPause = std::chrono::seconds(1);
} // namespace

OfficeWorkers::OfficeWorkers(QByteArray conninfo, int threads, std::function<void(const QString&)> log)
    : mConninfo(std::move(conninfo))
    , mLog(std::move(log))
{
    for (int i = 0; i < std::max(1, threads); ++i)
        mThreads.emplace_back([this] { run(); });
}

OfficeWorkers::~OfficeWorkers() { stop(); }

bool OfficeWorkers::submit(Job job)
{
    {
        const std::lock_guard lock(mMutex);
        if (mStopping || mQueue.size() >= kMaxQueued)
            return false;
        mQueue.push_back(std::move(job));
    }
    mWake.notify_one();
    return true;
}

void OfficeWorkers::stop()
{
    {
        const std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    for (std::thread& thread : mThreads)
        if (thread.joinable())
            thread.join();
}

void OfficeWorkers::run()
{
    pg::Connection connection;
    QSet<QByteArray> columns;
    auto lastAttempt = std::chrono::steady_clock::time_point {};
    for (;;) {
        Job job;
        bool stopping = false;
        {
            std::unique_lock lock(mMutex);
            mWake.wait(lock, [this] { return mStopping || !mQueue.empty(); });
            if (mQueue.empty())
                return;
            job = std::move(mQueue.front());
            mQueue.pop_front();
            stopping = mStopping;
        }
        if (stopping) {
            job(nullptr, columns);
            continue;
        }
        if (connection && PQstatus(connection.get()) == CONNECTION_BAD)
            connection.reset();
        if (!connection && std::chrono::steady_clock::now() - lastAttempt >= kRetryPause) {
            lastAttempt = std::chrono::steady_clock::now();
            QString error;
            connection = pg::connect(mConninfo, &error);
            if (connection) {
                const pg::Result zone(PQexec(connection.get(), "SET TimeZone = 'UTC'; SET statement_timeout = '15s'"));
                error = pg::createSchema(connection.get());
                if (error.isEmpty())
                    columns = pg::eventColumns(connection.get(), &error);
                if (!error.isEmpty())
                    connection.reset();
            }
            const std::lock_guard lock(mMutex);
            if (!connection && !mReported)
                mLog(QStringLiteral("office pages: database unavailable: %1").arg(error));
            else if (connection && mReported)
                mLog(QStringLiteral("office pages: database connection restored"));
            mReported = !connection;
        }
        job(connection.get(), columns);
    }
}

} // namespace listener

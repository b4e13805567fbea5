#pragma once

// A few threads, each with a PostgreSQL connection of its own, that run the
// office's queries off the HTTP threads. A job gets the connection, or null
// while the database cannot be reached (it then answers 503 at once); a lost
// connection is made again at most once a second. Each connection sets UTC
// as its time zone, so times come back in ISO 8601 UTC.

#include <QByteArray>
#include <QSet>
#include <QString>

#include <libpq-fe.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace listener
{

class OfficeWorkers
{
public:
    // `columns` of zepta.events, learnt at each connection (other helpers
    // add columns; the queries use those that are there).
    using Job = std::function<void(PGconn* connection, const QSet<QByteArray>& columns)>;

    OfficeWorkers(QByteArray conninfo, int threads, std::function<void(const QString&)> log);
    ~OfficeWorkers();
    OfficeWorkers(const OfficeWorkers&) = delete;
    OfficeWorkers& operator=(const OfficeWorkers&) = delete;

    // False when the queue is full or the workers stopped: answer 503 then.
    bool submit(Job job);
    // Runs what is queued (with no connection), then ends the threads.
    void stop();

private:
    void run();

    const QByteArray mConninfo;
    const std::function<void(const QString&)> mLog;
    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<Job> mQueue;
    bool mStopping = false;
    bool mReported = false; // an outage is logged once
    std::vector<std::thread> mThreads;
};

} // namespace listener

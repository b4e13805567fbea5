#pragma once

// Where zepta-listener keeps accepted events. A sink takes events from the
// HTTP threads and writes them on a thread of its own, many at a time: one
// fsync or one commit covers a whole batch, and an HTTP thread never waits on
// a disk or a database. Each event is answered only after its batch is
// durably written (or the write failed).

#include "listener/listener_core.h"

#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace listener
{

struct Outcome {
    int status = 200; // 200 stored (or stored before), 409 another body under the id, 503 try again later
    QString text;
};
// The answer for an event whose id is stored already: 200 when it is the
// same document (a retry), 409 when another body claims the id.
Outcome repeatOutcome(const QByteArray& storedDigest, const QByteArray& digest);
Outcome storedOutcome();

struct Submission {
    Event event;
    Record record; // what the file sink writes: time of receipt, path, body, id
    QByteArray sender; // the client's address, e.g. "127.0.0.1"
    QByteArray digest; // of the body (bodyDigest)
    QByteArray crew; // the crew the request was authenticated as; empty when anonymous
    // Called once, on the sink's thread, after the event is stored or failed.
    std::function<void(const Outcome&)> done;
};

class Sink
{
public:
    virtual ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    void start();
    // Writes what is queued, then stops; later submissions are refused.
    void stop();

    // Queues an event; false (and `done` is never called) when the queue is
    // full or the sink stopped: answer 503 then.
    bool submit(Submission&& submission);

protected:
    explicit Sink(std::size_t maxQueued = 20000, std::size_t maxBatch = 1000);
    // Stores a batch and calls `done` of each submission.
    virtual void write(std::vector<Submission>& batch) = 0;

private:
    void run();

    const std::size_t mMaxQueued;
    const std::size_t mMaxBatch;
    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<Submission> mQueue;
    bool mStopping = false;
    std::thread mThread;
};

} // namespace listener

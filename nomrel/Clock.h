#pragma once

#include <QDateTime>
#include <QElapsedTimer>

namespace nomrel
{

// Where the receiver takes its time from: a monotonic count for fix age and
// the no-data time-out, and the UTC date for readings whose sentences carry
// none. Tests put in a clock they move by hand.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual qint64 monotonicMs() const = 0;
    virtual QDateTime utcNow() const = 0;
};

class SystemClock : public Clock
{
public:
    SystemClock() { mElapsed.start(); }
    qint64 monotonicMs() const override { return mElapsed.elapsed(); }
    QDateTime utcNow() const override { return QDateTime::currentDateTimeUtc(); }

private:
    QElapsedTimer mElapsed;
};

} // namespace nomrel

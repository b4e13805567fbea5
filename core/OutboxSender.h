#pragma once

// The outbox's sender: a thread of its own that posts the oldest waiting
// event of the outbox to the listener, one at a time and in order, reusing
// the connection, and marks it sent only on a 2xx answer. It never makes the
// window wait: the window only tells it the listener's address and that an
// event was added, and hears back through signals.
//
// - No connection, a time-out, 408, 429 or 5xx: the event stays first in line
//   and is tried again after a back-off that doubles from Options::firstRetryMs
//   up to Options::longestRetryMs, with jitter, without limit.
// - Any other answer outside 2xx: the event needs attention and is set aside;
//   it waits again when the address changes (setUrl) or on retryNow().
// - outage() is raised once when posting starts to fail, and not again until
//   an event has been delivered (delivered() ends the outage).
// - A 429 or 503 with Retry-After is tried again when the listener asks, up
//   to the longest back-off; a new address is tried at once.
// - When the outbox cannot be written (an event sent cannot be marked),
//   sending stops until it can: stalledChanged() says why, once.

#include "core/Outbox.h"
#include "platform/HttpClient.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Driver
{

class OutboxSender : public QObject
{
    Q_OBJECT
public:
    // The last answer kept with an event the listener refused with 401.
    static constexpr const char* kKeyRefused = "the listener refused this crew's key";

    struct Options {
        int firstRetryMs = 1000;
        int longestRetryMs = 60000;
        http::Timeouts timeouts;
        // A number in [0, 1) for the jitter; tests fix it.
        std::function<double()> random;
    };

    // Sends from the outbox file at `path`; start() begins.
    explicit OutboxSender(const QString& path);
    OutboxSender(const QString& path, Options options);
    ~OutboxSender() override; // stops without waiting on the network

    void start();
    // Ends the thread at once; a post under way is dropped (the event stays
    // waiting and is sent again later: a listener keyed on the event id keeps
    // it once).
    void stop();

    // The listener's address, the crew's key (sent as a bearer token; none
    // when empty) and the CA file its certificate is checked against (empty:
    // the system's store). A change of any also gives every event needing
    // attention another try.
    void setUrl(const QString& url, const QString& key = QString(), const QString& caFile = QString());
    // An event was added to the outbox.
    void added();
    // Events needing attention wait again, and the next attempt is now.
    void retryNow();
    // Counts read afresh from the file (after a discard).
    void recount();

    OutboxStore::Counts counts() const;
    // Why sending is stopped because the outbox cannot be written, in plain
    // words; empty while it can.
    QString stalled() const;
    QString url() const;
    const QString& path() const { return mStore.path(); }

signals:
    void countsChanged();
    // Posting started to fail: the URL, what went wrong, whether the event
    // was set aside for attention (refused) rather than kept in line.
    void outage(const QString& url, const QString& answer, bool attention);
    void delivered();
    // Sending stopped because the outbox cannot be written (the reason), or
    // went on again (empty).
    void stalledChanged(const QString& reason);

private:
    void run();
    void adjustCounts(int waiting, int attention, int sent);
    int retryDelayMs(int failures, const http::Answer& answer) const;
    void setStalled(const QString& reason);

    OutboxStore mStore;
    Options mOptions;
    http::Client mClient;
    std::thread mThread;

    mutable std::mutex mMutex; // guards what follows
    QString mUrl;
    QString mKey;
    QString mCaFile;
    OutboxStore::Counts mCounts;
    bool mStop = false;
    bool mRetryAttention = false;
    bool mRetryNow = false;
    QString mStalled;
};

} // namespace Driver

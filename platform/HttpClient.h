#pragma once

// HTTP POST over libcurl for the outbox's sender thread. One thread posts;
// the connection is kept for the next post to the same server (keep-alive).
// Every wait can be cut short from any thread: wake() ends a wait at once,
// interrupt() also ends a post under way, so a program that exits never waits
// on the network. Time-outs are finite, so a server that accepts and never
// answers cannot hold a post for ever.

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

namespace http
{

struct Timeouts {
    long connectMs = 10000; // until the TCP connection stands
    long totalMs = 30000; // the whole exchange, connection included
};

struct Answer {
    int status = 0; // the HTTP status; 0 when there was no answer
    QString statusLine; // e.g. "HTTP/1.1 404 Not Found"
    QString error; // why there was no answer
    bool interrupted = false;
    long long retryAfterSeconds = -1; // what a Retry-After header asked for; -1 without one

    bool ok() const { return status >= 200 && status <= 299; }
    // The status line, or the reason there is none.
    QString text() const;
};

class Client
{
public:
    // Throws ZeptaError when libcurl cannot give its handles.
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // `caFile` names the certificate authorities an https:// server's
    // certificate is checked against; empty: the system's store.
    Answer post(const QString& url, const QByteArray& body, const QList<QByteArray>& headers,
        const Timeouts& timeouts = Timeouts(), const QString& caFile = QString());

    // Waits up to `ms` or until woken; returns at once when woken since the
    // last wait.
    void wait(int ms);
    // From any thread.
    void wake();
    // From any thread: the post under way, and every later one, ends at once
    // as interrupted; waits end too.
    void interrupt();

private:
    struct Handles;
    std::unique_ptr<Handles> mHandles;
    std::atomic<bool> mWoken {false};
    std::atomic<bool> mInterrupted {false};
};

} // namespace http

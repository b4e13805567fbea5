#pragma once

// zepta-listener's HTTP side, on GNU libmicrohttpd: a small pool of threads
// each serving many connections by epoll, so a slow or silent client holds
// up nobody. On top of the library's idle time-out, connection limits and
// bounded head size, a deadline covers the whole head and body of every
// request (a client dripping one byte at a time is cut off), and the bodies
// held in memory at once are bounded.
//
// Answers: POST on any path with a Zepta event document: the sink's answer
// (200 stored or stored before, 409 another body under a stored id, 503 with
// Retry-After). With crew keys, a POST without a valid key: 401 with
// WWW-Authenticate, before its body is read; more than 10 such from one
// address in a minute: 429 with Retry-After to that address for 5 minutes. Not a POST: 405 with
// Allow. A POST without Content-Length: 411. A body over the limit: 413,
// before it is read. A document that is not one event: 400 with the reason;
// so is an Idempotency-Key header that names another id than the body.

#include "listener/auth.h"
#include "listener/crews.h"
#include "listener/listener_sink.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

struct MHD_Daemon;

namespace listener
{

class OfficeWeb;

struct ServerOptions {
    QByteArray bindAddress = "127.0.0.1"; // IPv4 or IPv6
    std::uint16_t port = 80; // 0: any free port
    std::size_t maxBodyBytes = kDefaultMaxBodyBytes;
    int answerStatus = 0; // when set, every request gets this status and nothing is kept
    unsigned threads = 2;
    unsigned idleTimeoutSeconds = 15; // a connection silent this long is closed
    unsigned requestDeadlineSeconds = 30; // head and body of one request must arrive within this
    unsigned maxConnections = 4000;
    unsigned maxConnectionsPerAddress = 64;
    std::size_t maxBufferedBodyBytes = 64 * 1024 * 1024; // bodies held at once, all connections
    int retryAfterSeconds = 5; // told to clients with a 503
    const CrewKeys* crews = nullptr; // whose keys a POST needs; null: anonymous posts are accepted
    QByteArray tlsCertificate; // PEM; with tlsKey: HTTPS only, TLS 1.2 and 1.3
    QByteArray tlsKey;
};

class HttpServer
{
public:
    // `sink` may be null only with answerStatus. `log` gets one line per answer.
    HttpServer(const ServerOptions& options, Sink* sink, std::function<void(const QString&)> log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // The office's pages and API, served beside the posts (before start).
    void setOffice(OfficeWeb* office);

    bool start(QString* error);
    std::uint16_t port() const;
    // Stops accepting and closes every connection. Stop the sink first, so
    // no connection waits on it.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

} // namespace listener

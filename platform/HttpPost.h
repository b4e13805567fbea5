#pragma once

// A synchronous HTTP POST over libcurl, for the XML posting of events. The call
// blocks until the exchange has ended or failed (no event loop runs meanwhile,
// so no timer fires inside it), and finite time-outs make sure a dead or stuck
// server cannot freeze the caller for ever. An answer outside 2xx and every
// transport error is a failure: a ZeptaError with a clear reason.

#include <QByteArray>
#include <QString>

#include <memory>

namespace http
{

struct Timeouts {
    long connectMs = 10000; // until the TCP connection stands
    long totalMs = 30000; // the whole exchange, connection included
};

// Time-outs that every later post starts with (tests shorten them). Returns
// the ones replaced.
Timeouts setDefaultTimeouts(const Timeouts& timeouts);
Timeouts defaultTimeouts();

class HttpPost
{
public:
    // Throws ZeptaError when libcurl cannot give a handle.
    HttpPost();
    ~HttpPost();
    HttpPost(const HttpPost&) = delete;
    HttpPost& operator=(const HttpPost&) = delete;

    void setTimeouts(const Timeouts& timeouts) { mTimeouts = timeouts; }

    // Sends body to url with the given Content-Type and returns the status
    // (200..299). Throws ZeptaError naming the URL and the reason otherwise.
    // The answer's body is not kept.
    int post(const QString& url, const QByteArray& body, const QByteArray& contentType);

    // The status line of the last answer, e.g. "HTTP/1.1 404 Not Found".
    const QString& statusLine() const { return mStatusLine; }

private:
    struct Handle;
    std::unique_ptr<Handle> mHandle;
    Timeouts mTimeouts;
    QString mStatusLine;
};

} // namespace http

#include "listener/http_server.h"

#include "listener/failure_limiter.h"
#include "listener/library_log.h"

#include "listener/office_web.h"
#include "listener/request_text.h"

#include <QDateTime>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace listener
{

namespace
{

using Clock = std::chrono::steady_clock;

std::int64_t nowTicks() { return Clock::now().time_since_epoch().count(); }

// One TCP connection, known from its opening to its closing. Its deadline
// runs while a request is being received: from the connection's opening or
// the previous answer until the request's body is complete.
struct Conn {
    int fd = -1;
    QByteArray address;
    std::atomic<bool> receiving {true};
    std::atomic<std::int64_t> since {0};
    bool cut = false; // under the registry's lock
};

// One request.
struct Exchange {
    enum class Stage { Reading, Discarding, Waiting, Ready };
    Stage stage = Stage::Reading;
    QByteArray method;
    QByteArray path;
    QByteArray idempotencyKey;
    QByteArray body;
    bool suspectPath = false;
    int retryAfter = 0; // with a 429
    QByteArray eventId; // once the body is read
    QByteArray crew; // once the key is checked
    std::size_t reserved = 0; // of the server's body budget
    Outcome outcome;
    Conn* conn = nullptr;
    bool web = false; // a request of the office's pages
    WebAnswer webAnswer;
};

size_t keepRaw(void*, MHD_Connection*, char* text) { return std::strlen(text); }

} // namespace

struct HttpServer::Impl {
    ServerOptions options;
    Sink* sink;
    OfficeWeb* office = nullptr;
    std::function<void(const QString&)> log;
    LibraryLog libraryLog {[this](const QString& line) { log(line); }};
    MHD_Daemon* daemon = nullptr;

    std::mutex registryMutex;
    std::unordered_set<Conn*> conns;
    std::atomic<std::size_t> buffered {0};
    // Crews' keys: more than 10 failures a minute from one address block it.
    FailureLimiter failures {11};

    std::mutex reaperMutex;
    std::condition_variable reaperWake;
    bool stopping = false;
    std::thread reaper;

    MHD_Result answer(MHD_Connection* connection, Exchange* exchange, int status, const QString& text)
    {
        const QByteArray body = text.toUtf8() + '\n';
        MHD_Response* response = MHD_create_response_from_buffer(
            static_cast<size_t>(body.size()), const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
        if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "POST");
        if (status == MHD_HTTP_UNAUTHORIZED)
            MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"zepta-listener\"");
        if (status == MHD_HTTP_TOO_MANY_REQUESTS)
            MHD_add_response_header(
                response, MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number(exchange->retryAfter).constData());
        if (status == MHD_HTTP_SERVICE_UNAVAILABLE)
            MHD_add_response_header(
                response, MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number(options.retryAfterSeconds).constData());
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
        MHD_destroy_response(response);
        logAnswer(exchange, status);
        return queued;
    }

    // Fields of our own making or escaped; never the body, never a template
    // built from what the client sent.
    void logAnswer(const Exchange* exchange, int status)
    {
        const auto field = [](const QByteArray& value) { return value.isEmpty() ? QByteArray("-") : value; };
        log(QString::fromLatin1(isoUtc(QDateTime::currentDateTimeUtc()) + ' '
            + field(exchange->conn ? exchange->conn->address : QByteArray()) + ' '
            + cleanPath(exchange->method.constData()) + ' ' + logged(exchange->path) + ' ' + QByteArray::number(status)
            + ' ' + field(exchange->eventId) + ' ' + field(exchange->crew)));
    }

    MHD_Result begin(MHD_Connection* connection, Exchange* exchange)
    {
        if (options.answerStatus != 0) {
            exchange->stage = Exchange::Stage::Discarding;
            return MHD_YES;
        }
        if (exchange->method != MHD_HTTP_METHOD_POST)
            return answer(
                connection, exchange, MHD_HTTP_METHOD_NOT_ALLOWED, QStringLiteral("Only POST is accepted here."));
        if (exchange->suspectPath)
            return answer(connection, exchange, MHD_HTTP_BAD_REQUEST,
                QStringLiteral("The path holds \"..\", \".\", a backslash or a control character."));
        if (options.crews) {
            const QByteArray& address = exchange->conn->address;
            if ((exchange->retryAfter = failures.blockedFor(address)) > 0)
                return answer(connection, exchange, MHD_HTTP_TOO_MANY_REQUESTS,
                    QStringLiteral("Too many failed keys from this address; try again later."));
            const QByteArray key = auth::bearerToken(
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION));
            switch (options.crews->crewOf(key, &exchange->crew)) {
            case CrewKeys::Check::Known:
                break;
            case CrewKeys::Check::NotLoaded:
                return answer(
                    connection, exchange, MHD_HTTP_SERVICE_UNAVAILABLE, QStringLiteral("database unavailable"));
            case CrewKeys::Check::Unknown:
                failures.failed(address);
                if ((exchange->retryAfter = failures.blockedFor(address)) > 0)
                    return answer(connection, exchange, MHD_HTTP_TOO_MANY_REQUESTS,
                        QStringLiteral("Too many failed keys from this address; try again later."));
                return answer(connection, exchange, MHD_HTTP_UNAUTHORIZED,
                    QStringLiteral("A crew's key is needed: Authorization: Bearer <key>."));
            }
        }
        int lengths = 0;
        MHD_get_connection_values(
            connection, MHD_HEADER_KIND,
            [](void* count, MHD_ValueKind, const char* key, const char*) {
                if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
                    ++*static_cast<int*>(count);
                return MHD_YES;
            },
            &lengths);
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (lengths == 0 || MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
            return answer(connection, exchange, MHD_HTTP_LENGTH_REQUIRED,
                QStringLiteral("A POST needs a Content-Length header."));
        bool ok = false;
        const qulonglong bytes = QByteArray(length).toULongLong(&ok);
        if (lengths > 1 || !ok)
            return answer(connection, exchange, MHD_HTTP_BAD_REQUEST,
                QStringLiteral("The Content-Length header is not one whole number."));
        if (bytes > options.maxBodyBytes)
            return answer(connection, exchange, MHD_HTTP_CONTENT_TOO_LARGE,
                QStringLiteral("The body is larger than %1 bytes.").arg(options.maxBodyBytes));
        if (buffered.fetch_add(bytes) + bytes > options.maxBufferedBodyBytes) {
            buffered.fetch_sub(bytes);
            return answer(connection, exchange, MHD_HTTP_SERVICE_UNAVAILABLE,
                QStringLiteral("The listener is busy; try again later."));
        }
        exchange->reserved = bytes;
        exchange->body.reserve(static_cast<qsizetype>(bytes));
        exchange->idempotencyKey = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Idempotency-Key");
        return MHD_YES;
    }

    MHD_Result beginWeb(MHD_Connection* connection, Exchange* exchange)
    {
        exchange->web = true;
        if (exchange->suspectPath)
            return answer(connection, exchange, MHD_HTTP_BAD_REQUEST,
                QStringLiteral("The path holds \"..\", \".\", a backslash or a control character."));
        if (exchange->method != MHD_HTTP_METHOD_POST)
            return MHD_YES;
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        bool ok = false;
        const qulonglong bytes = QByteArray(length).toULongLong(&ok);
        if (!ok || MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
            return answer(connection, exchange, MHD_HTTP_LENGTH_REQUIRED,
                QStringLiteral("A POST needs a Content-Length header."));
        if (bytes > static_cast<qulonglong>(OfficeWeb::kMaxBody))
            return answer(connection, exchange, MHD_HTTP_CONTENT_TOO_LARGE,
                QStringLiteral("The body is larger than %1 bytes.").arg(OfficeWeb::kMaxBody));
        return MHD_YES;
    }

    MHD_Result finishWeb(MHD_Connection* connection, Exchange* exchange)
    {
        exchange->conn->receiving = false;
        WebRequest request;
        request.method = exchange->method;
        request.path = exchange->path;
        request.address = exchange->conn->address;
        request.body = exchange->body;
        request.cookie = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_COOKIE);
        MHD_get_connection_values(
            connection, MHD_GET_ARGUMENT_KIND,
            [](void* query, MHD_ValueKind, const char* key, const char* value) {
                const auto decoded = [](const char* text) {
                    QByteArray raw(text ? text : "");
                    return QByteArray::fromPercentEncoding(raw.replace('+', ' '));
                };
                static_cast<QList<QPair<QByteArray, QByteArray>>*>(query)->push_back({decoded(key), decoded(value)});
                return MHD_YES;
            },
            &request.query);
        exchange->stage = Exchange::Stage::Waiting;
        MHD_suspend_connection(connection);
        office->serve(connection, std::move(request), [connection, exchange](WebAnswer answer) {
            exchange->webAnswer = std::move(answer);
            exchange->stage = Exchange::Stage::Ready;
            MHD_resume_connection(connection);
        });
        return MHD_YES;
    }

    MHD_Result answerWeb(MHD_Connection* connection, Exchange* exchange)
    {
        logAnswer(exchange, exchange->webAnswer.status);
        return static_cast<MHD_Result>(OfficeWeb::queue(connection, exchange->webAnswer));
    }

    MHD_Result finish(MHD_Connection* connection, Exchange* exchange)
    {
        if (exchange->web)
            return finishWeb(connection, exchange);
        exchange->conn->receiving = false; // the whole request is in: its deadline is met
        QString reason;
        std::optional<Event> event = parseEvent(exchange->body, &reason);
        if (!event)
            return answer(connection, exchange, MHD_HTTP_BAD_REQUEST, reason);
        exchange->eventId = event->eventId;
        if (!exchange->idempotencyKey.isNull() && canonicalEventId(exchange->idempotencyKey) != event->eventId)
            return answer(connection, exchange, MHD_HTTP_BAD_REQUEST,
                QStringLiteral("The Idempotency-Key header names another id than the EventId."));

        Submission submission;
        submission.record
            = {QDateTime::currentDateTimeUtc(), exchange->path, exchange->body, event->eventId, exchange->crew};
        submission.event = std::move(*event);
        submission.sender = exchange->conn->address;
        submission.digest = bodyDigest(exchange->body);
        submission.crew = exchange->crew;
        submission.done = [connection, exchange](const Outcome& outcome) {
            exchange->outcome = outcome;
            exchange->stage = Exchange::Stage::Ready;
            MHD_resume_connection(connection);
        };
        // Suspended before it is queued, so the sink cannot resume it first.
        exchange->stage = Exchange::Stage::Waiting;
        MHD_suspend_connection(connection);
        if (!sink->submit(std::move(submission))) {
            exchange->outcome
                = {MHD_HTTP_SERVICE_UNAVAILABLE, QStringLiteral("The listener is busy; try again later.")};
            exchange->stage = Exchange::Stage::Ready;
            MHD_resume_connection(connection);
        }
        return MHD_YES;
    }

    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url, const char* method,
        const char* /*version*/, const char* upload, size_t* uploadSize, void** requestContext)
    {
        auto* self = static_cast<Impl*>(cls);
        auto* exchange = static_cast<Exchange*>(*requestContext);
        if (!exchange) {
            exchange = new Exchange;
            *requestContext = exchange;
            exchange->method = method;
            exchange->path = cleanPath(url);
            exchange->suspectPath = isSuspectPath(url);
            exchange->conn = static_cast<Conn*>(
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)->socket_context);
            if (self->office && self->options.answerStatus == 0 && OfficeWeb::wants(exchange->method, exchange->path))
                return self->beginWeb(connection, exchange);
            return self->begin(connection, exchange);
        }
        if (*uploadSize > 0) {
            if (exchange->stage == Exchange::Stage::Reading)
                exchange->body.append(upload, static_cast<qsizetype>(*uploadSize));
            *uploadSize = 0;
            return MHD_YES;
        }
        switch (exchange->stage) {
        case Exchange::Stage::Reading:
            return self->finish(connection, exchange);
        case Exchange::Stage::Discarding:
            return self->answer(
                connection, exchange, self->options.answerStatus, QStringLiteral("Fixed answer of this listener."));
        case Exchange::Stage::Ready:
            if (exchange->web)
                return self->answerWeb(connection, exchange);
            return self->answer(connection, exchange, exchange->outcome.status, exchange->outcome.text);
        case Exchange::Stage::Waiting:
            break;
        }
        return MHD_YES;
    }

    static void completed(void* cls, MHD_Connection* connection, void** requestContext, MHD_RequestTerminationCode)
    {
        auto* self = static_cast<Impl*>(cls);
        const auto* exchange = static_cast<Exchange*>(*requestContext);
        *requestContext = nullptr;
        if (exchange) {
            self->buffered.fetch_sub(exchange->reserved);
            delete exchange;
        }
        // The next request on this connection gets a deadline of its own.
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT))
            if (auto* conn = static_cast<Conn*>(info->socket_context)) {
                conn->since = nowTicks();
                conn->receiving = true;
            }
    }

    static void notify(void* cls, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code)
    {
        auto* self = static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* conn = new Conn;
            conn->fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
            conn->address
                = addressText(MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)->client_addr);
            conn->since = nowTicks();
            const std::lock_guard lock(self->registryMutex);
            self->conns.insert(conn);
            *socketContext = conn;
            return;
        }
        auto* conn = static_cast<Conn*>(*socketContext);
        *socketContext = nullptr;
        // Removed before the library closes the socket, under the lock the
        // reaper holds while it shuts one down: it never touches a reused fd.
        const std::lock_guard lock(self->registryMutex);
        self->conns.erase(conn);
        delete conn;
    }

    // Cuts off connections whose request is not in by its deadline. Shutting
    // the socket down makes the library see the end and close it itself.
    void reap()
    {
        const auto deadline
            = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(options.requestDeadlineSeconds)).count();
        const auto period = std::chrono::milliseconds(std::min(1000u, options.requestDeadlineSeconds * 250 + 100));
        std::unique_lock wait(reaperMutex);
        while (!reaperWake.wait_for(wait, period, [this] { return stopping; })) {
            const std::int64_t now = nowTicks();
            const std::lock_guard lock(registryMutex);
            for (Conn* conn : conns) {
                if (!conn->cut && conn->receiving && now - conn->since > deadline) {
                    ::shutdown(conn->fd, SHUT_RDWR);
                    conn->cut = true;
                }
            }
        }
    }
};

HttpServer::HttpServer(const ServerOptions& options, Sink* sink, std::function<void(const QString&)> log)
    : mImpl(std::make_unique<Impl>())
{
    mImpl->options = options;
    mImpl->sink = sink;
    mImpl->log = std::move(log);
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::setOffice(OfficeWeb* office) { mImpl->office = office; }

bool HttpServer::start(QString* error)
{
    const ServerOptions& o = mImpl->options;
    sockaddr_in v4 {};
    sockaddr_in6 v6 {};
    const sockaddr* address = nullptr;
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (inet_pton(AF_INET, o.bindAddress.constData(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(o.port);
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, o.bindAddress.constData(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(o.port);
        address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        *error = QStringLiteral("%1 is not an IP address").arg(QString::fromLatin1(o.bindAddress));
        return false;
    }
    // TLS by GnuTLS inside the library: versions 1.2 and 1.3 only; a client
    // speaking plain HTTP fails the handshake.
    std::vector<MHD_OptionItem> tls;
    if (!o.tlsCertificate.isEmpty()) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            *error = QStringLiteral("this libmicrohttpd was built without TLS");
            return false;
        }
        flags |= MHD_USE_TLS;
        tls.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(o.tlsCertificate.constData())});
        tls.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(o.tlsKey.constData())});
        tls.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0,
            const_cast<char*>("SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:%SERVER_PRECEDENCE")});
    }
    tls.push_back({MHD_OPTION_END, 0, nullptr});
    mImpl->daemon = MHD_start_daemon(flags, o.port, nullptr, nullptr, &Impl::access, mImpl.get(), MHD_OPTION_SOCK_ADDR,
        address, MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, o.threads), MHD_OPTION_CONNECTION_TIMEOUT,
        o.idleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT, o.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        o.maxConnectionsPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(32 * 1024),
        MHD_OPTION_NOTIFY_COMPLETED, &Impl::completed, mImpl.get(), MHD_OPTION_NOTIFY_CONNECTION, &Impl::notify,
        mImpl.get(), MHD_OPTION_UNESCAPE_CALLBACK, &keepRaw, nullptr, MHD_OPTION_EXTERNAL_LOGGER, &LibraryLog::write,
        &mImpl->libraryLog, MHD_OPTION_ARRAY, tls.data(), MHD_OPTION_END);
    if (!mImpl->daemon) {
        *error = QStringLiteral("cannot listen on %1 port %2 (in use, not an address of this machine, or a TLS "
                                "certificate and key that do not go together?)")
                     .arg(QString::fromLatin1(o.bindAddress))
                     .arg(o.port);
        return false;
    }
    mImpl->reaper = std::thread([impl = mImpl.get()] { impl->reap(); });
    return true;
}

std::uint16_t HttpServer::port() const
{
    if (!mImpl->daemon)
        return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(mImpl->daemon, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

void HttpServer::stop()
{
    {
        const std::lock_guard lock(mImpl->reaperMutex);
        mImpl->stopping = true;
    }
    mImpl->reaperWake.notify_all();
    if (mImpl->reaper.joinable())
        mImpl->reaper.join();
    if (mImpl->daemon)
        MHD_stop_daemon(std::exchange(mImpl->daemon, nullptr));
}

} // namespace listener

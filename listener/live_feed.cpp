#include "listener/live_feed.h"

#include "listener/office_api.h"
#include "listener/office_db.h"

#include <microhttpd.h>
#include <sys/select.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace listener
{

namespace
{
using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxStreams = 500;
constexpr qsizetype kMaxPending = 8 * 1024 * 1024; // a page this far behind is closed; it opens again
constexpr auto kHeartbeat = std::chrono::seconds(10);
constexpr auto kStreamLife = std::chrono::minutes(10);
constexpr auto kRetryPause = std::chrono::seconds(1);

// One SSE message; every line of data gets its own "data:" prefix.
QByteArray message(const char* event, const QByteArray& data)
{
    QByteArray text = QByteArray("event: ") + event + '\n';
    for (const QByteArray& line : data.split('\n'))
        text += "data: " + line + '\n';
    return text + '\n';
}
} // namespace

struct LiveFeed::Stream {
    std::mutex mutex;
    MHD_Connection* connection = nullptr;
    QByteArray pending;
    bool suspended = false;
    bool ending = false;
    bool gone = false; // the connection closed: never touch it again
    Clock::time_point opened = Clock::now();

    // Under `mutex`: queue text and wake the connection if it waits.
    void push(const QByteArray& text, bool end)
    {
        if (gone)
            return;
        if (pending.size() + text.size() > kMaxPending)
            end = true;
        else
            pending += text;
        ending = ending || end;
        if (suspended) {
            suspended = false;
            MHD_resume_connection(connection);
        }
    }

    static ssize_t read(void* cls, uint64_t, char* buffer, size_t max)
    {
        auto* stream = static_cast<Stream*>(cls);
        const std::lock_guard lock(stream->mutex);
        if (!stream->pending.isEmpty()) {
            const auto n = std::min(static_cast<qsizetype>(max), stream->pending.size());
            std::memcpy(buffer, stream->pending.constData(), static_cast<size_t>(n));
            stream->pending.remove(0, n);
            return static_cast<ssize_t>(n);
        }
        if (stream->ending)
            return MHD_CONTENT_READER_END_OF_STREAM;
        // Nothing to send: wait off the event loop until push() wakes us.
        stream->suspended = true;
        MHD_suspend_connection(stream->connection);
        return 0;
    }

    // The feed drops the stream at its next message; taking the feed's lock
    // here, on the library's thread, could hold up the library.
    static void free(void* cls)
    {
        auto* stream = static_cast<Stream*>(cls);
        const std::lock_guard lock(stream->mutex);
        stream->gone = true;
    }
};

LiveFeed::LiveFeed(QByteArray conninfo, std::function<void(const QString&)> log)
    : mConninfo(std::move(conninfo))
    , mLog(std::move(log))
{
}

LiveFeed::~LiveFeed() { stop(); }

void LiveFeed::start()
{
    mThread = std::thread([this] { run(); });
}

void LiveFeed::stop()
{
    {
        const std::lock_guard lock(mMutex);
        mStopping = true;
        for (const auto& stream : mStreams) {
            const std::lock_guard streamLock(stream->mutex);
            stream->push(QByteArray(), true);
        }
    }
    mWake.notify_all();
    if (mThread.joinable())
        mThread.join();
}

MHD_Response* LiveFeed::open(MHD_Connection* connection)
{
    auto stream = std::make_shared<Stream>();
    stream->connection = connection;
    // The browser waits 2 s before opening a lost stream again.
    stream->pending = "retry: 2000\n\n";
    {
        const std::lock_guard lock(mMutex);
        if (mStopping || mStreams.size() >= kMaxStreams)
            return nullptr;
        stream->pending += message("status", mDatabaseOk ? R"({"database":"ok"})" : R"({"database":"unavailable"})");
        mStreams.insert(stream);
    }
    MHD_Response* response
        = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Stream::read, stream.get(), &Stream::free);
    if (!response) {
        const std::lock_guard lock(mMutex);
        mStreams.erase(stream);
        return nullptr;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream; charset=utf-8");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Accel-Buffering", "no");
    return response;
}

void LiveFeed::broadcast(const QByteArray& text)
{
    const std::lock_guard lock(mMutex);
    const auto now = Clock::now();
    for (auto it = mStreams.begin(); it != mStreams.end();) {
        const std::shared_ptr<Stream> stream = *it;
        const std::lock_guard streamLock(stream->mutex);
        if (stream->gone) {
            it = mStreams.erase(it);
            continue;
        }
        stream->push(text, now - stream->opened > kStreamLife);
        ++it;
    }
}

bool LiveFeed::anyOpen()
{
    const std::lock_guard lock(mMutex);
    for (auto it = mStreams.begin(); it != mStreams.end();) {
        const std::lock_guard streamLock((*it)->mutex);
        if (!(*it)->gone)
            return true;
        it = mStreams.erase(it);
    }
    return false;
}

void LiveFeed::setDatabaseOk(bool ok)
{
    const std::lock_guard lock(mMutex);
    mDatabaseOk = ok;
}

bool LiveFeed::waitForNotifications(PGconn* connection, int milliseconds)
{
    const int socket = PQsocket(connection);
    if (socket < 0)
        return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout {milliseconds / 1000, (milliseconds % 1000) * 1000};
    if (select(socket + 1, &readable, nullptr, nullptr, &timeout) < 0)
        return true; // interrupted: look again
    return PQconsumeInput(connection) == 1;
}

void LiveFeed::run()
{
    pg::Connection connection;
    QSet<QByteArray> columns;
    bool down = false;
    auto lastBeat = Clock::now();
    for (;;) {
        {
            std::unique_lock lock(mMutex);
            if (mStopping)
                return;
            if (!connection && down)
                mWake.wait_for(lock, kRetryPause, [this] { return mStopping; });
            if (mStopping)
                return;
        }
        QString error;
        if (!connection) {
            connection = pg::connect(mConninfo, &error);
            if (connection) {
                error = pg::createSchema(connection.get());
                const pg::Result listen(PQexec(connection.get(), "SET TimeZone = 'UTC'; LISTEN zepta_events"));
                if (error.isEmpty() && PQresultStatus(listen.get()) != PGRES_COMMAND_OK)
                    error = pg::message(connection.get());
                if (error.isEmpty())
                    columns = pg::eventColumns(connection.get(), &error);
                if (!error.isEmpty())
                    connection.reset();
            }
            if (!connection) {
                if (!down)
                    mLog(QStringLiteral("live feed: database unavailable: %1").arg(error));
                down = true;
                setDatabaseOk(false);
                broadcast(message("status", R"({"database":"unavailable"})"));
                continue;
            }
            if (down)
                mLog(QStringLiteral("live feed: database connection restored"));
            down = false;
            setDatabaseOk(true);
            broadcast(message("status", R"({"database":"ok"})"));
        }

        if (!waitForNotifications(connection.get(), 250)) {
            connection.reset();
            continue;
        }
        // One message per transaction, with its id, in commit order. With no
        // page open nobody would read them: the rows are not fetched then (a
        // page that opens later loads what was stored before it).
        while (PGnotify* notify = PQnotifies(connection.get())) {
            const QList<QByteArray> parts = QByteArray(notify->extra).split(' ');
            PQfreemem(notify);
            if (parts.size() != 3 || !anyOpen())
                continue;
            const ApiResult features
                = featuresJson(connection.get(), columns, parts[0].toLongLong(), parts[1].toLongLong(), parts[2]);
            if (features.json.isEmpty()) {
                if (PQstatus(connection.get()) == CONNECTION_BAD)
                    connection.reset();
                mLog(QStringLiteral("live feed: cannot read new events: %1").arg(features.error));
                break;
            }
            broadcast(message("events", features.json));
        }
        if (!connection)
            continue;
        if (Clock::now() - lastBeat >= kHeartbeat) {
            lastBeat = Clock::now();
            broadcast(": still here\n\n");
        }
    }
}

} // namespace listener

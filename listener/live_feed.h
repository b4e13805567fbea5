#pragma once

// Live updates for open office pages, as Server-Sent Events. Each insert
// into zepta.events (by any listener on the database) raises a NOTIFY from a
// trigger, delivered at commit in commit order; this feed LISTENs on a
// connection of its own, reads the new rows and sends them as one "events"
// message to every open page. A push rather than polling: a page learns of
// an event within a few milliseconds of its commit and no page costs a query
// a second. A page's stream closes after some minutes and the browser opens
// it again, with its cookie checked afresh.
//
// Messages: "events" (a JSON array of GeoJSON Features), "status"
// ({"database":"unavailable"} or {"database":"ok"}; after "ok" the page
// reloads what it shows, since it may have missed events), and a comment
// every 10 s that keeps the connection open through proxies.

#include <QByteArray>
#include <QSet>
#include <QString>

#include <libpq-fe.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

struct MHD_Connection;
struct MHD_Response;

namespace listener
{

class LiveFeed
{
public:
    LiveFeed(QByteArray conninfo, std::function<void(const QString&)> log);
    ~LiveFeed();
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;

    void start();
    // Ends every stream (each answer finishes) and the thread.
    void stop();

    // A new stream on `connection`; null when too many are open.
    MHD_Response* open(MHD_Connection* connection);

    struct Stream;

private:
    void run();
    void broadcast(const QByteArray& message);
    // Whether a page's stream is open (dropping those that closed).
    bool anyOpen();
    void setDatabaseOk(bool ok);
    bool waitForNotifications(PGconn* connection, int milliseconds);

    const QByteArray mConninfo;
    const std::function<void(const QString&)> mLog;
    std::mutex mMutex; // guards mStreams and mStopping
    std::set<std::shared_ptr<Stream>> mStreams;
    bool mStopping = false;
    bool mDatabaseOk = false;
    std::condition_variable mWake;
    std::thread mThread;
};

} // namespace listener

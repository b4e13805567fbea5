#pragma once

// The office's side of zepta-listener: a login page, the live web map and
// the JSON API it uses, served beside the crews' event posts on the same
// port. Pages and API answers need an office user's session (a cookie);
// crew keys open neither, and a session posts no event. Everything is read
// from the PostgreSQL sink's database on connections of its own, by a few
// worker threads, so an HTTP thread never waits on the database; with the
// file sink every office path answers 404 and says why.
//
//   GET  /login, POST /login, POST /logout     session cookie, failed logins limited
//   GET  /                                     the map page
//   GET  /api/events?bbox=&since=&until=&crew=&type=&limit=&after=
//   GET  /api/crews?since=                     last seen, position, events since
//   GET  /api/tracks?bbox=&since=&until=&crew= one line per crew (or tracking run)
//   GET  /api/live                             Server-Sent Events of new events
//   GET  /api/config                           basemap and clustering for the page
//   GET  /static/*, /leaflet/*                 our files and Debian's Leaflet
//   GET  /icons/NAME, /tiles/Z/X/Y             catalogue icons, --mbtiles tiles
//
// Every answer carries a Content-Security-Policy that lets the page load only
// the listener's own scripts, styles and images (and the tile server's
// images with --tiles), with no inline script or style.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

struct MHD_Connection;
struct MHD_Response;

namespace listener
{

struct OfficeOptions {
    QByteArray conninfo; // empty: the file sink, no office pages
    bool tls = false; // cookies get Secure
    QString tilesTemplate; // --tiles, e.g. https://tile.example.org/{z}/{x}/{y}.png
    QString tilesAttribution;
    QString mbtilesPath; // --mbtiles
    QString iconsFolder; // the catalogue's Icons/
    QString leafletFolder = QStringLiteral("/usr/share/javascript/leaflet");
    int clusterAbove = 5000; // more events than this in a request are clustered on the server
    int workers = 2; // database connections for pages and the API
};

struct WebRequest {
    QByteArray method;
    QByteArray path; // as sent, without the query
    QList<QPair<QByteArray, QByteArray>> query; // decoded
    QByteArray address; // the client's
    QByteArray cookie; // the Cookie header
    QByteArray body; // of POST /login
};

struct WebAnswer {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // A streamed answer (the live feed) is made on the connection by this.
    std::function<MHD_Response*(MHD_Connection*)> stream;
    QByteArray gzipped; // the body gzipped ahead, for files sent often
};

class OfficeWeb
{
public:
    OfficeWeb(OfficeOptions options, std::function<void(const QString&)> log);
    ~OfficeWeb();
    OfficeWeb(const OfficeWeb&) = delete;
    OfficeWeb& operator=(const OfficeWeb&) = delete;

    // Reads Leaflet and the tiles file and starts the workers; false with the
    // reason when an option names something unusable.
    bool start(QString* error);
    // Answers every waiting request and closes the live streams; call before
    // the HTTP server stops.
    void stop();

    // Whether a request is the office's (the rest are crews' posts).
    static bool wants(const QByteArray& method, const QByteArray& path);
    // Largest body the office accepts (a login form).
    static constexpr qsizetype kMaxBody = 8192;

    // Answers through `done`, at once or later from another thread.
    void serve(MHD_Connection* connection, WebRequest request, std::function<void(WebAnswer)> done);
    // Makes the MHD response of an answer and queues it.
    static int queue(MHD_Connection* connection, WebAnswer& answer);

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

} // namespace listener

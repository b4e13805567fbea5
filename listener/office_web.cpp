#include "listener/office_web.h"

#include "listener/failure_limiter.h"
#include "listener/http_gzip.h"
#include "listener/live_feed.h"
#include "listener/mbtiles.h"
#include "listener/office_api.h"
#include "listener/office_db.h"
#include "listener/office_files.h"
#include "listener/office_sessions.h"
#include "listener/office_users.h"
#include "listener/office_workers.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <microhttpd.h>

namespace listener
{

namespace
{

const QByteArray kNoPg = "The office map and its API need the PostgreSQL sink (--pg): this listener keeps its events "
                         "in a file, where there are no users to log in and nothing to query.";

WebAnswer text(int status, const QByteArray& body)
{
    WebAnswer answer;
    answer.status = status;
    answer.contentType = "text/plain; charset=utf-8";
    answer.body = body + '\n';
    return answer;
}

WebAnswer json(int status, const QByteArray& body)
{
    WebAnswer answer;
    answer.status = status;
    answer.contentType = "application/json";
    answer.body = body;
    return answer;
}

WebAnswer jsonError(int status, const QString& message)
{
    return json(status, QJsonDocument(QJsonObject {{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact));
}

WebAnswer redirect(const QByteArray& to)
{
    WebAnswer answer = text(303, "See " + to);
    answer.headers.push_back({"Location", to});
    return answer;
}

QByteArray formValue(const QByteArray& body, const QByteArray& name)
{
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq > 0 && pair.left(eq) == name) {
            QByteArray value = pair.mid(eq + 1);
            value.replace('+', ' ');
            return QByteArray::fromPercentEncoding(value);
        }
    }
    return QByteArray();
}

QByteArray htmlEscaped(const QString& text) { return text.toHtmlEscaped().toUtf8(); }

} // namespace

struct OfficeWeb::Impl {
    OfficeOptions options;
    std::function<void(const QString&)> log;
    std::unique_ptr<OfficeWorkers> workers;
    std::unique_ptr<LiveFeed> feed;
    std::unique_ptr<MbTiles> tiles;
    FailureLimiter limiter;
    QHash<QByteArray, StaticFile> files; // by path
    QByteArray policy; // Content-Security-Policy
    QByteArray configJson;
    bool clusterScript = false;

    QByteArray loginPage(const QString& message) const
    {
        QByteArray page = files.value("/login").body;
        page.replace("<!--message-->",
            message.isEmpty() ? QByteArray() : "<p id=\"message\" role=\"alert\">" + htmlEscaped(message) + "</p>");
        return page;
    }

    WebAnswer loginAnswer(int status, const QString& message) const
    {
        WebAnswer answer;
        answer.status = status;
        answer.contentType = "text/html; charset=utf-8";
        answer.body = loginPage(message);
        return answer;
    }

    WebAnswer login(PGconn* connection, const WebRequest& request)
    {
        const QByteArray name = formValue(request.body, "user");
        QByteArray password = formValue(request.body, "password");
        QString error;
        const pg::Result found
            = pg::query(connection, "SELECT password_hash FROM zepta.office_users WHERE name = $1", {name}, &error);
        if (!found)
            return loginAnswer(503, QStringLiteral("The database is unavailable; try again in a moment."));
        const QByteArray hash = PQntuples(found.get()) == 1 ? QByteArray(PQgetvalue(found.get(), 0, 0)) : QByteArray();
        const bool match = verifyPassword(hash, password);
        password.fill('\0');
        if (!match) {
            limiter.failed(request.address);
            log(QStringLiteral("office login refused from %1").arg(QString::fromLatin1(request.address)));
            return loginAnswer(401, QStringLiteral("Wrong user name or password."));
        }
        const QByteArray token = sessions::open(connection, name);
        if (token.isEmpty())
            return loginAnswer(503, QStringLiteral("The database is unavailable; try again in a moment."));
        WebAnswer answer = redirect("/");
        answer.headers.push_back({"Set-Cookie", sessions::cookie(token, options.tls, false)});
        return answer;
    }

    WebAnswer logout(PGconn* connection, const WebRequest& request)
    {
        sessions::close(connection, request.cookie);
        WebAnswer answer = redirect("/login");
        answer.headers.push_back({"Set-Cookie", sessions::cookie("", options.tls, true)});
        return answer;
    }

    WebAnswer icon(const QByteArray& path) const
    {
        static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9_.-]{0,99}\\.ico$"));
        const QString name = QString::fromUtf8(path.mid(7));
        QFile file(QDir(options.iconsFolder).filePath(name));
        if (!safe.match(name).hasMatch())
            return text(404, "No such icon.");
        WebAnswer answer;
        if (options.iconsFolder.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            // A type whose icon this listener lacks (no --icons, or an older
            // catalogue) is still drawn: a plain marker, not a broken image.
            QFile marker(QStringLiteral(":/office/marker.svg"));
            if (!marker.open(QIODevice::ReadOnly))
                return text(404, "No such icon.");
            answer.contentType = "image/svg+xml";
            answer.body = marker.readAll();
            answer.headers.push_back({"Cache-Control", "private, max-age=3600"});
            return answer;
        }
        answer.contentType = "image/x-icon";
        answer.body = file.read(1024 * 1024);
        answer.headers.push_back({"Cache-Control", "private, max-age=3600"});
        return answer;
    }

    WebAnswer tile(const QByteArray& path)
    {
        static const QRegularExpression form(QStringLiteral("^/tiles/(\\d{1,2})/(\\d{1,9})/(\\d{1,9})(\\.\\w+)?$"));
        const QRegularExpressionMatch match = form.match(QString::fromLatin1(path));
        if (!tiles)
            return text(404, "This listener serves no tiles (start it with --mbtiles FILE).");
        if (!match.hasMatch())
            return text(400, "A tile is /tiles/Z/X/Y.");
        const std::optional<QByteArray> data
            = tiles->tile(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
        if (!data)
            return text(404, "No such tile.");
        WebAnswer answer;
        answer.contentType = tiles->contentType();
        answer.body = *data;
        answer.headers.push_back({"Cache-Control", "private, max-age=86400"});
        return answer;
    }

    // Paths that need a session, answered on a worker with its connection.
    WebAnswer withSession(PGconn* connection, const QSet<QByteArray>& columns, const WebRequest& request)
    {
        const bool api = request.path.startsWith("/api/");
        if (!connection)
            return api ? jsonError(503, QStringLiteral("database unavailable"))
                       : text(503, "The database is unavailable; this page will work again when it is back.");
        bool failed = false;
        const QString name = sessions::userOf(connection, request.cookie, &failed);
        if (failed)
            return api ? jsonError(503, QStringLiteral("database unavailable"))
                       : text(503, "The database is unavailable; try again in a moment.");
        if (name.isEmpty()) {
            if (request.path == "/")
                return redirect("/login");
            WebAnswer answer = api
                ? jsonError(401, QStringLiteral("Log in first: this needs an office user's session."))
                : text(401, "Log in first.");
            return answer;
        }
        if (request.path == "/")
            return {200, "text/html; charset=utf-8", files.value("/").body, {{"Cache-Control", "no-store"}}, {},
                files.value("/").gzipped};
        if (request.path.startsWith("/icons/"))
            return icon(request.path);
        if (request.path.startsWith("/tiles/"))
            return tile(request.path);
        if (request.path == "/api/config") {
            QJsonDocument config = QJsonDocument::fromJson(configJson);
            QJsonObject object = config.object();
            object.insert(QStringLiteral("user"), name);
            return json(200, QJsonDocument(object).toJson(QJsonDocument::Compact));
        }
        if (request.path == "/api/live") {
            WebAnswer answer;
            LiveFeed* live = feed.get();
            answer.stream = [live](MHD_Connection* connection) { return live->open(connection); };
            return answer;
        }
        const struct {
            const char* path;
            const char* allowed;
        } routes[] = {
            {"/api/events", "bbox since until crew type limit after"},
            {"/api/crews", "since"},
            {"/api/tracks", "bbox since until crew type"},
            {"/api/types", ""},
        };
        for (const auto& route : routes) {
            if (request.path != route.path)
                continue;
            QString reason;
            const std::optional<EventFilter> filter = parseFilter(request.query, route.allowed, &reason);
            if (!filter)
                return jsonError(400, reason);
            const ApiResult result = request.path == "/api/events"
                ? eventsJson(connection, columns, *filter, options.clusterAbove)
                : request.path == "/api/crews"  ? crewsJson(connection, columns, *filter)
                : request.path == "/api/tracks" ? tracksJson(connection, columns, *filter)
                                                : typesJson(connection);
            if (result.json.isEmpty()) {
                log(QStringLiteral("office API %1: %2").arg(QString::fromLatin1(request.path), result.error));
                return jsonError(503, QStringLiteral("database unavailable"));
            }
            WebAnswer answer = json(200, result.json);
            answer.headers.push_back({"Cache-Control", "no-store"});
            return answer;
        }
        return api ? jsonError(404, QStringLiteral("No such API path.")) : text(404, "No such page.");
    }

    void addCommonHeaders(WebAnswer& answer) const
    {
        answer.headers.push_back({"Content-Security-Policy", policy});
        answer.headers.push_back({"X-Content-Type-Options", "nosniff"});
        answer.headers.push_back({"Referrer-Policy", "no-referrer"});
        answer.headers.push_back({"X-Frame-Options", "DENY"});
        if (options.tls)
            answer.headers.push_back({"Strict-Transport-Security", "max-age=31536000"});
    }
};

OfficeWeb::OfficeWeb(OfficeOptions options, std::function<void(const QString&)> log)
    : mImpl(std::make_unique<Impl>())
{
    mImpl->options = std::move(options);
    mImpl->log = std::move(log);
}

OfficeWeb::~OfficeWeb() { stop(); }

bool OfficeWeb::wants(const QByteArray& method, const QByteArray& path)
{
    Q_UNUSED(method);
    return path == "/" || path == "/favicon.ico" || path == "/login" || path == "/logout" || path.startsWith("/api/")
        || path.startsWith("/static/") || path.startsWith("/leaflet/") || path.startsWith("/icons/")
        || path.startsWith("/tiles/");
}

bool OfficeWeb::start(QString* error)
{
    Impl& d = *mImpl;
    const OfficeOptions& o = d.options;
    QByteArray imageSources = "'self'";
    QString origin; // the tile server's
    if (!o.tilesTemplate.isEmpty()) {
        // The policy names the server's origin; {s} (its subdomains) becomes
        // a wildcard of one label. Braces are no URL's, so they are taken
        // out before parsing.
        static const QRegularExpression form(
            QStringLiteral("^(https?)://(\\{s\\}\\.)?([A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*)(:\\d{1,5})?/"));
        const QRegularExpressionMatch match = form.match(o.tilesTemplate);
        if (!match.hasMatch() || !o.tilesTemplate.contains(QLatin1String("{z}"))
            || !o.tilesTemplate.contains(QLatin1String("{x}")) || !o.tilesTemplate.contains(QLatin1String("{y}"))) {
            *error = QStringLiteral("--tiles must be an http(s) URL with {z}, {x} and {y}, e.g. "
                                    "https://tile.example.org/{z}/{x}/{y}.png");
            return false;
        }
        origin = match.captured(1) + QStringLiteral("://")
            + (match.captured(2).isEmpty() ? QString() : QStringLiteral("*.")) + match.captured(3) + match.captured(5);
        imageSources += ' ' + origin.toLatin1();
    }
    if (!o.mbtilesPath.isEmpty()) {
        d.tiles = MbTiles::open(o.mbtilesPath, error);
        if (!d.tiles)
            return false;
    }
    d.policy = "default-src 'none'; script-src 'self'; style-src 'self'; img-src " + imageSources
        + "; connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

    if (!readStaticFiles(o.leafletFolder, &d.files, error))
        return false;
    d.clusterScript = d.files.contains("/leaflet/leaflet.markercluster.js");
    if (!o.conninfo.isEmpty() && !d.files.contains("/leaflet/leaflet.js"))
        d.log(QStringLiteral("office map: Leaflet is not installed in %1 (Debian package libjs-leaflet); the page "
                             "cannot draw the map")
                  .arg(o.leafletFolder));

    QJsonObject config {
        {QStringLiteral("clusterAbove"), o.clusterAbove}, {QStringLiteral("markerCluster"), d.clusterScript}};
    if (!o.tilesTemplate.isEmpty()) {
        config.insert(QStringLiteral("tiles"), o.tilesTemplate);
        config.insert(QStringLiteral("attribution"),
            o.tilesAttribution.isEmpty() ? QStringLiteral("Map tiles: %1").arg(origin) : o.tilesAttribution);
    } else if (d.tiles) {
        config.insert(QStringLiteral("tiles"), QStringLiteral("/tiles/{z}/{x}/{y}"));
        config.insert(
            QStringLiteral("attribution"), o.tilesAttribution.isEmpty() ? d.tiles->attribution() : o.tilesAttribution);
        config.insert(QStringLiteral("minZoom"), d.tiles->minZoom());
        config.insert(QStringLiteral("maxZoom"), d.tiles->maxZoom());
    }
    d.configJson = QJsonDocument(config).toJson(QJsonDocument::Compact);

    if (!o.conninfo.isEmpty()) {
        d.workers = std::make_unique<OfficeWorkers>(o.conninfo, o.workers, d.log);
        d.feed = std::make_unique<LiveFeed>(o.conninfo, d.log);
        d.feed->start();
    }
    return true;
}

void OfficeWeb::stop()
{
    if (mImpl->feed)
        mImpl->feed->stop();
    if (mImpl->workers)
        mImpl->workers->stop();
}

void OfficeWeb::serve(MHD_Connection*, WebRequest request, std::function<void(WebAnswer)> done)
{
    Impl* d = mImpl.get();
    const auto finish = [d, done](WebAnswer answer) {
        d->addCommonHeaders(answer);
        done(std::move(answer));
    };
    const QByteArray& path = request.path;
    const bool post = request.method == MHD_HTTP_METHOD_POST;
    const bool read = request.method == MHD_HTTP_METHOD_GET || request.method == MHD_HTTP_METHOD_HEAD;
    const bool form = path == "/login" || path == "/logout";
    if (!(read || (post && form))) {
        WebAnswer answer = text(405, "This path takes " + QByteArray(form ? "GET and POST." : "GET."));
        answer.headers.push_back({"Allow", form ? "GET, HEAD, POST" : "GET, HEAD"});
        return finish(std::move(answer));
    }
    if (d->options.conninfo.isEmpty())
        return finish(text(404, kNoPg));
    if (read && (path.startsWith("/static/") || path.startsWith("/leaflet/"))) {
        const auto found = d->files.constFind(path);
        if (found == d->files.cend())
            return finish(text(404, "No such file."));
        const bool versioned = request.query.contains({"v", found->version});
        const QByteArray cache = versioned ? "public, max-age=31536000, immutable" : "public, max-age=3600";
        return finish({200, found->contentType, found->body, {{"Cache-Control", cache}}, {}, found->gzipped});
    }
    if (read && path == "/favicon.ico")
        return finish({204, "image/x-icon", QByteArray(), {}, {}, {}});
    if (read && path == "/login")
        return finish(d->loginAnswer(200, QString()));
    if (post && path == "/login") {
        if (const int wait = d->limiter.blockedFor(request.address)) {
            WebAnswer answer = d->loginAnswer(429,
                QStringLiteral("Too many failed logins from this address; try again in %1 minute(s).")
                    .arg((wait + 59) / 60));
            answer.headers.push_back({"Retry-After", QByteArray::number(wait)});
            return finish(std::move(answer));
        }
    }
    const bool queued
        = d->workers->submit([d, request, finish, post](PGconn* connection, const QSet<QByteArray>& columns) {
              if (post && request.path == "/login")
                  finish(connection
                          ? d->login(connection, request)
                          : d->loginAnswer(503, QStringLiteral("The database is unavailable; try again in a moment.")));
              else if (post)
                  finish(connection ? d->logout(connection, request) : redirect("/login"));
              else
                  finish(d->withSession(connection, columns, request));
          });
    if (!queued)
        finish(jsonError(503, QStringLiteral("The listener is busy; try again later.")));
}

int OfficeWeb::queue(MHD_Connection* connection, WebAnswer& answer)
{
    MHD_Response* response = nullptr;
    if (answer.stream) {
        response = answer.stream(connection);
        if (!response) {
            answer = text(503, "Too many live pages are open; try again later.");
            return queue(connection, answer);
        }
    } else {
        // Text of a kilobyte or more goes gzipped where the browser takes it.
        if (answer.body.size() >= 1024 && compressible(answer.contentType)) {
            answer.headers.push_back({"Vary", "Accept-Encoding"});
            if (acceptsGzip(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Accept-Encoding"))) {
                const QByteArray packed = answer.gzipped.isEmpty() ? gzip(answer.body, 1) : answer.gzipped;
                if (!packed.isEmpty()) {
                    answer.body = packed;
                    answer.headers.push_back({"Content-Encoding", "gzip"});
                }
            }
        }
        response = MHD_create_response_from_buffer(
            static_cast<size_t>(answer.body.size()), const_cast<char*>(answer.body.constData()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.constData());
    }
    for (const auto& [name, value] : answer.headers)
        MHD_add_response_header(response, name.constData(), value.constData());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace listener

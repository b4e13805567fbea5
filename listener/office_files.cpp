#include "listener/office_files.h"

#include "listener/http_gzip.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>

namespace listener
{

namespace
{
QByteArray contentTypeOf(const QString& name)
{
    if (name.endsWith(QLatin1String(".js")))
        return "text/javascript; charset=utf-8";
    if (name.endsWith(QLatin1String(".css")))
        return "text/css; charset=utf-8";
    if (name.endsWith(QLatin1String(".html")))
        return "text/html; charset=utf-8";
    if (name.endsWith(QLatin1String(".png")))
        return "image/png";
    if (name.endsWith(QLatin1String(".ico")))
        return "image/x-icon";
    return "application/octet-stream";
}

} // namespace

bool readStaticFiles(const QString& leafletFolder, StaticFiles* files, QString* error)
{
    // Our own files, built into the program.
    for (const char* name :
        {"office-text.js", "office-layers.js", "office.js", "office.css", "login.css", "index.html", "login.html"}) {
        QFile file(QStringLiteral(":/office/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("the office page's %1 is missing from the program").arg(QLatin1String(name));
            return false;
        }
        const QByteArray base = name;
        const QByteArray path = base == "index.html" ? QByteArray("/")
            : base == "login.html"                   ? QByteArray("/login")
                                                     : "/static/" + base;
        files->insert(path, {contentTypeOf(QLatin1String(name)), file.readAll(), {}, {}});
    }
    // Leaflet (libjs-leaflet) and, if installed, its marker clustering
    // (libjs-leaflet.markercluster), read from the package's files.
    const QDir leaflet(leafletFolder);
    for (const QString& name : {QStringLiteral("leaflet.js"), QStringLiteral("leaflet.css"),
             QStringLiteral("leaflet.markercluster.js"), QStringLiteral("MarkerCluster.css"),
             QStringLiteral("MarkerCluster.Default.css"), QStringLiteral("images/layers.png"),
             QStringLiteral("images/layers-2x.png"), QStringLiteral("images/marker-icon.png"),
             QStringLiteral("images/marker-icon-2x.png"), QStringLiteral("images/marker-shadow.png")}) {
        QFile file(leaflet.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            files->insert("/leaflet/" + name.toLatin1(), {contentTypeOf(name), file.readAll(), {}, {}});
    }
    QByteArray& index = (*files)["/"].body;
    index.replace("<!--cluster-->",
        files->contains("/leaflet/leaflet.markercluster.js")
            ? "<link rel=\"stylesheet\" href=\"/leaflet/MarkerCluster.css\">\n"
              "<link rel=\"stylesheet\" href=\"/leaflet/MarkerCluster.Default.css\">\n"
              "<script src=\"/leaflet/leaflet.markercluster.js\"></script>"
            : "");
    // The pages link each file with its content's digest, so that browsers may
    // keep the files for a year and still read a new listener's at once.
    QList<QPair<QByteArray, QByteArray>> versions;
    for (auto file = files->begin(); file != files->end(); ++file) {
        file->version = QCryptographicHash::hash(file->body, QCryptographicHash::Sha256).toHex().left(12);
        versions.append({'"' + file.key() + '"', '"' + file.key() + "?v=" + file->version + '"'});
    }
    for (const auto& [from, to] : versions) {
        (*files)["/"].body.replace(from, to);
        (*files)["/login"].body.replace(from, to);
    }
    for (StaticFile& file : *files)
        if (compressible(file.contentType))
            file.gzipped = gzip(file.body, 9);
    return true;
}

} // namespace listener

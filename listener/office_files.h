#pragma once

// The office pages' static files: the page's own, built into the program, and
// Leaflet's, read from its Debian packages.

#include <QByteArray>
#include <QHash>
#include <QString>

namespace listener
{

struct StaticFile {
    QByteArray contentType;
    QByteArray body;
    QByteArray gzipped; // for the text files
    QByteArray version; // a digest of the content, in the pages' links to it
};

// By path: "/" and "/login" for the pages, "/static/..." and "/leaflet/...".
using StaticFiles = QHash<QByteArray, StaticFile>;

// Reads them all, the pages linking marker clustering when it is installed;
// false, saying why, when the program's own are missing.
bool readStaticFiles(const QString& leafletFolder, StaticFiles* files, QString* error);

} // namespace listener

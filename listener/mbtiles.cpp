#include "listener/mbtiles.h"

#include <QFile>

#include <sqlite3.h>

namespace listener
{

namespace
{
struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    return Statement(statement);
}
} // namespace

std::unique_ptr<MbTiles> MbTiles::open(const QString& path, QString* error)
{
    std::unique_ptr<MbTiles> tiles(new MbTiles);
    if (!QFile::exists(path)) {
        *error = QStringLiteral("--mbtiles: %1 does not exist").arg(path);
        return nullptr;
    }
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &tiles->mDb, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("--mbtiles: cannot open %1: %2").arg(path, QString::fromUtf8(sqlite3_errstr(rc)));
        return nullptr;
    }
    const Statement metadata = prepare(tiles->mDb, "SELECT name, value FROM metadata");
    const Statement probe = prepare(tiles->mDb, "SELECT tile_data FROM tiles LIMIT 1");
    if (!metadata || !probe) {
        *error = QStringLiteral("--mbtiles: %1 is not an MBTiles file (no metadata and tiles tables)").arg(path);
        return nullptr;
    }
    while (sqlite3_step(metadata.get()) == SQLITE_ROW) {
        const QByteArray name = reinterpret_cast<const char*>(sqlite3_column_text(metadata.get(), 0));
        const QString value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(metadata.get(), 1)));
        if (name == "format" && value == QLatin1String("jpg"))
            tiles->mContentType = "image/jpeg";
        else if (name == "format" && value == QLatin1String("webp"))
            tiles->mContentType = "image/webp";
        else if (name == "format" && value != QLatin1String("png")) {
            *error = QStringLiteral("--mbtiles: %1 holds %2 tiles; only raster png, jpg and webp are served")
                         .arg(path, value);
            return nullptr;
        } else if (name == "attribution")
            tiles->mAttribution = value;
        else if (name == "minzoom")
            tiles->mMinZoom = value.toInt();
        else if (name == "maxzoom")
            tiles->mMaxZoom = value.toInt();
    }
    return tiles;
}

MbTiles::~MbTiles() { sqlite3_close(mDb); }

std::optional<QByteArray> MbTiles::tile(int zoom, int x, int y)
{
    if (zoom < 0 || zoom > 30 || x < 0 || y < 0 || x >= (1 << zoom) || y >= (1 << zoom))
        return std::nullopt;
    const std::lock_guard lock(mMutex);
    const Statement statement
        = prepare(mDb, "SELECT tile_data FROM tiles WHERE zoom_level = ? AND tile_column = ? AND tile_row = ?");
    if (!statement)
        return std::nullopt;
    sqlite3_bind_int(statement.get(), 1, zoom);
    sqlite3_bind_int(statement.get(), 2, x);
    sqlite3_bind_int(statement.get(), 3, (1 << zoom) - 1 - y);
    if (sqlite3_step(statement.get()) != SQLITE_ROW)
        return std::nullopt;
    return QByteArray(
        static_cast<const char*>(sqlite3_column_blob(statement.get(), 0)), sqlite3_column_bytes(statement.get(), 0));
}

} // namespace listener

#include "gui/map/TileSource.h"

#include "gui/map/MapProjection.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QStringList>

#include <sqlite3.h>

#include <cmath>

namespace basemap
{

namespace
{
QString text(sqlite3_stmt* statement, int column)
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return bytes ? QString::fromUtf8(bytes, sqlite3_column_bytes(statement, column)) : QString();
}

// A whole number close enough to x, or -1.
long long nearlyWhole(double x)
{
    const double rounded = std::round(x);
    return std::abs(x - rounded) < 1e-6 * std::max(1.0, std::abs(x)) ? static_cast<long long>(rounded) : -1;
}
} // namespace

void TileSource::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void TileSource::Finalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

void TileSource::fail(const QString& what) const
{
    const int code = sqlite3_extended_errcode(mDb.get());
    QString reason = QString::fromUtf8(sqlite3_errmsg(mDb.get()));
    if ((code & 0xff) == SQLITE_NOTADB)
        reason = QStringLiteral("it is not an SQLite file (MBTiles or GeoPackage)");
    else if ((code & 0xff) == SQLITE_CORRUPT)
        reason = QStringLiteral("the file is damaged or truncated (%1)").arg(reason);
    throw BasemapError {what.isEmpty() ? reason : what + QStringLiteral(": ") + reason};
}

std::unique_ptr<TileSource> TileSource::open(const QString& path)
{
    const QFileInfo file(path);
    if (!file.isFile())
        throw BasemapError {QStringLiteral("the file does not exist")};
    // The header says what the file is and how long it should be: a file cut
    // short is told as such, before the engine finds a page missing.
    QFile header(path);
    if (!header.open(QIODevice::ReadOnly))
        throw BasemapError {header.errorString()};
    const QByteArray head = header.read(100);
    if (head.size() < 100 || !head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        throw BasemapError {QStringLiteral("it is not an SQLite file (MBTiles or GeoPackage)")};
    const auto bigEndian = [&head](int at, int bytes) {
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | static_cast<unsigned char>(head[at + i]);
        return value;
    };
    const quint64 pageSize = bigEndian(16, 2) == 1 ? 65536 : bigEndian(16, 2);
    const quint64 pages = bigEndian(28, 4);
    // The page count is valid while it was written with the change counter.
    if (pages > 0 && bigEndian(24, 4) == bigEndian(92, 4) && pages * pageSize > quint64(file.size()))
        throw BasemapError {
            QStringLiteral("the file is truncated (%1 of %2 bytes)").arg(file.size()).arg(pages * pageSize)};

    std::unique_ptr<TileSource> source(new TileSource);
    source->mInfo.path = path;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    source->mDb.reset(db);
    if (opened != SQLITE_OK)
        source->fail(QString());

    auto hasTable = [&](const char* name) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(
                db, "SELECT 1 FROM sqlite_master WHERE name = ? AND type IN ('table', 'view')", -1, &raw, nullptr)
            != SQLITE_OK)
            source->fail(QString());
        std::unique_ptr<sqlite3_stmt, Finalizer> statement(raw);
        sqlite3_bind_text(raw, 1, name, -1, SQLITE_STATIC);
        const int step = sqlite3_step(raw);
        if (step != SQLITE_ROW && step != SQLITE_DONE)
            source->fail(QString());
        return step == SQLITE_ROW;
    };
    if (hasTable("gpkg_contents"))
        source->openGeoPackage();
    else if (hasTable("tiles"))
        source->openMbtiles();
    else
        throw BasemapError {QStringLiteral("it is an SQLite file with neither MBTiles tiles nor a GeoPackage")};
    if (source->mInfo.name.isEmpty())
        source->mInfo.name = file.completeBaseName();
    return source;
}

TileSource::~TileSource() = default;

void TileSource::openMbtiles()
{
    mInfo.kind = QStringLiteral("MBTiles");
    mTmsRows = true;
    sqlite3_stmt* raw = nullptr;
    bool haveMin = false;
    bool haveMax = false;
    if (sqlite3_prepare_v2(mDb.get(), "SELECT name, value FROM metadata", -1, &raw, nullptr) == SQLITE_OK) {
        std::unique_ptr<sqlite3_stmt, Finalizer> statement(raw);
        int step;
        while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
            const QString name = text(raw, 0).trimmed().toLower();
            const QString value = text(raw, 1).trimmed();
            bool ok = false;
            if (name == QLatin1String("name")) {
                mInfo.name = value;
            } else if (name == QLatin1String("format")) {
                mInfo.format = value.toLower();
            } else if (name == QLatin1String("minzoom")) {
                mInfo.minZoom = value.toInt(&ok);
                haveMin = ok;
            } else if (name == QLatin1String("maxzoom")) {
                mInfo.maxZoom = value.toInt(&ok);
                haveMax = ok;
            } else if (name == QLatin1String("bounds")) {
                const QStringList parts = value.split(QLatin1Char(','));
                if (parts.size() == 4) {
                    double v[4];
                    bool all = true;
                    for (int i = 0; i < 4; ++i)
                        v[i] = parts[i].trimmed().toDouble(&ok), all = all && ok;
                    if (all)
                        mInfo.bounds = QRectF(QPointF(v[0], v[3]), QPointF(v[2], v[1]));
                }
            }
        }
        if (step != SQLITE_DONE)
            fail(QStringLiteral("its metadata cannot be read"));
    } // a file without metadata is still drawn, by what its tiles say
    if (mInfo.format == QLatin1String("pbf") || mInfo.format == QLatin1String("mvt"))
        throw BasemapError {
            QStringLiteral("it holds vector tiles (format %1); only raster tiles (PNG, JPEG, WebP) can be drawn")
                .arg(mInfo.format)};
    if (!haveMin || !haveMax) {
        raw = nullptr;
        if (sqlite3_prepare_v2(mDb.get(), "SELECT MIN(zoom_level), MAX(zoom_level) FROM tiles", -1, &raw, nullptr)
            != SQLITE_OK)
            fail(QStringLiteral("its tiles cannot be read"));
        std::unique_ptr<sqlite3_stmt, Finalizer> statement(raw);
        if (sqlite3_step(raw) != SQLITE_ROW)
            fail(QStringLiteral("its tiles cannot be read"));
        if (sqlite3_column_type(raw, 0) == SQLITE_NULL)
            throw BasemapError {QStringLiteral("it holds no tiles")};
        if (!haveMin)
            mInfo.minZoom = sqlite3_column_int(raw, 0);
        if (!haveMax)
            mInfo.maxZoom = sqlite3_column_int(raw, 1);
    }
    if (mInfo.minZoom < 0 || mInfo.maxZoom > 30 || mInfo.minZoom > mInfo.maxZoom)
        throw BasemapError {
            QStringLiteral("its zoom levels %1 to %2 make no sense").arg(mInfo.minZoom).arg(mInfo.maxZoom)};
    raw = nullptr;
    if (sqlite3_prepare_v2(mDb.get(),
            "SELECT tile_data FROM tiles WHERE zoom_level = ?1 AND tile_column = ?2 AND tile_row = ?3", -1, &raw,
            nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("its tiles cannot be read"));
    mTileQuery.reset(raw);
}

// Only a pyramid on the web map's grid can be drawn tile for tile: 256-pixel
// tiles whose pixel size is a web zoom's and whose origin is a web tile's corner.
void TileSource::openGeoPackage()
{
    mInfo.kind = QStringLiteral("GeoPackage");
    mTmsRows = false;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(mDb.get(),
            "SELECT c.table_name, c.identifier, s.organization, s.organization_coordsys_id, m.min_x, m.min_y, "
            "m.max_x, m.max_y FROM gpkg_contents c JOIN gpkg_tile_matrix_set m ON m.table_name = c.table_name "
            "LEFT JOIN gpkg_spatial_ref_sys s ON s.srs_id = m.srs_id WHERE c.data_type = 'tiles' "
            "ORDER BY c.table_name LIMIT 1",
            -1, &raw, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("its tile matrix set cannot be read"));
    std::unique_ptr<sqlite3_stmt, Finalizer> set(raw);
    const int step = sqlite3_step(raw);
    if (step == SQLITE_DONE)
        throw BasemapError {QStringLiteral("the GeoPackage holds no raster tiles")};
    if (step != SQLITE_ROW)
        fail(QStringLiteral("its tile matrix set cannot be read"));
    mTable = text(raw, 0).toUtf8();
    mInfo.name = text(raw, 1);
    const QString organization = text(raw, 2);
    const int code = sqlite3_column_int(raw, 3);
    if (organization.compare(QLatin1String("EPSG"), Qt::CaseInsensitive) != 0 || code != 3857)
        throw BasemapError {QStringLiteral("its tiles are in %1:%2, not in EPSG:3857 (Web Mercator)")
                                .arg(organization.isEmpty() ? QStringLiteral("an unknown system") : organization)
                                .arg(code)};
    const double minX = sqlite3_column_double(raw, 4);
    const double maxY = sqlite3_column_double(raw, 7);
    mInfo.bounds = QRectF(QPointF(mapmath::longitudeOf(mapmath::worldXOfMetres(minX)),
                              mapmath::latitudeOf(mapmath::worldYOfMetres(maxY))),
        QPointF(mapmath::longitudeOf(mapmath::worldXOfMetres(sqlite3_column_double(raw, 6))),
            mapmath::latitudeOf(mapmath::worldYOfMetres(sqlite3_column_double(raw, 5)))));
    set.reset();

    raw = nullptr;
    if (sqlite3_prepare_v2(mDb.get(),
            "SELECT zoom_level, tile_width, tile_height, pixel_x_size, pixel_y_size FROM gpkg_tile_matrix "
            "WHERE table_name = ? ORDER BY zoom_level",
            -1, &raw, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("its tile matrices cannot be read"));
    std::unique_ptr<sqlite3_stmt, Finalizer> matrices(raw);
    sqlite3_bind_text(raw, 1, mTable.constData(), -1, SQLITE_STATIC);
    const double world = 2.0 * mapmath::kPi * mapmath::kEarthRadius;
    mInfo.minZoom = 99;
    mInfo.maxZoom = -1;
    int row;
    while ((row = sqlite3_step(raw)) == SQLITE_ROW) {
        const int level = sqlite3_column_int(raw, 0);
        const double pixel = sqlite3_column_double(raw, 3);
        const long long zoom = pixel > 0 ? nearlyWhole(std::log2(world / (mapmath::kTileSize * pixel))) : -1;
        const double tileMetres = mapmath::kTileSize * pixel;
        const long long column = nearlyWhole((minX + world / 2) / tileMetres);
        const long long firstRow = nearlyWhole((world / 2 - maxY) / tileMetres);
        if (sqlite3_column_int(raw, 1) != mapmath::kTileSize || sqlite3_column_int(raw, 2) != mapmath::kTileSize
            || zoom < 0 || zoom >= static_cast<long long>(mLevels.size()) || column < 0 || firstRow < 0
            || std::abs(sqlite3_column_double(raw, 4) - pixel) > 1e-6 * pixel)
            throw BasemapError {
                QStringLiteral("its tiles are in EPSG:3857 but not on the web map's tile grid (level %1); "
                               "make it with the GoogleMapsCompatible tiling scheme")
                    .arg(level)};
        mLevels[zoom] = Level {level, column, firstRow};
        mInfo.minZoom = std::min<int>(mInfo.minZoom, zoom);
        mInfo.maxZoom = std::max<int>(mInfo.maxZoom, zoom);
    }
    if (row != SQLITE_DONE)
        fail(QStringLiteral("its tile matrices cannot be read"));
    if (mInfo.maxZoom < 0)
        throw BasemapError {QStringLiteral("the GeoPackage holds no tile matrix")};
    matrices.reset();

    const QByteArray quoted = '"' + QByteArray(mTable).replace('"', "\"\"") + '"';
    raw = nullptr;
    if (sqlite3_prepare_v2(mDb.get(),
            "SELECT tile_data FROM " + quoted + " WHERE zoom_level = ?1 AND tile_column = ?2 AND tile_row = ?3", -1,
            &raw, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("its tiles cannot be read"));
    mTileQuery.reset(raw);
}

QByteArray TileSource::read(const TileKey& key)
{
    if (key.z < mInfo.minZoom || key.z > mInfo.maxZoom || key.z < 0 || key.z >= static_cast<int>(mLevels.size()))
        return {};
    long long level = key.z;
    long long column = key.x;
    long long row = key.y;
    if (mTmsRows) {
        row = (1LL << key.z) - 1 - key.y;
    } else {
        const Level& own = mLevels[key.z];
        if (own.level < 0)
            return {};
        level = own.level;
        column -= own.column;
        row -= own.row;
        if (column < 0 || row < 0)
            return {};
    }
    sqlite3_stmt* query = mTileQuery.get();
    sqlite3_reset(query);
    sqlite3_bind_int64(query, 1, level);
    sqlite3_bind_int64(query, 2, column);
    sqlite3_bind_int64(query, 3, row);
    const int step = sqlite3_step(query);
    if (step == SQLITE_DONE)
        return {};
    if (step != SQLITE_ROW)
        fail(QStringLiteral("tile %1/%2/%3 cannot be read").arg(key.z).arg(key.x).arg(key.y));
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query, 0));
    QByteArray data(bytes, sqlite3_column_bytes(query, 0));
    sqlite3_reset(query);
    return data;
}

QImage decodeTile(const QByteArray& data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImage image = reader.read();
    if (image.isNull())
        return {};
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
}

} // namespace basemap

#pragma once

// A raster basemap file read straight through SQLite: MBTiles (the `tiles`
// table, rows in the TMS order, counted from the south) or a GeoPackage's
// tile pyramid in EPSG:3857 on the web map's tile grid. Each object owns one
// read-only engine handle, so each loading thread opens its own.

#include <QByteArray>
#include <QImage>
#include <QRectF>
#include <QString>

#include <array>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace basemap
{

// A tile in the web scheme: zoom, column from the west, row from the north.
struct TileKey {
    int z = 0;
    int x = 0;
    int y = 0;
    friend bool operator==(const TileKey& a, const TileKey& b) { return a.z == b.z && a.x == b.x && a.y == b.y; }
};

struct BasemapInfo {
    QString path;
    QString name; // the file's own name for it, else the file name
    QString kind; // "MBTiles" or "GeoPackage"
    QString format; // "png", "jpg", "webp" or empty when the file does not say
    int minZoom = 0;
    int maxZoom = 0;
    QRectF bounds; // west, north to east, south in degrees; empty when unknown
};

class TileSource
{
public:
    // Opens and checks the file. Throws BasemapError with the reason in the
    // user's words when it cannot be drawn.
    static std::unique_ptr<TileSource> open(const QString& path);
    ~TileSource();
    TileSource(const TileSource&) = delete;
    TileSource& operator=(const TileSource&) = delete;

    const BasemapInfo& info() const { return mInfo; }

    // The tile's encoded picture; empty when the file has no such tile.
    // Throws BasemapError when the file cannot be read.
    QByteArray read(const TileKey& key);

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const;
    };

    TileSource() = default;
    void openMbtiles();
    void openGeoPackage();
    [[noreturn]] void fail(const QString& what) const;

    std::unique_ptr<sqlite3, Closer> mDb;
    std::unique_ptr<sqlite3_stmt, Finalizer> mTileQuery;
    BasemapInfo mInfo;
    bool mTmsRows = true; // MBTiles counts rows from the south
    // A GeoPackage's own level and the web grid's tiles before its first
    // column and row, per web zoom (level -1: none).
    struct Level {
        int level = -1;
        long long column = 0;
        long long row = 0;
    };
    std::array<Level, 31> mLevels {};
    QByteArray mTable; // the GeoPackage's tile table
};

struct BasemapError {
    QString reason;
};

// The picture of a tile decoded; a null image when it is damaged.
QImage decodeTile(const QByteArray& data);

} // namespace basemap

#pragma once

// An MBTiles file (SQLite) served as /tiles/{z}/{x}/{y}: the same offline
// raster basemaps the crews carry. Opened read-only once; tiles are stored
// in TMS order, so the row is flipped from the web's {y}.

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

struct sqlite3;

namespace listener
{

class MbTiles
{
public:
    // Empty with the reason when the file is not an MBTiles raster file.
    static std::unique_ptr<MbTiles> open(const QString& path, QString* error);
    ~MbTiles();

    // The tile's bytes, or empty when there is none.
    std::optional<QByteArray> tile(int zoom, int x, int y);
    QByteArray contentType() const { return mContentType; }
    QString attribution() const { return mAttribution; }
    int minZoom() const { return mMinZoom; }
    int maxZoom() const { return mMaxZoom; }

private:
    MbTiles() = default;
    sqlite3* mDb = nullptr;
    std::mutex mMutex;
    QByteArray mContentType = "image/png";
    QString mAttribution;
    int mMinZoom = 0;
    int mMaxZoom = 19;
};

} // namespace listener

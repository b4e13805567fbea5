#pragma once

// The basemap's tiles as the map needs them: answered from memory or asked of
// loading threads, never waited for. Decoded tiles are kept in a cache of
// bounded size (bytes of decoded pictures), the least recently used going
// first. Problems with the file (damaged tiles, the file deleted or cut
// short while open) are told once per file and reason; the map goes on
// without that tile or that basemap.

#include "gui/map/TileSource.h"

#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace basemap
{

inline std::size_t qHash(const TileKey& key, std::size_t seed = 0)
{
    return ::qHash((static_cast<quint64>(key.z) << 58) ^ (static_cast<quint64>(key.x) << 29) ^ key.y, seed);
}

class TileCache : public QObject
{
    Q_OBJECT
public:
    // 96 MiB of decoded tiles: about 380 tiles of 256 x 256 pixels, several
    // screens of a large monitor with their parents.
    static constexpr std::int64_t kDefaultBudget = 96LL * 1024 * 1024;
    static constexpr int kLoaders = 2;

    explicit TileCache(std::int64_t budgetBytes = kDefaultBudget, QObject* parent = nullptr);
    ~TileCache() override;

    // Draws from this file from now on (an empty path: no basemap). Throws
    // BasemapError when it cannot be used; the earlier basemap is then gone.
    void setSource(const QString& path);
    const std::optional<BasemapInfo>& info() const { return mInfo; }

    // The tile's picture when it is in memory, the most recently used from now.
    const QImage* find(const TileKey& key);
    // True for a tile known to be absent from the file or damaged.
    bool isBlank(const TileKey& key) const { return mBlank.contains(key); }
    // The tiles wanted now, most wanted first; replaces the earlier wishes
    // not yet loading. Tiles in memory or known blank are left out.
    void request(const std::vector<TileKey>& keys);
    // Tiles asked for and not yet answered.
    int pending() const;

    std::int64_t bytes() const { return mBytes; }
    std::int64_t budget() const { return mBudget; }
    int tiles() const { return static_cast<int>(mTiles.size()); }

signals:
    void tilesArrived();
    // A message naming the file and the reason, once per file and reason.
    void problem(const QString& message);
    // The file can no longer be read at all; the map shows no basemap.
    void sourceLost(const QString& path);

private:
    struct Entry {
        QImage image;
        std::list<TileKey>::iterator recent;
    };
    struct Result {
        TileKey key;
        QImage image;
        bool blank = false;
        QString damage; // set for a tile that could not be decoded
    };

    void startLoaders();
    void stopLoaders();
    void loaderMain(TileSource& source, const QDateTime& modified, unsigned generation);
    void deliver(unsigned generation, Result result);
    void reportLoss(unsigned generation, const QString& reason);
    void tell(const QString& message);
    void insert(const TileKey& key, QImage image);

    std::int64_t mBudget;
    std::int64_t mBytes = 0;
    QHash<TileKey, Entry> mTiles;
    std::list<TileKey> mRecent; // most recent first
    QHash<TileKey, bool> mBlank;
    std::optional<BasemapInfo> mInfo;
    QStringList mTold;
    bool mDamageTold = false;

    // Shared with the loading threads.
    mutable std::mutex mMutex;
    std::condition_variable mWake;
    std::vector<TileKey> mWanted; // most wanted last (taken from the back)
    QHash<TileKey, bool> mLoading;
    unsigned mGeneration = 0;
    bool mStopping = false;
    std::vector<std::thread> mLoaders;
};

} // namespace basemap

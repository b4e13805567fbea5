#include "gui/map/TileCache.h"

#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <utility>

namespace basemap
{

TileCache::TileCache(std::int64_t budgetBytes, QObject* parent)
    : QObject(parent)
    , mBudget(budgetBytes)
{
}

TileCache::~TileCache() { stopLoaders(); }

void TileCache::stopLoaders()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
        ++mGeneration;
        mWanted.clear();
        mLoading.clear();
    }
    mWake.notify_all();
    for (std::thread& loader : mLoaders)
        loader.join();
    mLoaders.clear();
    std::lock_guard<std::mutex> lock(mMutex);
    mStopping = false;
}

void TileCache::setSource(const QString& path)
{
    stopLoaders();
    mTiles.clear();
    mRecent.clear();
    mBlank.clear();
    mBytes = 0;
    mInfo.reset();
    if (path.isEmpty())
        return;
    // Opened here, one handle per loading thread, so that a file that cannot
    // be used says why at once.
    std::vector<std::shared_ptr<TileSource>> sources;
    for (int i = 0; i < kLoaders; ++i)
        sources.push_back(TileSource::open(path));
    mInfo = sources.front()->info();
    mDamageTold = false;
    const QDateTime modified = QFileInfo(path).lastModified();
    unsigned generation;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        generation = mGeneration;
    }
    for (const std::shared_ptr<TileSource>& source : sources)
        mLoaders.emplace_back([this, source, modified, generation] { loaderMain(*source, modified, generation); });
}

const QImage* TileCache::find(const TileKey& key)
{
    const auto found = mTiles.find(key);
    if (found == mTiles.end())
        return nullptr;
    mRecent.splice(mRecent.begin(), mRecent, found->recent);
    return &found->image;
}

void TileCache::request(const std::vector<TileKey>& keys)
{
    if (!mInfo)
        return;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mWanted.clear();
        for (auto key = keys.rbegin(); key != keys.rend(); ++key)
            if (!mTiles.contains(*key) && !mBlank.contains(*key) && !mLoading.contains(*key))
                mWanted.push_back(*key);
    }
    mWake.notify_all();
}

int TileCache::pending() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return static_cast<int>(mWanted.size() + mLoading.size());
}

void TileCache::loaderMain(TileSource& source, const QDateTime& modified, unsigned generation)
{
    const QString path = source.info().path;
    QFileInfo file(path);
    for (;;) {
        TileKey key;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mWake.wait(lock, [&] { return mStopping || generation != mGeneration || !mWanted.empty(); });
            if (mStopping || generation != mGeneration)
                return;
            key = mWanted.back();
            mWanted.pop_back();
            mLoading.insert(key, true);
        }
        // A file deleted, replaced or cut short while open still reads from
        // the engine's handle, or fails at a page that is gone: looked for
        // before each tile, so the map says so instead of drawing stale tiles.
        file.refresh();
        Result result {key, {}, false, {}};
        if (!file.exists()) {
            reportLoss(generation, QStringLiteral("the file was deleted or moved while the map was open"));
            return;
        }
        if (file.lastModified() != modified) {
            reportLoss(generation, QStringLiteral("the file was changed while the map was open; open it again"));
            return;
        }
        try {
            const QByteArray data = source.read(key);
            if (data.isEmpty()) {
                result.blank = true;
            } else {
                result.image = decodeTile(data);
                if (result.image.isNull()) {
                    result.blank = true;
                    result.damage = QStringLiteral("The basemap %1 has a damaged tile (zoom %2, column %3, row %4); "
                                                   "it is left blank, and so is any other damaged tile.")
                                        .arg(path)
                                        .arg(key.z)
                                        .arg(key.x)
                                        .arg(key.y);
                }
            }
        } catch (const BasemapError& error) {
            reportLoss(generation, error.reason);
            return;
        }
        QMetaObject::invokeMethod(
            this, [this, generation, result] { deliver(generation, result); }, Qt::QueuedConnection);
    }
}

void TileCache::reportLoss(unsigned generation, const QString& reason)
{
    QMetaObject::invokeMethod(
        this,
        [this, generation, reason] {
            {
                std::lock_guard<std::mutex> lock(mMutex);
                if (generation != mGeneration)
                    return;
            }
            const QString path = mInfo ? mInfo->path : QString();
            tell(QStringLiteral("The basemap %1 cannot be used: %2.").arg(path, reason));
            setSource(QString());
            emit sourceLost(path);
        },
        Qt::QueuedConnection);
}

void TileCache::tell(const QString& message)
{
    if (mTold.contains(message))
        return;
    mTold << message;
    emit problem(message);
}

void TileCache::deliver(unsigned generation, Result result)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (generation != mGeneration)
            return;
        mLoading.remove(result.key);
    }
    if (result.blank)
        mBlank.insert(result.key, true);
    else
        insert(result.key, std::move(result.image));
    if (!result.damage.isEmpty() && !std::exchange(mDamageTold, true))
        tell(result.damage); // once per file, not once per tile
    emit tilesArrived();
}

void TileCache::insert(const TileKey& key, QImage image)
{
    mRecent.push_front(key);
    mBytes += image.sizeInBytes();
    mTiles.insert(key, Entry {std::move(image), mRecent.begin()});
    while (mBytes > mBudget && mRecent.size() > 1) {
        const TileKey oldest = mRecent.back();
        mRecent.pop_back();
        const auto found = mTiles.find(oldest);
        mBytes -= found->image.sizeInBytes();
        mTiles.erase(found);
    }
}

} // namespace basemap

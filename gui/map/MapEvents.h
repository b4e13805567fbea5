#pragma once

// The crew's events as the map shows them: every saved event of the event
// database and every event of the XML mode's outbox, read only, with their
// positions in world coordinates, an index on position, and the tracking
// runs as lines. Refreshing reads what changed since the last time.

#include <QDateTime>
#include <QRectF>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace mapview
{

struct MapEvent {
    enum class Origin { Saved, Waiting, Attention, Sent };

    std::int64_t id = 0; // GEOCODED_EVENT_ID, or the outbox's row
    Origin origin = Origin::Saved;
    int typeId = 0;
    QDateTime gmt; // UTC
    double latitude = 0;
    double longitude = 0;
    bool drawable = false; // a position on the earth
    double x = 0; // world coordinates (0..1)
    double y = 0;
    QString notes;
    QString crew; // OBSERVER_MONIKER / ClientId
    int fixQuality = -1; // -1: not stored
    int satellites = -1;
    double hdop = -1;
    double accuracy = -1; // metres
    int samples = -1;
    std::int64_t trackId = 0; // 0: not from a tracking run
};

// A tracking run drawn as lines: its points in time order, cut where the fix
// was lost for more than twice the run's usual interval.
struct Track {
    std::int64_t id = 0;
    std::vector<std::vector<int>> pieces; // indices into the events
    QRectF box; // world coordinates of all its points
};

class MapEventSet
{
public:
    MapEventSet();
    ~MapEventSet();

    // Reads what changed in either file since the last call (all at the
    // first); true when anything did. A file that is missing holds no events;
    // one that cannot be read leaves what was read before and sets error().
    bool refresh();
    const QString& error() const { return mError; }

    const std::vector<MapEvent>& events() const { return mEvents; }
    const std::vector<Track>& tracks() const { return mTracks; }
    int undrawable() const { return mUndrawable; }

    // The drawable events whose position falls in the world rectangle.
    template <typename Visit> void within(const QRectF& world, Visit&& visit) const;

private:
    struct Reader;
    void reindex();

    std::unique_ptr<Reader> mReader;
    std::vector<MapEvent> mEvents;
    std::vector<Track> mTracks;
    int mUndrawable = 0;
    QString mError;
    // Drawable events ordered by their cell of a fine grid on the world.
    static constexpr int kGridBits = 12;
    std::vector<std::uint32_t> mCellOf; // per entry of mByCell
    std::vector<int> mByCell;
};

template <typename Visit> void MapEventSet::within(const QRectF& world, Visit&& visit) const
{
    constexpr int cells = 1 << kGridBits;
    auto cell = [](double v) { return std::clamp(static_cast<int>(v * cells), 0, cells - 1); };
    const int x0 = cell(world.left()), x1 = cell(world.right());
    const int y0 = cell(world.top()), y1 = cell(world.bottom());
    for (int row = y0; row <= y1; ++row) {
        const std::uint32_t first = static_cast<std::uint32_t>(row) * cells + x0;
        const std::uint32_t last = static_cast<std::uint32_t>(row) * cells + x1;
        auto at = std::lower_bound(mCellOf.begin(), mCellOf.end(), first);
        for (; at != mCellOf.end() && *at <= last; ++at) {
            const MapEvent& event = mEvents[mByCell[at - mCellOf.begin()]];
            if (world.contains(event.x, event.y))
                visit(mByCell[at - mCellOf.begin()]);
        }
    }
}

// "3D"-style names of the stored GGA fix quality.

} // namespace mapview

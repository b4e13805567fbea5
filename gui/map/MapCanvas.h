#pragma once

// The map itself: the basemap's tiles, the tracking runs as lines, the
// events with their types' icons, the live position with its accuracy, and
// a scale bar; panned by dragging and the arrow keys, zoomed with the wheel
// (Ctrl+wheel in finer steps), + and -. Drawn with QPainter; everything it
// draws comes from memory, so a paint never waits for a file.

#include "gui/map/MapEvents.h"

#include <QHash>
#include <QImage>
#include <QPointF>
#include <QWidget>

#include <functional>
#include <vector>

namespace basemap
{
class TileCache;
}

namespace mapview
{

struct LivePosition {
    bool known = false;
    bool lost = false; // the fix was lost: drawn grey at its last place
    double latitude = 0;
    double longitude = 0;
    double accuracy = -1; // metres at 95 %, -1 when unknown
};

class MapCanvas : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kIconSize = 24;
    static constexpr int kBinSize = 28; // one icon per square of this many pixels

    MapCanvas(basemap::TileCache& tiles, const MapEventSet& events, QWidget* parent = nullptr);

    // Which events are shown (one flag per event of the set); all when empty.
    void setShown(std::vector<char> shown);
    bool isShown(int index) const { return mShown.empty() || mShown[index]; }
    void setIcons(QHash<int, QImage> icons); // by EVENT_TYPE_ID, any size
    void eventsChanged();

    // The view: the world point at the centre and the zoom (tile levels).
    double zoom() const { return mZoom; }
    QPointF centre() const { return mCentre; }
    void setView(const QPointF& centre, double zoom);
    void centreOn(int index);
    void zoomBy(double steps, const QPointF& anchor);
    void zoomToAll();
    bool zoomToMe();

    void setLive(const LivePosition& live);
    const LivePosition& live() const { return mLive; }
    void setFollow(bool follow);
    bool follow() const { return mFollow; }

    void setSelected(int index);
    int selected() const { return mSelected; }

    QPointF toScreen(double x, double y) const;
    QPointF toWorld(const QPointF& screen) const;
    // The shown events at a point: the nearest within reach of its icon, and
    // every other at the same place (within 3 pixels of it, or drawn under
    // the same icon), nearest first.
    std::vector<int> eventsAt(const QPointF& screen) const;

    // Draws the whole map as a paint would, into any device.
    void draw(QPainter& painter);

    // Metres the scale bar stands for, and its length in pixels (after a paint).
    double scaleMetres() const { return mScaleMetres; }
    double scalePixels() const { return mScalePixels; }

signals:
    void eventsClicked(const std::vector<int>& indices, const QPoint& at);
    void activated(int index); // Enter on the selected event
    void viewChanged();
    void followChanged(bool follow);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void drawBasemap(QPainter& painter);
    void drawGraticule(QPainter& painter);
    void drawTracks(QPainter& painter);
    void drawEvents(QPainter& painter);
    void drawLive(QPainter& painter);
    void drawScaleBar(QPainter& painter);
    const QImage& badge(int count);
    QRectF visibleWorld(double marginPixels = 0) const;
    void panBy(const QPointF& pixels);

    basemap::TileCache& mTiles;
    const MapEventSet& mEvents;
    std::vector<char> mShown;
    QHash<int, QImage> mIcons;
    QImage mFallbackIcon;
    QHash<int, QImage> mBadges;
    QPointF mCentre {0.5, 0.5};
    double mZoom = 2;
    LivePosition mLive;
    bool mFollow = false;
    int mSelected = -1;
    QPoint mPressAt;
    QPointF mPressCentre;
    bool mDragging = false;
    bool mPressed = false;
    double mScaleMetres = 0;
    double mScalePixels = 0;
};

} // namespace mapview

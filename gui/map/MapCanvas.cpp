#include "gui/map/MapCanvas.h"

#include "gui/map/MapProjection.h"
#include "gui/map/TileCache.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>

namespace mapview
{

MapCanvas::MapCanvas(basemap::TileCache& tiles, const MapEventSet& events, QWidget* parent)
    : QWidget(parent)
    , mTiles(tiles)
    , mEvents(events)
{
    setObjectName(QStringLiteral("mapCanvas"));
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(200, 150);
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&mTiles, &basemap::TileCache::tilesArrived, this, qOverload<>(&QWidget::update));
    // Where an icon file is missing: a plain marker.
    mFallbackIcon = QImage(kIconSize, kIconSize, QImage::Format_ARGB32_Premultiplied);
    mFallbackIcon.fill(Qt::transparent);
    QPainter marker(&mFallbackIcon);
    marker.setRenderHint(QPainter::Antialiasing);
    marker.setPen(QPen(Qt::white, 2));
    marker.setBrush(QColor(200, 40, 40));
    marker.drawEllipse(QRectF(4, 4, kIconSize - 8, kIconSize - 8));
}

void MapCanvas::setShown(std::vector<char> shown)
{
    mShown = std::move(shown);
    update();
}

void MapCanvas::setIcons(QHash<int, QImage> icons)
{
    mIcons.clear();
    for (auto icon = icons.begin(); icon != icons.end(); ++icon)
        if (!icon->isNull())
            mIcons.insert(icon.key(),
                icon->scaled(kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                    .convertToFormat(QImage::Format_ARGB32_Premultiplied));
    update();
}

void MapCanvas::eventsChanged()
{
    if (mSelected >= static_cast<int>(mEvents.events().size()))
        mSelected = -1;
    update();
}

void MapCanvas::setView(const QPointF& centre, double zoom)
{
    mZoom = std::clamp(zoom, 0.0, double(mapmath::kMaxZoom));
    mCentre = QPointF(std::clamp(centre.x(), 0.0, 1.0), std::clamp(centre.y(), 0.0, 1.0));
    update();
    emit viewChanged();
}

QPointF MapCanvas::toScreen(double x, double y) const
{
    const double scale = mapmath::worldPixels(mZoom);
    return QPointF((x - mCentre.x()) * scale + width() / 2.0, (y - mCentre.y()) * scale + height() / 2.0);
}

QPointF MapCanvas::toWorld(const QPointF& screen) const
{
    const double scale = mapmath::worldPixels(mZoom);
    return QPointF(
        mCentre.x() + (screen.x() - width() / 2.0) / scale, mCentre.y() + (screen.y() - height() / 2.0) / scale);
}

QRectF MapCanvas::visibleWorld(double marginPixels) const
{
    return QRectF(toWorld(QPointF(-marginPixels, -marginPixels)),
        toWorld(QPointF(width() + marginPixels, height() + marginPixels)));
}

void MapCanvas::panBy(const QPointF& pixels)
{
    const double scale = mapmath::worldPixels(mZoom);
    if (mFollow && !pixels.isNull())
        setFollow(false); // the crew looks elsewhere
    setView(mCentre - pixels / scale, mZoom);
}

void MapCanvas::zoomBy(double steps, const QPointF& anchor)
{
    // The world point under the anchor stays there.
    const QPointF world = toWorld(anchor);
    const double zoom = std::clamp(mZoom + steps, 0.0, double(mapmath::kMaxZoom));
    const double scale = mapmath::worldPixels(zoom);
    const QPointF centre(
        world.x() - (anchor.x() - width() / 2.0) / scale, world.y() - (anchor.y() - height() / 2.0) / scale);
    setView(mFollow ? mCentre : centre, zoom);
}

void MapCanvas::centreOn(int index)
{
    const MapEvent& event = mEvents.events()[index];
    if (!event.drawable)
        return;
    setFollow(false);
    setView(QPointF(event.x, event.y), mZoom);
}

void MapCanvas::zoomToAll()
{
    double left = 1, top = 1, right = 0, bottom = 0;
    int count = 0;
    const auto& events = mEvents.events();
    for (int i = 0; i < static_cast<int>(events.size()); ++i) {
        if (!events[i].drawable || !isShown(i))
            continue;
        left = std::min(left, events[i].x), right = std::max(right, events[i].x);
        top = std::min(top, events[i].y), bottom = std::max(bottom, events[i].y);
        ++count;
    }
    if (count == 0) {
        if (!zoomToMe())
            setView(QPointF(0.5, 0.5), 2);
        return;
    }
    setFollow(false);
    // Room for the icons at the edges; one event alone is shown close up.
    const double spanPixels = std::max(1.0, std::min(width(), height()) - 2.0 * kIconSize);
    const double span = std::max(right - left, bottom - top);
    const double zoom = span <= 0 ? 17.0 : std::min(17.0, std::log2(spanPixels / (span * mapmath::kTileSize)));
    setView(QPointF((left + right) / 2, (top + bottom) / 2), std::floor(zoom * 4) / 4);
}

bool MapCanvas::zoomToMe()
{
    if (!mLive.known)
        return false;
    setView(QPointF(mapmath::worldX(mLive.longitude), mapmath::worldY(mLive.latitude)), std::max(mZoom, 16.0));
    return true;
}

void MapCanvas::setLive(const LivePosition& live)
{
    mLive = live;
    if (mFollow && live.known && !live.lost)
        setView(QPointF(mapmath::worldX(live.longitude), mapmath::worldY(live.latitude)), mZoom);
    update();
}

void MapCanvas::setFollow(bool follow)
{
    if (mFollow == follow)
        return;
    mFollow = follow;
    if (follow && mLive.known)
        setView(QPointF(mapmath::worldX(mLive.longitude), mapmath::worldY(mLive.latitude)), mZoom);
    emit followChanged(follow);
}

void MapCanvas::setSelected(int index)
{
    mSelected = index;
    update();
}

std::vector<int> MapCanvas::eventsAt(const QPointF& screen) const
{
    const double reach = kIconSize / 2.0 + 2;
    const double scale = mapmath::worldPixels(mZoom);
    const QPointF world = toWorld(screen);
    const QRectF box(world - QPointF(reach, reach) / scale, world + QPointF(reach, reach) / scale);
    std::vector<std::pair<double, int>> near;
    mEvents.within(box, [&](int index) {
        if (!isShown(index))
            return;
        const QPointF at = toScreen(mEvents.events()[index].x, mEvents.events()[index].y);
        const double distance = std::hypot(at.x() - screen.x(), at.y() - screen.y());
        if (distance <= reach)
            near.emplace_back(distance, index);
    });
    if (near.empty())
        return {};
    std::sort(near.begin(), near.end());
    const auto& events = mEvents.events();
    const QPointF nearest = toScreen(events[near.front().second].x, events[near.front().second].y);
    const auto binOf = [](const QPointF& at) {
        return QPoint(int(std::floor(at.x() / kBinSize)), int(std::floor(at.y() / kBinSize)));
    };
    // Events drawn under the nearest one's icon: those of its bin anywhere on screen.
    std::vector<int> found;
    const QRectF binBox(
        toWorld(QPointF(binOf(nearest)) * kBinSize), toWorld(QPointF(binOf(nearest) + QPoint(1, 1)) * kBinSize));
    std::vector<std::pair<double, int>> same;
    mEvents.within(
        binBox.united(QRectF(toWorld(nearest - QPointF(3, 3)), toWorld(nearest + QPointF(3, 3)))), [&](int index) {
            if (!isShown(index))
                return;
            const QPointF at = toScreen(events[index].x, events[index].y);
            if (binOf(at) == binOf(nearest) || std::hypot(at.x() - nearest.x(), at.y() - nearest.y()) <= 3)
                same.emplace_back(std::hypot(at.x() - screen.x(), at.y() - screen.y()), index);
        });
    std::sort(same.begin(), same.end());
    for (const auto& [distance, index] : same)
        found.push_back(index);
    return found;
}

void MapCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    draw(painter);
}

void MapCanvas::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    mPressed = true;
    mDragging = false;
    mPressAt = event->position().toPoint();
    mPressCentre = mCentre;
}

void MapCanvas::mouseMoveEvent(QMouseEvent* event)
{
    if (!mPressed)
        return;
    const QPoint moved = event->position().toPoint() - mPressAt;
    if (!mDragging && moved.manhattanLength() < 4)
        return;
    mDragging = true;
    const double scale = mapmath::worldPixels(mZoom);
    if (mFollow)
        setFollow(false);
    setView(mPressCentre - QPointF(moved) / scale, mZoom);
}

void MapCanvas::mouseReleaseEvent(QMouseEvent* event)
{
    if (!mPressed || event->button() != Qt::LeftButton)
        return;
    mPressed = false;
    if (mDragging)
        return;
    const std::vector<int> found = eventsAt(event->position());
    if (!found.empty())
        setSelected(found.front());
    emit eventsClicked(found, event->position().toPoint());
}

void MapCanvas::wheelEvent(QWheelEvent* event)
{
    const double notches = event->angleDelta().y() / 120.0;
    if (notches == 0)
        return;
    // Ctrl+wheel (and a touchpad's pinch) zooms in finer steps.
    const double step = event->modifiers() & Qt::ControlModifier ? 0.25 : 1.0;
    zoomBy(notches * step, event->position());
    event->accept();
}

void MapCanvas::keyPressEvent(QKeyEvent* event)
{
    const QPointF middle(width() / 2.0, height() / 2.0);
    const double stepX = width() / 4.0;
    const double stepY = height() / 4.0;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomBy(1, middle);
        break;
    case Qt::Key_Minus:
        zoomBy(-1, middle);
        break;
    case Qt::Key_Left:
        panBy(QPointF(stepX, 0));
        break;
    case Qt::Key_Right:
        panBy(QPointF(-stepX, 0));
        break;
    case Qt::Key_Up:
        panBy(QPointF(0, stepY));
        break;
    case Qt::Key_Down:
        panBy(QPointF(0, -stepY));
        break;
    case Qt::Key_Home:
        zoomToAll();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (mSelected >= 0)
            emit activated(mSelected);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

} // namespace mapview

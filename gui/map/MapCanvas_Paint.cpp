#include "gui/map/MapCanvas.h"

#include "gui/map/MapProjection.h"
#include "gui/map/TileCache.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace mapview
{

namespace
{
const QColor kBackground(242, 239, 233);
const QColor kTrack(40, 90, 200);

QColor originColour(MapEvent::Origin origin)
{
    switch (origin) {
    case MapEvent::Origin::Waiting:
        return QColor(240, 150, 0); // not sent yet
    case MapEvent::Origin::Attention:
        return QColor(210, 0, 0); // refused by the listener
    case MapEvent::Origin::Sent:
        return QColor(0, 150, 60);
    case MapEvent::Origin::Saved:
        break;
    }
    return {};
}
} // namespace

void MapCanvas::draw(QPainter& painter)
{
    painter.fillRect(QRect(0, 0, width(), height()), kBackground);
    if (mTiles.info())
        drawBasemap(painter);
    else
        drawGraticule(painter);
    drawTracks(painter);
    drawEvents(painter);
    drawLive(painter);
    drawScaleBar(painter);
}

// The tiles of the level nearest the zoom, within the file's levels: past its
// highest level its tiles are scaled up (over-zoom). A tile not in memory is
// asked for and meanwhile drawn from the nearest parent that is.
void MapCanvas::drawBasemap(QPainter& painter)
{
    const basemap::BasemapInfo& info = *mTiles.info();
    const int level = std::clamp(static_cast<int>(std::lround(mZoom)), info.minZoom, info.maxZoom);
    const long long count = 1LL << level;
    const double tilePixels = mapmath::worldPixels(mZoom) / count;
    const QRectF world = visibleWorld();
    const long long x0 = std::max(0LL, static_cast<long long>(std::floor(world.left() * count)));
    const long long x1 = std::min(count - 1, static_cast<long long>(std::floor(world.right() * count)));
    const long long y0 = std::max(0LL, static_cast<long long>(std::floor(world.top() * count)));
    const long long y1 = std::min(count - 1, static_cast<long long>(std::floor(world.bottom() * count)));
    if ((x1 - x0 + 1) * (y1 - y0 + 1) > 2000)
        return; // zoomed far out of the file's levels: too many tiles to be of use

    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, std::abs(tilePixels - mapmath::kTileSize) > 0.01);
    const QPointF middle(width() / 2.0, height() / 2.0);
    std::vector<std::pair<double, basemap::TileKey>> wanted;
    for (long long ty = y0; ty <= y1; ++ty) {
        for (long long tx = x0; tx <= x1; ++tx) {
            const QPointF topLeft = toScreen(double(tx) / count, double(ty) / count);
            const QPointF bottomRight = toScreen(double(tx + 1) / count, double(ty + 1) / count);
            // Whole pixels, so neighbouring tiles neither overlap nor leave a seam.
            const QRectF target(QPointF(std::round(topLeft.x()), std::round(topLeft.y())),
                QPointF(std::round(bottomRight.x()), std::round(bottomRight.y())));
            const basemap::TileKey key {level, int(tx), int(ty)};
            if (const QImage* tile = mTiles.find(key)) {
                painter.drawImage(target, *tile);
                continue;
            }
            if (mTiles.isBlank(key))
                continue;
            wanted.emplace_back(QLineF(target.center(), middle).length(), key);
            for (int up = 1; level - up >= info.minZoom; ++up) {
                const basemap::TileKey parent {level - up, int(tx >> up), int(ty >> up)};
                if (const QImage* tile = mTiles.find(parent)) {
                    const double part = double(mapmath::kTileSize) / (1 << up);
                    const QRectF source((tx - (static_cast<long long>(parent.x) << up)) * part,
                        (ty - (static_cast<long long>(parent.y) << up)) * part, part, part);
                    painter.drawImage(target, *tile, source);
                    break;
                }
            }
        }
    }
    painter.restore();
    std::sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<basemap::TileKey> keys;
    keys.reserve(wanted.size());
    for (const auto& [distance, key] : wanted)
        keys.push_back(key);
    mTiles.request(keys);
}

// Without a basemap: lines of latitude and longitude, some ten across the map.
void MapCanvas::drawGraticule(QPainter& painter)
{
    const QRectF world = visibleWorld();
    const double degreesAcross = std::max(1e-9, (world.width()) * 360.0);
    double step = 1e-6;
    for (const double candidate : {1e-5, 2e-5, 5e-5, 1e-4, 2e-4, 5e-4, 1e-3, 2e-3, 5e-3, 0.01, 0.02, 0.05, 0.1, 0.2,
             0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 45.0, 90.0})
        if (degreesAcross / candidate >= 4)
            step = candidate;
    painter.save();
    painter.setPen(QPen(QColor(190, 185, 175), 1));
    QFont font = painter.font();
    font.setPointSizeF(7.5);
    painter.setFont(font);
    const double west = mapmath::longitudeOf(std::max(0.0, world.left()));
    const double east = mapmath::longitudeOf(std::min(1.0, world.right()));
    for (double lon = std::ceil(west / step) * step; lon <= east; lon += step) {
        const double x = toScreen(mapmath::worldX(lon), 0).x();
        painter.drawLine(QPointF(x, 0), QPointF(x, height()));
        painter.drawText(QPointF(x + 2, height() - 4), QString::number(lon, 'g', 8) + QStringLiteral("°"));
    }
    const double north = mapmath::latitudeOf(std::max(0.0, world.top()));
    const double south = mapmath::latitudeOf(std::min(1.0, world.bottom()));
    for (double lat = std::ceil(south / step) * step; lat <= north; lat += step) {
        const double y = toScreen(0, mapmath::worldY(lat)).y();
        painter.drawLine(QPointF(0, y), QPointF(width(), y));
        painter.drawText(QPointF(2, y - 2), QString::number(lat, 'g', 8) + QStringLiteral("°"));
    }
    painter.restore();
}

void MapCanvas::drawTracks(QPainter& painter)
{
    const QRectF world = visibleWorld(4);
    const auto& events = mEvents.events();
    painter.save();
    // Three one-pixel lines side by side rather than one wide line: thin
    // lines are drawn without stroking an outline, many times faster.
    QPen pen(kTrack, 0);
    pen.setCosmetic(true);
    painter.setPen(pen);
    const double scale = mapmath::worldPixels(mZoom);
    const double offsetX = width() / 2.0 - mCentre.x() * scale;
    const double offsetY = height() / 2.0 - mCentre.y() * scale;
    // One line per run piece, cut where it leaves the screen; points closer
    // than the line is wide add nothing to it.
    const QRectF screen(-8, -8, width() + 16, height() + 16);
    QPolygonF line;
    const auto flush = [&] {
        if (line.size() > 1)
            for (const QPointF& shift : {QPointF(0, 0), QPointF(1, 0), QPointF(0, 1)}) {
                painter.setTransform(QTransform::fromTranslate(shift.x(), shift.y()));
                painter.drawPolyline(line);
            }
        line.clear();
    };
    for (const Track& track : mEvents.tracks()) {
        if (!track.box.intersects(world) && !world.contains(track.box.topLeft()))
            continue;
        for (const std::vector<int>& piece : track.pieces) {
            for (const int index : piece) {
                if (!isShown(index))
                    continue;
                const QPointF at(events[index].x * scale + offsetX, events[index].y * scale + offsetY);
                if (!line.isEmpty() && std::abs(at.x() - line.last().x()) + std::abs(at.y() - line.last().y()) < 3)
                    continue;
                if (!line.isEmpty() && !screen.contains(at) && !screen.contains(line.last())
                    && !QRectF(line.last(), at).normalized().intersects(screen)) {
                    flush();
                }
                line << at;
            }
            flush();
        }
    }
    painter.restore();
}

// One icon per square of kBinSize pixels, at its first event's place, with
// the number of events under it when there are several: one pass over the
// events in view, however many there are.
void MapCanvas::drawEvents(QPainter& painter)
{
    const int columns = width() / kBinSize + 3;
    const int rows = height() / kBinSize + 3;
    std::vector<int> first(std::size_t(columns) * rows, -1);
    std::vector<int> count(first.size(), 0);
    const auto& events = mEvents.events();
    const double scale = mapmath::worldPixels(mZoom);
    const double offsetX = width() / 2.0 - mCentre.x() * scale;
    const double offsetY = height() / 2.0 - mCentre.y() * scale;
    mEvents.within(visibleWorld(kIconSize), [&](int index) {
        if (!isShown(index))
            return;
        const int column = int(std::floor((events[index].x * scale + offsetX) / kBinSize)) + 1;
        const int row = int(std::floor((events[index].y * scale + offsetY) / kBinSize)) + 1;
        if (column < 0 || row < 0 || column >= columns || row >= rows)
            return;
        const std::size_t bin = std::size_t(row) * columns + column;
        if (first[bin] < 0 || index == mSelected)
            first[bin] = index;
        ++count[bin];
    });
    painter.save();
    const double half = kIconSize / 2.0;
    for (std::size_t bin = 0; bin < first.size(); ++bin) {
        if (first[bin] < 0)
            continue;
        const MapEvent& event = events[first[bin]];
        const QPointF at = toScreen(event.x, event.y);
        // Whole pixels: the picture is copied, not resampled.
        const QPoint corner(int(std::lround(at.x() - half)), int(std::lround(at.y() - half)));
        const auto icon = mIcons.constFind(event.typeId);
        painter.drawImage(corner, icon != mIcons.constEnd() ? *icon : mFallbackIcon);
        const QColor mark = originColour(event.origin);
        if (mark.isValid() || first[bin] == mSelected) {
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(first[bin] == mSelected ? QColor(255, 0, 255) : mark, 2.5));
            painter.drawEllipse(at, half + 2, half + 2);
            painter.setRenderHint(QPainter::Antialiasing, false);
        }
        if (count[bin] > 1)
            painter.drawImage(corner + QPoint(kIconSize - 8, -6), badge(std::min(count[bin], 1000)));
    }
    painter.restore();
}

// The number of events under an icon, drawn once per number: text is the
// slowest thing a frame could draw thousands of times.
const QImage& MapCanvas::badge(int count)
{
    auto found = mBadges.find(count);
    if (found != mBadges.end())
        return *found;
    const QString number = count >= 1000 ? QStringLiteral("999+") : QString::number(count);
    QFont font = this->font();
    font.setPointSizeF(7);
    font.setBold(true);
    const QSize size(8 + QFontMetrics(font).horizontalAdvance(number), 12);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(30, 30, 30, 210));
    painter.drawRoundedRect(QRectF(QPointF(0, 0), size), 5, 5);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, number);
    painter.end();
    return *mBadges.insert(count, image);
}

// The receiver's position, with a circle of its accuracy in metres; grey at
// its last place when the fix is lost.
void MapCanvas::drawLive(QPainter& painter)
{
    if (!mLive.known)
        return;
    const QPointF at = toScreen(mapmath::worldX(mLive.longitude), mapmath::worldY(mLive.latitude));
    const QColor colour = mLive.lost ? QColor(128, 128, 128) : QColor(0, 110, 255);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (mLive.accuracy > 0) {
        const double radius = mLive.accuracy / mapmath::metresPerPixel(mLive.latitude, mZoom);
        QColor fill = colour;
        fill.setAlpha(40);
        painter.setBrush(fill);
        painter.setPen(QPen(colour, 1.5));
        painter.drawEllipse(at, radius, radius);
    }
    painter.setBrush(colour);
    painter.setPen(QPen(Qt::white, 2));
    painter.drawEllipse(at, 6, 6);
    painter.restore();
}

// Bottom left: the longest round length (1, 2 or 5 times a power of ten
// metres) that fits in 120 pixels at the map's centre.
void MapCanvas::drawScaleBar(QPainter& painter)
{
    const double perPixel = mapmath::metresPerPixel(mapmath::latitudeOf(mCentre.y()), mZoom);
    const double most = 120 * perPixel;
    double metres = std::pow(10.0, std::floor(std::log10(most)));
    if (metres * 5 <= most)
        metres *= 5;
    else if (metres * 2 <= most)
        metres *= 2;
    mScaleMetres = metres;
    mScalePixels = metres / perPixel;
    const QString label
        = metres >= 1000 ? QStringLiteral("%1 km").arg(metres / 1000) : QStringLiteral("%1 m").arg(metres);
    painter.save();
    const QPointF origin(10, height() - 12);
    painter.fillRect(QRectF(origin - QPointF(4, 18), QSizeF(mScalePixels + 8 + 40, 24)), QColor(255, 255, 255, 190));
    painter.setPen(QPen(Qt::black, 2));
    painter.drawLine(origin, origin + QPointF(mScalePixels, 0));
    painter.drawLine(origin, origin - QPointF(0, 6));
    painter.drawLine(origin + QPointF(mScalePixels, 0), origin + QPointF(mScalePixels, -6));
    painter.drawText(origin + QPointF(4, -5), label);
    painter.restore();
}

} // namespace mapview

// The map window with 100,000 events over a large raster MBTiles basemap.
//
//   map_bench BASEMAP.mbtiles [folder]
//
// Builds a program folder (zepta.mdb from data/zepta.sql, a Nomrel.mdb with
// 100,000 of today's events spread over the basemap, a tenth of them in
// tracking runs) and measures, in a 1280 x 800 window:
//   open    from naming the window to its first complete frame with every event;
//   frame   the time of one frame while panning and zooming over all events (p95);
//   pan     from the end of a pan to new ground to a complete basemap on screen,
//           the new tiles not in memory (p95);
//   memory  the process's peak resident size.
// The last line sums them up; goals: open <= 300 ms, frame p95 <= 16 ms, pan
// redraw p95 <= 200 ms, memory <= 300 MB.

#include "core/Driver.h"
#include "gps/Component.h"
#include "gui/frmMap.h"
#include "gui/map/MapProjection.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

namespace
{
constexpr int kEvents = 100000;

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(values.size() * share))];
}
double p95(const std::vector<double>& values) { return percentile(values, 0.95); }

double peakMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

void fillEvents(const QString& path, const QRectF& area)
{
    QFile::remove(path);
    auto connection = db::Connection::openFile(path, db::Connection::Mode::Create);
    QFile schema(QStringLiteral(ZEPTA_SOURCE_DIR "/nomrel/schema.sql"));
    if (!schema.open(QIODevice::ReadOnly))
        throw ZeptaError(QStringLiteral("cannot read ") + schema.fileName());
    connection.execute(QString::fromUtf8(schema.readAll()));
    // Today's, so the window's first filter shows them all.
    const qint64 start = QDateTime(QDate::currentDate(), QTime(0, 0, 1)).toSecsSinceEpoch();
    db::Connection::Transaction transaction(connection);
    connection.execute(QStringLiteral(
        "WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < %1) "
        "INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, ALTITUDE,"
        " FIX_QUALITY, SATELLITES, HDOP, LOCKED) "
        "SELECT I, strftime('%Y-%m-%d %H:%M:%S', %2 + I * 40 / 100, 'unixepoch'),"
        " %3 + (abs(random()) % 1000000) / 1000000.0 * %4, %5 + (abs(random()) % 1000000) / 1000000.0 * %6,"
        " 1.0, 90.0, 40.0, 1, 8, 0.9, 1 FROM N")
                           .arg(kEvents)
                           .arg(start)
                           .arg(area.bottom(), 0, 'f', 7)
                           .arg(area.top() - area.bottom(), 0, 'f', 7)
                           .arg(area.left(), 0, 'f', 7)
                           .arg(area.width(), 0, 'f', 7));
    // A tenth are tracking runs of 100 fixes each, walking from a random start.
    connection.execute(
        QStringLiteral("UPDATE GPS_READINGS SET LATITUDE = (SELECT R.LATITUDE FROM GPS_READINGS R "
                       "WHERE R.GPS_READING_ID = (GPS_READINGS.GPS_READING_ID - 1) / 1000 * 1000 + 1)"
                       " + (GPS_READING_ID % 1000) * 0.00001, LONGITUDE = (SELECT R.LONGITUDE FROM "
                       "GPS_READINGS R WHERE R.GPS_READING_ID = (GPS_READINGS.GPS_READING_ID - 1) / 1000 * "
                       "1000 + 1) + (GPS_READING_ID % 1000) * 0.00002 "
                       "WHERE GPS_READING_ID % 10 = 0"));
    connection.execute(QStringLiteral("WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < %1) "
                                      "INSERT INTO GEOCODED_EVENTS (GEOCODED_EVENT_ID, NAME, OBSERVER_MONIKER,"
                                      " EVENT_TYPE_ID, GPS_READING_ID, NOTES, TRACK_ID) "
                                      "SELECT I, 'COM1', 'crew 1', 101 + I % 8, I, 'kerb cracked, about ' || (I % 40) "
                                      "|| ' cm', CASE WHEN I % 10 = 0 THEN 1 + (I - 1) / 1000 END FROM N")
                           .arg(kEvents));
    transaction.commit();
}

// Until every tile asked for has come and been drawn.
void settle(frmMap& window)
{
    do {
        window.mapCanvas->repaint();
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    } while (window.mTiles.pending() > 0);
    window.mapCanvas->repaint();
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: map_bench BASEMAP.mbtiles [folder]\n");
        return 2;
    }
    std::optional<QTemporaryDir> temporary;
    QString folder;
    if (argc > 2) {
        folder = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
        QDir().mkpath(folder);
    } else {
        temporary.emplace();
        folder = temporary->path();
    }
    const QString basemapPath = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString application = QDir(folder).filePath(QStringLiteral("zepta.mdb"));
    QFile::remove(application);
    QFile catalogue(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql"));
    if (!catalogue.open(QIODevice::ReadOnly))
        return 1;
    db::Connection::openFile(application, db::Connection::Mode::Create).execute(QString::fromUtf8(catalogue.readAll()));
    QDir(folder).mkpath(QStringLiteral("Maps"));
    QFile::remove(QDir(folder).filePath(QStringLiteral("Maps/basemap.mbtiles")));
    QFile::link(basemapPath, QDir(folder).filePath(QStringLiteral("Maps/basemap.mbtiles")));
    nomrel::Component component(folder);
    gps::setComponent(&component);
    Driver::setProgramFolder(folder);
    Driver::applicationConnectionString() = Driver::connectionStringFor(folder, QStringLiteral("zepta.mdb"));
    component.CreateDataLink()->setConnectionString(
        QVariant(Driver::connectionStringFor(folder, QStringLiteral("Nomrel.mdb"))));
    setMessagePresenter([](const Message& message) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(message.title), qPrintable(message.text));
        return MessageAnswer::Ok;
    });

    QRectF area;
    int topLevel = 0;
    try {
        const auto source = basemap::TileSource::open(basemapPath);
        area = source->info().bounds;
        topLevel = source->info().maxZoom;
        std::printf("basemap: %s, %.0f MB, levels %d to %d\n", qPrintable(basemapPath),
            QFileInfo(basemapPath).size() / 1e6, source->info().minZoom, topLevel);
    } catch (const basemap::BasemapError& error) {
        std::fprintf(stderr, "the basemap cannot be used: %s\n", qPrintable(error.reason));
        return 1;
    }
    try {
        fillEvents(Driver::eventDatabasePath(), area);
    } catch (const ZeptaError& error) {
        std::fprintf(stderr, "cannot build the event database: %s\n", qPrintable(error.message()));
        return 1;
    }

    // Open: the window named, shown, its events read and the whole map drawn.
    QElapsedTimer clock;
    clock.start();
    frmMap& window = frmMap::instance();
    window.resize(1280, 800);
    window.Show_Map(nullptr);
    window.mapCanvas->zoomToAll();
    window.mapCanvas->repaint();
    const double openMs = clock.nsecsElapsed() / 1e6;
    if (window.mList->rowCount() != kEvents) {
        std::fprintf(stderr, "the window lists %d events, not %d\n", window.mList->rowCount(), kEvents);
        return 1;
    }
    settle(window);

    // Frames while panning and zooming over all events (tiles as they come).
    std::vector<double> frames;
    const QPointF home = window.mapCanvas->centre();
    const double homeZoom = window.mapCanvas->zoom();
    for (int i = 0; i < 240; ++i) {
        const double zoom = homeZoom + 1.5 * std::sin(i / 30.0);
        const double shift = 0.3 * std::exp2(-homeZoom) * std::sin(i / 17.0);
        window.mapCanvas->setView(home + QPointF(shift, shift / 2), zoom);
        clock.restart();
        window.mapCanvas->repaint();
        frames.push_back(clock.nsecsElapsed() / 1e6);
        QApplication::processEvents();
    }
    settle(window);

    // Pans to new ground at the file's top level: a screen's width each time,
    // so the tiles are not in memory yet.
    std::vector<double> pans;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> along(0.1, 0.9);
    for (int i = 0; i < 30; ++i) {
        const QPointF ground(mapmath::worldX(area.left() + along(random) * area.width()),
            mapmath::worldY(area.bottom() + along(random) * (area.top() - area.bottom())));
        window.mapCanvas->setView(ground, topLevel);
        clock.restart();
        settle(window);
        pans.push_back(clock.nsecsElapsed() / 1e6);
    }
    const double memory = peakMegabytes();
    std::printf("tile cache: %d tiles, %.0f of %.0f MiB\n", window.mTiles.tiles(), window.mTiles.bytes() / 1048576.0,
        window.mTiles.budget() / 1048576.0);
    std::printf("medians: frame %.1f ms, pan redraw %.0f ms\n", percentile(frames, 0.5), percentile(pans, 0.5));
    std::printf("goals: open <= 300 ms, frame p95 <= 16 ms, pan redraw p95 <= 200 ms, memory <= 300 MB\n");
    std::printf("map: %d events, open %.0f ms, frame p95 %.1f ms, pan redraw p95 %.0f ms, memory %.0f MB\n", kEvents,
        openMs, p95(frames), p95(pans), memory);
    unloadAllSharedWindows();
    return 0;
}

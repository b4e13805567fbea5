// The map: basemaps made by GDAL's tools drawn where they belong (also from a parent tile while
// loading and past the file's top level), the events' icons, a track, the live position's
// accuracy, the hit test, the window's list, filter, export and new events, and every bad
// basemap's message.

#include "core/Driver.h"
#include "core/Outbox.h"
#include "gui/frmMap.h"
#include "gui/map/MapProjection.h"
#include "platform/Db.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QtTest>
#include <QtWidgets>

#include <cmath>
#include <optional>

namespace
{
using mapview::MapCanvas;

// Four quadrants of known colours meeting at a corner of the web tile grid
// (a zoom-10 corner near the simulator's walk, so a corner at every zoom from 10 on).
const QColor kQuadrants[4] = {QColor(220, 30, 30), QColor(30, 180, 60), QColor(40, 60, 220), QColor(240, 220, 40)};
const QPointF kCorner(
    std::round(mapmath::worldX(-6.196) * 1024) / 1024, std::round(mapmath::worldY(57.4125) * 1024) / 1024);

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        qWarning("%s %s failed: %s", qPrintable(program), qPrintable(arguments.join(' ')),
            process.readAllStandardError().constData());
        return false;
    }
    return true;
}

void execute(const QString& file, const QString& sql)
{
    db::Connection connection = db::Connection::openFile(file);
    connection.execute(sql);
}

int distance(QRgb a, const QColor& b)
{
    return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) + std::abs(qBlue(a) - b.blue());
}

QImage drawn(MapCanvas& canvas)
{
    QImage image(canvas.size(), QImage::Format_RGB32);
    QPainter painter(&image);
    canvas.draw(painter);
    return image;
}

// Drawn again until every tile asked for has come.
QImage drawnLoaded(MapCanvas& canvas, basemap::TileCache& tiles)
{
    drawn(canvas);
    if (!QTest::qWaitFor([&] { return tiles.pending() == 0; }, 10000))
        qWarning("tiles still loading");
    return drawn(canvas);
}

QString iso(const QDateTime& time) { return time.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")); }
} // namespace

class TestMap : public QObject
{
    Q_OBJECT

    QTemporaryDir mMaps; // made once: GDAL takes a while
    std::optional<TempProgramFolder> mFolder;

    QString map(const char* name) const { return mMaps.filePath(QLatin1String(name)); }

    // An event of the event database, from a tracking run when `track` is not 0.
    void addEvent(
        int type, double latitude, double longitude, const QDateTime& gmt, const QString& notes = {}, int track = 0)
    {
        mFolder->execEvents(QStringLiteral("INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, "
                                           "ALTITUDE, FIX_QUALITY, SATELLITES, HDOP, LOCKED, ACCURACY_M, SAMPLES) "
                                           "VALUES ('%1', %2, %3, 0.5, 90, 40, 2, 8, 0.9, 1, 3.4, 4);")
                                .arg(iso(gmt))
                                .arg(latitude, 0, 'g', 17)
                                .arg(longitude, 0, 'g', 17));
        mFolder->execEvents(QStringLiteral("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, "
                                           "GPS_READING_ID, NOTES, TRACK_ID) VALUES ('COM1', 'crew 7', %1, "
                                           "last_insert_rowid(), '%2', %3);")
                                .arg(type)
                                .arg(notes)
                                .arg(track != 0 ? QString::number(track) : QStringLiteral("NULL")));
    }

private slots:
    void initTestCase()
    {
        // 1024 pixels at zoom 14's resolution, the corner in the middle.
        QImage quadrants(1024, 1024, QImage::Format_RGB32);
        for (int i = 0; i < 4; ++i)
            QPainter(&quadrants).fillRect(QRect((i % 2) * 512, (i / 2) * 512, 512, 512), kQuadrants[i]);
        QVERIFY(quadrants.save(map("quadrants.png")));
        const double world = 2 * mapmath::kPi * mapmath::kEarthRadius;
        const double half = 512 * world / (256 << 14);
        const double x = (kCorner.x() - 0.5) * world;
        const double y = (0.5 - kCorner.y()) * world;
        const QStringList corners {QString::number(x - half, 'f', 6), QString::number(y + half, 'f', 6),
            QString::number(x + half, 'f', 6), QString::number(y - half, 'f', 6)};
        QVERIFY(run("gdal_translate",
            QStringList {"-q", "-a_srs", "EPSG:3857", "-a_ullr"} + corners
                + QStringList {map("quadrants.png"), map("q.tif")}));
        QVERIFY(run(
            "gdal_translate", {"-q", "-of", "MBTILES", "-co", "RESAMPLING=NEAREST", map("q.tif"), map("q.mbtiles")}));
        QVERIFY(run("gdal_translate",
            {"-q", "-of", "GPKG", "-co", "TILE_FORMAT=WEBP", "-co", "TILING_SCHEME=GoogleMapsCompatible", "-co",
                "RESAMPLING=NEAREST", map("q.tif"), map("q.gpkg")}));
        for (const char* file : {"q.mbtiles", "q.gpkg"})
            QVERIFY(run("gdaladdo", {"-q", "-r", "nearest", map(file), "2", "4"}));

        // The bad ones.
        QFile text(map("notes.mbtiles"));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write(QByteArray(4096, 'x')) == 4096);
        text.close();
        QVERIFY(QFile::copy(map("q.mbtiles"), map("vector.mbtiles")));
        execute(map("vector.mbtiles"), QStringLiteral("UPDATE metadata SET value = 'pbf' WHERE name = 'format'"));
        QVERIFY(run("gdalwarp", {"-q", "-t_srs", "EPSG:4326", map("q.tif"), map("q4326.tif")}));
        QVERIFY(run("gdal_translate", {"-q", "-of", "GPKG", map("q4326.tif"), map("degrees.gpkg")}));
        QVERIFY(QFile::copy(map("q.mbtiles"), map("damaged.mbtiles")));
        execute(map("damaged.mbtiles"),
            QStringLiteral("UPDATE tiles SET tile_data = x'89504e470d0a1a0a0000000d49484452' WHERE zoom_level = 14"));
        QVERIFY(QFile::copy(map("q.mbtiles"), map("truncated.mbtiles")));
        QFile truncated(map("truncated.mbtiles"));
        QVERIFY(truncated.resize(truncated.size() / 2));
    }

    void init() { mFolder.emplace(); }
    void cleanup()
    {
        unloadAllSharedWindows();
        mFolder.reset();
    }

    // The quadrants meet where they belong, within a pixel: at the file's levels, from a parent
    // tile while the tile loads, and past the file's top level (zoom 14) by scaling it.
    void basemapDrawnWhereItBelongs_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("tolerance"); // WebP is lossy
        QTest::addRow("MBTiles, PNG") << "q.mbtiles" << 0;
        QTest::addRow("GeoPackage, WebP") << "q.gpkg" << 24;
    }
    void basemapDrawnWhereItBelongs()
    {
        QFETCH(QString, file);
        QFETCH(int, tolerance);
        basemap::TileCache tiles;
        tiles.setSource(mMaps.filePath(file));
        QCOMPARE((QList<int> {tiles.info()->minZoom <= 12, tiles.info()->maxZoom}), (QList<int> {1, 14}));
        mapview::MapEventSet events;
        MapCanvas canvas(tiles, events);
        canvas.resize(400, 300);
        const QPoint middle(200, 150);
        QStringList wrong;
        const auto check = [&](const QImage& image, const QString& when) {
            for (int i = 0; i < 4; ++i) {
                const QPoint at = middle + QPoint(i % 2 ? 2 : -3, i / 2 ? 2 : -3);
                if (distance(image.pixel(at), kQuadrants[i]) > 3 * tolerance)
                    wrong
                        << QStringLiteral("%1: quadrant %2 is %3").arg(when).arg(i).arg(QColor(image.pixel(at)).name());
            }
            // Where the colour turns, along a row and a column away from the corner.
            int column = -1, row = -1;
            for (int x = middle.x() - 6; x <= middle.x() + 6 && column < 0; ++x)
                if (distance(image.pixel(x, middle.y() - 30), kQuadrants[1]) <= 3 * tolerance)
                    column = x;
            for (int y = middle.y() - 6; y <= middle.y() + 6 && row < 0; ++y)
                if (distance(image.pixel(middle.x() + 30, y), kQuadrants[3]) <= 3 * tolerance)
                    row = y;
            if (std::abs(column - middle.x()) > 1 || std::abs(row - middle.y()) > 1)
                wrong << QStringLiteral("%1: the quadrants meet at %2, %3").arg(when).arg(column).arg(row);
        };
        for (const double zoom : {12.0, 13.0, 14.0, 17.0}) {
            canvas.setView(kCorner, zoom);
            check(drawnLoaded(canvas, tiles), QStringLiteral("zoom %1").arg(zoom));
        }
        // Level 13 in memory, 14 not yet: its parent is drawn meanwhile.
        tiles.setSource(mMaps.filePath(file));
        canvas.setView(kCorner, 13);
        drawnLoaded(canvas, tiles);
        canvas.setView(kCorner, 14);
        const QImage meanwhile = drawn(canvas);
        QVERIFY(tiles.pending() > 0);
        check(meanwhile, QStringLiteral("while loading"));
        QCOMPARE(wrong, QStringList());
        QVERIFY(tiles.bytes() <= tiles.budget());
    }

    // Each bad file says what is wrong with it, once, naming it; the map goes on without it.
    void badBasemapsSayWhy_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::addRow("not SQLite") << "notes.mbtiles"
                                    << "it is not an SQLite file (MBTiles or GeoPackage).";
        QTest::addRow("vector tiles") << "vector.mbtiles"
                                      << "it holds vector tiles (format pbf); only raster tiles (PNG, JPEG, WebP) "
                                         "can be drawn.";
        QTest::addRow("degrees") << "degrees.gpkg"
                                 << "its tiles are in EPSG:4326, not in EPSG:3857 (Web Mercator).";
        QTest::addRow("truncated") << "truncated.mbtiles"
                                   << "the file is truncated";
        QTest::addRow("missing") << "nothing.mbtiles"
                                 << "the file does not exist.";
        QTest::addRow("damaged tile") << "damaged.mbtiles"
                                      << "has a damaged tile (zoom 14";
        QTest::addRow("deleted while open") << "deleted.mbtiles"
                                            << "the file was deleted or moved while the map was open.";
    }
    void badBasemapsSayWhy()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        const QString path = mFolder->file(file);
        QFile::copy(mMaps.filePath(file == "deleted.mbtiles" ? QStringLiteral("q.mbtiles") : file), path);
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Basemap Not Usable"));
        frmMap& window = frmMap::instance();
        window.resize(800, 500);
        window.Show_Map(nullptr);
        const bool opens = window.Open_Basemap(path);
        QCOMPARE(opens, file == "damaged.mbtiles" || file == "deleted.mbtiles");
        if (file == "deleted.mbtiles")
            QVERIFY(QFile::remove(path));
        window.mapCanvas->setView(kCorner, 14);
        drawn(*window.mapCanvas);
        QTRY_VERIFY(boxes.allShown());
        QVERIFY2(boxes.last().text.startsWith(QStringLiteral("The basemap ") + path), qPrintable(boxes.last().text));
        QVERIFY2(boxes.last().text.contains(reason), qPrintable(boxes.last().text));
        drawnLoaded(*window.mapCanvas, window.mTiles); // no second box for the same fault
        QCOMPARE(window.cmbBasemap->currentText(),
            file == "damaged.mbtiles" ? QStringLiteral("damaged.mbtiles") : QStringLiteral("No basemap"));
    }

    // Icons at their events' places, a track cut at its gap, the accuracy circle to scale, and the
    // click that finds the right event among close ones and lists those at the same place.
    void eventsTrackLivePositionAndHits()
    {
        const double lat = 57.41, lon = -6.2;
        const QDateTime t0(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC);
        addEvent(101, lat, lon, t0, QStringLiteral("alone"));
        for (int i = 0; i < 4; ++i) // 10 s apart, then a gap of 80 s
            addEvent(102, lat - 0.001, lon + 0.001 * i, t0.addSecs(i < 3 ? 10 * i : 100), {}, 5);
        for (int i = 0; i < 3; ++i) // close together
            addEvent(103, lat + 0.001, lon + 0.0001 * i, t0, QStringLiteral("close %1").arg(i));
        addEvent(104, lat + 0.001, lon + 0.0001, t0, QStringLiteral("same place"));
        addEvent(105, 91, lon, t0); // off the earth

        basemap::TileCache tiles;
        mapview::MapEventSet set;
        QVERIFY(set.refresh());
        QCOMPARE(set.undrawable(), 1);
        MapCanvas canvas(tiles, set);
        canvas.resize(500, 400);
        QImage pothole(builtIconsFolder() + QStringLiteral("/pothole.ico"));
        QVERIFY(!pothole.isNull());
        canvas.setIcons({{101, pothole}});
        canvas.setView(QPointF(mapmath::worldX(lon + 0.0015), mapmath::worldY(lat)), 16);
        QImage image = drawn(canvas);

        const auto at = [&](double latitude, double longitude) {
            return canvas.toScreen(mapmath::worldX(longitude), mapmath::worldY(latitude));
        };
        const QImage icon
            = pothole.scaled(MapCanvas::kIconSize, MapCanvas::kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        const QPoint corner = (at(lat, lon) - QPointF(12, 12)).toPoint();
        int opaque = 0, differing = 0;
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x)
                if (qAlpha(icon.pixel(x, y)) == 255) {
                    ++opaque;
                    differing += distance(image.pixel(corner + QPoint(x, y)), icon.pixel(x, y)) > 6;
                }
        QVERIFY(opaque > 200);
        QCOMPARE(differing, 0);
        const auto isTrack = [&](const QPointF& point) {
            const QRgb pixel = image.pixel(point.toPoint());
            return qBlue(pixel) > qRed(pixel) + 60;
        };
        const QPointF first = at(lat - 0.001, lon), second = at(lat - 0.001, lon + 0.001);
        const QPointF third = at(lat - 0.001, lon + 0.002), fourth = at(lat - 0.001, lon + 0.003);
        QCOMPARE(
            (QList<bool> {isTrack((first + second) / 2), isTrack((second + third) / 2), isTrack((third + fourth) / 2)}),
            (QList<bool> {true, true, false}));

        // 30 m at this zoom and latitude, and grey once the fix is lost.
        const double live = lat - 0.002;
        canvas.setLive({true, false, live, lon, 30});
        image = drawn(canvas);
        const QPointF centre = at(live, lon);
        const double radius = 30 / mapmath::metresPerPixel(live, 16);
        int ring = -1, bluest = -1000;
        for (int x = int(centre.x() + radius) - 5; x <= int(centre.x() + radius) + 5; ++x) {
            const QRgb pixel = image.pixel(x, int(centre.y()));
            if (qBlue(pixel) - qRed(pixel) > bluest)
                bluest = qBlue(pixel) - qRed(pixel), ring = x;
        }
        QVERIFY2(std::abs(ring + 0.5 - (centre.x() + radius)) <= 1,
            qPrintable(QStringLiteral("ring at %1, radius %2").arg(ring - centre.x()).arg(radius)));
        canvas.setLive({true, true, live, lon, 30});
        const QRgb lost = drawn(canvas).pixel(centre.toPoint());
        QVERIFY(qRed(lost) == qGreen(lost) && qGreen(lost) == qBlue(lost));

        // 0.0001° of longitude is some 37 pixels at zoom 19.
        canvas.setView(QPointF(mapmath::worldX(lon + 0.0001), mapmath::worldY(lat + 0.001)), 19);
        const auto notes = [&](const std::vector<int>& found) {
            QStringList list;
            for (const int index : found)
                list << set.events()[index].notes;
            return list;
        };
        QCOMPARE(notes(canvas.eventsAt(at(lat + 0.001, lon) + QPointF(4, -3))), QStringList {"close 0"});
        QCOMPARE(notes(canvas.eventsAt(at(lat + 0.001, lon + 0.0002) + QPointF(-5, 2))), QStringList {"close 2"});
        QCOMPARE(notes(canvas.eventsAt(at(lat + 0.001, lon + 0.0001) + QPointF(1, 1))),
            (QStringList {"close 1", "same place"}));
        QVERIFY(canvas.eventsAt(at(lat + 0.001, lon + 0.0001) + QPointF(0, 40)).empty());
    }

    // The list shows today's events at first and every day one click away; the filter and the
    // count agree with the map; outbox events are marked; a new event shows within a second; the
    // export writes what is listed; the map writes neither database.
    void windowListsFiltersAndFollows()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        addEvent(101, 57.41, -6.2, now.addSecs(-60), QStringLiteral("gate open north side"));
        addEvent(102, 57.42, -6.21, now.addSecs(-30));
        addEvent(101, 57.43, -6.22, now.addDays(-3), QStringLiteral("old"));
        addEvent(103, 123, -6.2, now.addSecs(-10), QStringLiteral("bad position"));
        Driver::OutboxStore outbox(Driver::outboxPath());
        Driver::OutboxStore::Entry waiting;
        waiting.eventId = QStringLiteral("1b4e28ba-2fa1-4d3b-9c5e-0f1a2b3c4d5e");
        waiting.eventTypeId = 102;
        waiting.gmt = now;
        waiting.savedAt = now;
        waiting.url = QStringLiteral("http://127.0.0.1:9/x");
        waiting.document = QStringLiteral("<?xml version=\"1.0\"?><Zepta><GeocodedEvent><ClientId>1</ClientId>"
                                          "<Notes>posted</Notes><GpsReading><Latitude>57.44</Latitude>"
                                          "<Longitude>-6.23</Longitude><Satellites>6</Satellites></GpsReading>"
                                          "</GeocodedEvent></Zepta>");
        outbox.add(waiting);
        const auto contents = [&] {
            QStringList files;
            for (const QString& path : {mFolder->eventDatabase(), Driver::outboxPath()}) {
                QFile file(path);
                file.open(QIODevice::ReadOnly);
                files << QString::fromLatin1(
                    QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
            }
            return files;
        };
        const QStringList before = contents();

        frmMap& window = frmMap::instance();
        window.resize(900, 600);
        window.Show_Map(nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto listed = [&] {
            QStringList rows;
            for (int row = 0; row < window.mList->rowCount(); ++row) {
                QStringList cells;
                for (const int column : {1, 2, 3})
                    cells << window.mList->index(row, column).data().toString();
                rows << cells.join(QStringLiteral(" | "));
            }
            return rows;
        };
        QCOMPARE(window.lblCount->text(), QStringLiteral("4 of 5 events; 1 not on the map (position out of range)"));
        QCOMPARE(listed(),
            (QStringList {"Damaged Sign | posted | waiting", "Fallen Tree | bad position | saved, not on the map",
                "Damaged Sign |  | saved", "Pothole | gate open north side | saved"}));
        window.cmbType->setCurrentIndex(window.cmbType->findText(QStringLiteral("Pothole")));
        emit window.cmbType->activated(window.cmbType->currentIndex());
        QCOMPARE(window.lblCount->text(), QStringLiteral("1 of 5 events"));
        QTest::mouseClick(window.btnAllDates, Qt::LeftButton);
        QCOMPARE(listed(), (QStringList {"Pothole | gate open north side | saved", "Pothole | old | saved"}));
        // The drawn events are the listed ones.
        const auto& events = window.mEvents.events();
        for (int i = 0; i < static_cast<int>(events.size()); ++i)
            QCOMPARE(window.mapCanvas->isShown(i), events[i].typeId == 101);

        // A row chosen centres the map on its event; Enter tells all about it.
        window.lstEvents->selectRow(0);
        const int chosen = window.mList->rows()[0];
        QCOMPARE(window.mapCanvas->centre(), QPointF(events[chosen].x, events[chosen].y));
        QTest::keyClick(window.mapCanvas, Qt::Key_Return);
        QVERIFY(window.lblInfo->isVisible());
        for (const char* part : {"<b>Pothole</b>", "Notes: gate open north side", "Fix: DGPS, satellites 8, HDOP 0.9",
                 "Accuracy: ±3.4 m, samples 4", "Crew: crew 7"})
            QVERIFY2(window.lblInfo->text().contains(QString::fromUtf8(part)), qPrintable(window.lblInfo->text()));

        // The export writes the two listed events.
        const QString target = mFolder->file(QStringLiteral("listed.txt"));
        Presenters scripted;
        scripted.saveDialog = [&](const SaveDialogRequest&) { return SaveDialogChoice(target); };
        installPresenters(scripted);
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Completed"));
        window.btnExport->click();
        QCOMPARE(boxes.last().text, QStringLiteral("Saved 2 events to file: ") + target);
        QFile written(target);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll().count("\r\n"), 3);
        QCOMPARE(contents(), before);

        QTest::mouseClick(window.btnToday, Qt::LeftButton);
        QVERIFY(Driver::Save_Event(101, QStringLiteral("just now"), makeReading(57.45, -6.24, 90, now)));
        QTRY_VERIFY_WITH_TIMEOUT(listed().contains(QStringLiteral("Pothole | just now | saved")), 1000);
        QCOMPARE(window.lblCount->text(), QStringLiteral("2 of 6 events"));
    }
};

QTEST_MAIN(TestMap)
#include "test_map.moc"

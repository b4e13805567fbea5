#include "gui/map/MapEvents.h"

#include "core/Driver.h"
#include "gui/map/MapProjection.h"
#include "platform/DbConnection.h"
#include "platform/DbTime.h"
#include "platform/Error.h"

#include <QFile>
#include <QHash>
#include <QXmlStreamReader>

#include <sqlite3.h>

#include <cmath>
#include <numeric>
#include <string_view>

namespace mapview
{

namespace
{
struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Handle = std::unique_ptr<sqlite3, Closer>;
using Query = std::unique_ptr<sqlite3_stmt, Finalizer>;

struct Failure {
    QString message;
};

Query prepare(sqlite3* db, const QByteArray& sql)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &raw, nullptr) != SQLITE_OK)
        throw Failure {QString::fromUtf8(sqlite3_errmsg(db))};
    return Query(raw);
}

bool step(sqlite3* db, sqlite3_stmt* query)
{
    const int result = sqlite3_step(query);
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE)
        throw Failure {QString::fromUtf8(sqlite3_errmsg(db))};
    return false;
}

QString text(sqlite3_stmt* query, int column)
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(query, column));
    return bytes ? QString::fromUtf8(bytes, sqlite3_column_bytes(query, column)) : QString();
}

QDateTime timeOf(sqlite3_stmt* query, int column)
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(query, column));
    if (!bytes)
        return {};
    const auto stamp = db::parseTimestamp(std::string_view(bytes, sqlite3_column_bytes(query, column)));
    return stamp ? stamp->toDateTime() : QDateTime();
}

// A file opened read-only, again once it appears; with the engine's counter
// that moves when another connection commits.
struct Watched {
    QString path;
    Handle db;
    long long version = -1;

    // True when the file may have changed since the last call.
    bool changed()
    {
        if (!db) {
            if (!QFile::exists(path))
                return false;
            sqlite3* raw = nullptr;
            const int opened
                = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
            db.reset(raw);
            if (opened != SQLITE_OK)
                throw Failure {QString::fromUtf8(sqlite3_errmsg(raw))};
            sqlite3_busy_timeout(raw, db::kBusyTimeoutMs);
        }
        const Query query = prepare(db.get(), "PRAGMA data_version");
        step(db.get(), query.get());
        const long long now = sqlite3_column_int64(query.get(), 0);
        return std::exchange(version, now) != now;
    }

    bool hasColumn(const char* table, const char* column)
    {
        const Query query = prepare(db.get(), QByteArray("PRAGMA table_info(") + table + ")");
        while (step(db.get(), query.get()))
            if (qstricmp(reinterpret_cast<const char*>(sqlite3_column_text(query.get(), 1)), column) == 0)
                return true;
        return false;
    }
};

void place(MapEvent& event)
{
    event.drawable = mapmath::onTheEarth(event.latitude, event.longitude);
    if (event.drawable) {
        event.x = std::clamp(mapmath::worldX(event.longitude), 0.0, 1.0);
        event.y = std::clamp(mapmath::worldY(event.latitude), 0.0, 1.0);
    }
}

// The event inside an outbox document, as the sender posts it.
void readDocument(const QString& document, MapEvent& event)
{
    QXmlStreamReader xml(document);
    QString element;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            element = xml.name().toString();
            break;
        case QXmlStreamReader::EndElement:
            element.clear();
            break;
        case QXmlStreamReader::Characters: {
            const QString value = xml.text().toString();
            bool ok = false;
            if (element == QLatin1String("Notes"))
                event.notes += value;
            else if (element == QLatin1String("ClientId"))
                event.crew += value;
            else if (element == QLatin1String("Latitude"))
                event.latitude = value.toDouble(&ok), event.latitude = ok ? event.latitude : NAN;
            else if (element == QLatin1String("Longitude"))
                event.longitude = value.toDouble(&ok), event.longitude = ok ? event.longitude : NAN;
            else if (element == QLatin1String("FixQuality"))
                event.fixQuality = value.toInt(&ok), event.fixQuality = ok ? event.fixQuality : -1;
            else if (element == QLatin1String("Satellites"))
                event.satellites = value.toInt(&ok), event.satellites = ok ? event.satellites : -1;
            else if (element == QLatin1String("Hdop"))
                event.hdop = value.toDouble(&ok), event.hdop = ok ? event.hdop : -1;
            else if (element == QLatin1String("Accuracy") || element == QLatin1String("AccuracyM"))
                event.accuracy = value.toDouble(&ok), event.accuracy = ok ? event.accuracy : -1;
            else if (element == QLatin1String("Samples"))
                event.samples = value.toInt(&ok), event.samples = ok ? event.samples : -1;
            else if (element == QLatin1String("TrackId"))
                event.trackId = value.toLongLong(&ok), event.trackId = ok ? event.trackId : 0;
            break;
        }
        default:
            break;
        }
    }
}

MapEvent::Origin originOf(const QString& state)
{
    if (state == QLatin1String("sent"))
        return MapEvent::Origin::Sent;
    if (state == QLatin1String("attention"))
        return MapEvent::Origin::Attention;
    return MapEvent::Origin::Waiting;
}
} // namespace

struct MapEventSet::Reader {
    Watched saved;
    Watched outbox;
    std::vector<MapEvent> savedEvents;
    std::int64_t lastSaved = 0;
    QHash<std::int64_t, MapEvent> outboxEvents; // by OUTBOX_ID, parsed once

    bool readSaved()
    {
        if (!saved.changed())
            return false;
        sqlite3* db = saved.db.get();
        {
            const Query count = prepare(db, "SELECT COUNT(*) FROM GEOCODED_EVENTS");
            step(db, count.get());
            const Query newer = prepare(db, "SELECT COUNT(*) FROM GEOCODED_EVENTS WHERE GEOCODED_EVENT_ID > ?");
            sqlite3_bind_int64(newer.get(), 1, lastSaved);
            step(db, newer.get());
            // Deleted or replaced events: read everything again.
            if (sqlite3_column_int64(count.get(), 0) - sqlite3_column_int64(newer.get(), 0)
                != static_cast<long long>(savedEvents.size())) {
                savedEvents.clear();
                lastSaved = 0;
            }
        }
        const auto optional = [&](const char* table, const char* column, const char* as) {
            return QByteArray(saved.hasColumn(table, column) ? as : "NULL");
        };
        const QByteArray sql = "SELECT E.GEOCODED_EVENT_ID, E.EVENT_TYPE_ID, R.GMT, R.LATITUDE, R.LONGITUDE, E.NOTES, "
                               "E.OBSERVER_MONIKER, R.FIX_QUALITY, R.SATELLITES, R.HDOP, "
            + optional("GPS_READINGS", "ACCURACY_M", "R.ACCURACY_M") + ", "
            + optional("GPS_READINGS", "SAMPLES", "R.SAMPLES") + ", "
            + optional("GEOCODED_EVENTS", "TRACK_ID", "E.TRACK_ID")
            + " FROM GEOCODED_EVENTS E JOIN GPS_READINGS R ON R.GPS_READING_ID = E.GPS_READING_ID "
              "WHERE E.GEOCODED_EVENT_ID > ? ORDER BY E.GEOCODED_EVENT_ID";
        const Query rows = prepare(db, sql);
        sqlite3_bind_int64(rows.get(), 1, lastSaved);
        sqlite3_stmt* q = rows.get();
        auto intOr = [q](int column, int none) {
            return sqlite3_column_type(q, column) == SQLITE_NULL ? none : sqlite3_column_int(q, column);
        };
        auto doubleOr = [q](int column) {
            return sqlite3_column_type(q, column) == SQLITE_NULL ? -1.0 : sqlite3_column_double(q, column);
        };
        while (step(db, q)) {
            MapEvent event;
            event.id = sqlite3_column_int64(q, 0);
            event.typeId = sqlite3_column_int(q, 1);
            event.gmt = timeOf(q, 2);
            event.latitude = sqlite3_column_type(q, 3) == SQLITE_NULL ? NAN : sqlite3_column_double(q, 3);
            event.longitude = sqlite3_column_type(q, 4) == SQLITE_NULL ? NAN : sqlite3_column_double(q, 4);
            event.notes = text(q, 5);
            event.crew = text(q, 6);
            event.fixQuality = intOr(7, -1);
            event.satellites = intOr(8, -1);
            event.hdop = doubleOr(9);
            event.accuracy = doubleOr(10);
            event.samples = intOr(11, -1);
            event.trackId = sqlite3_column_int64(q, 12);
            place(event);
            savedEvents.push_back(std::move(event));
            lastSaved = savedEvents.back().id;
        }
        return true;
    }

    bool readOutbox()
    {
        if (!outbox.changed())
            return false;
        sqlite3* db = outbox.db.get();
        const Query rows = prepare(db, "SELECT OUTBOX_ID, STATE, EVENT_TYPE_ID, GMT FROM OUTBOX ORDER BY OUTBOX_ID");
        const Query document = prepare(db, "SELECT DOCUMENT FROM OUTBOX WHERE OUTBOX_ID = ?");
        QHash<std::int64_t, MapEvent> now;
        while (step(db, rows.get())) {
            const std::int64_t id = sqlite3_column_int64(rows.get(), 0);
            MapEvent event;
            if (const auto known = outboxEvents.constFind(id); known != outboxEvents.constEnd()) {
                event = *known;
            } else {
                event.id = id;
                event.typeId = sqlite3_column_int(rows.get(), 2);
                event.gmt = timeOf(rows.get(), 3);
                event.latitude = event.longitude = NAN;
                sqlite3_reset(document.get());
                sqlite3_bind_int64(document.get(), 1, id);
                if (step(db, document.get()))
                    readDocument(text(document.get(), 0), event);
                place(event);
            }
            event.origin = originOf(text(rows.get(), 1));
            now.insert(id, event);
        }
        outboxEvents = std::move(now);
        return true;
    }
};

MapEventSet::MapEventSet()
    : mReader(std::make_unique<Reader>())
{
    mReader->saved.path = db::dataSourceOf(Driver::eventDatabaseConnectionString());
    mReader->outbox.path = Driver::outboxPath();
}

MapEventSet::~MapEventSet() = default;

bool MapEventSet::refresh()
{
    bool changed = false;
    mError.clear();
    for (auto read : {&Reader::readSaved, &Reader::readOutbox}) {
        try {
            changed = ((*mReader).*read)() || changed;
        } catch (const Failure& failure) {
            mError = failure.message;
        }
    }
    if (!changed)
        return false;
    mEvents = mReader->savedEvents;
    std::vector<std::int64_t> outboxIds(mReader->outboxEvents.keyBegin(), mReader->outboxEvents.keyEnd());
    std::sort(outboxIds.begin(), outboxIds.end());
    for (const std::int64_t id : outboxIds)
        mEvents.push_back(mReader->outboxEvents.value(id));
    reindex();
    return true;
}

void MapEventSet::reindex()
{
    constexpr int cells = 1 << kGridBits;
    std::vector<std::pair<std::uint32_t, int>> order;
    order.reserve(mEvents.size());
    mUndrawable = 0;
    for (int i = 0; i < static_cast<int>(mEvents.size()); ++i) {
        const MapEvent& event = mEvents[i];
        if (!event.drawable) {
            ++mUndrawable;
            continue;
        }
        const auto cx = static_cast<std::uint32_t>(std::clamp(static_cast<int>(event.x * cells), 0, cells - 1));
        const auto cy = static_cast<std::uint32_t>(std::clamp(static_cast<int>(event.y * cells), 0, cells - 1));
        order.emplace_back(cy * cells + cx, i);
    }
    std::sort(order.begin(), order.end());
    mCellOf.resize(order.size());
    mByCell.resize(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        mCellOf[i] = order[i].first;
        mByCell[i] = order[i].second;
    }

    // Tracking runs: each in time order, cut where a gap is more than twice
    // the run's usual (median) interval between fixes.
    QHash<std::int64_t, std::vector<int>> runs;
    for (int i = 0; i < static_cast<int>(mEvents.size()); ++i)
        if (mEvents[i].trackId != 0 && mEvents[i].drawable && mEvents[i].gmt.isValid())
            runs[mEvents[i].trackId].push_back(i);
    mTracks.clear();
    for (auto run = runs.begin(); run != runs.end(); ++run) {
        std::vector<int>& points = run.value();
        std::stable_sort(
            points.begin(), points.end(), [this](int a, int b) { return mEvents[a].gmt < mEvents[b].gmt; });
        std::vector<qint64> gaps;
        for (std::size_t i = 1; i < points.size(); ++i)
            gaps.push_back(mEvents[points[i - 1]].gmt.msecsTo(mEvents[points[i]].gmt));
        qint64 usual = 0;
        if (!gaps.empty()) {
            std::vector<qint64> sorted = gaps;
            std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
            usual = sorted[sorted.size() / 2];
        }
        Track track;
        track.id = run.key();
        track.pieces.emplace_back();
        double left = 1, top = 1, right = 0, bottom = 0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (i > 0 && gaps[i - 1] > 2 * usual && usual > 0)
                track.pieces.emplace_back();
            track.pieces.back().push_back(points[i]);
            const MapEvent& event = mEvents[points[i]];
            left = std::min(left, event.x), right = std::max(right, event.x);
            top = std::min(top, event.y), bottom = std::max(bottom, event.y);
        }
        track.box = QRectF(QPointF(left, top), QPointF(right, bottom));
        mTracks.push_back(std::move(track));
    }
    std::sort(mTracks.begin(), mTracks.end(), [](const Track& a, const Track& b) { return a.id < b.id; });
}

} // namespace mapview

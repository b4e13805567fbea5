#include "listener/office_api.h"

#include "listener/office_db.h"

#include <QDateTime>

#include <cmath>

namespace listener
{

namespace
{

constexpr double kLatestTime = 4102444800.0; // 2100-01-01
constexpr int kMaxLimit = 5000;
constexpr int kMaxTypes = 100;
constexpr int kGridColumns = 40; // cells across the bbox when clustering
constexpr int kGridRows = 25;

std::optional<double> number(const QByteArray& text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Seconds since 1970, or ISO 8601 with a zone ("2026-12-06T07:30:00Z").
std::optional<double> time(const QByteArray& text)
{
    std::optional<double> seconds = number(text);
    if (!seconds) {
        const QDateTime parsed = QDateTime::fromString(QString::fromUtf8(text), Qt::ISODateWithMs);
        if (!parsed.isValid() || parsed.timeSpec() == Qt::LocalTime)
            return std::nullopt;
        seconds = static_cast<double>(parsed.toMSecsSinceEpoch()) / 1000.0;
    }
    if (*seconds < 0 || *seconds > kLatestTime)
        return std::nullopt;
    return seconds;
}

QByteArray real(double value) { return QByteArray::number(value, 'g', 17); }

// The crew an event is shown under: the crew its key authenticated, else the
// client id the document claims (anonymous listeners).
QByteArray crewOf(const QSet<QByteArray>& columns)
{
    return columns.contains("crew") ? QByteArrayLiteral("coalesce(e.crew, e.client_id, '')")
                                    : QByteArrayLiteral("coalesce(e.client_id, '')");
}

constexpr const char* kTimeOf = "coalesce(e.gmt, e.received_at)";

// The WHERE clause of a filter, its values appended to `values`.
QByteArray whereOf(const EventFilter& filter, const QSet<QByteArray>& columns, std::vector<QByteArray>* values)
{
    QByteArray where = "TRUE";
    const auto bind = [values](QByteArray value) {
        values->push_back(std::move(value));
        return "$" + QByteArray::number(static_cast<int>(values->size()));
    };
    if (filter.bbox) {
        const auto& b = *filter.bbox;
        where += " AND e.geom && ST_MakeEnvelope(" + bind(real(b[0])) + "::float8," + bind(real(b[1])) + "::float8,"
            + bind(real(b[2])) + "::float8," + bind(real(b[3])) + "::float8, 4326)";
    }
    if (filter.since)
        where += QByteArray(" AND ") + kTimeOf + " >= to_timestamp(" + bind(real(*filter.since)) + "::float8)";
    if (filter.until)
        where += QByteArray(" AND ") + kTimeOf + " < to_timestamp(" + bind(real(*filter.until)) + "::float8)";
    if (!filter.crew.isNull())
        where += " AND " + crewOf(columns) + " = " + bind(filter.crew.toUtf8());
    if (!filter.types.isEmpty()) {
        QByteArray list;
        for (const int type : filter.types)
            list += (list.isEmpty() ? "" : ",") + QByteArray::number(type);
        where += " AND e.event_type_id = ANY(" + bind("{" + list + "}") + "::integer[])";
    }
    return where;
}

// One event as a GeoJSON Feature: every column of the row but the geometry
// and the sender's address, plus the crew it is shown under, its type's name
// and icon, and its time.
QByteArray featureOf(const char* row, const QSet<QByteArray>& columns)
{
    const QByteArray r(row);
    QByteArray crew = crewOf(columns);
    crew.replace("e.", r + ".");
    return "json_build_object('type', 'Feature', 'id', " + r
        + ".id, 'geometry', json_build_object('type', 'Point', "
          "'coordinates', json_build_array(ST_X("
        + r + ".geom), ST_Y(" + r
        + ".geom))), 'properties', "
          "(to_jsonb("
        + r + ") - 'geom' - 'sender_address') || jsonb_build_object('crew_name', " + crew + ", 'time', coalesce(" + r
        + ".gmt, " + r + ".received_at)))";
}

ApiResult run(PGconn* connection, const QByteArray& sql, const std::vector<QByteArray>& values)
{
    ApiResult answer;
    const pg::Result result = pg::query(connection, sql.constData(), values, &answer.error);
    if (result && PQntuples(result.get()) == 1)
        answer.json = QByteArray(PQgetvalue(result.get(), 0, 0), PQgetlength(result.get(), 0, 0));
    else if (answer.error.isEmpty())
        answer.error = QStringLiteral("the query gave no answer");
    return answer;
}

} // namespace

std::optional<EventFilter> parseFilter(const QueryItems& query, const QByteArray& allowed, QString* reason)
{
    EventFilter filter;
    QSet<QByteArray> seen;
    const QList<QByteArray> names = allowed.split(' ');
    for (const auto& [name, value] : query) {
        const QString quoted = QString::fromUtf8(name.left(40));
        if (!names.contains(name)) {
            *reason = QStringLiteral("Unknown parameter \"%1\"; this path takes: %2.")
                          .arg(quoted, QString::fromLatin1(allowed));
            return std::nullopt;
        }
        if (seen.contains(name)) {
            *reason = QStringLiteral("The parameter \"%1\" is given twice.").arg(quoted);
            return std::nullopt;
        }
        seen.insert(name);
        if (name == "bbox") {
            const QList<QByteArray> parts = value.split(',');
            std::array<double, 4> b {};
            bool ok = parts.size() == 4;
            for (int i = 0; ok && i < 4; ++i) {
                const std::optional<double> v = number(parts[i]);
                ok = v && std::abs(*v) <= (i % 2 == 0 ? 180.0 : 90.0);
                b[static_cast<std::size_t>(i)] = v.value_or(0);
            }
            if (!ok || b[0] > b[2] || b[1] > b[3]) {
                *reason = QStringLiteral("bbox must be four numbers west,south,east,north in degrees: longitudes from "
                                         "-180 to 180, latitudes from -90 to 90, west <= east and south <= north.");
                return std::nullopt;
            }
            filter.bbox = b;
        } else if (name == "since" || name == "until") {
            const std::optional<double> t = time(value);
            if (!t) {
                *reason = QStringLiteral("%1 must be a time: seconds since 1970-01-01 UTC, or ISO 8601 with a zone "
                                         "such as 2026-12-06T07:30:00Z, before the year 2100.")
                              .arg(QString::fromLatin1(name));
                return std::nullopt;
            }
            (name == "since" ? filter.since : filter.until) = t;
        } else if (name == "crew") {
            filter.crew = QString::fromUtf8(value);
            if (filter.crew.isEmpty() || filter.crew.size() > 200) {
                *reason = QStringLiteral("crew must be a crew's name of 1 to 200 characters.");
                return std::nullopt;
            }
        } else if (name == "type") {
            const QList<QByteArray> parts = value.split(',');
            for (const QByteArray& part : parts) {
                bool ok = false;
                const int type = part.trimmed().toInt(&ok);
                if (!ok || parts.size() > kMaxTypes) {
                    *reason = QStringLiteral("type must be up to %1 event type numbers separated by commas.")
                                  .arg(kMaxTypes);
                    return std::nullopt;
                }
                filter.types.append(type);
            }
        } else if (name == "limit") {
            bool ok = false;
            filter.limit = value.toInt(&ok);
            if (!ok || filter.limit < 1 || filter.limit > kMaxLimit) {
                *reason = QStringLiteral("limit must be a whole number from 1 to %1.").arg(kMaxLimit);
                return std::nullopt;
            }
        } else if (name == "after") {
            bool ok = false;
            filter.after = value.toLongLong(&ok);
            if (!ok || filter.after < 0) {
                *reason = QStringLiteral("after must be the \"next\" number of the previous page.");
                return std::nullopt;
            }
        }
    }
    if (filter.since && filter.until && *filter.since > *filter.until) {
        *reason = QStringLiteral("since must not be later than until.");
        return std::nullopt;
    }
    return filter;
}

ApiResult eventsJson(PGconn* connection, const QSet<QByteArray>& columns, const EventFilter& filter, int clusterAbove)
{
    std::vector<QByteArray> values;
    const QByteArray where = whereOf(filter, columns, &values);
    if (filter.after == 0) {
        // More than the page can draw as markers: one point per grid cell.
        std::vector<QByteArray> countValues = values;
        ApiResult counted = run(connection,
            "SELECT count(*)::text FROM (SELECT 1 FROM zepta.events e WHERE " + where + " LIMIT "
                + QByteArray::number(clusterAbove + 1) + ") c",
            countValues);
        if (counted.json.isEmpty())
            return counted;
        if (counted.json.toLongLong() > clusterAbove) {
            const std::array<double, 4> b = filter.bbox.value_or(std::array<double, 4> {-180, -90, 180, 90});
            const QByteArray cellX = real(std::max((b[2] - b[0]) / kGridColumns, 1e-9));
            const QByteArray cellY = real(std::max((b[3] - b[1]) / kGridRows, 1e-9));
            return run(connection,
                "SELECT json_build_object('type', 'FeatureCollection', 'clustered', true, 'next', NULL, "
                "'snapshot', pg_current_snapshot()::text, "
                "'features', coalesce(json_agg(json_build_object('type', 'Feature', 'geometry', "
                "json_build_object('type', 'Point', 'coordinates', json_build_array(c.lon, c.lat)), "
                "'properties', json_build_object('cluster', true, 'count', c.n))), '[]'::json))::text "
                "FROM (SELECT avg(ST_X(e.geom)) AS lon, avg(ST_Y(e.geom)) AS lat, count(*) AS n "
                "FROM zepta.events e WHERE "
                    + where + " GROUP BY floor(ST_X(e.geom) / " + cellX + "), floor(ST_Y(e.geom) / " + cellY + ")) c",
                values);
        }
    }
    const QByteArray limit = QByteArray::number(filter.limit);
    values.push_back(QByteArray::number(filter.after));
    const QByteArray after = "$" + QByteArray::number(static_cast<int>(values.size()));
    return run(connection,
        "WITH page AS (SELECT e.*, t.name AS type_name, t.icon AS icon FROM zepta.events e "
        "LEFT JOIN zepta.event_types t ON t.event_type_id = e.event_type_id WHERE "
            + where + " AND e.id > " + after + "::bigint ORDER BY e.id LIMIT " + limit
            + " + 1), shown AS (SELECT * FROM page ORDER BY id LIMIT " + limit
            + ") SELECT json_build_object('type', 'FeatureCollection', 'clustered', false, "
              "'snapshot', pg_current_snapshot()::text, "
              "'features', coalesce((SELECT json_agg("
            + featureOf("s", columns) + " ORDER BY s.id) FROM shown s), '[]'::json), "
            + "'next', CASE WHEN (SELECT count(*) FROM page) > " + limit
            + " THEN (SELECT max(id) FROM shown) END)::text",
        values);
}

ApiResult crewsJson(PGconn* connection, const QSet<QByteArray>& columns, const EventFilter& filter)
{
    const QByteArray crew = crewOf(columns);
    const double since = filter.since.value_or(static_cast<double>(
        QDateTime(QDateTime::currentDateTimeUtc().date(), QTime(0, 0), Qt::UTC).toSecsSinceEpoch()));
    // Each crew's latest event. With the crew column, the crews are walked
    // through events_crew_idx one name after the next, and each one's latest
    // event read from its end: a few index pages per crew, where sorting every
    // event by crew took most of this answer's time.
    QByteArray latest;
    if (columns.contains("crew")) {
        latest = "names AS ((SELECT " + crew + " AS crew FROM zepta.events e ORDER BY 1 LIMIT 1) UNION ALL ";
        latest += "SELECT (SELECT " + crew + " FROM zepta.events e WHERE " + crew + " > n.crew ORDER BY 1 LIMIT 1) ";
        latest += "FROM names n WHERE n.crew IS NOT NULL), ";
        latest += "latest AS (SELECT n.crew, l.* FROM names n CROSS JOIN LATERAL (SELECT e.id, e.event_id, e.geom, ";
        latest += QByteArray("e.received_at, e.event_type_id, ") + kTimeOf + " AS t FROM zepta.events e WHERE " + crew;
        latest += " = n.crew ORDER BY e.id DESC LIMIT 1) l WHERE n.crew IS NOT NULL)";
    } else {
        latest = "latest AS (SELECT DISTINCT ON (" + crew + ") " + crew;
        latest += QByteArray(" AS crew, e.id, e.event_id, e.geom, e.received_at, e.event_type_id, ") + kTimeOf;
        latest += " AS t FROM zepta.events e ORDER BY " + crew + ", e.id DESC)";
    }
    return run(connection,
        "WITH RECURSIVE " + latest + ", counted AS (SELECT " + crew
            + " AS crew, count(*) AS n, ST_Extent(e.geom) AS extent FROM zepta.events e "
              "WHERE "
            + kTimeOf
            + " >= to_timestamp($1::float8) GROUP BY 1), "
              "around AS (SELECT ST_Extent(extent) AS box FROM counted) "
              "SELECT json_build_object('now', now(), 'extent', (SELECT CASE WHEN box IS NOT NULL THEN "
              "json_build_array(ST_XMin(box), ST_YMin(box), ST_XMax(box), ST_YMax(box)) END FROM around), "
              "'crews', coalesce(json_agg(json_build_object("
              "'crew', l.crew, 'id', l.id, 'event_id', l.event_id, 'lon', ST_X(l.geom), 'lat', ST_Y(l.geom), "
              "'last_seen', l.received_at, 'time', l.t, 'event_type_id', l.event_type_id, 'today', coalesce(c.n, 0)) "
              "ORDER BY l.crew), '[]'::json))::text FROM latest l LEFT JOIN counted c ON c.crew = l.crew",
        {real(since)});
}

ApiResult tracksJson(PGconn* connection, const QSet<QByteArray>& columns, const EventFilter& filter)
{
    std::vector<QByteArray> values;
    QByteArray where = whereOf(filter, columns, &values);
    // Runs of Track Me when they are stored; else each crew's events in order.
    QByteArray run = "NULL::bigint";
    if (columns.contains("track_id")) {
        run = "e.track_id";
        where += " AND e.track_id IS NOT NULL";
    }
    const std::array<double, 4> b = filter.bbox.value_or(std::array<double, 4> {-180, -90, 180, 90});
    const QByteArray tolerance = real((b[2] - b[0]) / 4000.0);
    return listener::run(connection,
        "SELECT json_build_object('type', 'FeatureCollection', 'features', coalesce(json_agg(json_build_object("
        "'type', 'Feature', 'geometry', ST_AsGeoJSON(ST_Simplify(g.line, "
            + tolerance
            + "))::json, 'properties', json_build_object('crew', g.crew, 'run', g.run))), '[]'::json))::text "
              "FROM (SELECT "
            + crewOf(columns) + " AS crew, " + run + " AS run, ST_MakeLine(e.geom ORDER BY " + kTimeOf
            + ", e.id) AS line, count(*) AS n FROM zepta.events e WHERE " + where + " GROUP BY 1, 2) g WHERE g.n > 1",
        values);
}

ApiResult typesJson(PGconn* connection)
{
    return run(connection,
        "SELECT json_build_object('types', coalesce(json_agg(json_build_object('id', event_type_id, 'name', name, "
        "'icon', icon) ORDER BY name), '[]'::json))::text FROM zepta.event_types",
        {});
}

ApiResult featuresJson(
    PGconn* connection, const QSet<QByteArray>& columns, qint64 first, qint64 last, const QByteArray& xid)
{
    return run(connection,
        "SELECT json_build_object('xid', $3::text, 'features', coalesce(json_agg(" + featureOf("s", columns)
            + " ORDER BY s.id), '[]'::json))::text FROM (SELECT e.*, t.name AS type_name, t.icon AS icon "
              "FROM zepta.events e LEFT JOIN zepta.event_types t ON t.event_type_id = e.event_type_id "
              "WHERE e.id BETWEEN $1::bigint AND $2::bigint "
              "AND e.xmin::text::bigint = $3::bigint % 4294967296) s",
        {QByteArray::number(first), QByteArray::number(last), xid});
}

} // namespace listener

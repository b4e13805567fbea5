#pragma once

// The office API's queries: parameters checked into a filter, and answers
// built as JSON by PostgreSQL's own JSON functions (a writer, so every text
// from the database is escaped), never by pasting text together.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

#include <libpq-fe.h>

#include <array>
#include <optional>

namespace listener
{

using QueryItems = QList<QPair<QByteArray, QByteArray>>;

struct EventFilter {
    std::optional<std::array<double, 4>> bbox; // west, south, east, north
    std::optional<double> since; // seconds since 1970 (UTC)
    std::optional<double> until;
    QString crew;
    QList<int> types;
    int limit = 1000;
    qint64 after = 0; // the page's cursor: events with a larger id
};

// Checks the parameters a path accepts (`allowed`, e.g. "bbox since until");
// empty with the reason (for a 400) when one is unknown, repeated, not a
// number or out of range.
std::optional<EventFilter> parseFilter(const QueryItems& query, const QByteArray& allowed, QString* reason);

// Whether a query failed for the database's sake (then 503) or the request's.
struct ApiResult {
    QByteArray json; // empty on failure
    QString error; // the database's message, for the log
};

// GET /api/events: a GeoJSON FeatureCollection. When more than `clusterAbove`
// events match, the answer is clustered on a grid over the bbox instead:
// "clustered": true and one Point per cell with "count". Otherwise it is
// paged by id: "next" is the cursor for `after`, or null on the last page.
// "snapshot" (xmin:xmax:in-progress ids) tells which transactions' events the
// answer saw, so the page adds from the live feed only the others.
ApiResult eventsJson(PGconn* connection, const QSet<QByteArray>& columns, const EventFilter& filter, int clusterAbove);
// GET /api/crews: each crew's latest position, when it was last heard from
// and how many events it sent since `since` (default: today, UTC).
ApiResult crewsJson(PGconn* connection, const QSet<QByteArray>& columns, const EventFilter& filter);
// GET /api/tracks: a line per crew (per tracking run when runs are stored).
ApiResult tracksJson(PGconn* connection, const QSet<QByteArray>& columns, const EventFilter& filter);
// GET /api/types: the catalogue's event types (id, name, icon).
ApiResult typesJson(PGconn* connection);
// The features of the events with ids from `first` to `last` that
// transaction `xid` stored, for the live feed: {"xid": ..., "features": [...]}.
ApiResult featuresJson(
    PGconn* connection, const QSet<QByteArray>& columns, qint64 first, qint64 last, const QByteArray& xid);

} // namespace listener

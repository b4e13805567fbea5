#pragma once

// The PostgreSQL/PostGIS sink: every accepted event becomes one row of
// zepta.events, inserted with ON CONFLICT (event_id) DO NOTHING, so any
// number of listeners can share one database and still keep each id once.
// A batch is answered 200 only after its commit; with the database down or
// refusing it is answered 503, and the sink reconnects by itself.
//
// Schema (created when missing, names stable for QGIS projects and tools):
//   zepta.events            one row per event, geom geometry(Point, 4326)
//   zepta.event_categories  the catalogue's categories (--catalogue)
//   zepta.event_types       the catalogue's event types
//   zepta.event_ui_mappings which types each category shows in which slot
//   zepta.events_map        view: every column of events and event_type_name

#include "listener/listener_sink.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct pg_conn;

namespace listener
{

// The event catalogue of an application database (zepta.mdb).
struct Catalogue {
    struct Category {
        int id;
        QString name;
    };
    struct Type {
        int id;
        QString name;
        QString icon;
    };
    struct Mapping {
        int slot;
        int category;
        int type;
    };
    std::vector<Category> categories;
    std::vector<Type> types;
    std::vector<Mapping> mappings;
};

// Reads the catalogue of a SQLite application database; empty with the
// reason in `error` when it cannot.
std::optional<Catalogue> readCatalogue(const QString& path, QString* error);

// The SQL that creates what is missing of the schema (also in the README).
QByteArray schemaSql();

class PgSink final : public Sink
{
public:
    // `log` receives one line whenever the database goes away or comes back.
    PgSink(QByteArray conninfo, std::optional<Catalogue> catalogue, std::function<void(const QString&)> log);
    ~PgSink() override;

    // Connects and creates the schema now, so a wrong connection string is
    // reported at start; a database that is merely down is not an error.
    bool connectNow(QString* error);

protected:
    void write(std::vector<Submission>& batch) override;

private:
    struct ConnCloser {
        void operator()(pg_conn* connection) const;
    };
    using Connection = std::unique_ptr<pg_conn, ConnCloser>;

    bool connect(QString* error);
    struct RowResult {
        bool inserted = false; // now; else stored before
        QByteArray digest; // of the body stored before (empty for rows older than digests)
    };
    bool insert(const std::vector<Submission*>& rows, std::vector<RowResult>* results, QString* error);
    void lost(const QString& error);

    const QByteArray mConninfo;
    const std::optional<Catalogue> mCatalogue;
    const std::function<void(const QString&)> mLog;
    Connection mConnection;
    bool mPrepared = false; // the insert, on mConnection
    bool mReported = false; // the outage is logged once
    std::chrono::steady_clock::time_point mLastAttempt {};
    QString mLastError;
};

} // namespace listener

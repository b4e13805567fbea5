// Time of one Save_Event in "LOCAL" mode, beside a bare SQLite insert and
// commit of the same two rows.
//
//   save_event_bench [--iterations N] [--dir FOLDER]
//
// Save_Event is timed whole: its two settings reads (each its own connection
// to zepta.mdb) and the event object's store (its own connection, schema
// check, one IMMEDIATE transaction with both rows, durable commit). The bare
// figure is one open connection with prepared statements doing BEGIN
// IMMEDIATE, the two inserts and COMMIT, on the same file system with the
// same journal mode and synchronous setting. Medians over N rounds, each
// round timing every figure once, after a short warm-up; the folder (default: the system's temporary folder)
// decides what a durable commit costs.

#include "core/Driver.h"
#include "gps/Component.h"
#include "nomrel/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace
{

constexpr int kWarmUp = 10;

struct Figures {
    double median;
    double p90;
};

// Times the actions in turn, round after round, so that a slow spell of the
// disk falls on all of them alike; one set of figures per action.
std::vector<Figures> measure(int iterations, const std::vector<std::function<void()>>& actions)
{
    for (int i = 0; i < kWarmUp; ++i)
        for (const auto& action : actions)
            action();
    std::vector<std::vector<double>> times(actions.size());
    QElapsedTimer clock;
    for (int i = 0; i < iterations; ++i) {
        for (std::size_t a = 0; a < actions.size(); ++a) {
            clock.start();
            actions[a]();
            times[a].push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
    }
    std::vector<Figures> figures;
    for (auto& series : times) {
        std::sort(series.begin(), series.end());
        figures.push_back({series[series.size() / 2], series[(series.size() * 9) / 10]});
    }
    return figures;
}

QString pragma(const QString& path, const char* name)
{
    auto connection = db::Connection::openFile(path);
    return connection.open(QStringLiteral("PRAGMA %1").arg(QLatin1String(name))).field(QLatin1String(name)).toString();
}

// The bare engine: one connection, two prepared inserts, one transaction per
// event. Handles owned by RAII like everywhere else.
class BareInsert
{
public:
    explicit BareInsert(const QString& path)
    {
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(raw);
            throw ZeptaError(QStringLiteral("cannot open %1").arg(path));
        }
        mDb.reset(raw);
        sqlite3_busy_timeout(raw, db::kBusyTimeoutMs);
        mReading = prepare("INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, ALTITUDE, "
                           "FIX_QUALITY, SATELLITES, HDOP, LOCKED) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        mEvent = prepare("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, NOTES) "
                         "VALUES (?, ?, ?, ?, ?)");
    }

    void insert()
    {
        exec("BEGIN IMMEDIATE");
        sqlite3_stmt* r = mReading.get();
        sqlite3_bind_text(r, 1, "2026-12-06 07:30:15", -1, SQLITE_STATIC);
        sqlite3_bind_double(r, 2, 35.7796100);
        sqlite3_bind_double(r, 3, -78.6381800);
        sqlite3_bind_double(r, 4, 1.25);
        sqlite3_bind_double(r, 5, 90.0);
        sqlite3_bind_double(r, 6, 96.5);
        sqlite3_bind_int(r, 7, 1);
        sqlite3_bind_int(r, 8, 7);
        sqlite3_bind_double(r, 9, 1.2);
        sqlite3_bind_int(r, 10, 1);
        step(r);
        sqlite3_stmt* e = mEvent.get();
        sqlite3_bind_text(e, 1, "COM1", -1, SQLITE_STATIC);
        sqlite3_bind_text(e, 2, "1", -1, SQLITE_STATIC);
        sqlite3_bind_int(e, 3, 12);
        sqlite3_bind_int64(e, 4, sqlite3_last_insert_rowid(mDb.get()));
        sqlite3_bind_text(e, 5, "gate open", -1, SQLITE_STATIC);
        step(e);
        exec("COMMIT");
    }

    // A setting as this connection sees it, e.g. "journal_mode".
    QString pragma(const char* name)
    {
        const Statement statement = prepare(QByteArray("PRAGMA ").append(name).constData());
        if (sqlite3_step(statement.get()) != SQLITE_ROW)
            throw ZeptaError(QString::fromUtf8(sqlite3_errmsg(mDb.get())));
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0)));
    }

private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    struct Finalizer {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

    Statement prepare(const char* sql)
    {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(mDb.get(), sql, -1, &raw, nullptr) != SQLITE_OK)
            throw ZeptaError(QString::fromUtf8(sqlite3_errmsg(mDb.get())));
        return Statement(raw);
    }
    void step(sqlite3_stmt* statement)
    {
        const int rc = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (rc != SQLITE_DONE)
            throw ZeptaError(QString::fromUtf8(sqlite3_errmsg(mDb.get())));
    }
    void exec(const char* sql)
    {
        if (sqlite3_exec(mDb.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw ZeptaError(QString::fromUtf8(sqlite3_errmsg(mDb.get())));
    }

    std::unique_ptr<sqlite3, Closer> mDb; // declared first: closed last
    Statement mReading;
    Statement mEvent;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption iterationsOption(QStringLiteral("iterations"),
        QStringLiteral("Saves timed per figure (default 200)."), QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption dirOption(QStringLiteral("dir"),
        QStringLiteral("Folder for the temporary program folder."), QStringLiteral("FOLDER"), QDir::tempPath());
    parser.addOptions({iterationsOption, dirOption});
    parser.process(app);
    const int iterations = std::max(1, parser.value(iterationsOption).toInt());

    QTemporaryDir folder(QDir(parser.value(dirOption)).filePath(QStringLiteral("save_event_bench-XXXXXX")));
    if (!folder.isValid()) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(parser.value(dirOption)));
        return 1;
    }
    QFile catalogue(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql"));
    if (!catalogue.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(catalogue.fileName()));
        return 1;
    }
    db::Connection::openFile(folder.filePath(QStringLiteral("zepta.mdb")), db::Connection::Mode::Create)
        .execute(QString::fromUtf8(catalogue.readAll()));
    const QString bareDatabase = folder.filePath(QStringLiteral("bare.mdb"));
    for (const QString& path : {folder.filePath(QStringLiteral("Nomrel.mdb")), bareDatabase}) {
        auto events = db::Connection::openFile(path, db::Connection::Mode::Create);
        nomrel::ensureSchema(events);
    }

    int boxes = 0;
    setMessagePresenter([&boxes](const Message& message) {
        ++boxes;
        std::fprintf(stderr, "%s: %s\n", qPrintable(message.title), qPrintable(message.text));
        return MessageAnswer::Ok;
    });
    Driver::setProgramFolder(folder.path());
    Driver::applicationConnectionString() = Driver::connectionStringFor(folder.path(), QStringLiteral("zepta.mdb"));
    nomrel::Component component(folder.path());
    gps::setComponent(&component);
    component.CreateDataLink()->setConnectionString(
        QVariant(Driver::connectionStringFor(folder.path(), QStringLiteral("Nomrel.mdb"))));

    try {
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("LOCAL"));
        gps::Reading reading;
        reading.gmt = QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC);
        reading.latitude = 35.77961;
        reading.longitude = -78.63818;
        reading.speed = 1.25;
        reading.heading = 90.0;
        reading.locked = true;
        reading.source = QStringLiteral("COM1");
        const QString notes = QStringLiteral("gate open");

        BareInsert bare(bareDatabase);
        const std::vector<Figures> figures = measure(iterations,
            {[&] { Driver::Save_Event(12, notes, reading); },
                [&] {
                    nomrel::EventStore event;
                    event.setClientId(QStringLiteral("1"));
                    event.setEventType(12);
                    event.setNotes(notes);
                    event.setReading(reading);
                    event.Store();
                },
                [] { Driver::Get_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE")); }, [&] { bare.insert(); }});
        const Figures& save = figures[0];
        const Figures& store = figures[1];
        const Figures& settings = figures[2];
        const Figures& engine = figures[3];
        if (boxes != 0) {
            std::fprintf(stderr, "%d saves failed\n", boxes);
            return 1;
        }

        const QStorageInfo volume(folder.path());
        std::printf("save_event_bench: %d rounds (each times every figure once) after %d warm-up rounds\n", iterations,
            kWarmUp);
        const QString events = folder.filePath(QStringLiteral("Nomrel.mdb"));
        std::printf("folder %s (%s)\n", qPrintable(folder.path()), volume.fileSystemType().constData());
        std::printf("journal_mode %s / %s, synchronous %s / %s (Save_Event's connections / bare)\n",
            qPrintable(pragma(events, "journal_mode")), qPrintable(bare.pragma("journal_mode")),
            qPrintable(pragma(events, "synchronous")), qPrintable(bare.pragma("synchronous")));
        std::printf("%-44s %9s %9s\n", "", "median ms", "p90 ms");
        std::printf("%-44s %9.3f %9.3f\n", "Save_Event (LOCAL, whole)", save.median, save.p90);
        std::printf("%-44s %9.3f %9.3f\n", "  event object Store() alone", store.median, store.p90);
        std::printf("%-44s %9.3f %9.3f\n", "  one Get_Parameter_Value", settings.median, settings.p90);
        std::printf("%-44s %9.3f %9.3f\n", "bare SQLite: 2 inserts + commit, open conn.", engine.median, engine.p90);
        std::printf("ratio Save_Event / bare: %.2f\n", save.median / engine.median);
    } catch (const ZeptaError& error) {
        std::fprintf(stderr, "save_event_bench: %s\n", qPrintable(error.message()));
        return 1;
    }
    gps::setComponent(nullptr);
    return 0;
}

// Export of 100,000 saved events in each format (comma-separated text, GPX,
// GeoJSON), beside the sqlite3 shell writing the same view as CSV from the
// same database (the reference).
//
//   export_bench [folder]
//
// Builds a program folder (zepta.mdb from data/zepta.sql, a Nomrel.mdb with
// 100,000 events) in the given folder, or in a temporary one, once; then
// exports it three times in each format, runs the reference three times, and
// reports the best of each and their ratios: the text export's speed as a
// share of the reference's (goal: at least 0.5), and the time of GPX and
// GeoJSON as a multiple of the text export's (goal: at most 1.5).

#include "core/Driver.h"
#include "gps/Component.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace
{
constexpr int kEvents = 100000;
constexpr int kRuns = 3;

// Events with varied types, coordinates and notes (some with commas, quotes
// and line breaks), each with its own reading.
void fillEventDatabase(const QString& path)
{
    QFile::remove(path);
    auto connection = db::Connection::openFile(path, db::Connection::Mode::Create);
    QFile schema(QStringLiteral(ZEPTA_SOURCE_DIR "/nomrel/schema.sql"));
    if (!schema.open(QIODevice::ReadOnly))
        throw ZeptaError(QStringLiteral("cannot read ") + schema.fileName());
    connection.execute(QString::fromUtf8(schema.readAll()));
    db::Connection::Transaction transaction(connection);
    connection.execute(QStringLiteral(
        "WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < %1) "
        "INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, ALTITUDE, FIX_QUALITY,"
        " SATELLITES, HDOP, LOCKED) "
        "SELECT I, strftime('%Y-%m-%d %H:%M:%S', 1796540400 + I * 7, 'unixepoch'), 57.4 + I * 0.0000123,"
        " -6.2 - I * 0.0000071, (I % 300) / 10.0, (I * 13) % 360 + 0.5, 40.0, 1, 8, 0.9, I % 17 <> 0 FROM N")
                           .arg(kEvents));
    connection.execute(QStringLiteral(
        "WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < %1) "
        "INSERT INTO GEOCODED_EVENTS (GEOCODED_EVENT_ID, NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, NOTES) "
        "SELECT I, 'COM1', 'crew ' || (I % 5), "
        " CASE I % 4 WHEN 0 THEN 101 + I % 8 WHEN 1 THEN 201 + I % 3 WHEN 2 THEN 301 + I % 5 ELSE 401 + I % 3 END,"
        " I, CASE I % 3 WHEN 0 THEN '' WHEN 1 THEN 'kerb cracked, about ' || (I % 40) || ' cm' "
        " ELSE 'said \"watch out\"' || char(13, 10) || 'second line' END FROM N")
                           .arg(kEvents));
    transaction.commit();
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::optional<QTemporaryDir> temporary;
    QString folder;
    if (argc > 1) {
        folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
        QDir().mkpath(folder);
    } else {
        temporary.emplace();
        folder = temporary->path();
    }

    const QString application = QDir(folder).filePath(QStringLiteral("zepta.mdb"));
    QFile::remove(application);
    QFile catalogue(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql"));
    if (!catalogue.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(catalogue.fileName()));
        return 1;
    }
    db::Connection::openFile(application, db::Connection::Mode::Create).execute(QString::fromUtf8(catalogue.readAll()));

    nomrel::Component component(folder);
    gps::setComponent(&component);
    Driver::setProgramFolder(folder);
    Driver::applicationConnectionString() = Driver::connectionStringFor(folder, QStringLiteral("zepta.mdb"));
    component.CreateDataLink()->setConnectionString(
        QVariant(Driver::connectionStringFor(folder, QStringLiteral("Nomrel.mdb"))));

    QString reported;
    setMessagePresenter([&reported](const Message& message) {
        reported = message.title + QStringLiteral(": ") + message.text;
        return MessageAnswer::Ok;
    });

    try {
        QElapsedTimer fill;
        fill.start();
        fillEventDatabase(Driver::eventDatabasePath());
        std::printf("database: %s (%d events, built in %.0f ms)\n", qPrintable(Driver::eventDatabasePath()), kEvents,
            static_cast<double>(fill.nsecsElapsed()) / 1e6);
    } catch (const ZeptaError& error) {
        std::fprintf(stderr, "cannot build the event database: %s\n", qPrintable(error.message()));
        return 1;
    }

    struct Run {
        const char* name;
        Driver::ExportFormat format;
        const char* file;
        double best = 0; // events per second
    };
    Run runs[] = {{"text", Driver::ExportFormat::Text, "export.txt"}, {"GPX", Driver::ExportFormat::Gpx, "export.gpx"},
        {"GeoJSON", Driver::ExportFormat::GeoJson, "export.geojson"}};
    for (Run& r : runs) {
        const QString output = QDir(folder).filePath(QLatin1String(r.file));
        const QString expected
            = QStringLiteral("Zepta - Save Completed: Saved %1 events to file: %2").arg(kEvents).arg(output);
        for (int run = 1; run <= kRuns; ++run) {
            QElapsedTimer clock;
            clock.start();
            Driver::Export_Events_To_File(output, r.format);
            const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
            if (reported != expected) {
                std::fprintf(stderr, "%s export failed: %s\n", r.name, qPrintable(reported));
                return 1;
            }
            const double rate = kEvents / seconds;
            r.best = std::max(r.best, rate);
            std::printf("%s run %d: %d events in %.3f s = %.0f events/s, %lld bytes\n", r.name, run, kEvents, seconds,
                rate, static_cast<long long>(QFileInfo(output).size()));
        }
    }
    const double best = runs[0].best;

    // The reference: the sqlite3 shell's CSV of the same view, best of three.
    double reference = 0;
    for (int run = 1; run <= kRuns; ++run) {
        QProcess shell;
        shell.setStandardOutputFile(QDir(folder).filePath(QStringLiteral("reference.csv")));
        QElapsedTimer clock;
        clock.start();
        shell.start(QStringLiteral("sqlite3"),
            {QStringLiteral("-csv"), Driver::eventDatabasePath(),
                QStringLiteral("select * from GEOCODED_EVENTS_WITH_GPS_READINGS")});
        if (!shell.waitForFinished(600000) || shell.exitCode() != 0) {
            std::fprintf(stderr, "the sqlite3 shell did not run (apt-get install sqlite3)\n");
            return 1;
        }
        reference = std::max(reference, kEvents / (static_cast<double>(clock.nsecsElapsed()) / 1e9));
    }
    std::printf("\n%-8s %12s\n", "format", "events/s");
    for (const Run& r : runs)
        std::printf("%-8s %12.0f\n", r.name, r.best);
    std::printf("%-8s %12.0f\n", "sqlite3", reference);
    std::printf("text export at %.2f x the speed of sqlite3 -csv (goal: at least 0.5)\n", best / reference);
    for (const Run& r : runs)
        if (r.format != Driver::ExportFormat::Text)
            std::printf("%s takes %.2f x the time of the text export (goal: at most 1.5)\n", r.name, best / r.best);
    gps::setComponent(nullptr);
    return 0;
}

// Export of saved events (1,000,000 by default) through the main window, in
// each format (comma-separated text, GPX, GeoJSON), beside the sqlite3 shell
// writing the same view as CSV from the same database (the reference).
//
//   export_bench [--events N] [folder]
//
// Builds a program folder (zepta.mdb from data/zepta.sql, a Nomrel.mdb with N
// events) in the given folder, or in a temporary one; then, three times per
// format, presses Ctrl+S in the main window, gives the file name as the save
// dialog would and times until "Zepta - Save Completed", with the real
// progress window; runs the reference three times; and reports the best of
// each and their ratios to the reference (goals: text at least 1.0, GPX and
// GeoJSON at least 0.8). The window is on whatever platform Qt is given
// (scripts/bench-export uses a virtual X server when there is no display).

#include "core/Driver.h"
#include "gps/Component.h"
#include "gui/frmZEPTA.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/QtPresenters.h"
#include "platform/UserInterface.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace
{
constexpr int kRuns = 3;

// Events with varied types, coordinates and notes (some with commas, quotes
// and line breaks), each with its own reading.
void fillEventDatabase(const QString& path, int events)
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
                           .arg(events));
    connection.execute(QStringLiteral(
        "WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < %1) "
        "INSERT INTO GEOCODED_EVENTS (GEOCODED_EVENT_ID, NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, NOTES) "
        "SELECT I, 'COM1', 'crew ' || (I % 5), "
        " CASE I % 4 WHEN 0 THEN 101 + I % 8 WHEN 1 THEN 201 + I % 3 WHEN 2 THEN 301 + I % 5 ELSE 401 + I % 3 END,"
        " I, CASE I % 3 WHEN 0 THEN '' WHEN 1 THEN 'kerb cracked, about ' || (I % 40) || ' cm' "
        " ELSE 'said \"watch out\"' || char(13, 10) || 'second line' END FROM N")
                           .arg(events));
    transaction.commit();
}

double seconds(const QElapsedTimer& clock) { return static_cast<double>(clock.nsecsElapsed()) / 1e9; }
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int events = 1000000;
    QString folder;
    const QStringList arguments = app.arguments().mid(1);
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--events") && i + 1 < arguments.size())
            events = arguments[++i].toInt();
        else
            folder = QDir(arguments[i]).absolutePath();
    }
    std::optional<QTemporaryDir> temporary;
    if (folder.isEmpty()) {
        temporary.emplace();
        folder = temporary->path();
    }
    QDir().mkpath(folder);

    const QString application = QDir(folder).filePath(QStringLiteral("zepta.mdb"));
    QFile::remove(application);
    QFile catalogue(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql"));
    if (events <= 0 || !catalogue.open(QIODevice::ReadOnly)) {
        std::fprintf(
            stderr, "usage: export_bench [--events N] [folder] (reads %s)\n", qPrintable(catalogue.fileName()));
        return 1;
    }
    db::Connection::openFile(application, db::Connection::Mode::Create).execute(QString::fromUtf8(catalogue.readAll()));

    nomrel::Component component(folder);
    gps::setComponent(&component);
    Driver::setProgramFolder(folder);
    Driver::applicationConnectionString() = Driver::connectionStringFor(folder, QStringLiteral("zepta.mdb"));
    component.CreateDataLink()->setConnectionString(
        QVariant(Driver::connectionStringFor(folder, QStringLiteral("Nomrel.mdb"))));

    // The window's own presenters, but the boxes are recorded rather than
    // waiting for a click, and the save dialog answers as a user would.
    installPresenters(qtPresenters());
    QString reported;
    setMessagePresenter([&reported](const Message& message) {
        reported = message.title + QStringLiteral(": ") + message.text;
        return MessageAnswer::Ok;
    });
    std::optional<SaveDialogChoice> answer;
    setSaveDialogPresenter([&answer](const SaveDialogRequest&) { return answer; });

    try {
        QElapsedTimer fill;
        fill.start();
        fillEventDatabase(Driver::eventDatabasePath(), events);
        std::printf("database: %s (%d events, built in %.1f s)\n", qPrintable(Driver::eventDatabasePath()), events,
            seconds(fill));
    } catch (const ZeptaError& error) {
        std::fprintf(stderr, "cannot build the event database: %s\n", qPrintable(error.message()));
        return 1;
    }

    frmZEPTA& window = frmZEPTA::instance();
    window.show();
    if (!QTest::qWaitForWindowActive(&window))
        std::fprintf(stderr, "the main window did not become active\n");

    struct Run {
        const char* name;
        Driver::ExportFormat format;
        const char* file;
        double best = 0; // seconds
    };
    Run runs[] = {{"text", Driver::ExportFormat::Text, "export.txt"}, {"GPX", Driver::ExportFormat::Gpx, "export.gpx"},
        {"GeoJSON", Driver::ExportFormat::GeoJson, "export.geojson"}};
    double reference = 0;
    // Rounds of every format and the reference, so that each meets the same
    // load of the machine.
    for (int round = 1; round <= kRuns; ++round) {
        for (Run& r : runs) {
            const QString output = QDir(folder).filePath(QLatin1String(r.file));
            const QString expected
                = QStringLiteral("Zepta - Save Completed: Saved %1 events to file: %2").arg(events).arg(output);
            answer.emplace(output, Driver::exportFileType(r.format));
            reported.clear();
            window.activateWindow(); // the progress window had the keyboard
            if (!QTest::qWaitForWindowActive(&window))
                std::fprintf(stderr, "the main window did not become active again\n");
            QElapsedTimer clock;
            clock.start();
            QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
            const double taken = seconds(clock);
            if (reported != expected) {
                std::fprintf(stderr, "%s export failed: %s\n", r.name, qPrintable(reported));
                return 1;
            }
            r.best = round == 1 ? taken : std::min(r.best, taken);
            std::printf("%s run %d: %d events in %.3f s = %.0f events/s, %lld bytes\n", r.name, round, events, taken,
                events / taken, static_cast<long long>(QFileInfo(output).size()));
        }
        // The reference: the sqlite3 shell's CSV of the same view.
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
        reference = round == 1 ? seconds(clock) : std::min(reference, seconds(clock));
        std::printf("sqlite3 run %d: %d events in %.3f s\n", round, events, seconds(clock));
    }
    std::printf("\n%-8s %10s %12s %16s\n", "format", "seconds", "events/s", "x sqlite3 -csv");
    for (const Run& r : runs)
        std::printf("%-8s %10.3f %12.0f %16.2f\n", r.name, r.best, events / r.best, reference / r.best);
    std::printf("%-8s %10.3f %12.0f %16.2f\n", "sqlite3", reference, events / reference, 1.0);
    std::printf("goals: text at least 1.0, GPX and GeoJSON at least 0.8 x the speed of sqlite3 -csv\n");
    std::printf("export: text %.2fx, gpx %.2fx, geojson %.2fx of sqlite3 -csv at %d events\n", reference / runs[0].best,
        reference / runs[1].best, reference / runs[2].best, events);
    frmZEPTA::unload();
    gps::setComponent(nullptr);
    return 0;
}

// Export of the saved events to a file (comma-separated text, GPX, GeoJSON,
// the GIS files read back by GDAL and GPSBabel), their count and their purge.

#include "core/Driver.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/QtPresenters.h"
#include "support/ScriptedMessages.h"
#include "support/TempProgramFolder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <csignal>
#include <functional>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Driver::ExportFormat;
Q_DECLARE_METATYPE(ExportFormat)

namespace
{
const QByteArray kHeader = "\"GEOCODED_EVENT_ID\",\"NAME\",\"OBSERVER_MONIKER\",\"EVENT_TYPE_ID\",\"EVENT_TYPE_NAME\","
                           "\"GPS_READING_ID\",\"GMT\",\"LATITUDE\",\"LONGITUDE\",\"SPEED\",\"DIRECTION\",\"LOCKED\","
                           "\"NOTES\"\r\n";

QByteArray contents(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot read ") + path.toUtf8() + '>';
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

// Switches the C library's numbers to a comma decimal separator. Without a
// German locale on the system, a locale of that one category is compiled
// into a temporary folder.
bool useCommaDecimalCLocale(QTemporaryDir& scratch)
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        if (std::setlocale(LC_NUMERIC, name) && std::localeconv()->decimal_point[0] == ',')
            return true;
    const QString source = scratch.filePath(QStringLiteral("comma.def"));
    writeFile(
        source, "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\ngrouping 3;3\nEND LC_NUMERIC\n");
    QProcess localedef;
    // -c: the other categories are missing on purpose (the exit status says so).
    localedef.start(QStringLiteral("localedef"),
        {QStringLiteral("-c"), QStringLiteral("-i"), source, scratch.filePath(QStringLiteral("zepta_comma"))});
    if (!localedef.waitForFinished(60000))
        return false;
    qputenv("LOCPATH", QFile::encodeName(scratch.path()));
    return std::setlocale(LC_NUMERIC, "zepta_comma") && std::localeconv()->decimal_point[0] == ',';
}

// The standard output of a reader; an empty array fails the test.
QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        QTest::qFail(qPrintable(QStringLiteral("%1 %2 failed (Debian packages gdal-bin, gpsbabel, libxml2-utils): %3")
                                    .arg(program, arguments.join(QLatin1Char(' ')),
                                        QString::fromLocal8Bit(process.readAllStandardError()))),
            __FILE__, __LINE__);
        return {};
    }
    return process.readAllStandardOutput();
}

std::optional<double> numberIn(const QJsonValue& value)
{
    return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
}

QJsonArray featuresOf(const QByteArray& geoJson)
{
    return QJsonDocument::fromJson(geoJson).object().value(QLatin1String("features")).toArray();
}

struct ReadingRow {
    const char* gmt;
    double latitude, longitude, speed, direction;
    bool locked;
    std::optional<double> altitude = std::nullopt;
    int fixQuality = -1, satellites = -1; // -1: Null
};
const ReadingRow kReading = {"2026-12-06 07:30:15", 1, 2, 3, 4, true};

const QByteArray kBefore = "a good file from before\r\n";

struct ScriptedProgress final : Progress {
    explicit ScriptedProgress(std::function<bool(std::int64_t)> step)
        : mStep(std::move(step))
    {
    }
    bool advance(std::int64_t done) override { return mStep(done); }
    std::function<bool(std::int64_t)> mStep;
};
} // namespace

class TestExport : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    QString target(const QString& extension = QStringLiteral("txt")) const
    {
        return mFolder->file(QStringLiteral("events.") + extension);
    }

    // No temporary file is left beside the target.
    void expectOnlyTheTarget(const QString& extension)
    {
        QCOMPARE(QDir(mFolder->path()).entryList({QStringLiteral("events*")}, QDir::Files),
            QStringList {QStringLiteral("events.") + extension});
    }

    void addEvents(int count)
    {
        mFolder->execEvents(QStringLiteral(
            "WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < %1) "
            "INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED) "
            "SELECT I, '2026-12-06 07:30:15', 57.4, -6.2, 1, 90, 1 FROM N;"
            "INSERT INTO GEOCODED_EVENTS (GEOCODED_EVENT_ID, NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID,"
            " NOTES) SELECT GPS_READING_ID, 'COM1', 'crew 1', 101, GPS_READING_ID, 'n' FROM GPS_READINGS")
                                .arg(count));
    }

    static void formats()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("extension");
        QTest::newRow("text") << ExportFormat::Text << QStringLiteral("txt");
        QTest::newRow("GPX") << ExportFormat::Gpx << QStringLiteral("gpx");
        QTest::newRow("GeoJSON") << ExportFormat::GeoJson << QStringLiteral("geojson");
    }

    // One event with its own reading; a null name or observer is stored as Null.
    void addEvent(const char* name, const char* observer, int eventType, const ReadingRow& r, const QString& notes)
    {
        const auto textOrNull = [](const char* s) { return s ? db::Value::text(QString::fromUtf8(s)) : db::Value(); };
        const auto integerOrNull = [](int n) { return n < 0 ? db::Value() : db::Value::integer(n); };
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        c.execute(QStringLiteral("INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED, "
                                 "ALTITUDE, FIX_QUALITY, SATELLITES, HDOP) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0.9)"),
            {db::Value::text(QLatin1String(r.gmt)), db::Value::real(r.latitude), db::Value::real(r.longitude),
                db::Value::real(r.speed), db::Value::real(r.direction), db::Value::boolean(r.locked),
                r.altitude ? db::Value::real(*r.altitude) : db::Value(), integerOrNull(r.fixQuality),
                integerOrNull(r.satellites)});
        const auto reading = c.lastInsertRowId();
        c.execute(QStringLiteral("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, "
                                 "NOTES) VALUES (?, ?, ?, ?, ?)"),
            {textOrNull(name), textOrNull(observer), db::Value::integer(eventType), db::Value::integer(reading),
                db::Value::text(notes)});
    }

    int rows(const char* table)
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        return c.open(QStringLiteral("SELECT COUNT(*) AS N FROM ") + QLatin1String(table))
            .field(QStringLiteral("N"))
            .toInt32();
    }

    // Exports and checks the box: "Save Completed" with the count, or
    // "Save Failed" when count is negative.
    void exportTo(const QString& path, int count, ExportFormat format = ExportFormat::Text)
    {
        ScriptedMessages boxes;
        boxes.expect(count < 0 ? QStringLiteral("Save Failed") : QStringLiteral("Save Completed"));
        Driver::Export_Events_To_File(path, format);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, count < 0 ? MessageKind::Exclamation : MessageKind::Plain);
        QCOMPARE(boxes.last().text,
            count < 0 ? QStringLiteral("Unable to save events to file: ") + path
                      : QStringLiteral("Saved %1 events to file: %2").arg(count).arg(path));
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    // Quotes, line breaks, negative and tiny and huge numbers, the three date
    // forms, booleans, Null and empty texts, under a locale with a decimal comma.
    void fileHoldsEveryEventInTheDescribedForm()
    {
        QTemporaryDir scratch;
        const bool cLocale = useCommaDecimalCLocale(scratch);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const auto restore = qScopeGuard([] {
            std::setlocale(LC_NUMERIC, "C");
            QLocale::setDefault(QLocale::c());
        });
        if (!cLocale)
            qWarning("no comma-decimal C locale available: only Qt's default locale is German");

        addEvent("COM1", "crew 1", 101, {"2026-12-06 07:30:15", 35.7812345, -78.6381812, 0.0, 359.9, true},
            QStringLiteral("Two lines:\nsecond, with \"quotes\"\r\nthird"));
        addEvent("", "crew \"7\", north", 104, {"2026-12-07", 0.5, -0.000012345, 1.5e20, 0.25, false}, QString());
        addEvent("COM1", "crew 1", 201, {"23:59:58", -33.8688, 151.2093, 12.5, 180.0, true},
            QStringLiteral("Zw\u00F6lf V\u00F6gel \u2713"));
        addEvent(nullptr, "crew 1", 305, {"1899-12-30 00:00:00", -0.0, 1234567.89, 3.0e-5, 100.0, false},
            QStringLiteral("a,b"));

        writeFile(target(), QByteArray(100000, 'x')); // replaced, not overwritten in place
        exportTo(target(), 4);

        const QByteArray expected = kHeader
            + "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,35.78123,-78.63818,0,359.9,#TRUE#,"
              "\"Two lines:\nsecond, with \"\"quotes\"\"\r\nthird\"\r\n"
              "2,\"\",\"crew \"\"7\"\", north\",104,\"Flooding\",2,#2026-12-07#,0.5,-1.2345E-05,1.5E+20,0.25,#FALSE#,"
              "\"\"\r\n"
              "3,\"COM1\",\"crew 1\",201,\"Bird\",3,#23:59:58#,-33.8688,151.2093,12.5,180,#TRUE#,"
            + QStringLiteral("\"Zw\u00F6lf V\u00F6gel \u2713\"\r\n").toUtf8()
            + "4,#NULL#,\"crew 1\",305,\"Vegetation\",4,#00:00:00#,0,1234568,3E-05,100,#FALSE#,\"a,b\"\r\n";
        QCOMPARE(contents(target()), expected);
    }

    // A thousand events of every kind come out byte for byte as they always
    // have (the file was written by the export before it was made faster).
    void thousandEventsAsBefore()
    {
        QFile sql(sourceFile(QStringLiteral("tests/data/export/thousand_events.sql")));
        QVERIFY(sql.open(QIODevice::ReadOnly));
        mFolder->execEvents(QString::fromUtf8(sql.readAll()));
        exportTo(target(), 1000);
        QCOMPARE(contents(target()), contents(sourceFile(QStringLiteral("tests/data/export/thousand_events.txt"))));
    }

    // Events every GIS reader must get exactly: south and west, both sides of
    // the antimeridian, nine decimals, quotes, <&>, line breaks, letters
    // beyond ASCII, a control character, no altitude, every kind of fix.
    void gisReadersGetEveryEventBack_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::newRow("GPX") << ExportFormat::Gpx;
        QTest::newRow("GeoJSON") << ExportFormat::GeoJson;
    }
    void gisReadersGetEveryEventBack()
    {
        QFETCH(ExportFormat, format);
        struct Known {
            int type;
            ReadingRow reading;
            QString notes, gpxNotes; // as GPX carries them, where it differs
            const char* fix;
        };
        const QString cr = QStringLiteral("line one\r\nline two\nthree\tfour");
        const Known known[] = {
            {201, {"2026-12-06 07:30:15", -33.868800001, 151.209300009, 1.5, 90, true, 58.5, 1, 9},
                QStringLiteral("He said \"stop\" & <left> 'now'"), {}, "3d"},
            {101, {"2026-12-06 07:31:00", 64.1466, -21.9426, 0, 0, true, std::nullopt, 1, 7}, cr, {}, "2d"},
            {201, {"2026-12-07", -16.5, 179.999999999, 0, 0, true, -3.25, 2, 12},
                QStringLiteral("Zw\u00F6lf V\u00F6gel \u2713 \u65E5\u672C"), {}, "dgps"},
            {101, {"2026-12-07 00:00:01", -16.5, -180, 0, 0, false, 0.0, 0, 0}, QStringLiteral("bell\a, escape\x1B"),
                QStringLiteral("bell\u2407, escape\u241B"), "none"},
            {201, {"2026-12-07 00:00:02", 57.412345678, -6.196012345, 0, 0, true, 96.5, 1, 3}, QString(), {}, "2d"},
        };
        const QString fox = QStringLiteral("Fox & <Hare> \"Z\u00E9\"");
        mFolder->execApplication(
            QStringLiteral("UPDATE EVENT_TYPES SET NAME = '%1' WHERE EVENT_TYPE_ID = 201").arg(fox));
        const auto typeName = [&](int type) { return type == 201 ? fox : QStringLiteral("Pothole"); };
        for (const Known& k : known)
            addEvent("COM1", "crew 1", k.type, k.reading, k.notes);
        const bool gpx = format == ExportFormat::Gpx;
        const QString file = target(gpx ? QStringLiteral("gpx") : QStringLiteral("geojson"));
        exportTo(file, 5, format);
        if (gpx)
            run(QStringLiteral("xmllint"), {QStringLiteral("--noout"), file});
        QVERIFY(
            run(QStringLiteral("ogrinfo"), {QStringLiteral("-ro"), QStringLiteral("-so"), QStringLiteral("-al"), file})
                .contains("Feature Count: 5\n"));

        // What GDAL and GPSBabel read, as GeoJSON they write themselves.
        QStringList gdalArguments {
            QStringLiteral("-f"), QStringLiteral("GeoJSON"), QStringLiteral("/vsistdout/"), file};
        if (gpx)
            gdalArguments << QStringLiteral("waypoints");
        const QJsonArray gdal = featuresOf(run(QStringLiteral("ogr2ogr"), gdalArguments));
        const QJsonArray babel = featuresOf(run(QStringLiteral("gpsbabel"),
            {QStringLiteral("-i"), gpx ? QStringLiteral("gpx") : QStringLiteral("geojson"), QStringLiteral("-f"), file,
                QStringLiteral("-o"), QStringLiteral("geojson"), QStringLiteral("-F"), QStringLiteral("-")}));
        QCOMPARE(gdal.size(), 5);
        QCOMPARE(babel.size(), 5);
        const auto property = [](const QJsonValue& feature, const char* name) {
            return feature[QLatin1String("properties")][QLatin1String(name)];
        };
        for (int i = 0; i < 5; ++i) {
            const Known& k = known[i];
            for (const QJsonValue& feature : {gdal[i], babel[i]}) {
                const QJsonArray point = feature[QLatin1String("geometry")][QLatin1String("coordinates")].toArray();
                QVERIFY2(qAbs(point[0].toDouble() - k.reading.longitude) <= 1e-9, qPrintable(QString::number(i)));
                QVERIFY2(qAbs(point[1].toDouble() - k.reading.latitude) <= 1e-9, qPrintable(QString::number(i)));
            }
            const QString notes = gpx && !k.gpxNotes.isNull() ? k.gpxNotes : k.notes;
            if (gpx) {
                QCOMPARE(property(gdal[i], "name").toString(), typeName(k.type));
                QCOMPARE(property(gdal[i], "desc").toString(), notes);
                QCOMPARE(numberIn(property(gdal[i], "ele")), k.reading.altitude);
                QCOMPARE(property(gdal[i], "fix").toString(), QLatin1String(k.fix));
                QCOMPARE(property(gdal[i], "zepta_eventId").toInt(), i + 1);
                QCOMPARE(property(babel[i], "name").toString(), typeName(k.type));
                // GPSBabel describes a waypoint without notes by its name.
                QCOMPARE(property(babel[i], "description").toString(), notes.isEmpty() ? typeName(k.type) : notes);
            } else {
                QCOMPARE(property(gdal[i], "EVENT_TYPE_NAME").toString(), typeName(k.type));
                QCOMPARE(property(gdal[i], "NOTES").toString(), notes);
                QCOMPARE(numberIn(property(gdal[i], "ALTITUDE")), k.reading.altitude);
                QCOMPARE(property(gdal[i], "FIX_QUALITY").toInt(), k.reading.fixQuality);
                QCOMPARE(gdal[i][QLatin1String("id")].toInt(), i + 1);
            }
            const QDateTime gmt
                = QDateTime::fromString(property(gdal[i], gpx ? "time" : "GMT").toString(), Qt::ISODate);
            QCOMPARE(gmt, db::parseTimestamp(QLatin1String(k.reading.gmt))->toDateTime());
        }
    }

    // A row that cannot be written stops the export there. The text file
    // keeps the header and the rows before it; GPX and GeoJSON are all or
    // nothing, so the good file from before stays.
    void badRowStopsTheExport_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("spoil");
        const QString null = QStringLiteral("UPDATE GPS_READINGS SET LATITUDE = NULL WHERE GPS_READING_ID = 2");
        const QString noName
            = QStringLiteral("UPDATE GEOCODED_EVENTS SET EVENT_TYPE_ID = 999 WHERE GEOCODED_EVENT_ID = 2");
        const QString offEarth = QStringLiteral("UPDATE GPS_READINGS SET LATITUDE = 90.5 WHERE GPS_READING_ID = 2");
        for (const auto& [name, format] : {std::pair {"text", ExportFormat::Text}, std::pair {"GPX", ExportFormat::Gpx},
                 std::pair {"GeoJSON", ExportFormat::GeoJson}}) {
            QTest::addRow("%s, Null latitude", name) << format << null;
            QTest::addRow("%s, event type without a name", name) << format << noName;
            if (format != ExportFormat::Text) // the text writes any number
                QTest::addRow("%s, latitude beyond the pole", name) << format << offEarth;
        }
    }
    void badRowStopsTheExport()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, spoil);
        // Columns without NOT NULL, so a Null can reach the export; the view
        // refers to its tables by name, so it reads the new ones.
        mFolder->execEvents(QStringLiteral(
            "DROP TABLE GEOCODED_EVENTS; DROP TABLE GPS_READINGS;"
            "CREATE TABLE GPS_READINGS (GPS_READING_ID INTEGER PRIMARY KEY, GMT DATETIME, LATITUDE, LONGITUDE,"
            " SPEED, DIRECTION, ALTITUDE, FIX_QUALITY, SATELLITES, HDOP, LOCKED BOOLEAN);"
            "CREATE TABLE GEOCODED_EVENTS (GEOCODED_EVENT_ID INTEGER PRIMARY KEY, NAME, OBSERVER_MONIKER,"
            " EVENT_TYPE_ID, GPS_READING_ID, NOTES);"));
        for (int i = 0; i < 3; ++i)
            addEvent("COM1", "crew 1", 101, kReading, QStringLiteral("n"));
        mFolder->execEvents(spoil);
        writeFile(target(), kBefore);
        exportTo(target(), -1, format);
        QCOMPARE(contents(target()),
            format == ExportFormat::Text
                ? kHeader + "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,1,2,3,4,#TRUE#,\"n\"\r\n"
                : kBefore);
        expectOnlyTheTarget(QStringLiteral("txt"));
    }

    // The failure box, and no half file: nothing where there was nothing,
    // the good file from before where there was one.
    void fileThatCannotBeWrittenIsLeftAlone_data() { formats(); }
    void fileThatCannotBeWrittenIsLeftAlone()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, extension);
        addEvents(12000); // more than one write's worth in every format

        // A folder that does not exist is not made; a folder is no file.
        exportTo(mFolder->file(QStringLiteral("no such folder/events.txt")), -1, format);
        QVERIFY(!QDir(mFolder->file(QStringLiteral("no such folder"))).exists());
        QVERIFY(QDir(mFolder->path()).mkdir(QStringLiteral("a folder")));
        exportTo(mFolder->file(QStringLiteral("a folder")), -1, format);
        QVERIFY(QDir(mFolder->file(QStringLiteral("a folder"))).isEmpty());

        // The program's own databases are never replaced, by whatever name
        // they are reached: another spelling, a symbolic or a hard link (the
        // same file under another name), a journal.
        const QByteArray events = contents(mFolder->eventDatabase());
        const QByteArray application = contents(mFolder->applicationDatabase());
        QVERIFY(QFile::link(mFolder->eventDatabase(), mFolder->file(QStringLiteral("soft.txt"))));
        QCOMPARE(::link(QFile::encodeName(mFolder->eventDatabase()).constData(),
                     QFile::encodeName(mFolder->file(QStringLiteral("hard.txt"))).constData()),
            0);
        writeFile(mFolder->file(QStringLiteral("Nomrel.mdb-journal")), "journal");
        for (const QString& name : {mFolder->eventDatabase(), mFolder->path() + QStringLiteral("/./zepta.mdb"),
                 mFolder->file(QStringLiteral("soft.txt")), mFolder->file(QStringLiteral("hard.txt")),
                 mFolder->file(QStringLiteral("Nomrel.mdb-journal"))})
            exportTo(name, -1, format);
        QCOMPARE(contents(mFolder->eventDatabase()), events);
        QCOMPARE(contents(mFolder->applicationDatabase()), application);
        QCOMPARE(contents(mFolder->file(QStringLiteral("Nomrel.mdb-journal"))), QByteArray("journal"));
        QFile::remove(mFolder->file(QStringLiteral("Nomrel.mdb-journal")));

        // A device that takes nothing is written in place, not replaced; a
        // pipe nobody reads is refused rather than waited on.
        exportTo(QStringLiteral("/dev/full"), -1, format);
        QCOMPARE(QFileInfo(QStringLiteral("/dev/full")).isFile(), false);
        QVERIFY(QFileInfo::exists(QStringLiteral("/dev/full")));
        const QString pipe = mFolder->file(QStringLiteral("pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        exportTo(pipe, -1, format);

        // The disk fills up half-way (a file size limit stands in for it).
        writeFile(target(extension), kBefore);
        {
            const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
            rlimit previous {};
            QCOMPARE(::getrlimit(RLIMIT_FSIZE, &previous), 0);
            rlimit small = previous;
            small.rlim_cur = 256 * 1024;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
            const auto restore = qScopeGuard([&] {
                ::setrlimit(RLIMIT_FSIZE, &previous);
                std::signal(SIGXFSZ, previousSignal);
            });
            exportTo(target(extension), -1, format);
        }
        QCOMPARE(contents(target(extension)), kBefore);

        // An event database that cannot be read leaves the header line of
        // the text; the other formats leave the file from before.
        QVERIFY(QFile::rename(mFolder->eventDatabase(), mFolder->file(QStringLiteral("away.mdb"))));
        exportTo(target(extension), -1, format);
        QCOMPARE(contents(target(extension)), format == ExportFormat::Text ? kHeader : kBefore);
        QVERIFY(QFile::rename(mFolder->file(QStringLiteral("away.mdb")), mFolder->eventDatabase()));
        expectOnlyTheTarget(extension);

        // A read-only file keeps its contents.
        writeFile(target(extension), kBefore);
        if (!mFolder->makeReadOnly(target(extension)))
            QSKIP("this file system cannot make a file read-only for root");
        exportTo(target(extension), -1, format);
        mFolder->makeWritable(target(extension));
        QCOMPARE(contents(target(extension)), kBefore);
    }

    // Cancel in the progress window: the target stays as it was and the
    // user is told so.
    void cancelLeavesTheTargetAsItWas_data() { formats(); }
    void cancelLeavesTheTargetAsItWas()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, extension);
        QList<std::int64_t> seen;
        std::int64_t total = -1;
        const ProgressPresenter previous = setProgressPresenter([&](const ProgressRequest& request) {
            total = request.total;
            return std::make_unique<ScriptedProgress>([&](std::int64_t done) {
                seen << done;
                return done == 0; // Cancel once some events are written
            });
        });
        const auto restore = qScopeGuard([&] { setProgressPresenter(previous); });
        addEvents(4500);
        writeFile(target(extension), kBefore);

        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Cancelled"));
        Driver::Export_Events_To_File(target(extension), format);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().text,
            QStringLiteral("Saving was cancelled; the file was left as it was: ") + target(extension));
        QCOMPARE(contents(target(extension)), kBefore);
        expectOnlyTheTarget(extension);
        QCOMPARE(total, std::int64_t(4500));
        QCOMPARE(seen.size(), 2);
        QVERIFY2(seen.last() < total, qPrintable(QString::number(seen.last())));
    }

    // The Qt progress dialog: events written of the total, and Cancel.
    void progressDialogCountsAndCancels()
    {
        const std::unique_ptr<Progress> progress = showQtProgress(
            {QStringLiteral("Save Data"), QStringLiteral("Saving events to file: x.gpx"), 4500, /*showAfterMs*/ 0});
        QVERIFY(progress->advance(2000));
        QProgressDialog* dialog = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("ProgressDialog") && widget->isVisible())
                dialog = qobject_cast<QProgressDialog*>(widget);
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Zepta - Save Data"));
        QCOMPARE(dialog->labelText(), QStringLiteral("Saving events to file: x.gpx"));
        QCOMPARE(dialog->findChild<QProgressBar*>()->text(), QStringLiteral("2000 of 4500"));
        QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        QVERIFY(!progress->advance(4000));
    }

    // Both statements in one transaction; only the events' own readings go,
    // a reading no event refers to stays; the export after is the header only.
    void purgeRemovesEventsAndTheirReadings()
    {
        for (int i = 0; i < 3; ++i)
            addEvent("COM1", "crew 1", 101 + i, kReading, QString());
        mFolder->execEvents(QStringLiteral("INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED,"
                                           " DIRECTION, LOCKED) VALUES (77, '2026-01-01', 0, 0, 0, 0, 0)"));
        QCOMPARE(Driver::Count_Saved_Events(), 3);

        // A failing second statement puts the readings back.
        mFolder->execEvents(QStringLiteral("CREATE TRIGGER KEEP_EVENTS BEFORE DELETE ON GEOCODED_EVENTS "
                                           "BEGIN SELECT RAISE(ABORT, 'events are kept'); END"));
        QVERIFY_THROWS_EXCEPTION(ZeptaError, Driver::Delete_All_Events());
        QCOMPARE(rows("GEOCODED_EVENTS"), 3);
        QCOMPARE(rows("GPS_READINGS"), 4);

        mFolder->execEvents(QStringLiteral("DROP TRIGGER KEEP_EVENTS"));
        Driver::Delete_All_Events();
        QCOMPARE(Driver::Count_Saved_Events(), 0);
        QCOMPARE(rows("GEOCODED_EVENTS"), 0);
        QCOMPARE(rows("GPS_READINGS WHERE GPS_READING_ID = 77"), 1);
        QCOMPARE(rows("GPS_READINGS"), 1);

        exportTo(target(), 0);
        QCOMPARE(contents(target()), kHeader);
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"

// Export of the saved events to comma-separated text, GPX and GeoJSON (the GIS
// files read back by GDAL, GPSBabel and xmllint), their count and their purge.

#include "core/Driver.h"
#include "core/ExportWriters.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/QtPresenters.h"
#include "support/ScriptedMessages.h"
#include "support/TempProgramFolder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>

#include <clocale>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>

using Driver::ExportFormat;
Q_DECLARE_METATYPE(ExportFormat)

namespace
{
const QByteArray kHeader = "\"GEOCODED_EVENT_ID\",\"NAME\",\"OBSERVER_MONIKER\",\"EVENT_TYPE_ID\",\"EVENT_TYPE_NAME\","
                           "\"GPS_READING_ID\",\"GMT\",\"LATITUDE\",\"LONGITUDE\",\"SPEED\",\"DIRECTION\",\"LOCKED\","
                           "\"NOTES\"\r\n";
const QByteArray kBefore = "a good file from before\r\n";
const std::tuple<const char*, ExportFormat, const char*> kFormats[] = {{"text", ExportFormat::Text, "txt"},
    {"GPX", ExportFormat::Gpx, "gpx"}, {"GeoJSON", ExportFormat::GeoJson, "geojson"}};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<cannot read ") + path.toUtf8() + '>';
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

// The features of the GeoJSON that a reader (Debian gdal-bin, gpsbabel,
// libxml2-utils) run on `file` writes out; a failed run fails the test.
QJsonArray run(const QString& command, const QString& file)
{
    QProcess process;
    process.startCommand(QString(command).replace(QLatin1String("FILE"), u'"' + file + u'"'));
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        QTest::qFail(qPrintable(command + QLatin1String(": ") + process.readAllStandardError()), __FILE__, __LINE__);
    return QJsonDocument::fromJson(process.readAllStandardOutput())[QLatin1String("features")].toArray();
}

struct ReadingRow {
    const char* gmt;
    double latitude, longitude, speed, direction;
    bool locked;
    std::optional<double> altitude = std::nullopt;
    int fixQuality = 0, satellites = 0;
};
} // namespace

class TestExport : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    QString target(const QString& type = QStringLiteral("txt")) const { return mFolder->file("events." + type); }

    // No temporary file is left beside the target.
    void expectOnlyTheTarget(const QString& extension)
    {
        QCOMPARE(QDir(mFolder->path()).entryList({QStringLiteral("events*")}, QDir::Files),
            QStringList {QStringLiteral("events.") + extension});
    }

    static void formats(bool withText = true)
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("extension");
        for (int i = withText ? 0 : 1; i < 3; ++i)
            QTest::newRow(std::get<0>(kFormats[i])) << std::get<1>(kFormats[i]) << std::get<2>(kFormats[i]);
    }

    // `count` events alike, each with its own reading; a null name is Null.
    void addEvents(int count, const ReadingRow& r = {"2026-12-06 07:30:15", 57.4, -6.2, 1, 90, true},
        const char* name = "COM1", int eventType = 101, const QString& notes = QStringLiteral("n"))
    {
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        c.execute(
            QStringLiteral("WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < ?) "
                           "INSERT INTO GPS_READINGS (GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED, ALTITUDE,"
                           " FIX_QUALITY, SATELLITES, HDOP) SELECT ?, ?, ?, ?, ?, ?, ?, ?, ?, 0.9 FROM N"),
            {db::Value::integer(count), db::Value::text(QLatin1String(r.gmt)), db::Value::real(r.latitude),
                db::Value::real(r.longitude), db::Value::real(r.speed), db::Value::real(r.direction),
                db::Value::boolean(r.locked), r.altitude ? db::Value::real(*r.altitude) : db::Value(),
                db::Value::integer(r.fixQuality), db::Value::integer(r.satellites)});
        c.execute(
            QStringLiteral("INSERT INTO GEOCODED_EVENTS (NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, NOTES)"
                           " SELECT ?, 'crew 1', ?, GPS_READING_ID, ? FROM GPS_READINGS WHERE GPS_READING_ID >"
                           " (SELECT IFNULL(MAX(GPS_READING_ID), 0) FROM GEOCODED_EVENTS)"),
            {name ? db::Value::text(QString::fromUtf8(name)) : db::Value(), db::Value::integer(eventType),
                db::Value::text(notes)});
    }

    // Exports and checks the box; a negative count: "Save Failed", with the
    // reason given (or any in plain words).
    void exportTo(const QString& path, int count, ExportFormat format = ExportFormat::Text, const QString& reason = {})
    {
        ScriptedMessages boxes;
        boxes.expect(count < 0 ? QStringLiteral("Save Failed") : QStringLiteral("Save Completed"));
        Driver::Export_Events_To_File(path, format);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, count < 0 ? MessageKind::Exclamation : MessageKind::Plain);
        const QString failed = QStringLiteral("Unable to save events to file: ") + path + QStringLiteral("\r\n");
        if (count >= 0)
            QCOMPARE(boxes.last().text, QStringLiteral("Saved %1 events to file: %2").arg(count).arg(path));
        else if (!reason.isEmpty())
            QCOMPARE(boxes.last().text, failed + reason);
        else
            QVERIFY2(boxes.last().text.startsWith(failed)
                    && !boxes.last().text.mid(failed.size()).contains(QLatin1String("SQL"))
                    && !boxes.last().text.mid(failed.size()).contains(QLatin1String("log")),
                qPrintable(boxes.last().text));
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    // A thousand events of every kind byte for byte as always, then exponents,
    // -0, the zero date, a Null name, a CR LF kept; a period under a decimal comma.
    void textFileInTheDescribedForm()
    {
        // A C locale of numbers alone (-c: the other categories are missing).
        QTemporaryDir scratch;
        const QString definition = scratch.filePath(QStringLiteral("comma.def"));
        writeFile(definition,
            "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\ngrouping 3;3\nEND LC_NUMERIC\n");
        QProcess localedef; // quietly: it warns about the missing categories
        localedef.start(QStringLiteral("localedef"),
            {QStringLiteral("-c"), QStringLiteral("-i"), definition, scratch.filePath(QStringLiteral("zepta_comma"))});
        localedef.waitForFinished(60000);
        qputenv("LOCPATH", QFile::encodeName(scratch.path()));
        QVERIFY(std::setlocale(LC_NUMERIC, "zepta_comma"));
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const auto restore = qScopeGuard([] {
            std::setlocale(LC_NUMERIC, "C");
            QLocale::setDefault(QLocale::c());
        });

        mFolder->execEvents(
            QString::fromUtf8(contents(sourceFile(QStringLiteral("tests/data/export/thousand_events.sql")))));
        addEvents(1, {"2026-12-07", 0.5, -0.000012345, 1.5e20, 0.25, false}, "", 104, QStringLiteral("CR LF\r\nkept"));
        addEvents(1, {"1899-12-30 00:00:00", -0.0, 1234567.89, 3.0e-5, 100.0, true}, nullptr, 305, QString());
        writeFile(target(), QByteArray(200000, 'x')); // replaced, not overwritten in place
        exportTo(target(), 1002);
        QCOMPARE(contents(target()),
            contents(sourceFile(QStringLiteral("tests/data/export/thousand_events.txt")))
                + "1001,\"\",\"crew 1\",104,\"Flooding\",1001,#2026-12-07#,0.5,-1.2345E-05,1.5E+20,0.25,#FALSE#,"
                  "\"CR LF\r\nkept\"\r\n"
                  "1002,#NULL#,\"crew 1\",305,\"Vegetation\",1002,#00:00:00#,0,1234568,3E-05,100,#TRUE#,\"\"\r\n");
    }

    // South and west, the antimeridian, nine decimals, quotes, <&>, line breaks,
    // beyond ASCII, control characters, no altitude, every fix, as readers see them.
    void gisReadersGetEveryEventBack_data() { formats(/*withText*/ false); }
    void gisReadersGetEveryEventBack()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, extension);
        struct Known {
            int type;
            ReadingRow reading;
            QString notes; // GPX shows the control characters as their pictures
            const char* fix;
        };
        const Known known[] = {
            {201, {"2026-12-06 07:30:15", -33.868800001, 151.209300009, 1.5, 90, true, 58.5, 1, 9},
                QStringLiteral("He said \"stop\" & <left> 'now'"), "3d"},
            {101, {"2026-12-06 07:31:00", 64.1466, -21.9426, 0, 0, true, std::nullopt, 1, 7},
                QStringLiteral("line one\r\nline two\nthree\tfour"), "2d"},
            {201, {"2026-12-07", -16.5, 179.999999999, 0, 0, true, -3.25, 2, 12},
                QStringLiteral("Zw\u00F6lf V\u00F6gel \u2713 \u65E5\u672C"), "dgps"},
            {101, {"2026-12-07 00:00:01", -16.5, -180, 0, 0, false, 0.0, 0, 0}, QStringLiteral("bell\a, escape\x1B"),
                "none"},
            {201, {"2026-12-07 00:00:02", 57.412345678, -6.196012345, 0, 0, true, 96.5, 1, 3}, QString(), "2d"},
        };
        const QString fox = QStringLiteral("Fox & <Hare> \"Z\u00E9\"");
        mFolder->execApplication(
            QStringLiteral("UPDATE EVENT_TYPES SET NAME = '%1' WHERE EVENT_TYPE_ID = 201").arg(fox));
        for (const Known& k : known)
            addEvents(1, k.reading, "COM1", k.type, k.notes);
        const bool gpx = format == ExportFormat::Gpx;
        const QString file = target(extension);
        exportTo(file, 5, format);
        if (gpx) {
            run(QStringLiteral("xmllint --noout FILE"), file);
            // A waypoint's children in the order the GPX 1.1 schema requires.
            const QStringList order = QStringLiteral("wpt ele time name desc src fix sat hdop extensions").split(u' ');
            QXmlStreamReader xml(contents(file));
            for (qsizetype last = 0, at = 0; !xml.atEnd();)
                if (xml.readNext() == QXmlStreamReader::StartElement && (at = order.indexOf(xml.name())) >= 0) {
                    QVERIFY2(at == 0 || at > last, qPrintable(xml.name().toString()));
                    last = at;
                }
        }

        // What GDAL and GPSBabel read, as GeoJSON they write themselves.
        const QJsonArray gdal = run(
            QStringLiteral("ogr2ogr -f GeoJSON /vsistdout/ FILE") + (gpx ? QStringLiteral(" waypoints") : QString()),
            file);
        const QJsonArray babel = run(
            QStringLiteral("gpsbabel -i %1 -f FILE -o geojson -F -").arg(QLatin1String(gpx ? "gpx" : "geojson")), file);
        QCOMPARE(gdal.size(), 5);
        QCOMPARE(babel.size(), 5);
        // A property by its GPX or GeoJSON name.
        const auto property = [gpx](const QJsonValue& feature, const char* gpxName, const char* geoJsonName = "") {
            return feature[QLatin1String("properties")][QLatin1String(gpx ? gpxName : geoJsonName)];
        };
        for (int i = 0; i < 5; ++i) {
            const Known& k = known[i];
            for (const QJsonValue& feature : {gdal[i], babel[i]}) {
                const QJsonArray point = feature[QLatin1String("geometry")][QLatin1String("coordinates")].toArray();
                QVERIFY2(qAbs(point[0].toDouble() - k.reading.longitude) <= 1e-9, qPrintable(QString::number(i)));
                QVERIFY2(qAbs(point[1].toDouble() - k.reading.latitude) <= 1e-9, qPrintable(QString::number(i)));
            }
            const QString name = k.type == 201 ? fox : QStringLiteral("Pothole");
            const QString notes
                = gpx ? QString(k.notes).replace(u'\a', u'\u2407').replace(u'\x1B', u'\u241B') : k.notes;
            QCOMPARE(property(gdal[i], "name", "EVENT_TYPE_NAME").toString(), name);
            QCOMPARE(property(gdal[i], "desc", "NOTES").toString(), notes);
            QCOMPARE(property(gdal[i], "ele", "ALTITUDE").toDouble(-1000), k.reading.altitude.value_or(-1000));
            QCOMPARE(QDateTime::fromString(property(gdal[i], "time", "GMT").toString(), Qt::ISODate),
                db::parseTimestamp(QLatin1String(k.reading.gmt))->toDateTime());
            if (gpx) {
                QCOMPARE(property(gdal[i], "fix").toString(), QLatin1String(k.fix));
                QCOMPARE(property(gdal[i], "zepta_eventId").toInt(), i + 1);
                QCOMPARE(property(babel[i], "name").toString(), name);
                // GPSBabel describes a waypoint without notes by its name.
                QCOMPARE(property(babel[i], "description").toString(), notes.isEmpty() ? name : notes);
            } else {
                QCOMPARE(property(gdal[i], "", "FIX_QUALITY").toInt(), k.reading.fixQuality);
                QCOMPARE(gdal[i][QLatin1String("id")].toInt(), i + 1);
            }
        }
    }

    // A bad row stops the export: the text keeps the header and the lines before
    // (1e39 fails half-way through a line); GPX and GeoJSON keep the file from before.
    void badRowStopsTheExport_data()
    {
        QTest::addColumn<ExportFormat>("format");
        QTest::addColumn<QString>("spoil");
        QTest::addColumn<QString>("reason");
        const QString unwritable = QStringLiteral("The event 2 cannot be written: ");
        using Spoil = std::pair<const char*, QString>;
        for (const auto& [name, format, extension] : kFormats)
            for (const auto& [spoil, reason] :
                {Spoil {"GPS_READINGS SET LATITUDE = NULL", "A value is missing (Null)."},
                    Spoil {"GEOCODED_EVENTS SET EVENT_TYPE_ID = 999", "A row is missing."},
                    format == ExportFormat::Text
                        ? Spoil {"GPS_READINGS SET LATITUDE = 1e39", unwritable + "a number is too large."}
                        : Spoil {"GPS_READINGS SET LATITUDE = 90.5", unwritable + "its position is off the earth."}})
                QTest::addRow("%s, %s", name, spoil) << format << QString::fromLatin1(spoil) << reason;
    }
    void badRowStopsTheExport()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, spoil);
        QFETCH(QString, reason);
        // Tables without NOT NULL, read by the view through their names.
        mFolder->execEvents(QStringLiteral(
            "DROP TABLE GEOCODED_EVENTS; DROP TABLE GPS_READINGS;"
            "CREATE TABLE GPS_READINGS (GPS_READING_ID INTEGER PRIMARY KEY, GMT DATETIME, LATITUDE, LONGITUDE,"
            " SPEED, DIRECTION, ALTITUDE, FIX_QUALITY, SATELLITES, HDOP, LOCKED BOOLEAN, ACCURACY_M, FIX_AGE_S,"
            " SAMPLES, SPREAD_M);"
            "CREATE TABLE GEOCODED_EVENTS (GEOCODED_EVENT_ID INTEGER PRIMARY KEY, NAME, OBSERVER_MONIKER,"
            " EVENT_TYPE_ID, GPS_READING_ID, NOTES, TRACK_ID);"));
        addEvents(3);
        mFolder->execEvents(QStringLiteral("UPDATE %1 WHERE ROWID = 2").arg(spoil));
        writeFile(target(), kBefore);
        exportTo(target(), -1, format, reason);
        const QByteArray first
            = "1,\"COM1\",\"crew 1\",101,\"Pothole\",1,#2026-12-06 07:30:15#,57.4,-6.2,1,90,#TRUE#,\"n\"\r\n";
        QCOMPARE(contents(target()), format == ExportFormat::Text ? kHeader + first : kBefore);
        expectOnlyTheTarget(QStringLiteral("txt"));
    }

    // The failure box and no half file: nothing new, the file from before kept.
    void fileThatCannotBeWrittenIsLeftAlone_data() { formats(); }
    void fileThatCannotBeWrittenIsLeftAlone()
    {
        QFETCH(ExportFormat, format);
        QFETCH(QString, extension);
        addEvents(12000); // more than one write's worth in every format

        // A pipe is refused, not waited on; /dev/full is written in place; the
        // files the program keeps are known by identity (links, another
        // spelling, a journal) or, before they exist, by folder and name, and
        // never written.
        const QString events = mFolder->eventDatabase(), journal = events + QStringLiteral("-journal");
        const QString outbox = mFolder->file(QStringLiteral("Outbox.mdb"));
        writeFile(outbox, "waiting events");
        const QByteArray eventBytes = contents(events), applicationBytes = contents(mFolder->applicationDatabase());
        QVERIFY(QDir(mFolder->path()).mkdir(QStringLiteral("a folder")));
        QCOMPARE(::mkfifo(QFile::encodeName(mFolder->file(QStringLiteral("pipe"))).constData(), 0600), 0);
        std::filesystem::create_symlink(events.toStdString(), mFolder->file(QStringLiteral("soft")).toStdString());
        std::filesystem::create_hard_link(events.toStdString(), mFolder->file(QStringLiteral("hard")).toStdString());
        std::filesystem::create_directory_symlink(
            mFolder->path().toStdString(), mFolder->file(QStringLiteral("alias")).toStdString());
        const QStringList absent = {QStringLiteral("Nomrel.mdb-wal"), QStringLiteral("a folder/../zepta.mdb-journal"),
            QStringLiteral("alias/Outbox.mdb-shm"), QStringLiteral("alias/Nomrel.mdb-journal"),
            QStringLiteral("zepta.lock")};
        exportTo(mFolder->file(QStringLiteral("no such folder/events.txt")), -1, format,
            QStringLiteral("The file or its folder does not exist."));
        for (const QString& name : {QStringLiteral("a folder"), QStringLiteral("pipe")})
            exportTo(mFolder->file(name), -1, format);
        for (const QString& name :
            QStringList {QStringLiteral("Nomrel.mdb"), QStringLiteral("./zepta.mdb"), QStringLiteral("soft"),
                QStringLiteral("hard"), QStringLiteral("alias/Outbox.mdb")}
                + absent)
            exportTo(mFolder->file(name), -1, format, QStringLiteral("The file is one of Zepta's own databases."));
        for (const QString& name : absent)
            QVERIFY2(!QFileInfo::exists(mFolder->file(name)), qPrintable(name));
        QCOMPARE(contents(outbox), QByteArray("waiting events"));
        exportTo(QStringLiteral("/dev/full"), -1, format);
        writeFile(journal, {}); // empty, so the engine reads the database as it is
        exportTo(journal, -1, format);
        QCOMPARE(contents(journal), QByteArray());
        QVERIFY(QFile::remove(journal));
        QCOMPARE(contents(events), eventBytes);
        QCOMPARE(contents(mFolder->applicationDatabase()), applicationBytes);

        // The disk fills up one byte short of the whole file, in its last
        // write (a file size limit stands in for it).
        const QString file = target(extension);
        exportTo(file, 12000, format);
        const QByteArray whole = contents(file);
        const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous {};
        ::getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit small {rlim_t(whole.size() - 1), previous.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &small);
        exportTo(file, -1, format, QStringLiteral("The disk is full."));
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousSignal);
        QCOMPARE(contents(file), whole);

        // An event database that cannot be read leaves the header line of
        // the text; the other formats leave the file from before.
        QVERIFY(QFile::rename(events, mFolder->file(QStringLiteral("away.mdb"))));
        exportTo(file, -1, format,
            QStringLiteral("The saved events cannot be read: the file or its folder does not exist."));
        QCOMPARE(contents(file), format == ExportFormat::Text ? kHeader : whole);
        QVERIFY(QFile::rename(mFolder->file(QStringLiteral("away.mdb")), events));

        // Cancel in the progress window once some events are written: the
        // target stays as it was, and the user is told so.
        setProgressPresenter([](ProgressRequest request) { // the folder puts the seam back
            request.showAfterMs = 0;
            return showQtProgress(request);
        });
        QTimer cancel; // fires once the window shows and lets events through
        cancel.setSingleShot(true);
        cancel.callOnTimeout([&] {
            auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Zepta - Save Data"));
            QCOMPARE(dialog->labelText(), QStringLiteral("Saving events to file: ") + file);
            const auto* bar = dialog->findChild<QProgressBar*>();
            QCOMPARE(bar->text(), QStringLiteral("%1 of 12000").arg(bar->value()));
            QVERIFY(bar->value() > 0);
            QVERIFY(bar->value() < 12000);
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        });
        cancel.start(0);
        writeFile(file, kBefore);
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Cancelled"));
        Driver::Export_Events_To_File(file, format);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().text, QStringLiteral("Saving was cancelled; the file was left as it was: ") + file);
        QCOMPARE(contents(file), kBefore);
        expectOnlyTheTarget(extension); // after every failure and the cancel

        // A read-only file keeps its contents.
        if (!mFolder->makeReadOnly(file))
            QSKIP("this file system cannot make a file read-only for root");
        exportTo(file, -1, format, QStringLiteral("The file or its folder is read-only."));
        mFolder->makeWritable(file);
        QCOMPARE(contents(file), kBefore);
    }

    // The writers' own UTF-8 gives Qt's bytes: astral characters, a lone half of a pair as "?".
    void textInUtf8AsQtWritesIt()
    {
        for (const QString& text : {QStringLiteral("plain \"quoted\""), QStringLiteral("é ✓ \U0001F600 \uFFFE"),
                 QString(QChar(0xD800)) + QChar(u'x') + QChar(0xDC00), QString(QChar(0xD83D))}) {
            std::string out;
            Driver::exporting::appendUtf8(out, text);
            QCOMPARE(QByteArray::fromStdString(out), text.toUtf8());
        }
        std::string doubled;
        Driver::exporting::appendUtf8(doubled, QStringLiteral("a\"b"), '"');
        QCOMPARE(doubled, std::string("a\"\"b"));
    }

    // One transaction (a failing second statement puts the readings back); a
    // reading no event refers to stays; the export after is the header only.
    void purgeRemovesEventsAndTheirReadings()
    {
        addEvents(3);
        mFolder->execEvents(QStringLiteral(
            "INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, LOCKED)"
            " VALUES (77, '2026-01-01', 0, 0, 0, 0, 0);"
            "CREATE TRIGGER KEEP_EVENTS BEFORE DELETE ON GEOCODED_EVENTS BEGIN SELECT RAISE(ABORT, 'kept'); END"));
        auto c = db::Connection::openFile(mFolder->eventDatabase());
        const auto readings
            = [&] { return c.open(QStringLiteral("SELECT COUNT(*) FROM GPS_READINGS")).field(0).toInt32(); };
        QVERIFY_THROWS_EXCEPTION(ZeptaError, Driver::Delete_All_Events());
        QCOMPARE(readings(), 4);
        mFolder->execEvents(QStringLiteral("DROP TRIGGER KEEP_EVENTS"));
        Driver::Delete_All_Events();
        QCOMPARE(Driver::Count_Saved_Events(), 0);
        QCOMPARE(readings(), 1);
        exportTo(target(), 0);
        QCOMPARE(contents(target()), kHeader);
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"

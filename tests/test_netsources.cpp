// The receiver on network sources named by a ports file: NMEA over TCP (`nomrel serve`) and a real gpsd
// (gpsfake) give gpsd's decoding of the log; an outage and recovery; what makes Start fail.

#include "NmeaLogs.h"
#include "ReceiverTesting.h"
#include "nomrel/NmeaReceiver.h"
#include "support/ErrorOf.h"

#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <optional>
#include <tuple>

using nomrel::NmeaReceiver;

namespace
{

const QString kLog = QStringLiteral(ZEPTA_NMEA_DIR "/bu353s4.log");

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// Every reading equals gpsd's decoding of the same cycle of the log.
void compareWithLog(const QList<gps::Reading>& readings)
{
    const auto expected = expectedCycles(kLog);
    for (const gps::Reading& r : readings) {
        const QString time = r.gmt.toString(Qt::ISODateWithMs);
        const QVariantMap tpv = expected.count(timeOfDay(time)) ? expected.at(timeOfDay(time)).tpv : QVariantMap();
        QCOMPARE(time, tpv.value(QStringLiteral("time")).toString());
        for (const auto& [ours, key, within] :
            {std::tuple {double(r.fixMode), "mode", 0.0}, {r.latitude, "lat", 1e-9}, {r.longitude, "lon", 1e-9},
                {r.altitude, "altMSL", 1e-6}, {r.speed, "speed", 5e-4}, {r.heading, "track", 5e-5}})
            QVERIFY2(std::fabs(ours - tpv.value(key).toDouble()) <= within, qPrintable(time + ' ' + key));
    }
}

} // namespace

class TestNetSources : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mFolder;
    std::shared_ptr<ManualClock> mClock;
    std::unique_ptr<NmeaReceiver> mReceiver; // on COM2
    std::optional<QSignalSpy> mNoData;
    QList<gps::Reading> mReadings;

    bool writeEntry(const QString& text) const
    {
        QFile entry(mFolder->filePath(QStringLiteral("ports/COM2")));
        return entry.open(QIODevice::WriteOnly | QIODevice::Truncate) && entry.write(text.toUtf8()) > 0;
    }
    // `nomrel serve` of the log, and the address it serves on.
    std::unique_ptr<ToolProcess> serve(QString* address, const QStringList& what = {kLog})
    {
        auto tool = std::make_unique<ToolProcess>(
            QStringLiteral(NOMREL_TOOL), QStringList {"serve", "--port", "0", "--rate", "50"} + what);
        const QString said = tool->firstLine(); // "nomrel: NMEA on tcp://127.0.0.1:PORT"
        *address = said.mid(said.indexOf(QLatin1String("tcp://")));
        return address->startsWith(QLatin1String("tcp://127.0.0.1:")) ? std::move(tool) : nullptr;
    }

private slots:
    void init()
    {
        mFolder = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(mFolder->path()).mkpath(QStringLiteral("ports")));
        mClock = std::make_shared<ManualClock>();
        mReceiver = std::make_unique<NmeaReceiver>(mFolder->path(), mClock);
        mReceiver->setPort(2);
        mNoData.emplace(mReceiver.get(), &NmeaReceiver::NoData);
        mReadings.clear();
        connect(mReceiver.get(), &NmeaReceiver::NewReading, this, [this](const gps::Reading& r) { mReadings << r; });
    }
    void cleanup() { mReceiver.reset(); }

    void tcpGivesTheLogsFixesAndRecovers()
    {
        QString address;
        auto server = serve(&address);
        QVERIFY(server);
        QVERIFY(writeEntry(address + QLatin1String("\n")));
        mReceiver->setSettings(QStringLiteral("9600,E,7,2"));
        mReceiver->Start();
        QVERIFY(!mReceiver->status().settingsApply);
        QTRY_COMPARE_WITH_TIMEOUT(mReadings.size(), 25, kPatience); // the log's cycles with a date
        compareWithLog(mReadings);

        // The server goes: NoData at once, once; the file names another: the next attempt reads it.
        server.reset();
        QTRY_COMPARE_WITH_TIMEOUT(mNoData->count(), 1, kPatience);
        server = serve(&address);
        QVERIFY(server);
        QVERIFY(writeEntry(address));
        mClock->ms += NmeaReceiver::kRetryIntervalMs;
        mReceiver->checkTimeouts();
        QTRY_COMPARE_WITH_TIMEOUT(mReadings.size(), 50, kPatience);
        QCOMPARE(mNoData->count(), 1);
    }

    // The generated walk begins where it is asked to, on either side of the equator and of Greenwich.
    void generatedWalkBeginsAtItsOrigin()
    {
        QString address;
        auto server = serve(&address, {"--from", "-33.9249,18.4241"});
        QVERIFY(server);
        QVERIFY(writeEntry(address));
        mReceiver->Start();
        QTRY_VERIFY_WITH_TIMEOUT(mReadings.size() >= 2, kPatience);
        QVERIFY2(std::fabs(mReadings[0].latitude + 33.9249) < 1e-3, qPrintable(QString::number(mReadings[0].latitude)));
        QVERIFY2(
            std::fabs(mReadings[0].longitude - 18.4241) < 1e-3, qPrintable(QString::number(mReadings[0].longitude)));
    }

    void gpsdGivesTheLogsFixes()
    {
        const QString gpsfake = QStandardPaths::findExecutable(QStringLiteral("gpsfake"));
        QVERIFY2(!gpsfake.isEmpty(), "gpsfake is needed (Debian packages gpsd and gpsd-clients)");
        // gpsfake feeds a gpsd of its own on a port of ours, its control socket in a folder of ours.
        QTemporaryDir run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), run.path());
        const quint16 port = freePort();
        ToolProcess fake(gpsfake, {"-q", "-c", "0.01", "-P", QString::number(port), kLog}, environment);
        QVERIFY(writeEntry(QStringLiteral("gpsd://127.0.0.1:%1").arg(port)));
        QTRY_VERIFY_WITH_TIMEOUT(errorOf([&] { mReceiver->Start(); }).isEmpty(), kPatience); // once gpsd is up
        // gpsd passes on what comes after the watch began: the first cycle may lack its beginning.
        QTRY_VERIFY_WITH_TIMEOUT(mReadings.size() >= 20, kPatience);
        compareWithLog(mReadings.mid(1));
        // gpsd's JSON reports between the sentences cost nothing.
        const nomrel::nmea::DecodeCounters counters = mReceiver->status().counters;
        QCOMPARE(counters.malformed + counters.badChecksum + counters.ignored, std::uint64_t(0));
    }

    // Start fails, naming the port and why, when the source cannot be read.
    void startFails_data()
    {
        QTest::addColumn<QString>("entry"); // "{port}" stands for the test server's
        QTest::addColumn<QByteArray>("answer"); // the test server's first words
        QTest::addColumn<QString>("why");
        QTest::newRow("gpsd greets wrongly") << "gpsd://127.0.0.1:{port}" << QByteArray("HELLO\r\n") << "not a JSON";
        QTest::newRow("gpsd greets in JSON")
            << "gpsd://127.0.0.1:{port}" << QByteArray("{\"class\":\"WATCH\"}\r\n") << "not VERSION";
        QTest::newRow("garbage over TCP") << "tcp://127.0.0.1:{port}" << QByteArray(2048, '\x07') << "not NMEA 0183";
        QTest::newRow("refused") << "tcp://127.0.0.1:{closed}" << QByteArray() << "refused";
        QTest::newRow("no such host (longer than DNS allows)")
            << "gpsd://" + QStringList(5, QString(60, 'h')).join('.') << QByteArray() << "not found";
    }
    void startFails()
    {
        QFETCH(QString, entry);
        QFETCH(QByteArray, answer);
        QFETCH(QString, why);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, [&] { server.nextPendingConnection()->write(answer); });
        entry.replace(QLatin1String("{port}"), QString::number(server.serverPort()));
        entry.replace(QLatin1String("{closed}"), QString::number(freePort()));
        QVERIFY(writeEntry(entry));
        const QString error = errorOf([&] { mReceiver->Start(); });
        QVERIFY2(error.startsWith(QLatin1String("COM2")), qPrintable(error));
        QVERIFY2(error.contains(why, Qt::CaseInsensitive), qPrintable(error));
        QCOMPARE(mReceiver->state(), NmeaReceiver::State::Failed);
        QCoreApplication::processEvents(); // (a NoData would come now)
        QCOMPARE(mNoData->count(), 0);
    }
};

QTEST_MAIN(TestNetSources)
#include "test_netsources.moc"

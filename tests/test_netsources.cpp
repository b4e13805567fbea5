// The receiver on network sources named by a ports file: NMEA over TCP from
// `nomrel serve` and a real gpsd (run by gpsfake) asked for its NMEA, each
// giving the log's expected fixes; what makes Start fail; and an outage of a
// network source followed by recovery.

#include "NmeaLogs.h"
#include "ReceiverTesting.h"
#include "nomrel/NmeaReceiver.h"
#include "support/ErrorOf.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>
#include <set>

using nomrel::NmeaReceiver;
using State = NmeaReceiver::State;

namespace
{

constexpr int kPatience = 30000; // ms: generous, for a loaded machine

QString shippedLog(const char* name) { return QDir(QStringLiteral(ZEPTA_NMEA_DIR)).filePath(QLatin1String(name)); }

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

// Every reading equals gpsd's decoding of the same cycle of the log.
void compareWithLog(const QList<gps::Reading>& readings, const QString& log)
{
    const auto expected = expectedCycles(log);
    for (const gps::Reading& r : readings) {
        const QString time = r.gmt.toString(Qt::ISODateWithMs);
        const auto found = expected.find(timeOfDay(time));
        QVERIFY2(found != expected.end(), qPrintable(time));
        const QVariantMap& tpv = found->second.tpv;
        auto near = [&tpv](double ours, const char* key, double within) {
            return std::fabs(ours - tpv.value(QLatin1String(key)).toDouble()) <= within;
        };
        QCOMPARE(time, tpv.value(QStringLiteral("time")).toString());
        QCOMPARE(r.fixMode, tpv.value(QStringLiteral("mode")).toInt());
        QVERIFY2(near(r.latitude, "lat", 1e-9) && near(r.longitude, "lon", 1e-9), qPrintable(time));
        QVERIFY2(near(r.altitude, "altMSL", 1e-6), qPrintable(time));
        QVERIFY2(near(r.speed, "speed", 5e-4) && near(r.heading, "track", 5e-5), qPrintable(time));
    }
}

} // namespace

class TestNetSources : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mFolder;
    std::shared_ptr<ManualClock> mClock;

    bool writeEntry(int port, const QString& text) const
    {
        QFile entry(mFolder->filePath(QStringLiteral("ports/COM%1").arg(port)));
        return entry.open(QIODevice::WriteOnly | QIODevice::Truncate) && entry.write(text.toUtf8()) > 0;
    }
    std::unique_ptr<NmeaReceiver> makeReceiver(int port)
    {
        auto receiver = std::make_unique<NmeaReceiver>(mFolder->path(), mClock);
        receiver->setPort(static_cast<std::int16_t>(port));
        return receiver;
    }
    // `nomrel serve` of a log, and the address it serves on.
    std::unique_ptr<ToolProcess> serve(const QString& log, QString* address)
    {
        auto tool = std::make_unique<ToolProcess>(
            QStringLiteral(NOMREL_TOOL), QStringList {"serve", "--port", "0", "--rate", "50", log});
        const QString said = tool->firstLine(); // "nomrel: NMEA on tcp://127.0.0.1:PORT"
        *address = said.mid(said.indexOf(QLatin1String("tcp://")));
        return address->startsWith(QLatin1String("tcp://127.0.0.1:")) ? std::move(tool) : nullptr;
    }

private slots:
    void init()
    {
        mFolder = std::make_unique<QTemporaryDir>();
        QVERIFY(mFolder->isValid());
        QVERIFY(QDir(mFolder->path()).mkpath(QStringLiteral("ports")));
        mClock = std::make_shared<ManualClock>();
    }
    void cleanup() { mFolder.reset(); }

    void tcpGivesTheLogsFixesAndRecovers()
    {
        const QString log = shippedLog("bu353s4.log");
        QString address;
        auto server = serve(log, &address);
        QVERIFY(server);
        QVERIFY(writeEntry(3, address + QLatin1String("\n")));
        auto receiver = makeReceiver(3);
        receiver->setSettings(QStringLiteral("9600,E,7,2"));
        QList<gps::Reading> readings;
        connect(receiver.get(), &NmeaReceiver::NewReading, this, [&](const gps::Reading& r) { readings << r; });
        QSignalSpy noData(receiver.get(), &NmeaReceiver::NoData);
        receiver->Start();
        const nomrel::ReceiverStatus status = receiver->status();
        QCOMPARE(status.source, address);
        QCOMPARE(status.how, QStringLiteral("ports/COM3 file"));
        QVERIFY(!status.settingsApply);
        QTRY_COMPARE_WITH_TIMEOUT(readings.size(), 25, kPatience); // the log's cycles with a date
        compareWithLog(readings, log);

        // The server goes: NoData at once, and once; another one comes up on
        // another port and the file says so: the next attempt reads it.
        server->kill();
        QTRY_COMPARE_WITH_TIMEOUT(noData.count(), 1, kPatience);
        QCOMPARE(receiver->state(), State::Reconnecting);
        server = serve(log, &address);
        QVERIFY(server);
        QVERIFY(writeEntry(3, address));
        mClock->ms += NmeaReceiver::kRetryIntervalMs;
        receiver->checkTimeouts();
        QTRY_COMPARE_WITH_TIMEOUT(readings.size(), 50, kPatience);
        QCOMPARE(receiver->status().source, address);
        QCOMPARE(noData.count(), 1);
    }

    void gpsdGivesTheLogsFixes()
    {
        const QString gpsfake = QStandardPaths::findExecutable(QStringLiteral("gpsfake"));
        QVERIFY2(!gpsfake.isEmpty(), "gpsfake is needed (Debian packages gpsd and gpsd-clients)");
        // gpsfake runs a gpsd of its own on a pseudo-terminal it feeds, on a
        // port of ours, with its control socket in a folder of ours.
        QTemporaryDir run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), run.path());
        const quint16 port = freePort();
        const QString log = shippedLog("bu353s4.log");
        ToolProcess fake(gpsfake, {"-q", "-c", "0.01", "-P", QString::number(port), log}, environment);
        QTRY_VERIFY_WITH_TIMEOUT(accepts(port), kPatience);

        QVERIFY(writeEntry(4, QStringLiteral("gpsd://127.0.0.1:%1").arg(port)));
        auto receiver = makeReceiver(4);
        QList<gps::Reading> readings;
        std::set<QDateTime> times;
        connect(receiver.get(), &NmeaReceiver::NewReading, this, [&](const gps::Reading& r) {
            readings << r;
            times.insert(r.gmt);
        });
        receiver->Start();
        QCOMPARE(receiver->status().source, QStringLiteral("gpsd://127.0.0.1:%1").arg(port));
        // gpsfake plays the log over and over; gpsd passes on what comes
        // after the watch began, so the first cycle may lack its beginning.
        QTRY_VERIFY_WITH_TIMEOUT(times.size() >= 20, kPatience);
        compareWithLog(readings.mid(1), log);
        // gpsd's JSON reports between the sentences cost nothing.
        const nomrel::nmea::DecodeCounters counters = receiver->status().counters;
        QCOMPARE(counters.malformed + counters.badChecksum + counters.ignored, std::uint64_t(0));
    }

    // Start fails, naming the port and why, when the source cannot be read.
    void startFails_data()
    {
        QTest::addColumn<QString>("entry"); // "{port}" stands for the test server's
        QTest::addColumn<QByteArray>("answer"); // the test server's first words
        QTest::addColumn<QString>("why");
        QTest::newRow("not an address") << "gpsd:/127.0.0.1" << QByteArray() << "neither a link";
        QTest::newRow("gpsd greets wrongly") << "gpsd://127.0.0.1:{port}" << QByteArray("HELLO\r\n") << "not a JSON";
        QTest::newRow("gpsd greets in JSON")
            << "gpsd://127.0.0.1:{port}" << QByteArray("{\"class\":\"WATCH\"}\r\n") << "not VERSION";
        QTest::newRow("garbage over TCP") << "tcp://127.0.0.1:{port}" << QByteArray(2048, '\x07') << "not NMEA 0183";
        QTest::newRow("refused") << "tcp://127.0.0.1:{closed}" << QByteArray() << "refused";
        // Longer than a DNS name may be: it does not resolve, and no server
        // is asked.
        QTest::newRow("no such host") << "gpsd://" + QStringList(5, QString(60, 'h')).join('.') << QByteArray()
                                      << "not found";
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
        QVERIFY(writeEntry(2, entry));
        auto receiver = makeReceiver(2);
        QSignalSpy noData(receiver.get(), &NmeaReceiver::NoData);
        const QString error = errorOf([&] { receiver->Start(); });
        QVERIFY2(error.startsWith(QLatin1String("COM2")), qPrintable(error));
        QVERIFY2(error.contains(why, Qt::CaseInsensitive), qPrintable(error));
        QCOMPARE(receiver->state(), State::Failed);
        QVERIFY(receiver->status().stateText.contains(error));
        QCOMPARE(noData.count(), 0);
    }
};

QTEST_MAIN(TestNetSources)
#include "test_netsources.moc"

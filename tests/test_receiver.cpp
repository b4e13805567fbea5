// The serial receiver: its connection layer on in-memory devices, its fix and
// data states driven by a hand-moved clock, line settings and port numbers,
// and the real path: the nomrel tool on a pseudo-terminal, a serial port, the
// receiver's signals.

#include "nomrel/NmeaConnection.h"
#include "nomrel/ReceiverMonitor.h"
#include "nomrel/SerialReceiver.h"
#include "platform/Error.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <functional>
#include <memory>

#include <signal.h>

using nomrel::SerialReceiver;

namespace
{

constexpr int kPatience = 30000; // ms: generous, for a loaded machine

class ManualClock : public nomrel::Clock
{
public:
    qint64 ms = 0;
    QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(7, 0), Qt::UTC);
    qint64 monotonicMs() const override { return ms; }
    QDateTime utcNow() const override { return start.addMSecs(ms); }
};

// A sequential device the test writes into; each push is one read.
class Pipe : public QIODevice
{
public:
    Pipe() { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return mData.size() + QIODevice::bytesAvailable(); }
    void push(const QByteArray& bytes)
    {
        mData += bytes;
        emit readyRead();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min<qint64>(maxSize, mData.size());
        memcpy(data, mData.constData(), static_cast<size_t>(n));
        mData.remove(0, n);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray mData;
};

QByteArray withChecksum(const QByteArray& body)
{
    return body + '*'
        + QByteArray::number(nomrel::nmea::checksumOf(body.toStdString()), 16).rightJustified(2, '0').toUpper()
        + "\r\n";
}

// One fix cycle at 12:00:<second> on 2026-12-06, with or without a fix.
QByteArray cycle(int second, bool fix = true)
{
    const QByteArray t = "1200" + QByteArray::number(second).rightJustified(2, '0') + ".00";
    if (!fix)
        return withChecksum("$GPRMC," + t + ",V,,,,,,,061226,,,N") + withChecksum("$GPGGA," + t + ",,,,,0,00,,,M,,M,,")
            + withChecksum("$GPVTG,,T,,M,,N,,K,N");
    QByteArray out = withChecksum("$GPRMC," + t + ",A,3747.0873,S,17518.8938,E,0.69,181.39,061226,,,A");
    out += withChecksum("$GPGGA," + t + ",3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000");
    out += withChecksum("$GPVTG,181.39,T,,M,0.69,N,1.28,K,A");
    return out;
}

// A GGA alone (no date) at the given time of day.
QByteArray ggaAt(const QByteArray& time)
{
    return withChecksum("$GPGGA," + time + ".00,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000");
}

QString errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ZeptaError& error) {
        return error.message();
    }
    return QString();
}

// The nomrel tool feeding a pseudo-terminal linked into a folder.
class Feeder
{
public:
    Feeder(const QString& folder, int port, const QStringList& arguments)
        : mLink(QStringLiteral("%1/ports/COM%2").arg(folder).arg(port))
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&mProcess, &QProcess::readyReadStandardOutput,
            [this] { mOutput += QString::fromUtf8(mProcess.readAllStandardOutput()); });
        mProcess.start(QStringLiteral(NOMREL_TOOL),
            arguments
                + QStringList {QStringLiteral("--folder"), folder, QStringLiteral("--port"), QString::number(port)});
    }
    ~Feeder() { stop(); }

    // True once the tool has said the text (QTRY_ loops run the event loop).
    bool said(const QString& text) const { return mOutput.contains(text); }
    bool linked() const { return said(QStringLiteral("linked as")) && QFileInfo(mLink).isSymLink(); }
    const QString& link() const { return mLink; }
    QProcess& process() { return mProcess; }

    void stop(int signal = SIGTERM)
    {
        if (mProcess.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(mProcess.processId()), signal);
        if (!mProcess.waitForFinished(kPatience))
            mProcess.kill();
        mProcess.waitForFinished(kPatience);
    }

private:
    QString mLink;
    QProcess mProcess;
    QString mOutput;
};

} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mFolder;
    std::shared_ptr<ManualClock> mClock;

    std::unique_ptr<SerialReceiver> makeReceiver() { return std::make_unique<SerialReceiver>(mFolder->path(), mClock); }

private slots:
    void init()
    {
        mFolder = std::make_unique<QTemporaryDir>();
        QVERIFY(mFolder->isValid());
        mClock = std::make_shared<ManualClock>();
    }
    void cleanup() { mFolder.reset(); }

    // ---- the connection layer on in-memory devices

    void connectionReadsAnyDevice()
    {
        QByteArray bytes = cycle(0) + cycle(1) + cycle(2);
        QBuffer buffer(&bytes);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        nomrel::NmeaConnection connection;
        QSignalSpy fixes(&connection, &nomrel::NmeaConnection::fixDecoded);
        QSignalSpy sentences(&connection, &nomrel::NmeaConnection::sentenceReceived);
        connection.attach(&buffer);
        QCOMPARE(sentences.count(), 9);
        // Two cycles ended by the same sentence teach the third's end: it is
        // given at its last sentence, not when a fourth begins.
        QCOMPARE(fixes.count(), 3);
        Pipe pipe;
        nomrel::NmeaConnection live;
        QSignalSpy liveFixes(&live, &nomrel::NmeaConnection::fixDecoded);
        live.attach(&pipe);
        for (int s = 0; s < 4; ++s) {
            const QByteArray c = cycle(s);
            for (int i = 0; i < c.size(); i += 13)
                pipe.push(c.mid(i, 13)); // lines split over reads
        }
        QCOMPARE(liveFixes.count(), 4);
        const auto fix = liveFixes.last().first().value<nomrel::nmea::Fix>();
        QVERIFY(fix.valid);
        QVERIFY(std::fabs(fix.position->latitude + 37.784788333) < 1e-9);

        // Detached, it reads no more.
        live.detach();
        pipe.push(cycle(4) + cycle(5));
        QCOMPARE(liveFixes.count(), 4);
    }

    void slotsMayReenterTheConnection()
    {
        // A slot that starts a nested event loop (as a message box does) while
        // more data comes in, and one that restarts the receiver: nothing is
        // decoded twice or out of order, nothing crashes.
        Pipe pipe;
        auto receiver = makeReceiver();
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        QStringList times;
        bool nested = false;
        connect(receiver.get(), &SerialReceiver::NewReading, this, [&](const gps::Reading& reading) {
            times << reading.gmt.toString(Qt::ISODate);
            if (!nested) {
                nested = true;
                pipe.push(cycle(3) + cycle(4)); // arrives while this slot runs
                QEventLoop loop;
                QTimer::singleShot(0, &loop, &QEventLoop::quit);
                loop.exec();
            }
        });
        pipe.push(cycle(0) + cycle(1) + cycle(2));
        QCOMPARE(times,
            QStringList({"2026-12-06T12:00:00Z", "2026-12-06T12:00:01Z", "2026-12-06T12:00:02Z", "2026-12-06T12:00:03Z",
                "2026-12-06T12:00:04Z"}));

        Pipe other;
        disconnect(receiver.get(), &SerialReceiver::NewReading, this, nullptr);
        int readings = 0;
        connect(receiver.get(), &SerialReceiver::NewReading, this, [&] {
            if (++readings == 1)
                receiver->startOn(&other, QStringLiteral("other")); // the rest of the old read is dropped
        });
        pipe.push(cycle(5) + cycle(6) + cycle(7));
        QCOMPARE(readings, 1);
        other.push(cycle(8) + cycle(9) + cycle(10));
        QCOMPARE(readings, 4);
        QCOMPARE(receiver->GMT(), QDateTime(QDate(2026, 12, 6), QTime(12, 0, 10), Qt::UTC));
    }

    // ---- fix and data states, with the clock moved by hand

    void readingsCarryTheFix()
    {
        Pipe pipe;
        auto receiver = makeReceiver();
        receiver->setPort(3);
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QVERIFY(!receiver->ValidReading());
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        pipe.push(cycle(0) + cycle(1) + cycle(2));
        QCOMPARE(readings.count(), 3);
        QVERIFY(receiver->ValidReading());
        const gps::Reading r = receiver->CurrentReading();
        QVERIFY(std::fabs(r.latitude + 37.784788333) < 1e-9); // double, not float
        QVERIFY(std::fabs(r.longitude - 175.314896667) < 1e-9);
        QCOMPARE(receiver->Latitude(), static_cast<float>(r.latitude));
        QCOMPARE(receiver->Heading(), 181.39f);
        QVERIFY(std::fabs(r.speed - 0.69 * 1852 / 3600) < 1e-9);
        QCOMPARE(r.altitude, 59.9);
        QCOMPARE(r.satellitesUsed, 8);
        QCOMPARE(r.hdop, 1.1);
        QCOMPARE(r.fixQuality, 1);
        QCOMPARE(r.fixMode, 3);
        QVERIFY(r.locked);
        QCOMPARE(r.source, QStringLiteral("COM3"));
        QCOMPARE(r.gmt, QDateTime(QDate(2026, 12, 6), QTime(12, 0, 2), Qt::UTC));
        QCOMPARE(readings.last().first().value<gps::Reading>().gmt, r.gmt);

        // Before any RMC the date is our clock's: the day that puts the time
        // of day nearest to it.
        Pipe gga;
        receiver->startOn(&gga, QStringLiteral("gga"));
        mClock->start = QDateTime(QDate(2026, 12, 7), QTime(6, 0), Qt::UTC);
        gga.push(ggaAt("120010") + ggaAt("120011") + ggaAt("120012"));
        QCOMPARE(receiver->GMT(), QDateTime(QDate(2026, 12, 7), QTime(12, 0, 12), Qt::UTC));
        mClock->start = QDateTime(QDate(2026, 12, 8), QTime(0, 0, 5), Qt::UTC);
        gga.push(ggaAt("235958"));
        QCOMPARE(receiver->GMT(), QDateTime(QDate(2026, 12, 7), QTime(23, 59, 58), Qt::UTC));
        mClock->start = QDateTime(QDate(2026, 12, 7), QTime(23, 59, 50), Qt::UTC);
        gga.push(ggaAt("000003"));
        QCOMPARE(receiver->GMT(), QDateTime(QDate(2026, 12, 8), QTime(0, 0, 3), Qt::UTC));
    }

    void unlockedOncePerLoss()
    {
        Pipe pipe;
        auto receiver = makeReceiver();
        QSignalSpy unlocked(receiver.get(), &SerialReceiver::Unlocked);
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        pipe.push(cycle(0, false) + cycle(1, false) + cycle(2, false));
        QCOMPARE(unlocked.count(), 0); // never had a fix: nothing lost
        pipe.push(cycle(3) + cycle(4));
        QVERIFY(receiver->ValidReading());
        pipe.push(cycle(5, false) + cycle(6, false) + cycle(7, false) + cycle(8, false));
        QCOMPARE(unlocked.count(), 1);
        QVERIFY(!receiver->ValidReading());
        QVERIFY(!receiver->CurrentReading().locked);
        // The last position is still there; only its validity went.
        QVERIFY(std::fabs(receiver->CurrentReading().latitude + 37.784788333) < 1e-9);
        pipe.push(cycle(9) + cycle(10) + cycle(11, false));
        QCOMPARE(unlocked.count(), 2);
        QCOMPARE(readings.count(), 4);

        // A fix that grows old while other data still comes is lost too.
        pipe.push(cycle(12) + cycle(13));
        QVERIFY(receiver->ValidReading());
        mClock->ms += 3000;
        pipe.push(withChecksum("$GPGSV,1,1,01,04,62,110,44"));
        receiver->checkTimeouts();
        QVERIFY(receiver->ValidReading());
        mClock->ms += SerialReceiver::kFixMaxAgeMs - 3000 + 1;
        QVERIFY(!receiver->ValidReading());
        receiver->checkTimeouts();
        receiver->checkTimeouts();
        QCOMPARE(unlocked.count(), 3);
    }

    void noDataOnceUntilDataReturns()
    {
        Pipe pipe;
        auto receiver = makeReceiver();
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        QSignalSpy unlocked(receiver.get(), &SerialReceiver::Unlocked);
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        mClock->ms += SerialReceiver::kNoDataTimeoutMs - 1;
        receiver->checkTimeouts();
        QCOMPARE(noData.count(), 0);
        mClock->ms += 1;
        receiver->checkTimeouts(); // nothing ever came
        QCOMPARE(noData.count(), 1);
        QCOMPARE(receiver->state(), SerialReceiver::State::Silent);

        pipe.push(cycle(0) + cycle(1));
        QVERIFY(receiver->ValidReading());
        for (int i = 0; i < 4; ++i) {
            mClock->ms += SerialReceiver::kNoDataTimeoutMs;
            receiver->checkTimeouts();
        }
        QCOMPARE(noData.count(), 2); // once per silence, not once per check
        QCOMPARE(unlocked.count(), 0); // silence is told as NoData only
        QVERIFY(!receiver->ValidReading());

        // A restart begins afresh.
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        mClock->ms += SerialReceiver::kNoDataTimeoutMs;
        receiver->checkTimeouts();
        QCOMPARE(noData.count(), 3);
    }

    // ---- settings and port numbers

    void lineSettings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("usual") << "4800,N,8,1" << true;
        QTest::newRow("blanks, lower case") << " 9600 , e , 7 , 2 " << true;
        QTest::newRow("odd parity") << "115200,O,8,1" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("three values") << "4800,N,8" << false;
        QTest::newRow("five values") << "4800,N,8,1,X" << false;
        QTest::newRow("speed not a number") << "fast,N,8,1" << false;
        QTest::newRow("negative speed") << "-4800,N,8,1" << false;
        QTest::newRow("zero speed") << "0,N,8,1" << false;
        QTest::newRow("parity X") << "4800,X,8,1" << false;
        QTest::newRow("9 data bits") << "4800,N,9,1" << false;
        QTest::newRow("1.5 stop bits") << "4800,N,8,1.5" << false;
        QTest::newRow("3 stop bits") << "4800,N,8,3" << false;
    }

    void lineSettings()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        auto receiver = makeReceiver();
        const QString error = errorOf([&] { receiver->setSettings(text); });
        QCOMPARE(error.isEmpty(), valid);
        // The text is kept unchanged when good; a bad one changes nothing.
        QCOMPARE(receiver->settings(), valid ? text : QStringLiteral("4800,N,8,1"));
        if (!valid)
            QVERIFY2(error.contains(text) && error.contains(QLatin1String("4800,N,8,1")), qPrintable(error));
        if (text == QLatin1String(" 9600 , e , 7 , 2 ")) {
            const auto s = nomrel::parseLineSettings(text);
            QCOMPARE(s.baudRate, 9600);
            QCOMPARE(s.parity, QSerialPort::EvenParity);
            QCOMPARE(s.dataBits, QSerialPort::Data7);
            QCOMPARE(s.stopBits, QSerialPort::TwoStop);
        }
    }

    void portNumbers()
    {
        QCOMPARE(nomrel::orderSerialPorts({"/dev/ttyS0", "/dev/ttyUSB1", "/dev/ttyS10", "/dev/ttyACM0", "/dev/ttyS2",
                     "/dev/ttyUSB0", "/dev/ttyAMA0"}),
            QStringList({"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS2",
                "/dev/ttyS10"}));

        const QString folder = mFolder->path();
        const QStringList listed {"/dev/ttyS0", "/dev/ttyUSB0"};
        auto resolved = nomrel::resolvePort(folder, 1, listed);
        QCOMPARE(resolved.device, QStringLiteral("/dev/ttyUSB0")); // one USB receiver is COM1
        QCOMPARE(nomrel::resolvePort(folder, 2, listed).device, QStringLiteral("/dev/ttyS0"));
        QString error = errorOf([&] { nomrel::resolvePort(folder, 3, listed); });
        QVERIFY2(error.contains(QLatin1String("COM3")) && error.contains(QLatin1String("ttyUSB0, ttyS0")),
            qPrintable(error));
        QVERIFY(!errorOf([&] { nomrel::resolvePort(folder, 0, listed); }).isEmpty());

        // A link in the program folder wins, and is followed to the device.
        QVERIFY(QDir(folder).mkpath(QStringLiteral("ports")));
        QFile device(folder + QStringLiteral("/device"));
        QVERIFY(device.open(QIODevice::WriteOnly));
        device.close();
        QVERIFY(QFile::link(folder + QStringLiteral("/device"), folder + QStringLiteral("/ports/via")));
        QVERIFY(QFile::link(folder + QStringLiteral("/ports/via"), folder + QStringLiteral("/ports/COM1")));
        resolved = nomrel::resolvePort(folder, 1, listed);
        QCOMPARE(resolved.device, QFileInfo(folder + QStringLiteral("/device")).canonicalFilePath());
        QCOMPARE(resolved.how, QStringLiteral("ports/COM1 link"));

        QVERIFY(QFile::link(folder + QStringLiteral("/gone"), folder + QStringLiteral("/ports/COM2")));
        error = errorOf([&] { nomrel::resolvePort(folder, 2, listed); });
        QVERIFY2(error.contains(QLatin1String("/gone")) && error.contains(QLatin1String("does not exist")),
            qPrintable(error));

        auto receiver = makeReceiver();
        QVERIFY(!errorOf([&] { receiver->setPort(0); }).isEmpty());
        QCOMPARE(receiver->port(), std::int16_t(1));
    }

    void portsThatCannotBeOpenedAreNamed()
    {
        auto receiver = makeReceiver();
        const QString folder = mFolder->path();
        QVERIFY(QDir(folder).mkpath(QStringLiteral("ports")));
        QFile plain(folder + QStringLiteral("/not-a-tty"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(QFile::link(plain.fileName(), folder + QStringLiteral("/ports/COM4")));
        receiver->setPort(4);
        QString error = errorOf([&] { receiver->Start(); });
        QVERIFY2(
            error.contains(QLatin1String("COM4")) && error.contains(QLatin1String("not-a-tty")), qPrintable(error));
        QCOMPARE(receiver->state(), SerialReceiver::State::Failed);
        QVERIFY(!receiver->ValidReading());

        QVERIFY(QFile::link(folder + QStringLiteral("/no-such-device"), folder + QStringLiteral("/ports/COM5")));
        receiver->setPort(5);
        error = errorOf([&] { receiver->Start(); });
        QVERIFY2(error.contains(QLatin1String("no-such-device")), qPrintable(error));

        // A failed start raises no NoData later: it was reported already.
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        mClock->ms += 10 * SerialReceiver::kNoDataTimeoutMs;
        receiver->checkTimeouts();
        QCOMPARE(noData.count(), 0);
    }

    // ---- the real path: nomrel on a pseudo-terminal, a serial port, the signals

    void simulatedReceiverThroughAPseudoTerminal()
    {
        Feeder feeder(mFolder->path(), 1, {QStringLiteral("simulate"), QStringLiteral("--rate"), QStringLiteral("10")});
        QTRY_VERIFY_WITH_TIMEOUT(feeder.linked(), kPatience);

        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QSignalSpy unlocked(receiver.get(), &SerialReceiver::Unlocked);
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        receiver->Initialize();
        receiver->ShowMonitor();
        receiver->setPort(1);
        receiver->setSettings(QStringLiteral("4800,N,8,1"));
        receiver->Start();
        QCOMPARE(receiver->deviceName(), QFileInfo(feeder.link()).canonicalFilePath());
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 5, kPatience);
        QVERIFY(receiver->ValidReading());
        // The walk starts near 57.4125 N, 6.1960 W.
        QVERIFY(std::fabs(receiver->Latitude() - 57.4125f) < 0.01f);
        QVERIFY(std::fabs(receiver->Longitude() + 6.1960f) < 0.01f);
        QVERIFY(std::fabs(receiver->GMT().secsTo(QDateTime::currentDateTimeUtc())) < 24 * 3600);
        QCOMPARE(receiver->CurrentReading().satellitesInView, 8);
        QCOMPARE(receiver->counters().badChecksum, std::uint64_t(0));
        QCOMPARE(unlocked.count(), 0);
        QCOMPARE(noData.count(), 0);

        // The monitor shows the port and what came in; hiding keeps it.
        auto* monitor = qobject_cast<nomrel::ReceiverMonitor*>(receiver->monitor());
        QVERIFY(monitor && monitor->isVisible());
        monitor->refresh();
        QVERIFY(monitor->lblPort->text().contains(receiver->deviceName()));
        QCOMPARE(monitor->lblState->text(), QStringLiteral("Receiving, fix"));
        QVERIFY(monitor->lblFix->text().startsWith(QLatin1String("3D")));
        QVERIFY(monitor->lblSatellites->text().contains(QLatin1String("8 used, 8 in view")));
        QVERIFY(monitor->txtSentences->toPlainText().contains(QLatin1String("$GPRMC,")));
        receiver->HideMonitor();
        QVERIFY(!monitor->isVisible());
        QCOMPARE(receiver->monitor(), monitor);

        // New settings and another start: the port is opened again with them.
        receiver->setSettings(QStringLiteral("9600,E,7,2"));
        receiver->Start();
        const QSerialPort* port = receiver->serialPort();
        QVERIFY(port && port->isOpen());
        QCOMPARE(port->baudRate(), 9600);
        QCOMPARE(port->parity(), QSerialPort::EvenParity);
        QCOMPARE(port->dataBits(), QSerialPort::Data7);
        QCOMPARE(port->stopBits(), QSerialPort::TwoStop);
        const auto before = readings.count();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= before + 3, kPatience);
        receiver->Start(); // and once more, at once
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= before + 6, kPatience);

        // The tool removes its link when it stops.
        feeder.stop(SIGINT);
        QVERIFY(!QFileInfo(feeder.link()).isSymLink());
    }

    void fixLossAndSilenceFromTheSimulator()
    {
        Feeder feeder(mFolder->path(), 2,
            {QStringLiteral("simulate"), QStringLiteral("--rate"), QStringLiteral("20"),
                QStringLiteral("--lose-fix-after"), QStringLiteral("1"), QStringLiteral("--silence-after"),
                QStringLiteral("2")});
        QTRY_VERIFY_WITH_TIMEOUT(feeder.linked(), kPatience);
        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QSignalSpy unlocked(receiver.get(), &SerialReceiver::Unlocked);
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        receiver->setPort(2);
        receiver->Start();

        // 20 cycles with a fix, then 20 without: one reading each, one Unlocked.
        QTRY_COMPARE_WITH_TIMEOUT(unlocked.count(), 1, kPatience);
        QVERIFY(!receiver->ValidReading());
        QTRY_VERIFY_WITH_TIMEOUT(feeder.said(QStringLiteral("silent")), kPatience);
        // Everything sent has been read: 20 cycles of 6 sentences, 20 of 5.
        QTRY_COMPARE_WITH_TIMEOUT(receiver->counters().parsed, std::uint64_t(20 * 6 + 20 * 5), kPatience);
        QCOMPARE(readings.count(), 20);
        QCOMPARE(unlocked.count(), 1);
        QCOMPARE(noData.count(), 0);
        // Then silence, until the (hand-moved) clock says it has lasted.
        mClock->ms += SerialReceiver::kNoDataTimeoutMs;
        QTRY_COMPARE_WITH_TIMEOUT(noData.count(), 1, kPatience);
        mClock->ms += 10 * SerialReceiver::kNoDataTimeoutMs;
        receiver->checkTimeouts();
        QCOMPARE(noData.count(), 1);
    }

    void vanishingDeviceEndsInNoDataAndStartRecovers()
    {
        auto feeder = std::make_unique<Feeder>(mFolder->path(), 1,
            QStringList {QStringLiteral("simulate"), QStringLiteral("--rate"), QStringLiteral("10")});
        QTRY_VERIFY_WITH_TIMEOUT(feeder->linked(), kPatience);
        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        receiver->Start();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 3, kPatience);

        feeder->stop(SIGKILL); // as if unplugged: no goodbye
        QTRY_COMPARE_WITH_TIMEOUT(noData.count(), 1, kPatience); // at once, without waiting for the time-out
        QCOMPARE(receiver->state(), SerialReceiver::State::Lost);
        QVERIFY(!receiver->ValidReading());
        QVERIFY(receiver->serialPort() == nullptr);
        mClock->ms += 10 * SerialReceiver::kNoDataTimeoutMs;
        receiver->checkTimeouts();
        QCOMPARE(noData.count(), 1);

        // The tool killed outright left its link; a new run replaces it.
        feeder = std::make_unique<Feeder>(mFolder->path(), 1,
            QStringList {QStringLiteral("simulate"), QStringLiteral("--rate"), QStringLiteral("10")});
        QTRY_VERIFY_WITH_TIMEOUT(feeder->linked(), kPatience);
        const auto before = readings.count();
        receiver->Start();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= before + 3, kPatience);
        QCOMPARE(receiver->state(), SerialReceiver::State::Receiving);
        QVERIFY(receiver->ValidReading());
    }

    void replayPlaysALogCycleByCycle()
    {
        const QString log = QStringLiteral(ZEPTA_NMEA_DIR "/bu353s4.log");
        Feeder feeder(
            mFolder->path(), 7, {QStringLiteral("replay"), QStringLiteral("--rate"), QStringLiteral("25"), log});
        QTRY_VERIFY_WITH_TIMEOUT(feeder.linked(), kPatience);
        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        receiver->setPort(7);
        receiver->Start();
        QTRY_VERIFY_WITH_TIMEOUT(feeder.said(QStringLiteral("end of log")), kPatience);
        // The first cycles may have passed before the port was opened; the
        // last one is the log's last fix.
        QTRY_COMPARE_WITH_TIMEOUT(receiver->GMT(), QDateTime(QDate(2014, 12, 31), QTime(3, 7, 43), Qt::UTC), kPatience);
        QVERIFY(readings.count() >= 2);
        QVERIFY(std::fabs(receiver->CurrentReading().latitude + 37.7848) < 0.001);
    }
};

QTEST_MAIN(TestReceiver)
#include "test_receiver.moc"

// The serial receiver on in-memory devices, its fix and data states driven by
// a hand-moved clock, line settings and port numbers, and the real path: the
// nomrel tool on a pseudo-terminal, a serial port, the receiver's signals.

#include "nomrel/ReceiverMonitor.h"
#include "nomrel/SerialReceiver.h"
#include "platform/Error.h"
#include "support/ErrorOf.h"

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
#include <memory>
#include <tuple>

using nomrel::SerialReceiver;

namespace
{

constexpr int kPatience = 30000; // ms: generous, for a loaded machine

QDateTime december2026(int day, int hour, int minute, int second = 0)
{
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second), Qt::UTC);
}

class ManualClock : public nomrel::Clock
{
public:
    qint64 ms = 0;
    QDateTime start = december2026(6, 7, 0);
    qint64 monotonicMs() const override { return ms; }
    QDateTime utcNow() const override { return start.addMSecs(ms); }
};

// A device the test writes into; each push is one read.
class Pipe : public QBuffer
{
public:
    Pipe() { open(QIODevice::ReadOnly); }
    void push(const QByteArray& bytes)
    {
        buffer() += bytes;
        emit readyRead();
    }
};

QByteArray withChecksum(const QByteArray& body)
{
    const QByteArray sum = QByteArray::number(nomrel::nmea::checksumOf(body.toStdString()), 16);
    return body + '*' + sum.rightJustified(2, '0').toUpper() + "\r\n";
}

// A GGA alone (no date) at the given time of day.
QByteArray ggaAt(const QByteArray& time)
{
    return withChecksum("$GPGGA," + time + ".00,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000");
}

// One fix cycle at 12:00:<second> on 2026-12-06, with or without a fix.
QByteArray cycle(int second, bool fix = true)
{
    const QByteArray t = "1200" + QByteArray::number(second).rightJustified(2, '0');
    if (!fix)
        return withChecksum("$GPRMC," + t + ".00,V,,,,,,,061226,,,N")
            + withChecksum("$GPGGA," + t + ".00,,,,,0,00,,,M,,M,,") + withChecksum("$GPVTG,,T,,M,,N,,K,N");
    return withChecksum("$GPRMC," + t + ".00,A,3747.0873,S,17518.8938,E,0.69,181.39,061226,,,A") + ggaAt(t)
        + withChecksum("$GPVTG,181.39,T,,M,0.69,N,1.28,K,A");
}

} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mFolder;
    std::shared_ptr<ManualClock> mClock;

    std::unique_ptr<SerialReceiver> makeReceiver() { return std::make_unique<SerialReceiver>(mFolder->path(), mClock); }
    // Moves the clock on and lets the receiver look at it.
    void after(SerialReceiver& receiver, qint64 ms)
    {
        mClock->ms += ms;
        receiver.checkTimeouts();
    }
    QString file(const char* name) const { return mFolder->filePath(QString::fromLatin1(name)); }
    // Links ports/COM<port> to a file of the folder.
    bool link(int port, const char* target) const
    {
        return QDir(mFolder->path()).mkpath(QStringLiteral("ports"))
            && QFile::link(file(target), mFolder->filePath(QStringLiteral("ports/COM%1").arg(port)));
    }

private slots:
    void init()
    {
        mFolder = std::make_unique<QTemporaryDir>();
        QVERIFY(mFolder->isValid());
        mClock = std::make_shared<ManualClock>();
    }
    void cleanup() { mFolder.reset(); }

    // ---- the receiver on in-memory devices

    void slotsMayReenterTheConnection()
    {
        // A slot that starts a nested event loop (as a message box does) while
        // more data comes in, and one that restarts the receiver: nothing is
        // decoded twice or out of order, nothing crashes.
        Pipe pipe;
        Pipe other;
        auto receiver = makeReceiver();
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        QList<QDateTime> times;
        auto nested = connect(receiver.get(), &SerialReceiver::NewReading, this, [&](const gps::Reading& reading) {
            times << reading.gmt;
            if (times.size() == 1) {
                pipe.push(cycle(3) + cycle(4)); // arrives while this slot runs
                QEventLoop loop;
                QTimer::singleShot(0, &loop, &QEventLoop::quit);
                loop.exec();
            }
        });
        pipe.push(cycle(0) + cycle(1) + cycle(2));
        QCOMPARE(times.size(), 5);
        for (int s = 0; s < 5; ++s)
            QCOMPARE(times[s], december2026(6, 12, 0, s));

        disconnect(nested);
        int readings = 0;
        connect(receiver.get(), &SerialReceiver::NewReading, this, [&] {
            if (++readings == 1)
                receiver->startOn(&other, QStringLiteral("other")); // the rest of the old read is dropped
        });
        pipe.push(cycle(5) + cycle(6) + cycle(7));
        QCOMPARE(readings, 1);
        other.push(cycle(8) + cycle(9) + cycle(10));
        QCOMPARE(readings, 4);
        QCOMPARE(receiver->GMT(), december2026(6, 12, 0, 10));
    }

    void readingsCarryTheFix()
    {
        Pipe pipe;
        pipe.push(cycle(0)); // there before the start
        auto receiver = makeReceiver();
        receiver->setPort(3);
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QVERIFY(!receiver->ValidReading());
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        const QByteArray more = cycle(1) + cycle(2);
        for (int i = 0; i < more.size(); i += 13)
            pipe.push(more.mid(i, 13)); // lines split over reads
        // Two cycles ended by the same sentence teach the third's end: it is
        // given at its last sentence, not when a fourth begins.
        QCOMPARE(readings.count(), 3);
        QVERIFY(receiver->ValidReading());
        const gps::Reading r = receiver->CurrentReading();
        // Double, not float.
        QVERIFY(std::fabs(r.latitude + 37.784788333) < 1e-9 && std::fabs(r.longitude - 175.314896667) < 1e-9);
        QVERIFY(std::fabs(r.speed - 0.69 * 1852 / 3600) < 1e-9 && receiver->Heading() == 181.39f);
        QVERIFY(r.altitude == 59.9 && r.satellitesUsed == 8 && r.hdop == 1.1 && r.fixQuality == 1 && r.fixMode == 3);
        QVERIFY(r.locked && r.source == QStringLiteral("COM3") && r.gmt == december2026(6, 12, 0, 2));
        QCOMPARE(readings.last().first().value<gps::Reading>().gmt, r.gmt);

        // Before any RMC the date is our clock's: the day that puts the time
        // of day nearest to it. Our clock, the GGA's time, the reading's time.
        Pipe gga;
        receiver->startOn(&gga, QStringLiteral("gga"));
        gga.push(ggaAt("120010") + ggaAt("120011")); // two cycles teach that the GGA ends each
        const std::tuple<QDateTime, QByteArray, QDateTime> days[] = {
            {december2026(7, 6, 0), "120012", december2026(7, 12, 0, 12)},
            {december2026(8, 0, 0, 5), "235958", december2026(7, 23, 59, 58)},
            {december2026(7, 23, 59, 50), "000003", december2026(8, 0, 0, 3)},
        };
        for (const auto& [clock, time, expected] : days) {
            mClock->start = clock;
            gga.push(ggaAt(time));
            QCOMPARE(receiver->GMT(), expected);
        }
    }

    void unlockedOncePerLossNoDataOncePerSilence()
    {
        Pipe pipe;
        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QSignalSpy unlocked(receiver.get(), &SerialReceiver::Unlocked);
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        pipe.push(cycle(0, false) + cycle(1, false) + cycle(2, false));
        QCOMPARE(unlocked.count(), 0); // never had a fix: nothing lost
        pipe.push(cycle(3) + cycle(4));
        QVERIFY(receiver->ValidReading());
        pipe.push(cycle(5, false) + cycle(6, false) + cycle(7, false) + cycle(8, false));
        QCOMPARE(unlocked.count(), 1);
        QVERIFY(!receiver->ValidReading() && !receiver->CurrentReading().locked);
        // The last position is still there; only its validity went.
        QVERIFY(std::fabs(receiver->CurrentReading().latitude + 37.784788333) < 1e-9);
        pipe.push(cycle(9) + cycle(10) + cycle(11, false));
        QCOMPARE(unlocked.count(), 2);
        QCOMPARE(readings.count(), 4);

        // A fix that grows old while other data still comes is lost too, once.
        pipe.push(cycle(12) + cycle(13));
        mClock->ms += 3000;
        pipe.push(withChecksum("$GPGSV,1,1,01,04,62,110,44"));
        after(*receiver, 0);
        QVERIFY(receiver->ValidReading());
        mClock->ms += SerialReceiver::kFixMaxAgeMs - 3000 + 1;
        QVERIFY(!receiver->ValidReading());
        after(*receiver, 0);
        after(*receiver, 0);
        QCOMPARE(unlocked.count(), 3);

        // Silence: NoData once per silence (not once per check), not Unlocked.
        pipe.push(cycle(14) + cycle(15));
        for (int i = 0; i < 4; ++i)
            after(*receiver, SerialReceiver::kNoDataTimeoutMs);
        QCOMPARE(noData.count(), 1);
        QVERIFY(receiver->state() == SerialReceiver::State::Silent && !receiver->ValidReading());
        QCOMPARE(unlocked.count(), 3);
        pipe.push(cycle(16)); // data came back and stopped again
        after(*receiver, SerialReceiver::kNoDataTimeoutMs);
        QCOMPARE(noData.count(), 2);
        // A restart begins afresh: nothing ever came is silence too, told in its time.
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        after(*receiver, SerialReceiver::kNoDataTimeoutMs - 1);
        QCOMPARE(noData.count(), 2);
        after(*receiver, 1);
        QCOMPARE(noData.count(), 3);
    }

    // ---- settings and port numbers

    void lineSettings()
    {
        const std::pair<QString, bool> texts[] = {{"4800,N,8,1", true}, {" 9600 , e , 7 , 2 ", true},
            {"115200,O,8,1", true}, {"", false}, {"4800,N,8", false}, {"4800,N,8,1,X", false}, {"fast,N,8,1", false},
            {"0,N,8,1", false}, {"4800,X,8,1", false}, {"4800,N,9,1", false}, {"4800,N,8,3", false}};
        for (const auto& [text, valid] : texts) {
            auto receiver = makeReceiver();
            const QString error = errorOf([&] { receiver->setSettings(text); });
            // The text is kept unchanged when good; a bad one changes nothing
            // and the message names both.
            QVERIFY2(error.isEmpty() == valid, qPrintable(text));
            QCOMPARE(receiver->settings(), valid ? text : QStringLiteral("4800,N,8,1"));
            QVERIFY2(valid || (error.contains(text) && error.contains(QLatin1String("4800,N,8,1"))), qPrintable(error));
        }
    }

    void portResolution()
    {
        QCOMPARE(nomrel::orderSerialPorts(
                     {"/dev/ttyS10", "/dev/ttyUSB1", "/dev/ttyS2", "/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyUSB0"}),
            QStringList({"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyAMA0", "/dev/ttyS2", "/dev/ttyS10"}));
        const QString folder = mFolder->path();
        const QStringList listed {"/dev/ttyS0", "/dev/ttyUSB0"};
        QCOMPARE(nomrel::resolvePort(folder, 1, listed).device, QStringLiteral("/dev/ttyUSB0")); // one USB receiver
        QCOMPARE(nomrel::resolvePort(folder, 2, listed).device, QStringLiteral("/dev/ttyS0"));
        QString error = errorOf([&] { nomrel::resolvePort(folder, 3, listed); });
        QVERIFY2(error.contains(QLatin1String("COM3")) && error.contains(QLatin1String("ttyUSB0, ttyS0")),
            qPrintable(error));
        auto receiver = makeReceiver();
        QVERIFY(!errorOf([&] { receiver->setPort(0); }).isEmpty());
        QCOMPARE(receiver->port(), std::int16_t(1));

        // A link in the program folder wins, and is followed to the device.
        QVERIFY(QFile(file("not-a-tty")).open(QIODevice::WriteOnly));
        QVERIFY(link(9, "not-a-tty") && QFile::link(file("ports/COM9"), file("ports/COM1")));
        const auto resolved = nomrel::resolvePort(folder, 1, listed);
        QCOMPARE(resolved.device, QFileInfo(file("not-a-tty")).canonicalFilePath());
        QCOMPARE(resolved.how, QStringLiteral("ports/COM1 link"));
        QVERIFY(link(2, "no-such-device"));
        error = errorOf([&] { nomrel::resolvePort(folder, 2, listed); });
        QVERIFY2(error.contains(file("no-such-device")) && error.contains(QLatin1String("does not exist")),
            qPrintable(error));

        // Ports that cannot be opened are named, and a failed start raises no
        // NoData later: it was reported already.
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        for (const auto& [port, target] : {std::pair {1, "not-a-tty"}, {2, "no-such-device"}}) {
            receiver->setPort(static_cast<std::int16_t>(port));
            error = errorOf([&] { receiver->Start(); });
            QVERIFY2(error.contains(QStringLiteral("COM%1").arg(port)) && error.contains(QLatin1String(target)),
                qPrintable(error));
            QVERIFY(receiver->state() == SerialReceiver::State::Failed && !receiver->ValidReading());
        }
        after(*receiver, 10 * SerialReceiver::kNoDataTimeoutMs);
        QCOMPARE(noData.count(), 0);
    }

    // ---- the real path: the nomrel tool simulating a receiver on a
    // pseudo-terminal linked as ports/COM1, a serial port, the signals

    void simulatedReceiverThroughAPseudoTerminal()
    {
        QProcess tool; // killed, if still running, when it goes
        tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        tool.start(
            QStringLiteral(NOMREL_TOOL), {"simulate", "--rate", "10", "--folder", mFolder->path(), "--port", "1"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file("ports/COM1")).isSymLink(), kPatience);
        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &SerialReceiver::NewReading);
        QSignalSpy unlocked(receiver.get(), &SerialReceiver::Unlocked);
        QSignalSpy noData(receiver.get(), &SerialReceiver::NoData);
        receiver->Initialize();
        receiver->ShowMonitor();
        receiver->setPort(1);
        receiver->Start();
        QCOMPARE(receiver->deviceName(), QFileInfo(file("ports/COM1")).canonicalFilePath());
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 5, kPatience);
        QVERIFY(receiver->ValidReading() && receiver->CurrentReading().satellitesInView == 8);
        QCOMPARE(receiver->counters().badChecksum, std::uint64_t(0));
        QCOMPARE(unlocked.count() + noData.count(), 0);

        // The monitor shows the port and what came in; hiding keeps it.
        auto* monitor = qobject_cast<nomrel::ReceiverMonitor*>(receiver->monitor());
        QVERIFY(monitor && monitor->isVisible());
        monitor->refresh();
        QVERIFY(monitor->lblPort->text().contains(receiver->deviceName()));
        QCOMPARE(monitor->lblState->text(), QStringLiteral("Receiving, fix"));
        QVERIFY(monitor->txtSentences->toPlainText().contains(QLatin1String("$GPRMC,")));
        receiver->HideMonitor();
        QVERIFY(!monitor->isVisible() && receiver->monitor() == monitor);

        // New settings and another start: the port is opened again with them.
        receiver->setSettings(QStringLiteral("9600,E,7,2"));
        receiver->Start();
        const QSerialPort* port = receiver->serialPort();
        QVERIFY(port && port->isOpen() && port->baudRate() == 9600 && port->parity() == QSerialPort::EvenParity
            && port->dataBits() == QSerialPort::Data7 && port->stopBits() == QSerialPort::TwoStop);
        const auto before = readings.count();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= before + 3, kPatience);
        receiver->Start(); // and once more, at once
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= before + 6, kPatience);

        // The device vanishes as if unplugged (no goodbye): NoData at once,
        // without waiting for the time-out, and only once.
        tool.kill();
        QTRY_COMPARE_WITH_TIMEOUT(noData.count(), 1, kPatience);
        QCOMPARE(receiver->state(), SerialReceiver::State::Lost);
        QVERIFY(!receiver->ValidReading() && receiver->serialPort() == nullptr);
        after(*receiver, 10 * SerialReceiver::kNoDataTimeoutMs);
        QCOMPARE(noData.count(), 1);
    }
};

QTEST_MAIN(TestReceiver)
#include "test_receiver.moc"

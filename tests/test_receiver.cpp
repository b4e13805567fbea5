// The receiver on in-memory devices, its fix and data states driven by a
// hand-moved clock; COM_SETTINGS and port numbers; and the real path: the
// component's receiver on pseudo-terminals fed by the nomrel tool, its monitor
// window, and recovery when the feeder dies or the link is replaced.

#include "ReceiverTesting.h"
#include "gps/ComSettings.h"
#include "nomrel/Component.h"
#include "nomrel/NmeaReceiver.h"
#include "nomrel/ReceiverMonitor.h"
#include "support/ErrorOf.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>
#include <optional>
#include <tuple>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using nomrel::NmeaReceiver;
using State = NmeaReceiver::State;

namespace
{

constexpr int kPatience = 30000; // ms: generous, for a loaded machine

QDateTime december2026(int day, int hour, int minute, int second = 0)
{
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second), Qt::UTC);
}

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

// The line settings a terminal has now (zeros when it cannot be read).
termios lineOf(const QString& device)
{
    termios t {};
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::tcgetattr(fd, &t);
        ::close(fd);
    }
    return t;
}

nomrel::ReceiverMonitor* shownMonitor()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* monitor = qobject_cast<nomrel::ReceiverMonitor*>(widget); monitor && monitor->isVisible())
            return monitor;
    return nullptr;
}

} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mFolder;
    std::shared_ptr<ManualClock> mClock;

    std::unique_ptr<NmeaReceiver> makeReceiver() { return std::make_unique<NmeaReceiver>(mFolder->path(), mClock); }
    // Moves the clock on and lets the receiver look at it.
    void after(NmeaReceiver& receiver, qint64 ms)
    {
        mClock->ms += ms;
        receiver.checkTimeouts();
    }
    QString file(const QString& name) const { return mFolder->filePath(name); }
    QString com(int port) const { return file(QStringLiteral("ports/COM%1").arg(port)); }
    // `nomrel simulate` on COM<port> at 10 Hz, once its link is there.
    std::unique_ptr<ToolProcess> simulate(int port)
    {
        auto tool = std::make_unique<ToolProcess>(QStringLiteral(NOMREL_TOOL),
            QStringList {"simulate", "--rate", "10", "--folder", mFolder->path(), "--port", QString::number(port)});
        const QString said = tool->firstLine(); // "nomrel: COMn is /dev/pts/k, linked as ..."
        return said.contains(QLatin1String("linked as")) ? std::move(tool) : nullptr;
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
        auto nested = connect(receiver.get(), &NmeaReceiver::NewReading, this, [&](const gps::Reading& reading) {
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
        connect(receiver.get(), &NmeaReceiver::NewReading, this, [&] {
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
        QSignalSpy readings(receiver.get(), &NmeaReceiver::NewReading);
        QVERIFY(!receiver->ValidReading());
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        const QByteArray more = cycle(1) + cycle(2);
        for (int i = 0; i < more.size(); i += 13)
            pipe.push(more.mid(i, 13)); // lines split over reads
        // Two cycles ended by the same sentence teach the third's end: it is
        // given at its last sentence, not when a fourth begins.
        // (Position, speed, course, altitude and mode are compared with
        // gpsd's in test_netsources.)
        QCOMPARE(readings.count(), 3);
        QVERIFY(receiver->ValidReading());
        const gps::Reading r = receiver->CurrentReading();
        QCOMPARE(std::make_tuple(r.satellitesUsed, r.hdop, r.fixQuality, r.source, r.gmt),
            std::make_tuple(8, 1.1, 1, QStringLiteral("COM3"), december2026(6, 12, 0, 2)));
        QCOMPARE(receiver->Heading(), 181.39f);

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
        QSignalSpy readings(receiver.get(), &NmeaReceiver::NewReading);
        QSignalSpy unlocked(receiver.get(), &NmeaReceiver::Unlocked);
        QSignalSpy noData(receiver.get(), &NmeaReceiver::NoData);
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        pipe.push(cycle(0, false) + cycle(1, false) + cycle(2, false));
        QCOMPARE(unlocked.count(), 0); // never had a fix: nothing lost
        pipe.push(cycle(3) + cycle(4));
        QVERIFY(receiver->ValidReading());
        pipe.push(cycle(5, false) + cycle(6, false) + cycle(7, false) + cycle(8, false));
        QCOMPARE(unlocked.count(), 1);
        QVERIFY(!receiver->CurrentReading().locked);
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
        mClock->ms += NmeaReceiver::kFixMaxAgeMs - 3000 + 1;
        QVERIFY(!receiver->ValidReading());
        after(*receiver, 0);
        after(*receiver, 0);
        QCOMPARE(unlocked.count(), 3);

        // Silence: NoData once per silence (not once per check), not Unlocked;
        // noise is no data.
        pipe.push(cycle(14) + cycle(15));
        for (int i = 0; i < 4; ++i) {
            pipe.push("$GPRMC,noise*00\r\n\x01\x02 binary");
            after(*receiver, NmeaReceiver::kNoDataTimeoutMs);
        }
        QCOMPARE(noData.count(), 1);
        QCOMPARE(receiver->state(), State::Silent);
        QCOMPARE(unlocked.count(), 3);
        pipe.push(cycle(16)); // data came back and stopped again
        after(*receiver, NmeaReceiver::kNoDataTimeoutMs);
        QCOMPARE(noData.count(), 2);
        // A restart begins afresh: nothing ever came is silence too, told in its time.
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        after(*receiver, NmeaReceiver::kNoDataTimeoutMs - 1);
        QCOMPARE(noData.count(), 2);
        after(*receiver, 1);
        QCOMPARE(noData.count(), 3);
    }

    // ---- settings and port numbers

    void comSettings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("fields"); // as the dialog lists them
        QTest::addColumn<QString>("problem"); // a part of the problem, empty when usable
        const std::tuple<const char*, QStringList, const char*> rows[] = {{"4800,N,8,1", {"4800", "N", "8", "1"}, ""},
            {" 9600 , e , 7 , 2 ", {"9600", "E", "7", "2"}, ""}, {"04800,o,8,1", {"4800", "O", "8", "1"}, ""},
            {"4800,N,8,1,X", {"4800", "N", "8", "1"}, "four values"},
            {"4800,N,8", {"4800", "N", "8", ""}, "four values"}, {"0,N,8,1", {"", "N", "8", "1"}, "the speed"},
            {"4800,X,8,1", {"4800", "", "8", "1"}, "the parity"}, {"4800,N,9,1", {"4800", "N", "", "1"}, "the data"},
            {"4800,N,8,3", {"4800", "N", "8", ""}, "the stop bits"}};
        for (const auto& [text, fields, problem] : rows)
            QTest::newRow(text) << text << fields << problem;
    }
    void comSettings()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, fields);
        QFETCH(QString, problem);
        const gps::ComSettings s = gps::parseComSettings(text);
        QCOMPARE(QStringList({s.speedText, s.parityText, s.dataBitsText, s.stopBitsText}), fields);
        QCOMPARE(s.usable(), problem.isEmpty());
        // The receiver keeps a good text unchanged, and a bad one changes
        // nothing; the message names the text and an example.
        auto receiver = makeReceiver();
        const QString error = errorOf([&] { receiver->setSettings(text); });
        QCOMPARE(error, s.problem);
        QCOMPARE(receiver->settings(), problem.isEmpty() ? text : QStringLiteral("4800,N,8,1"));
        if (!problem.isEmpty()) {
            QVERIFY2(error.contains(problem), qPrintable(error));
            QVERIFY2(
                error.contains('"' + text + '"') && error.contains(QLatin1String("4800,N,8,1")), qPrintable(error));
        }
    }

    void networkAddresses_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("address"); // empty when it is no address
        const std::pair<const char*, const char*> rows[]
            = {{" gpsd://localhost ", "gpsd://localhost:2947"}, {"GPSD://10.0.0.2:3000/", "gpsd://10.0.0.2:3000"},
                {"tcp://[::1]:10110", "tcp://[::1]:10110"}, {"tcp://192.168.1.20", ""}, {"gpsd://h:65536", ""},
                {"gpsd://h:2947/dev/ttyUSB0", ""}, {"http://h:80", ""}, {"COM3 is the phone", ""}};
        for (const auto& [line, address] : rows)
            QTest::newRow(line) << line << address;
    }
    void networkAddresses()
    {
        QFETCH(QString, line);
        QFETCH(QString, address);
        QString problem;
        const auto target = nomrel::parseNetworkAddress(line, &problem);
        QCOMPARE(target ? target->address() : QString(), address);
        QCOMPARE(problem.isEmpty(), !address.isEmpty());
    }

    void portResolution()
    {
        QCOMPARE(nomrel::orderSerialPorts(
                     {"/dev/ttyS10", "/dev/ttyUSB1", "/dev/ttyS2", "/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyUSB0"}),
            QStringList({"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyAMA0", "/dev/ttyS2", "/dev/ttyS10"}));
        const QString folder = mFolder->path();
        const auto listed = [] { return QStringList {"/dev/ttyS0", "/dev/ttyUSB0"}; };
        QCOMPARE(nomrel::resolvePort(folder, 1, listed).device, QStringLiteral("/dev/ttyUSB0")); // one USB receiver
        QCOMPARE(nomrel::resolvePort(folder, 2, listed).how, QStringLiteral("2nd listed serial port"));
        QString error = errorOf([&] { nomrel::resolvePort(folder, 3, listed); });
        QVERIFY2(error.contains(QLatin1String("COM3")), qPrintable(error));
        QVERIFY2(error.contains(QLatin1String("ttyUSB0, ttyS0")), qPrintable(error));

        // An entry in the program folder wins: a link, followed to the device;
        // a file naming a network source; a link to nothing; anything else.
        QVERIFY(QFile(file("not-a-tty")).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(file("not-a-tty"), com(9)) && QFile::link(com(9), com(1)));
        auto write = [this](int port, const QByteArray& text) {
            QFile entry(com(port));
            return entry.open(QIODevice::WriteOnly) && entry.write(text) == text.size();
        };
        QVERIFY(write(4, "gpsd://127.0.0.1\r\nthe second line is a comment\n"));
        QVERIFY(write(5, "hello"));
        QVERIFY(QFile::link(file("no-such-device"), com(2)));
        const auto one = nomrel::resolvePort(folder, 1, listed);
        QCOMPARE(one.device, QFileInfo(file("not-a-tty")).canonicalFilePath());
        QCOMPARE(one.how, QStringLiteral("ports/COM1 link"));
        const auto four = nomrel::resolvePort(folder, 4, listed);
        QCOMPARE(four.address(), QStringLiteral("gpsd://127.0.0.1:2947"));
        QCOMPARE(four.how, QStringLiteral("ports/COM4 file"));
        const std::pair<int, const char*> broken[] = {{2, "no-such-device, which does not exist"}, {5, "\"hello\""}};
        for (const auto& [port, why] : broken) {
            error = errorOf([&, port = port] { nomrel::resolvePort(folder, port, listed); });
            QVERIFY2(error.startsWith(QStringLiteral("COM%1: ").arg(port)) && error.contains(QLatin1String(why)),
                qPrintable(error));
        }

        // Such ports fail Start, named; the failure was the report, so no
        // NoData follows while it is tried again.
        auto receiver = makeReceiver();
        QVERIFY(!errorOf([&] { receiver->setPort(0); }).isEmpty());
        QCOMPARE(receiver->port(), std::int16_t(1));
        QSignalSpy noData(receiver.get(), &NmeaReceiver::NoData);
        for (const auto& [port, what] : {std::pair {1, "not-a-tty"}, {2, "no-such-device"}}) {
            receiver->setPort(static_cast<std::int16_t>(port));
            error = errorOf([&] { receiver->Start(); });
            QVERIFY2(error.contains(QStringLiteral("COM%1").arg(port)), qPrintable(error));
            QVERIFY2(error.contains(QLatin1String(what)), qPrintable(error));
            QCOMPARE(receiver->state(), State::Failed);
            QVERIFY2(receiver->status().stateText.contains(error), qPrintable(receiver->status().stateText));
        }
        for (int i = 0; i < 3; ++i)
            after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QCOMPARE(receiver->status().reconnectAttempts, 3);
        QCOMPARE(noData.count(), 0);
    }

    // ---- the real path: `nomrel simulate` on pseudo-terminals linked as
    // ports/COMn, the component's receiver with its monitor window

    void componentReceiverThroughPseudoTerminals()
    {
        auto feeder = simulate(1);
        QVERIFY(feeder);
        nomrel::Component component(mFolder->path(), mClock);
        std::unique_ptr<gps::Receiver> made = component.CreateReceiver();
        auto* receiver = qobject_cast<NmeaReceiver*>(made.get());
        QVERIFY(receiver);
        QSignalSpy readings(receiver, &NmeaReceiver::NewReading);
        QSignalSpy noData(receiver, &NmeaReceiver::NoData);
        receiver->ShowMonitor();
        receiver->setPort(1);
        receiver->setSettings(QStringLiteral("9600,E,7,2"));
        receiver->Start();
        const QString device = QFileInfo(com(1)).canonicalFilePath();
        QCOMPARE(receiver->status().source, device);
        // The settings are on the terminal (a pseudo-terminal keeps 8 data
        // bits and no parity, whatever it is told).
        const termios line = lineOf(device);
        QCOMPARE(::cfgetispeed(&line), speed_t(B9600));
        QCOMPARE(line.c_cflag & CSTOPB, tcflag_t(CSTOPB));
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 5, kPatience);
        QCOMPARE(receiver->CurrentReading().satellitesInView, 8);

        // The monitor window shows the port, the source and what came in.
        nomrel::ReceiverMonitor* monitor = shownMonitor();
        QVERIFY(monitor);
        QTRY_COMPARE(monitor->lblState->text(), QStringLiteral("Receiving, fix"));
        QCOMPARE(monitor->lblSource->text(), device + QStringLiteral(" (ports/COM1 link)"));
        QTRY_VERIFY(monitor->txtSentences->toPlainText().contains(QLatin1String("$GPRMC,")));

        // The feeder dies without a goodbye: NoData at once, and once; the
        // port is tried every 2 s (on the hand-moved clock) while it stays away.
        feeder->kill();
        QTRY_COMPARE_WITH_TIMEOUT(noData.count(), 1, kPatience);
        QCOMPARE(receiver->state(), State::Reconnecting);
        QVERIFY(!receiver->ValidReading());
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QCOMPARE(receiver->state(), State::Reconnecting);
        QVERIFY2(monitor->lblState->text().startsWith(QLatin1String("Reconnecting every 2 s (2 attempts): COM1")),
            qPrintable(monitor->lblState->text()));
        // A new feeder on the same link: readings come back, no dialog, no
        // second NoData.
        feeder = simulate(1);
        QVERIFY(feeder);
        const int before = static_cast<int>(readings.count());
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= before + 3, kPatience);
        QCOMPARE(receiver->state(), State::Receiving);
        QCOMPARE(receiver->status().source, QFileInfo(com(1)).canonicalFilePath());

        // The link replaced by one to another terminal while the first still
        // feeds: the receiver moves over within one check, without an outage.
        auto second = simulate(2);
        QVERIFY(second);
        const QString moved = QFileInfo(com(2)).canonicalFilePath();
        QVERIFY(QFile::link(moved, com(1) + QLatin1String(".new")));
        QVERIFY(::rename(QFile::encodeName(com(1) + QLatin1String(".new")).constData(),
                    QFile::encodeName(com(1)).constData())
            == 0);
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QCOMPARE(receiver->status().source, moved);
        const int onSecond = static_cast<int>(readings.count());
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= onSecond + 3, kPatience);
        QCOMPARE(noData.count(), 1);

        // Hiding keeps the window; it goes with the receiver.
        receiver->HideMonitor();
        QVERIFY(!monitor->isVisible());
        const QPointer<nomrel::ReceiverMonitor> window(monitor);
        made.reset();
        QVERIFY(window.isNull());
    }
};

QTEST_MAIN(TestReceiver)
#include "test_receiver.moc"

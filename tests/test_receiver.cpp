// The receiver on an in-memory device with a hand-moved clock; COM_SETTINGS; port numbers; and the
// component's receiver on pseudo-terminals fed by `nomrel simulate`, recovering by itself.

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

#include <fcntl.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>

using nomrel::NmeaReceiver;
using State = NmeaReceiver::State;

namespace
{

// Bytes into a device the receiver reads: one read.
void push(QBuffer& device, const QByteArray& bytes)
{
    device.buffer() += bytes;
    emit device.readyRead();
}

// How many descriptors of this process are open on path.
int descriptorsOn(const QString& path)
{
    int count = 0;
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
        count += fd.symLinkTarget() == path;
    return count;
}

QByteArray gga(const QByteArray& t) { return "$GPGGA," + t + ".00,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,"; }

// count fix cycles, one a second from 12:00:<first> on 2026-12-06, with or without a fix.
QByteArray cycles(int first, int count = 1, bool fix = true)
{
    QByteArray out;
    for (int second = first; second < first + count; ++second) {
        const QByteArray t = "1200" + QByteArray::number(second).rightJustified(2, '0');
        out += fix ? lines({"$GPRMC," + t + ".00,A,3747.0873,S,17518.8938,E,0.69,181.39,061226,,,A", gga(t),
                   "$GPVTG,181.39,T,,M,0.69,N,1.28,K,A"})
                   : lines({"$GPRMC," + t + ".00,V,,,,,,,061226,,,N", "$GPGGA," + t + ".00,,,,,0,00,,,M,,M,,",
                       "$GPVTG,,T,,M,,N,,K,N"});
    }
    return out;
}

} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mFolder;
    std::shared_ptr<ManualClock> mClock;

    std::unique_ptr<NmeaReceiver> makeReceiver() { return std::make_unique<NmeaReceiver>(mFolder->path(), mClock); }
    void after(NmeaReceiver& receiver, qint64 ms)
    {
        mClock->ms += ms;
        receiver.checkTimeouts();
    }
    QString file(const QString& name) const { return mFolder->filePath(name); }
    QString com(int port) const { return file(QStringLiteral("ports/COM%1").arg(port)); }

private slots:
    void init()
    {
        mFolder = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(mFolder->path()).mkpath(QStringLiteral("ports")));
        QVERIFY(QFile(file("not-a-tty")).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(file("not-a-tty"), file("via")));
        mClock = std::make_shared<ManualClock>();
    }

    // One reading per fix cycle; Unlocked once per loss, NoData once per silence.
    void readingsOnAPipe()
    {
        QBuffer pipe;
        pipe.open(QIODevice::ReadOnly);
        push(pipe, cycles(0, 2, false) + cycles(2)); // there before the start
        auto receiver = makeReceiver();
        receiver->setPort(3);
        QSignalSpy readings(receiver.get(), &NmeaReceiver::NewReading);
        QSignalSpy unlocked(receiver.get(), &NmeaReceiver::Unlocked);
        QSignalSpy noData(receiver.get(), &NmeaReceiver::NoData);
        QVERIFY(!receiver->ValidReading());
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        const QByteArray more = cycles(3, 2);
        for (int i = 0; i < more.size(); i += 13)
            push(pipe, more.mid(i, 13)); // lines split over reads
        // The last cycle comes at its last sentence, not when another begins.
        QCOMPARE(readings.count(), 3);
        QCOMPARE(unlocked.count(), 0); // no fix before: nothing lost
        const gps::Reading r = receiver->CurrentReading();
        QCOMPARE(std::make_tuple(r.satellitesUsed, r.hdop, r.fixQuality, r.source, receiver->Heading()),
            std::make_tuple(8, 1.1, 1, QStringLiteral("COM3"), 181.39f));
        QCOMPARE(r.gmt.toString(Qt::ISODate), QStringLiteral("2026-12-06T12:00:04Z"));

        push(pipe, cycles(5, 4, false));
        QCOMPARE(unlocked.count(), 1);
        // The last position stays; only its validity went.
        QCOMPARE(receiver->CurrentReading().locked, false);
        QCOMPARE(receiver->CurrentReading().latitude, -(37 + 47.0873 / 60));
        push(pipe, cycles(9, 2) + cycles(11, 1, false));
        QCOMPARE(std::make_tuple(unlocked.count(), readings.count()), std::make_tuple(2, 5));

        // A fix that grows old while other data still comes is lost too, once.
        push(pipe, cycles(12, 2));
        after(*receiver, 3000);
        push(pipe, lines({"$GPGSV,1,1,01,04,62,110,44"}));
        QVERIFY(receiver->ValidReading());
        mClock->ms += NmeaReceiver::kFixMaxAgeMs - 3000 + 1;
        QVERIFY(!receiver->ValidReading());
        after(*receiver, 0);
        after(*receiver, 0);
        QCOMPARE(unlocked.count(), 3);

        // Silence: NoData once per silence (not per check), not Unlocked; noise is no data.
        push(pipe, cycles(14, 2));
        for (int i = 0; i < 4; ++i) {
            push(pipe, "$GPRMC,noise*00\r\n\x01\x02 binary");
            after(*receiver, NmeaReceiver::kNoDataTimeoutMs);
        }
        QCOMPARE(
            std::make_tuple(noData.count(), receiver->state(), unlocked.count()), std::make_tuple(1, State::Silent, 3));
        push(pipe, cycles(16)); // data came back and stopped again
        after(*receiver, NmeaReceiver::kNoDataTimeoutMs);
        QCOMPARE(noData.count(), 2);
        emit pipe.readChannelFinished(); // and the device ends: the same outage
        QCoreApplication::processEvents();
        QCOMPARE(noData.count(), 2);
        // A restart begins afresh: nothing ever came is silence too, told in its time.
        receiver->startOn(&pipe, QStringLiteral("pipe"));
        after(*receiver, NmeaReceiver::kNoDataTimeoutMs - 1);
        QCOMPARE(noData.count(), 2);
        after(*receiver, 1);
        QCOMPARE(noData.count(), 3);

        // Before any RMC, the date that puts the GGA's time nearest to our clock: clock, GGA, reading.
        push(pipe, lines({gga("120010"), gga("120011")})); // two cycles teach that the GGA ends each
        const std::tuple<const char*, QByteArray, const char*> days[]
            = {{"2026-12-07T06:00:00Z", "120012", "2026-12-07T12:00:12Z"},
                {"2026-12-08T00:00:05Z", "235958", "2026-12-07T23:59:58Z"},
                {"2026-12-07T23:59:50Z", "000003", "2026-12-08T00:00:03Z"}};
        for (const auto& [clock, time, expected] : days) {
            mClock->start = QDateTime::fromString(QLatin1String(clock), Qt::ISODate);
            push(pipe, lines({gga(time)}));
            QCOMPARE(receiver->GMT().toString(Qt::ISODate), QLatin1String(expected));
        }

        // Slots that run a nested event loop (as a message box does) while more data comes, or restart
        // the receiver: nothing decoded twice or out of order, nothing of the old read after a restart.
        QList<int> seconds;
        connect(receiver.get(), &NmeaReceiver::NewReading, this, [&](const gps::Reading& reading) {
            seconds << reading.gmt.time().second();
            if (seconds.size() == 1) {
                push(pipe, cycles(23, 2));
                QCoreApplication::processEvents();
            } else if (seconds.size() == 6) {
                receiver->startOn(&pipe, QStringLiteral("pipe"));
            }
        });
        push(pipe, cycles(20, 3));
        QCOMPARE(seconds, QList<int>({20, 21, 22, 23, 24}));
        push(pipe, cycles(25, 3));
        push(pipe, cycles(28, 3));
        QCOMPARE(seconds, QList<int>({20, 21, 22, 23, 24, 25, 28, 29, 30}));
    }

    void comSettings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("fields"); // as the dialog lists them
        QTest::addColumn<QString>("problem"); // a part of the message, empty when usable
        const std::tuple<const char*, const char*, const char*> rows[] = {{"4800,N,8,1", "4800 N 8 1", ""},
            {" 9600 , e , 7 , 2 ", "9600 E 7 2", ""}, {"04800,o,8,1", "4800 O 8 1", ""},
            {"4800,N,8,1,X", "4800 N 8 1", "four values"}, {"4800,N,8", "4800 N 8 ", "four values"},
            {"0,N,8,1", " N 8 1", "the speed"}, {"4800,X,8,1", "4800  8 1", "the parity"},
            {"4800,N,9,1", "4800 N  1", "the data"}, {"4800,N,8,3", "4800 N 8 ", "the stop bits"}};
        for (const auto& [text, fields, problem] : rows)
            QTest::newRow(text) << text << fields << problem;
    }
    void comSettings()
    {
        QFETCH(QString, text);
        QFETCH(QString, fields);
        QFETCH(QString, problem);
        const gps::ComSettings s = gps::parseComSettings(text);
        QCOMPARE(QStringList({s.speedText, s.parityText, s.dataBitsText, s.stopBitsText}).join(' '), fields);
        QCOMPARE(s.usable(), problem.isEmpty());
        // A bad text changes nothing; the message names it and gives an example.
        auto receiver = makeReceiver();
        const QString error = errorOf([&] { receiver->setSettings(text); });
        QCOMPARE(error, s.problem);
        QCOMPARE(receiver->settings(), problem.isEmpty() ? text : QStringLiteral("4800,N,8,1"));
        if (!problem.isEmpty())
            for (const QString& part : {problem, '"' + text + '"', QStringLiteral("4800,N,8,1")})
                QVERIFY2(error.contains(part), qPrintable(error));
    }

    // COM n: ports/COMn, a link (followed) or a file naming a network source, else the n-th listed
    // serial port (USB and ACM first, numbers in numeric order).
    void ports_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("entry"); // "" none, "-> NAME" a link to NAME in the folder, else a file's text
        QTest::addColumn<QString>("stands"); // "ADDRESS (HOW)", or error parts ('|' between; none: COMn and the line)
        const std::tuple<int, const char*, const char*> rows[]
            = {{1, "", "/dev/ttyACM0 (1st listed serial port)"}, {2, "", "/dev/ttyUSB0 (2nd listed serial port)"},
                {7, "", "COM7 is not available|(ttyACM0, ttyUSB0, ttyUSB1, ttyAMA0, ttyS2, ttyS10)"},
                {1, "-> via", "/not-a-tty (ports/COM1 link)"},
                {2, "-> no-such-device", "COM2: |no-such-device, which does not exist"},
                {3, "gpsd://127.0.0.1\r\nthe second line is a comment\n", "gpsd://127.0.0.1:2947 (ports/COM3 file)"},
                {3, " GPSD://10.0.0.2:3000/ ", "gpsd://10.0.0.2:3000 (ports/COM3 file)"},
                {3, "tcp://[::1]:10110", "tcp://[::1]:10110 (ports/COM3 file)"}, {3, "tcp://192.168.1.20", ""},
                {3, "gpsd://h:65536", ""}, {3, "gpsd://h:2947/dev/ttyUSB0", ""}, {3, "COM3 is the phone", ""}};
        for (const auto& [port, entry, stands] : rows)
            QTest::newRow(QByteArray(*entry ? entry : stands).simplified().constData()) << port << entry << stands;
    }
    void ports()
    {
        QFETCH(int, port);
        QFETCH(QString, entry);
        QFETCH(QString, stands);
        QFile text(com(port));
        if (entry.startsWith(QLatin1String("-> ")))
            QVERIFY(QFile::link(file(entry.mid(3)), com(port)));
        else if (!entry.isEmpty())
            QVERIFY(text.open(QIODevice::WriteOnly) && text.write(entry.toUtf8()) > 0 && text.flush());
        QString got;
        const QString error = errorOf([&] {
            const auto target = nomrel::resolvePort(mFolder->path(), port, [] {
                return QStringList {
                    "/dev/ttyS10", "/dev/ttyUSB1", "/dev/ttyS2", "/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyUSB0"};
            });
            got = target.address() + " (" + target.how + ')';
        });
        if (stands.isEmpty())
            stands = QStringLiteral("COM%1: |\"%2\"").arg(port).arg(entry);
        for (const QString& part : stands.split('|'))
            QVERIFY2((got + error).contains(part), qPrintable(got + error));
        if (entry.isEmpty() || (error.isEmpty() && !got.contains(QLatin1String("not-a-tty"))))
            return; // Start would open a serial port of this machine or a network source

        // Start fails, naming the port; that was the report: no NoData while it is tried again.
        auto receiver = makeReceiver();
        QVERIFY(!errorOf([&] { receiver->setPort(0); }).isEmpty());
        QCOMPARE(receiver->port(), std::int16_t(1));
        receiver->setPort(static_cast<std::int16_t>(port));
        QSignalSpy noData(receiver.get(), &NmeaReceiver::NoData);
        const QString failed = errorOf([&] { receiver->Start(); });
        const QString opening = QStringLiteral("COM%1 (%2): cannot be opened").arg(port).arg(got.section(' ', 0, 0));
        QVERIFY2(failed.startsWith(error.isEmpty() ? opening : error), qPrintable(failed));
        QCOMPARE(receiver->state(), State::Failed);
        QVERIFY2(receiver->status().stateText.contains(failed), qPrintable(receiver->status().stateText));
        for (int i = 0; i < 3; ++i)
            after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QCOMPARE(receiver->status().reconnectAttempts, 3);
        QCOMPARE(noData.count(), 0);
    }

    void componentReceiverThroughPseudoTerminals()
    {
        auto feeder = simulate(mFolder->path(), 1);
        QVERIFY(feeder);
        nomrel::Component component(mFolder->path(), mClock);
        std::unique_ptr<gps::Receiver> made = component.CreateReceiver();
        auto* receiver = qobject_cast<NmeaReceiver*>(made.get());
        QVERIFY(receiver);
        QSignalSpy readings(receiver, &NmeaReceiver::NewReading);
        QSignalSpy noData(receiver, &NmeaReceiver::NoData);
        receiver->ShowMonitor();
        receiver->setSettings(QStringLiteral("9600,E,7,2"));
        const QString device = QFileInfo(com(1)).canonicalFilePath();
        // Opened before the receiver opens it for itself alone (which only
        // root may pass), to read the line settings it puts on the terminal;
        // a pseudo-terminal keeps 8 data bits and no parity.
        const int terminal
            = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(terminal >= 0);
        const auto closeTerminal = qScopeGuard([terminal] { ::close(terminal); });
        receiver->Start();
        termios line {};
        QCOMPARE(::tcgetattr(terminal, &line), 0);
        QCOMPARE(::cfgetispeed(&line), speed_t(B9600));
        QVERIFY(line.c_cflag & CSTOPB);
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 5, kPatience);
        QCOMPARE(receiver->CurrentReading().satellitesInView, 8);

        auto* monitor = qobject_cast<nomrel::ReceiverMonitor*>(QApplication::topLevelWidgets().value(0));
        QVERIFY(monitor);
        QVERIFY(monitor->isVisible());
        QTRY_COMPARE(monitor->lblState->text(), QStringLiteral("Receiving, fix"));
        QCOMPARE(monitor->lblSource->text(), device + QStringLiteral(" (ports/COM1 link)"));
        QTRY_VERIFY(monitor->txtSentences->toPlainText().contains(QLatin1String("$GPRMC,")));

        // Started again on the same port (new settings saved): the port is opened for the receiver
        // alone, so the old descriptor must be gone before the new open, not at a later delete.
        QCOMPARE(descriptorsOn(device), 2);
        QCOMPARE(errorOf([&] { receiver->Start(); }), QString());
        QCOMPARE(descriptorsOn(device), 2);
        readings.clear();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 2, kPatience);

        // The link moved to another terminal while the first still feeds: followed, no outage.
        auto second = simulate(mFolder->path(), 2);
        QVERIFY(second);
        const QString moved = QFileInfo(com(2)).canonicalFilePath();
        QVERIFY(QFile::remove(com(1)));
        QVERIFY(QFile::link(moved, com(1)));
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QCOMPARE(receiver->status().source, moved);
        readings.clear();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 3, kPatience);
        QCOMPARE(noData.count(), 0);
        // Its feeder dies without a goodbye: NoData at once, once; the port is tried every 2 s.
        second.reset();
        QTRY_COMPARE_WITH_TIMEOUT(noData.count(), 1, kPatience);
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        after(*receiver, NmeaReceiver::kRetryIntervalMs);
        QVERIFY2(monitor->lblState->text().startsWith(QLatin1String("Reconnecting every 2 s (2 attempts): COM1")),
            qPrintable(monitor->lblState->text()));
        QCOMPARE(noData.count(), 1);

        // Hiding keeps the window; it goes with the receiver.
        receiver->HideMonitor();
        QVERIFY(!monitor->isVisible());
        const QPointer<nomrel::ReceiverMonitor> window(monitor);
        made.reset();
        QVERIFY(window.isNull());
    }

    // Satellites, HDOP and accuracy of each reading, from a log replayed on a pseudo-terminal: a
    // receiver whose GSA follows the RMC that seemed to end its cycles, then one whose GGA says
    // "00" satellites beside a GNS that counts 11, with its GST given, absurd, missing.
    void qualityOfReplayedCycles()
    {
        QList<QByteArray> log;
        const QByteArray rmc = ",A,5724.7500,N,00611.7600,W,0.5,45.0,061226,,,A";
        for (int second = 0; second < 5; ++second) {
            const QByteArray t = "0458" + QByteArray::number(50 + second) + ".000";
            log << "$GPRMC," + t + rmc;
            if (second >= 2)
                log << "$GPGSA,A,3,09,05,14,26,,,,,,,,,2.9,2.2,1.9";
        }
        const QList<QByteArray> gsts = {"1.2,2.0,1.0,45.0,1.2,1.6,3.1", "1.2,2.0,1.0,45.0,-1.2,1.6,3.1",
            "1.2,2.0,1.0,45.0,1e9,1.6,3.1", "1.2,2.0,1.0,45.0,,1.6,3.1"};
        for (int second = 0; second < 5; ++second) {
            const QByteArray t = "0459" + QByteArray::number(second).rightJustified(2, '0') + ".000";
            log << "$GNGNS," + t + ",5724.7500,N,00611.7600,W,NDD,11,1.3,168.9,52.1,,"
                << "$GNGGA," + t + ",5724.7500,N,00611.7600,W,2,00,1.3,168.9,M,52.1,M,,"
                << "$GNGSA,A,3,01,02,03,04,05,06,,,,,,,2.0,1.3,1.5"
                << "$GNGSA,A,3,65,66,67,68,69,,,,,,,,2.0,1.3,1.5"
                << "$GNRMC," + t + rmc;
            if (second < gsts.size())
                log << "$GNGST," + t + "," + gsts[second];
        }
        QFile file(this->file(QStringLiteral("quality.nmea")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(lines(log)) > 0);
        file.close();
        ToolProcess feeder(QStringLiteral(NOMREL_TOOL),
            {"replay", "--rate", "20", "--folder", mFolder->path(), "--port", "1", file.fileName()});
        QVERIFY(feeder.firstLine().contains(QLatin1String("linked as")));
        auto receiver = makeReceiver();
        QSignalSpy readings(receiver.get(), &NmeaReceiver::NewReading);
        receiver->Start();
        QTRY_VERIFY_WITH_TIMEOUT(readings.count() >= 9, kPatience);
        QStringList seen;
        for (const auto& arguments : readings) {
            const auto reading = arguments.at(0).value<gps::Reading>();
            seen << QString::asprintf("%d %.1f ", reading.satellitesUsed, reading.hdop)
                    + (reading.accuracy ? QString::number(*reading.accuracy, 'f', 2) : QStringLiteral("-"));
        }
        // RMC alone: no HDOP, no accuracy; from HDOP 2.2 at 3 m; from GST, or HDOP 1.3 at 1 m (DGPS).
        QCOMPARE(seen.mid(0, 9),
            (QStringList {"0 0.0 -", "0 0.0 -", "0 0.0 -", "4 2.2 11.42", "4 2.2 11.42", "11 1.3 3.46", "11 1.3 2.25",
                "11 1.3 2.25", "11 1.3 2.25"}));
    }
};

QTEST_MAIN(TestReceiver)
#include "test_receiver.moc"

// XML mode: events kept in the outbox and posted by its sender, to the real
// listener program and to a loopback server that answers as it is told.

#include "core/Driver.h"
#include "core/Outbox.h"
#include "core/OutboxSender.h"
#include "gui/frmOutbox.h"
#include "gui/frmZEPTA.h"
#include "listener/testing/ListenerProcess.h"
#include "nomrel/EventStore.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <optional>

#include <signal.h>

namespace
{

constexpr int kPatience = 20000; // ms; ends a broken run only

// HTTP/1.1 on 127.0.0.1: answers each request with the next scripted status
// (200 when none, 0 never answers), keeps connections open, and stores each
// Idempotency-Key once, as a listener keyed on the event id does.
class ScriptedListener : public QObject
{
public:
    ScriptedListener()
    {
        mServer.listen(QHostAddress::LocalHost);
        connect(&mServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = mServer.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(mServer.serverPort()); }
    QList<int> script;
    QList<QByteArray> retryAfter; // sent with the next 429 or 503 answers
    QList<QByteArray> paths; // of every request received
    QList<qint64> times; // when each arrived, ms
    QList<QByteArray> stored; // event ids, each once

private:
    void read(QTcpSocket* socket)
    {
        QByteArray& buffer = mBuffers[socket];
        buffer += socket->readAll();
        for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            const QString head = QString::fromLatin1(buffer.left(end));
            auto header = [&head](const char* name) {
                const QRegularExpression line(QStringLiteral("^%1:\\s*(\\S+)").arg(QLatin1String(name)),
                    QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
                return line.match(head).captured(1).toLatin1();
            };
            const qsizetype size = end + 4 + header("Content-Length").toInt();
            if (buffer.size() < size)
                return;
            buffer.remove(0, size);
            paths << head.section(QLatin1Char(' '), 1, 1).toLatin1();
            times << mClock.elapsed();
            const int status = script.isEmpty() ? 200 : script.takeFirst();
            if (status == 0)
                return;
            if (status == 200 && !stored.contains(header("Idempotency-Key")))
                stored << header("Idempotency-Key");
            QByteArray extra;
            if ((status == 429 || status == 503) && !retryAfter.isEmpty())
                extra = "Retry-After: " + retryAfter.takeFirst() + "\r\n";
            socket->write(
                "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\nContent-Length: 0\r\n" + extra + "\r\n");
        }
    }

    QTcpServer mServer;
    QHash<QTcpSocket*, QByteArray> mBuffers;
    QElapsedTimer mClock = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
};

// An event object whose XML text does not parse.
struct BrokenEvent : nomrel::EventStore {
    QString XmlText() const override { return QStringLiteral("<GeocodedEvent><Notes>a & b</Notes></GeocodedEvent>"); }
};

} // namespace

class TestOutbox : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    std::optional<Driver::OutboxSender> mSender;
    std::optional<ScriptedMessages> mBoxes;

    void pointAt(const QString& serverIp)
    {
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
        Driver::Set_Parameter_Value(QStringLiteral("SERVER_IP"), serverIp);
    }

    // The program's sender on this folder's outbox, replacing any before;
    // quick back-offs with fixed jitter unless told otherwise.
    void startSender(Driver::OutboxSender::Options options = {20, 80, {}, [] { return 0.5; }})
    {
        mSender.emplace(Driver::outboxPath(), options);
        Driver::setOutboxSender(&*mSender);
        mSender->setUrl(Driver::listenerUrl(), Driver::listenerKey(), Driver::listenerCaFile());
        mSender->start();
    }

    ScriptedMessages& expectSaveFailed()
    {
        mBoxes.emplace().expect(QStringLiteral("Save Failed"));
        return *mBoxes;
    }

    QList<Driver::OutboxStore::Entry> pending() const { return Driver::OutboxStore(Driver::outboxPath()).pending(100); }

    // Saves n events in XML mode; returns their ids in order.
    QList<QByteArray> save(int n, const QString& notes = QStringLiteral("event"))
    {
        QList<QByteArray> ids;
        for (int i = 1; i <= n; ++i) {
            if (!Driver::Save_Event(static_cast<std::int16_t>(i), notes, makeReading(1.0, 2.0)))
                QTest::qFail("an event was not kept", __FILE__, __LINE__);
            ids << pending().last().eventId.toUtf8();
        }
        return ids;
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        mSender.reset();
        Driver::setOutboxSender(nullptr);
        mBoxes.reset();
        frmOutbox::unload();
        frmZEPTA::unload();
        mFolder.reset();
    }

    // Down, then up: each event reaches the real listener once, in order, as
    // built; the window says so once per outage and counts what waits.
    void listenerDownThenUp()
    {
        const quint16 port = [] { // a free port, closed again: connections are refused
            QTcpServer reserve;
            return reserve.listen(QHostAddress::LocalHost) ? reserve.serverPort() : quint16(0);
        }();
        pointAt(QStringLiteral("127.0.0.1:%1").arg(port));
        const QString client = QStringLiteral("crew <7> & \"B\"");
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), client);
        startSender();
        QAction* menu = frmZEPTA::instance().menu_Outbox; // the window tells of an outage
        const ScriptedMessages& boxes = expectSaveFailed();
        const QString notes = QStringLiteral("line one\r\nline 'two' \"quoted\"\n<b>&amp;</b> é ✓");
        const QList<QByteArray> ids = save(3, notes);
        QTRY_VERIFY_WITH_TIMEOUT(pending().value(0).attempts >= 3, kPatience);
        QVERIFY(boxes.allShown());
        // The answer of the first try (curl's text names the milliseconds it took).
        QCOMPARE(boxes.last().text.section(QStringLiteral(" after "), 0, 0),
            QStringLiteral("Unable to save event via XML to: http://127.0.0.1:%1/Zepta/listener.asp\r\nThe event is "
                           "kept and will be sent when the listener answers (%2")
                .arg(port)
                .arg(pending().value(0).lastAnswer.section(QStringLiteral(" after "), 0, 0)));
        QTRY_COMPARE(menu->text(), QStringLiteral("&Outbox (3 waiting)..."));

        ListenerProcess listener({QStringLiteral("--port"), QString::number(port)});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        QTRY_COMPARE_WITH_TIMEOUT(listener.records().size(), 3, kPatience);
        const QList<listener::Record> records = listener.records();
        QCOMPARE((QList<QByteArray> {records[0].eventId, records[1].eventId, records[2].eventId}), ids);
        QCOMPARE(records[0].path, QByteArray("/Zepta/listener.asp"));
        QVERIFY(records[1].body.startsWith(R"(<?xml version="1.0"?><Zepta><GeocodedEvent><EventId>)"));
        QDomDocument parsed;
        QVERIFY(parsed.setContent(records[2].body));
        QCOMPARE(parsed.documentElement().childNodes().size(), 1);
        const QDomElement event = parsed.documentElement().firstChildElement(QStringLiteral("GeocodedEvent"));
        QCOMPARE(event.firstChildElement(QStringLiteral("ClientId")).text(), client);
        QCOMPARE(event.firstChildElement(QStringLiteral("Notes")).text(), notes);
        QTRY_COMPARE(menu->text(), QStringLiteral("&Outbox..."));
        QCOMPARE(mSender->counts().sent, 3);
        QCOMPARE(Driver::Count_Saved_Events(), 0);

        BrokenEvent broken;
        expectSaveFailed();
        QVERIFY(!Driver::Save_Event_XML(broken));
        QVERIFY(mBoxes->last().text.startsWith(QStringLiteral("Unable to save event via XML to: \r\n")));
        // Nothing kept of it; the three sent are marked in the file by the sender's next commit.
        QTRY_COMPARE_WITH_TIMEOUT(pending().size(), 0, kPatience);
    }

    // A silent listener (ended by the time-out), 429 and 5xx are one outage,
    // tried again; a 400 waits for a new address. Nothing waits on a hang.
    void answersDecideWhatHappens()
    {
        ScriptedListener listener;
        listener.script = {0, 500, 429, 200, 400};
        pointAt(listener.address());
        startSender({20, 80, {10000, 300}, [] { return 0.5; }});
        frmZEPTA::instance();
        ScriptedMessages& boxes = expectSaveFailed();
        QDeadlineTimer soon(2000);
        const QList<QByteArray> first = save(1);
        QCOMPARE_GT(soon.remainingTime(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored, first, kPatience);
        QCOMPARE(listener.paths.size(), 4);
        QVERIFY2(boxes.last().text.contains(QLatin1String("timed out")), qPrintable(boxes.last().text));

        boxes.expect(QStringLiteral("Save Failed")); // the 400: a new outage
        save(1);
        QTRY_COMPARE_WITH_TIMEOUT(mSender->counts().attention, 1, kPatience);
        QTRY_COMPARE(boxes.shown().size(), 2);
        QVERIFY(boxes.last().text.endsWith(
            QStringLiteral("The listener refused the event (HTTP/1.1 400 Scripted); it is kept in View > Outbox "
                           "until you retry it.")));
        QTest::qWait(200); // many back-offs: no other try
        QCOMPARE(listener.paths.size(), 5);
        mSender->setUrl(QStringLiteral("http://%1/other").arg(listener.address()));
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored.size(), 2, kPatience);
        QCOMPARE(listener.paths.last(), QByteArray("/other"));
        QCOMPARE(mSender->counts().attention, 0);

        listener.script = {0};
        startSender({}); // the program's own time-outs: 30 s
        save(1);
        QTRY_COMPARE_WITH_TIMEOUT(listener.paths.size(), 7, kPatience);
        soon.setRemainingTime(2000);
        mSender->stop();
        QCOMPARE_GT(soon.remainingTime(), 0);
        QCOMPARE(pending().size(), 1);
    }

    // An https:// address is posted to by TLS: a certificate the system does
    // not trust keeps the event waiting and says so, never falling back to
    // plain HTTP. A keyed listener's 401 puts the event in "needs attention"
    // with the reason, said once.
    void certificatesAndKeys()
    {
        QTemporaryDir dir;
        const QString made = listener_test::makeCertificates(dir.path());
        QVERIFY2(made.isEmpty(), qPrintable(made));
        ListenerProcess secure({QStringLiteral("--tls-cert"), dir.filePath(QStringLiteral("server.pem")),
            QStringLiteral("--tls-key"), dir.filePath(QStringLiteral("server.key"))});
        QVERIFY2(secure.isRunning(), qPrintable(secure.error()));
        pointAt(QStringLiteral("https://") + secure.serverAddress());
        QCOMPARE(Driver::listenerUrl(), QStringLiteral("https://%1/Zepta/listener.asp").arg(secure.serverAddress()));
        // A database older than the key and CA file settings: no rows, no box.
        mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME IN "
                                                "('LISTENER_KEY', 'LISTENER_CA_FILE')"));
        std::optional<ScriptedMessages> quiet(std::in_place);
        startSender();
        save(1);
        QTRY_VERIFY_WITH_TIMEOUT(pending().value(0).attempts >= 2, kPatience);
        QVERIFY2(pending().value(0).lastAnswer.startsWith(QStringLiteral("certificate not trusted: ")),
            qPrintable(pending().value(0).lastAnswer));
        QCOMPARE(secure.records().size(), 0);
        QCOMPARE(mSender->counts().attention, 0);
        // The office's own certificate authority, named in LISTENER_CA_FILE.
        Driver::Save_Parameter_Value(QStringLiteral("LISTENER_CA_FILE"), dir.filePath(QStringLiteral("ca.pem")));
        startSender();
        QTRY_COMPARE_WITH_TIMEOUT(secure.records().size(), 1, kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(pending().size(), 0, kPatience);
        QCOMPARE(quiet->shown().size(), 0);
        quiet.reset();

        const QString out = dir.filePath(QStringLiteral("events.log"));
        const listener_test::Run added
            = listener_test::crews({QStringLiteral("add"), QStringLiteral("north"), QStringLiteral("--out"), out});
        QCOMPARE(added.status, 0);
        const QString key = QString::fromLatin1(added.out.trimmed().split('\n').last());
        QVERIFY(Driver::isCrewKeyText(key));
        ListenerProcess keyed({QStringLiteral("--out"), out}, true);
        QVERIFY2(keyed.isRunning(), qPrintable(keyed.error()));
        pointAt(keyed.serverAddress());
        const auto stored = [&out] {
            QFile file(out);
            return file.open(QIODevice::ReadOnly) ? listener::parseRecords(file.readAll()) : QList<listener::Record>();
        };
        // Without a key, and with another crew's key: refused, the event needs
        // attention, said once, the key nowhere in what the user is told.
        Driver::Save_Parameter_Value(QStringLiteral("LISTENER_CA_FILE"), QString());
        for (const QString& wrong : {QString(), QString(key).replace(0, 4, QStringLiteral("AAAA"))}) {
            Driver::Save_Parameter_Value(QStringLiteral("LISTENER_KEY"), wrong);
            ScriptedMessages& boxes = expectSaveFailed();
            Driver::setOutboxSender(nullptr); // the window lets go of the sender it follows
            frmZEPTA::instance().Update_Outbox_per_Options();
            startSender();
            frmZEPTA::instance().Update_Outbox_per_Options();
            if (wrong.isEmpty())
                save(1);
            else
                mSender->retryNow(); // the event set aside, tried with this key
            QTRY_VERIFY_WITH_TIMEOUT(boxes.allShown(), kPatience);
            QCOMPARE(mSender->counts().attention, 1);
            QVERIFY2(boxes.last().text.endsWith(QLatin1String("\r\nThe listener refused this crew's key. The event is "
                                                              "kept in View > Outbox and sent again when the key is "
                                                              "corrected in File > Configure.")),
                qPrintable(boxes.last().text));
            QVERIFY(!boxes.last().text.contains(key.left(8)));
            QCOMPARE(pending().value(0).lastAnswer, QStringLiteral("the listener refused this crew's key"));
        }
        QCOMPARE(stored().size(), 0);
        // The crew's own key, saved in Configure, reaches the event set aside.
        Driver::Save_Parameter_Value(QStringLiteral("LISTENER_KEY"), key);
        frmZEPTA::instance().Update_Outbox_per_Options();
        QTRY_COMPARE_WITH_TIMEOUT(stored().size(), 1, kPatience);
        QCOMPARE(stored().value(0).crew, QByteArray("north"));
        QTRY_COMPARE_WITH_TIMEOUT(pending().size(), 0, kPatience);
        QVERIFY(!keyed.log().contains(key.left(8).toLatin1()));
    }

    // Retry-After (seconds, a date) on 429 and 503 is honoured up to the longest back-off; a new
    // address is tried at once, not after the back-off under way.
    void listenerSaysWhenToComeBack()
    {
        ScriptedListener listener;
        listener.script = {429, 503, 429, 200, 500};
        listener.retryAfter = {"1",
            QLocale::c()
                .toString(QDateTime::currentDateTimeUtc().addSecs(3), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"))
                .toLatin1(),
            "100"};
        pointAt(listener.address());
        startSender({20, 2500, {}, [] { return 0.5; }});
        frmZEPTA::instance();
        expectSaveFailed();
        save(1);
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored.size(), 1, kPatience);
        const QList<qint64>& t = listener.times;
        QCOMPARE_GE(t[1] - t[0], 1000);
        QCOMPARE_GE(t[2] - t[1], 1000);
        QCOMPARE_GE(t[3] - t[2], 2400); // 100 s asked, 2.5 s the longest
        QCOMPARE_LT(t[3] - t[2], 20000);

        startSender({10000, 60000, {}, [] { return 0.5; }}); // the window follows the first
        save(1);
        QTRY_COMPARE_WITH_TIMEOUT(listener.paths.size(), 5, kPatience); // the 500: 10 s to wait
        mSender->setUrl(QStringLiteral("http://%1/other").arg(listener.address()));
        QTRY_COMPARE_WITH_TIMEOUT(listener.paths.size(), 6, 5000);
        QCOMPARE(listener.paths.last(), QByteArray("/other"));
    }

    // An outbox that cannot be written stops the sending (what was posted cannot be marked sent),
    // says so once, and goes on when it can be written, posting nothing twice.
    void unwritableOutboxStopsSending()
    {
        ScriptedListener listener;
        pointAt(listener.address());
        save(3); // no sender here: only kept
        if (!mFolder->makeReadOnly(Driver::outboxPath()))
            QSKIP("this file system cannot make a file read-only for root");
        ScriptedMessages& boxes = expectSaveFailed();
        startSender(); // the waiting event goes to the new address
        frmZEPTA::instance(); // follows the sender
        QTRY_VERIFY_WITH_TIMEOUT(boxes.allShown(), kPatience);
        QCOMPARE(boxes.last().text,
            QStringLiteral("Unable to save event via XML to: %1\r\nThe outbox %2 cannot be written: the file or its "
                           "folder is read-only. Sending waits until it can be; every event is kept.")
                .arg(Driver::listenerUrl(), Driver::outboxPath()));
        frmOutbox::instance().Show_Outbox();
        QVERIFY2(frmOutbox::instance().lblCounts->text().endsWith(
                     "\nSending waits: the outbox cannot be written (the file or its folder is read-only)."),
            qPrintable(frmOutbox::instance().lblCounts->text()));
        QTest::qWait(300); // many retry periods
        QCOMPARE(listener.paths.size(), 3);
        mFolder->makeWritable(Driver::outboxPath());
        QTRY_COMPARE_WITH_TIMEOUT(Driver::OutboxStore(Driver::outboxPath()).counts().sent, 3, kPatience);
        QTRY_VERIFY(mSender->stalled().isEmpty());
        QCOMPARE(listener.paths.size(), 3);
    }

    // An outbox that cannot be written fails the save with the reason. Killed
    // mid-post after the listener kept the event, then started again: the
    // listener, keyed on the id, keeps each once, and none is lost.
    void killedWhilePostingLosesNothing()
    {
        ScriptedListener listener;
        listener.script = {200, 200, 0}; // the third is kept but never answered
        pointAt(listener.address());
        const QList<QByteArray> ids = save(5); // no sender here: only kept
        const bool readOnly = mFolder->makeReadOnly(Driver::outboxPath());
        if (readOnly) {
            const ScriptedMessages& boxes = expectSaveFailed();
            QVERIFY(!Driver::Save_Event(9, QStringLiteral("lost?"), makeReading(1.0, 2.0)));
            const QString text = boxes.last().text;
            QVERIFY2(text.startsWith(QStringLiteral("Unable to save event via XML to: http://%1/Zepta/listener.asp\r\n")
                                         .arg(listener.address())),
                qPrintable(text));
            QVERIFY2(text.endsWith(QStringLiteral("\r\nThe event could not be kept in the outbox %1: the file or its "
                                                  "folder is read-only.")
                                       .arg(Driver::outboxPath())),
                qPrintable(text));
            mFolder->makeWritable(Driver::outboxPath());
        }
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedChannels);
        const QStringList arguments = {Driver::outboxPath(), Driver::listenerUrl()};
        probe.start(QStringLiteral(OUTBOX_PROBE), arguments);
        QTRY_COMPARE_WITH_TIMEOUT(listener.paths.size(), 3, kPatience);
        ::kill(static_cast<pid_t>(probe.processId()), SIGKILL);
        QVERIFY(probe.waitForFinished(kPatience));
        const qsizetype waiting = pending().size(); // sent in order, marked in order
        QCOMPARE_GE(waiting, 3); // the unanswered one is not marked sent

        probe.start(QStringLiteral(OUTBOX_PROBE), arguments);
        // The listener answers from this thread's event loop: no blocking wait.
        QTRY_COMPARE_WITH_TIMEOUT(probe.state(), QProcess::NotRunning, kPatience);
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(listener.stored, ids);
        QCOMPARE(listener.paths.size(), 3 + waiting); // what was not marked went again
        QCOMPARE(Driver::OutboxStore(Driver::outboxPath()).counts().sent, 5);
        if (!readOnly)
            QSKIP("this file system cannot make a file read-only for root");
    }
};

QTEST_MAIN(TestOutbox)
#include "test_outbox.moc"

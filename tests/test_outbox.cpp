// XML mode: events kept in the outbox and posted by its sender, against the
// real listener program and a loopback server of the test's own that answers
// as it is told (refuse, hang, 500, 400, 200) and keeps each event id once.

#include "ListenerProcess.h"
#include "core/Driver.h"
#include "core/Outbox.h"
#include "core/OutboxSender.h"
#include "gui/frmZEPTA.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"

#include <QAction>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <optional>

#include <signal.h>

namespace
{

constexpr int kPatience = 20000; // ms; ends a broken run only

// An HTTP/1.1 server on 127.0.0.1 that answers each request as scripted (the
// default is 200), keeps connections open, and keeps each event id once, as
// a listener keyed on the id does.
class ScriptedListener : public QObject
{
public:
    struct Request {
        QByteArray path;
        QByteArray idempotencyKey;
        QByteArray body;
    };

    explicit ScriptedListener(quint16 port = 0)
    {
        mServer.listen(QHostAddress::LocalHost, port);
        connect(&mServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = mServer.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }
    quint16 port() const { return mServer.serverPort(); }
    // The statuses to answer, in turn; 0 holds the answer back (a listener
    // that accepts and never answers).
    QList<int> script;
    QList<Request> received;
    QList<QByteArray> stored; // event ids, each once

private:
    void read(QTcpSocket* socket)
    {
        QByteArray& buffer = mBuffers[socket];
        buffer += socket->readAll();
        for (;;) {
            const int end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = buffer.left(end);
            QByteArray length;
            Request request;
            request.path = head.split(' ').value(1);
            for (const QByteArray& line : head.split('\n')) {
                const int colon = line.indexOf(':');
                const QByteArray name = line.left(colon).trimmed().toLower();
                if (name == "content-length")
                    length = line.mid(colon + 1).trimmed();
                else if (name == "idempotency-key")
                    request.idempotencyKey = line.mid(colon + 1).trimmed();
            }
            if (buffer.size() < end + 4 + length.toInt())
                return;
            request.body = buffer.mid(end + 4, length.toInt());
            buffer.remove(0, end + 4 + length.toInt());
            received << request;
            const int status = script.isEmpty() ? 200 : script.takeFirst();
            if (status == 0)
                return;
            if (status == 200 && !stored.contains(request.idempotencyKey))
                stored << request.idempotencyKey;
            socket->write("HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\nContent-Length: 0\r\n\r\n");
        }
    }

    QTcpServer mServer;
    QHash<QTcpSocket*, QByteArray> mBuffers;
};

Driver::OutboxSender::Options quickOptions()
{
    Driver::OutboxSender::Options options;
    options.firstRetryMs = 20;
    options.longestRetryMs = 80;
    options.random = [] { return 0.5; };
    return options;
}

// An event object whose XML text does not parse.
class BrokenEvent : public gps::EventObject
{
public:
    void setClientId(const QString&) override { }
    void setEventType(std::int16_t) override { }
    void setNotes(const QString&) override { }
    void setReading(const gps::Reading&) override { }
    std::int32_t Store() override { return 0; }
    QString XmlText() const override { return QStringLiteral("<GeocodedEvent><Notes>a & b</Notes></GeocodedEvent>"); }
    QString EventId() const override { return QStringLiteral("broken"); }
};

} // namespace

class TestOutbox : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;
    std::optional<Driver::OutboxSender> mSender;

    void pointAt(const QString& serverIp)
    {
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
        Driver::Set_Parameter_Value(QStringLiteral("SERVER_IP"), serverIp);
    }

    // The sender of the program, on this folder's outbox.
    Driver::OutboxSender& startSender(Driver::OutboxSender::Options options = quickOptions())
    {
        mSender.emplace(Driver::outboxPath(), options);
        Driver::setOutboxSender(&*mSender);
        mSender->setUrl(Driver::listenerUrl());
        mSender->start();
        return *mSender;
    }

    QList<Driver::OutboxStore::Entry> pending() const { return Driver::OutboxStore(Driver::outboxPath()).pending(100); }

    // Saves events 1..n in XML mode; returns their ids in order.
    QList<QByteArray> save(int n)
    {
        QList<QByteArray> ids;
        for (int i = 1; i <= n; ++i) {
            if (!Driver::Save_Event(
                    static_cast<std::int16_t>(i), QStringLiteral("event %1").arg(i), makeReading(1.0, 2.0)))
                QTest::qFail("an event was not kept", __FILE__, __LINE__);
            ids << pending().last().eventId.toUtf8();
        }
        return ids;
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        if (mSender)
            mSender->stop();
        Driver::setOutboxSender(nullptr);
        frmZEPTA::unload();
        mSender.reset();
        mFolder.reset();
    }

    // Each event reaches the real listener as one document, exactly as
    // built, with its id in the header too; the outbox is not the event
    // database. A document that does not parse is never kept.
    void eachEventArrivesAsOneDocument()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        pointAt(listener.serverAddress());
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew <7> & \"B\""));
        startSender();
        const QString notes = QStringLiteral("line one\r\nline 'two' \"quoted\"\n<b>&amp;</b> é ✓");
        QVERIFY(Driver::Save_Event(17, notes, makeReading(-33.8688197, 151.2092955, 12.5)));
        QVERIFY(Driver::Save_Event(18, QString(), makeReading(1.0, 2.0)));
        QTRY_COMPARE_WITH_TIMEOUT(listener.records().size(), 2, kPatience);
        QCOMPARE(Driver::Count_Saved_Events(), 0);

        const QList<listener::Record> records = listener.records();
        QCOMPARE(records[0].path, QByteArray("/Zepta/listener.asp"));
        QVERIFY(records[1].body.startsWith(R"(<?xml version="1.0"?><Zepta><GeocodedEvent><EventId>)"));
        QDomDocument parsed;
        QVERIFY(parsed.setContent(records[0].body));
        const QDomElement event = parsed.documentElement().firstChildElement(QStringLiteral("GeocodedEvent"));
        QCOMPARE(parsed.documentElement().childNodes().size(), 1);
        QCOMPARE(event.firstChildElement(QStringLiteral("EventId")).text().toUtf8(), records[0].eventId);
        QCOMPARE(event.firstChildElement(QStringLiteral("EventTypeId")).text(), QStringLiteral("17"));
        QCOMPARE(event.firstChildElement(QStringLiteral("ClientId")).text(), QStringLiteral("crew <7> & \"B\""));
        QCOMPARE(event.firstChildElement(QStringLiteral("Notes")).text(), notes);
        QTRY_COMPARE(mSender->counts().sent, 2);

        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        BrokenEvent broken;
        QVERIFY(!Driver::Save_Event_XML(broken));
        QVERIFY(boxes.last().text.startsWith(QStringLiteral("Unable to save event via XML to: \r\n")));
        QCOMPARE(pending().size(), 0);
    }

    // Down, then up: every event arrives once, in order; the window says so
    // once for the whole outage and counts what waits.
    void listenerDownThenUp()
    {
        quint16 port = 0;
        {
            QTcpServer reserve; // a free port, closed again: connections are refused
            QVERIFY(reserve.listen(QHostAddress::LocalHost, 0));
            port = reserve.serverPort();
        }
        pointAt(QStringLiteral("127.0.0.1:%1").arg(port));
        startSender();
        frmZEPTA& window = frmZEPTA::instance();
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        const QList<QByteArray> ids = save(3);
        QTRY_VERIFY_WITH_TIMEOUT(pending().value(0).attempts >= 3, kPatience);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().text,
            QStringLiteral("Unable to save event via XML to: http://127.0.0.1:%1/Zepta/listener.asp\r\nThe event is "
                           "kept and will be sent when the listener answers (%2).")
                .arg(port)
                .arg(pending().value(0).lastAnswer));
        QTRY_COMPARE(window.menu_Outbox->text(), QStringLiteral("&Outbox (3 waiting)..."));

        ScriptedListener listener(port);
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored, ids, kPatience);
        QTRY_COMPARE(window.menu_Outbox->text(), QStringLiteral("&Outbox..."));
        QCOMPARE(mSender->counts().sent, 3);
        QCOMPARE(listener.received.size(), 3); // one connection, kept
    }

    // 408, 429 and 5xx are tried again after a back-off; another 4xx sets the
    // event aside until the address changes or the user asks.
    void answersDecideWhatHappens()
    {
        ScriptedListener listener;
        listener.script = {500, 429, 200, 400};
        pointAt(QStringLiteral("127.0.0.1:%1").arg(listener.port()));
        startSender();
        frmZEPTA::instance(); // it tells the user
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed")); // the 500: one outage
        const QList<QByteArray> first = save(1);
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored, first, kPatience);
        QCOMPARE(listener.received.size(), 3);

        boxes.expect(QStringLiteral("Save Failed")); // the 400: a new one
        save(1);
        QTRY_COMPARE_WITH_TIMEOUT(mSender->counts().attention, 1, kPatience);
        QTRY_COMPARE(boxes.shown().size(), 2);
        QVERIFY(boxes.last().text.endsWith(
            QStringLiteral("The listener refused the event (HTTP/1.1 400 Scripted); it is kept in File > Outbox "
                           "until you retry it.")));
        QTest::qWait(200); // many back-offs: no other try
        QCOMPARE(listener.received.size(), 4);

        mSender->setUrl(QStringLiteral("http://127.0.0.1:%1/other").arg(listener.port()));
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored.size(), 2, kPatience);
        QCOMPARE(listener.received.last().path, QByteArray("/other"));
        QCOMPARE(mSender->counts().attention, 0);
        QVERIFY(boxes.allShown());
    }

    // A listener that accepts and never answers holds nobody: the save
    // returns at once, the attempt ends by its time-out, and stopping (as at
    // exit) does not wait for it.
    void hangingListenerBlocksNothing()
    {
        ScriptedListener listener;
        listener.script = {0, 0, 0};
        pointAt(QStringLiteral("127.0.0.1:%1").arg(listener.port()));
        auto options = quickOptions();
        options.timeouts.totalMs = 300;
        startSender(options);
        frmZEPTA::instance();
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        QElapsedTimer clock;
        clock.start();
        save(1);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(listener.received.size() >= 2, kPatience); // timed out, tried again
        QVERIFY(pending().value(0).lastAnswer.contains(QLatin1String("timed out")));

        mSender->stop();
        mSender.emplace(Driver::outboxPath()); // the program's own time-outs: 30 s
        mSender->setUrl(Driver::listenerUrl());
        mSender->start();
        QTRY_VERIFY_WITH_TIMEOUT(listener.received.size() >= 3, kPatience);
        clock.restart();
        mSender->stop();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(pending().size(), 1); // still waiting
    }

    // Killed in the middle of a post after the listener kept the event:
    // started again, it sends that event again and the rest; the listener,
    // keyed on the id, keeps each once, and none is lost.
    void killedWhilePostingLosesNothing()
    {
        ScriptedListener listener;
        listener.script = {200, 200, 0}; // the third is kept but never answered
        pointAt(QStringLiteral("127.0.0.1:%1").arg(listener.port()));
        const QList<QByteArray> ids = save(5); // no sender here: only kept
        QCOMPARE(pending().size(), 5);

        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedChannels);
        const QStringList arguments = {Driver::outboxPath(), Driver::listenerUrl()};
        probe.start(QStringLiteral(OUTBOX_PROBE), arguments);
        QTRY_COMPARE_WITH_TIMEOUT(listener.received.size(), 3, kPatience);
        ::kill(static_cast<pid_t>(probe.processId()), SIGKILL);
        QVERIFY(probe.waitForFinished(kPatience));
        QList<QByteArray> waiting;
        for (const auto& entry : pending())
            waiting << entry.eventId.toUtf8();
        QVERIFY(waiting.contains(ids.at(2))); // the unanswered one is not marked sent

        probe.start(QStringLiteral(OUTBOX_PROBE), arguments);
        // The listener answers from this thread's event loop: no blocking wait.
        QTRY_COMPARE_WITH_TIMEOUT(probe.state(), QProcess::NotRunning, kPatience);
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(listener.stored, ids);
        QCOMPARE(listener.received.size(), 3 + waiting.size()); // what was not marked went again
        QCOMPARE(Driver::OutboxStore(Driver::outboxPath()).counts().sent, 5);
    }

    // An outbox that cannot be written fails the save with the reason, and
    // nothing is posted.
    void unwritableOutboxFailsTheSave()
    {
        ScriptedListener listener;
        pointAt(QStringLiteral("127.0.0.1:%1").arg(listener.port()));
        save(1); // the outbox is made
        if (!mFolder->makeReadOnly(Driver::outboxPath()))
            QSKIP("this file system cannot make a file read-only for root");
        startSender();
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        QVERIFY(!Driver::Save_Event(9, QStringLiteral("lost?"), makeReading(1.0, 2.0)));
        QVERIFY2(boxes.last().text.startsWith(
                     QStringLiteral("Unable to save event via XML to: http://127.0.0.1:%1/Zepta/listener.asp\r\n")
                         .arg(listener.port())),
            qPrintable(boxes.last().text));
        QVERIFY2(boxes.last().text.contains(QLatin1String("readonly")), qPrintable(boxes.last().text));
        mFolder->makeWritable(Driver::outboxPath());
        QTRY_COMPARE_WITH_TIMEOUT(listener.stored.size(), 1, kPatience);
        QCOMPARE(listener.received.size(), 1);
    }
};

QTEST_MAIN(TestOutbox)
#include "test_outbox.moc"

// zepta-listener as a real process on 127.0.0.1: its answers, keep-alive
// beside slow and crowding clients, and the file sink keeping each event id
// once across crashes and restarts. The documents are the receiver
// component's own, as Zepta posts them.

#include "ListenerProcess.h"
#include "tools/listener_core.h"

#include <QFile>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

using namespace listener_test;

const QString kAwkwardNotes = QStringLiteral("it's \"quoted\"\r\n'); DROP TABLE zepta.events; --\t<&> é ✓");

class TestListener : public QObject
{
    Q_OBJECT

    std::optional<ListenerProcess> mListener;

private slots:
    void initTestCase()
    {
        mListener.emplace(QStringList {QStringLiteral("--max-body"), QStringLiteral("4096")});
        QVERIFY2(mListener->isRunning(), qPrintable(mListener->error()));
    }

    // The document Zepta writes is read back field by field.
    void readsTheEventZeptaWrites()
    {
        QByteArray id;
        QString reason;
        const std::optional<listener::Event> event = listener::parseEvent(eventDocument(&id, kAwkwardNotes), &reason);
        QVERIFY2(event, qPrintable(reason));
        QCOMPARE(event->eventId, id);
        QCOMPARE(event->clientId, QStringLiteral("crew <7>"));
        QCOMPARE(event->eventTypeId, 103);
        QCOMPARE(event->notes, kAwkwardNotes);
        QCOMPARE(event->gmt, QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC));
        QCOMPARE(event->latitude, 57.4125);
        QCOMPARE(event->longitude, -6.196);
        QCOMPARE(event->hdop, 1.2);
        QCOMPARE(event->satellites, 7);
        QCOMPARE(event->locked, true);

        // Empty optional elements are Null, not zero.
        QByteArray sparse = eventDocument();
        sparse.replace("<Altitude>96.5</Altitude>", "<Altitude></Altitude>")
            .replace("<Gmt>2026-12-06T07:30:15Z</Gmt>", "<Gmt/>");
        const std::optional<listener::Event> partial = listener::parseEvent(sparse, &reason);
        QVERIFY2(partial, qPrintable(reason));
        QCOMPARE(partial->altitude, std::nullopt);
        QCOMPARE(partial->gmt, std::nullopt);
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("sends");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("stored");

        QByteArray id;
        const QByteArray event = eventDocument(&id);
        QTest::newRow("event") << postRequest(eventDocument()) << 1 << 200 << 1;
        QTest::newRow("repeat") << postRequest(eventDocument()) << 3 << 200 << 1;
        QTest::newRow("key agrees") << postRequest(event, {{"Idempotency-Key", "{" + id.toUpper() + "}"}}) << 1 << 200
                                    << 1;
        QTest::newRow("key disagrees") << postRequest(eventDocument(), {{"Idempotency-Key", id}}) << 1 << 400 << 0;
        QTest::newRow("not well-formed") << postRequest(eventDocument().replace("</Notes>", "")) << 1 << 400 << 0;
        QTest::newRow("other root") << postRequest(eventDocument().replace("Zepta>", "Other>")) << 1 << 400 << 0;
        QTest::newRow("no event id") << postRequest(eventDocument().replace("EventId>", "Id>")) << 1 << 400 << 0;
        QTest::newRow("id not a UUID") << postRequest(eventDocument().replace("<EventId>", "<EventId>x")) << 1 << 400
                                       << 0;
        QTest::newRow("no coordinates") << postRequest(eventDocument().replace("<Latitude>57.4125000</Latitude>", ""))
                                        << 1 << 400 << 0;
        QTest::newRow("latitude out of range") << postRequest(eventDocument(nullptr, {}, 91.0)) << 1 << 400 << 0;
        const QByteArray declaration = "<?xml version=\"1.0\"?>";
        QByteArray external = eventDocument();
        external.insert(declaration.size(), "<!DOCTYPE Zepta [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>");
        QTest::newRow("external entity") << postRequest(external.replace("<Notes></Notes>", "<Notes>&x;</Notes>")) << 1
                                         << 400 << 0;
        QByteArray laughs = eventDocument();
        laughs.insert(declaration.size(),
            "<!DOCTYPE Zepta [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
            "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>");
        QTest::newRow("entity expansion")
            << postRequest(laughs.replace("<Notes></Notes>", "<Notes>&c;</Notes>")) << 1 << 400 << 0;
        QTest::newRow("undeclared entity")
            << postRequest(eventDocument().replace("<Notes></Notes>", "<Notes>&x;</Notes>")) << 1 << 400 << 0;
        QTest::newRow("not a POST") << QByteArray("GET /Zepta/listener.asp HTTP/1.1\r\nHost: x\r\n\r\n") << 1 << 405
                                    << 0;
        QTest::newRow("no length") << QByteArray("POST /x HTTP/1.1\r\nHost: x\r\n\r\n") << 1 << 411 << 0;
        QTest::newRow("two lengths") << QByteArray(
            "POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde")
                                     << 1 << 400 << 0;
        // Only the head is sent: the answer must not wait for the body.
        QTest::newRow("body too large") << QByteArray("POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 4097\r\n\r\n")
                                        << 1 << 413 << 0;
        // Not HTTP at all: the library closes the connection without a word.
        QTest::newRow("not HTTP") << QByteArray("BROKEN\r\n\r\n") << 1 << 0 << 0;
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, sends);
        QFETCH(int, status);
        QFETCH(int, stored);
        const qsizetype before = mListener->records().size();
        for (int i = 0; i < sends; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, mListener->port());
            QVERIFY(socket.waitForConnected(15000));
            const HttpAnswer answer = exchange(socket, request);
            QCOMPARE(answer.status, status);
            if (status == 405)
                QCOMPARE(answer.header("Allow"), QByteArray("POST"));
            if (status == 400 && request.startsWith("POST /Zepta"))
                QVERIFY2(answer.body.size() > 10, answer.body.constData()); // says why
        }
        const QList<listener::Record> records = mListener->records();
        QCOMPARE(records.size() - before, stored);
        if (stored == 1) {
            QCOMPARE(records.last().body, request.mid(request.indexOf("\r\n\r\n") + 4));
            QCOMPARE(records.last().path, QByteArray("/Zepta/listener.asp"));
        }
    }

    // A crowd of clients that send a request line and then drip one byte at a
    // time, from one address, holds up neither a normal client (served over
    // one kept-alive connection) nor the listener: those over the per-address
    // cap are turned away, the rest cut off at the request deadline although
    // they are never idle long enough for the idle time-out.
    void slowClientsHoldUpNobody()
    {
        ListenerProcess listener(
            {QStringLiteral("--request-deadline"), QStringLiteral("3"), QStringLiteral("--idle-timeout"),
                QStringLiteral("2"), QStringLiteral("--max-per-address"), QStringLiteral("40")});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        int closed = 0;
        for (int i = 0; i < 200; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            QVERIFY(socket->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            connect(socket.get(), &QTcpSocket::disconnected, this, [&closed] { ++closed; });
            connect(socket.get(), &QTcpSocket::connected, socket.get(),
                [s = socket.get()] { s->write("POST / HTTP/1.1\r\n"); });
            socket->connectToHost(QHostAddress::LocalHost, listener.port());
            slow.push_back(std::move(socket));
        }
        QTimer drip;
        connect(&drip, &QTimer::timeout, this, [&slow] {
            for (const auto& socket : slow)
                if (socket->state() == QAbstractSocket::ConnectedState)
                    socket->write("X");
        });
        drip.start(500);

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.port());
        QVERIFY(client.waitForConnected(15000));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(exchange(client, postRequest(eventDocument())).status, 200);
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE_WITH_TIMEOUT(closed, 200, 20000);
        QCOMPARE(listener.records().size(), 3);
    }

    // The cap on connections from one address turns away only the surplus.
    void capsConnectionsPerAddress()
    {
        ListenerProcess listener({QStringLiteral("--max-per-address"), QStringLiteral("3")});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < 4; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(sockets.back()->bind(QHostAddress(QStringLiteral("127.0.0.3"))));
            sockets.back()->connectToHost(QHostAddress::LocalHost, listener.port());
            QVERIFY(sockets.back()->waitForConnected(15000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(sockets[3]->state(), QAbstractSocket::UnconnectedState, 15000);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(sockets[i]->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(exchange(*sockets[0], postRequest(eventDocument())).status, 200);
    }

    // The --out file holds each id once, across a crash (kill -9) that left a
    // record half written and a restart; a second listener cannot share it,
    // and a file that is not one of records is refused, never overwritten.
    void fileSinkKeepsEachIdOnce()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("events.log"));
        QByteArray a;
        QByteArray b;
        QByteArray c;
        const QByteArray documentA = eventDocument(&a, kAwkwardNotes);
        const QByteArray documentB = eventDocument(&b);
        const QByteArray documentC = eventDocument(&c);
        {
            ListenerProcess first({QStringLiteral("--out"), out});
            QVERIFY2(first.isRunning(), qPrintable(first.error()));
            for (const QByteArray* document : {&documentA, &documentB, &documentA})
                QCOMPARE(postTo(first.port(), *document).status, 200);
            first.kill();
        }
        {
            QFile file(out);
            QVERIFY(file.open(QIODevice::Append));
            file.write("2026-12-06T07:30:15.000Z /Zepta/listener.asp 480 " + c + "\n<?xml version=");
        }
        ListenerProcess second({QStringLiteral("--out"), out});
        QVERIFY2(second.isRunning(), qPrintable(second.error()));
        QVERIFY2(second.log().contains("cut off an unfinished record"), second.log().constData());
        QCOMPARE(postTo(second.port(), documentA).status, 200);
        QCOMPARE(postTo(second.port(), documentC).status, 200);
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        bool complete = false;
        const QList<listener::Record> records = listener::parseRecords(file.readAll(), &complete);
        QVERIFY(complete);
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[0].eventId, a);
        QCOMPARE(records[0].body, documentA);
        QCOMPARE(records[1].eventId, b);
        QCOMPARE(records[2].eventId, c);

        ListenerProcess sharing({QStringLiteral("--out"), out});
        QVERIFY(!sharing.isRunning());
        QVERIFY2(sharing.error().contains(QStringLiteral("in use")), qPrintable(sharing.error()));

        const QString foreign = dir.filePath(QStringLiteral("notes.txt"));
        QFile notes(foreign);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("shopping list\nmilk\n");
        notes.close();
        ListenerProcess refused({QStringLiteral("--out"), foreign});
        QVERIFY(!refused.isRunning());
        QVERIFY2(refused.error().contains(QStringLiteral("not a file of zepta-listener records")),
            qPrintable(refused.error()));
        QVERIFY(notes.open(QIODevice::ReadOnly));
        QCOMPARE(notes.readAll(), QByteArray("shopping list\nmilk\n"));
    }
};

QTEST_GUILESS_MAIN(TestListener)
#include "test_listener.moc"

// zepta-listener as a real process on 127.0.0.1: its answers, slow and
// crowding clients, and the file sink keeping each event id once across
// crashes and restarts. The documents are the receiver component's own.

#include "listener/library_log.h"
#include "listener/testing/ListenerProcess.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

using namespace listener_test;

// The document Zepta writes with `from` replaced by `to`.
QByteArray edited(const QByteArray& from, const QByteArray& to) { return eventDocument().replace(from, to); }
// Zepta's document with `depth` elements nested in its notes.
QByteArray nested(int depth)
{
    return edited("<Notes></Notes>",
        "<Notes>" + QByteArray("<a>").repeated(depth) + QByteArray("</a>").repeated(depth) + "</Notes>");
}

class TestListener : public QObject
{
    Q_OBJECT

    ListenerProcess mListener {{QStringLiteral("--max-body"), QStringLiteral("4096")}};

private slots:
    void initTestCase() { QVERIFY2(mListener.isRunning(), qPrintable(mListener.error())); }

    // The document Zepta writes is read back field by field; an empty
    // optional element is Null, not zero.
    void readsTheEventZeptaWrites()
    {
        QString reason;
        const std::optional<listener::Event> event = listener::parseEvent(eventDocument(), &reason);
        QVERIFY2(event, qPrintable(reason));
        QCOMPARE(event->gmt, QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC));
        QCOMPARE(event->hdop, 1.2);
        QCOMPARE(event->satellites, 7);
        QCOMPARE(event->locked, true);
        const std::optional<listener::Event> sparse = listener::parseEvent(
            edited("<Altitude>96.5</Altitude>", "<Altitude></Altitude>").replace("<Gmt>2026-12-06T07:30:15Z", "<Gmt>"),
            &reason);
        QVERIFY2(sparse, qPrintable(reason));
        QCOMPARE(sparse->altitude, std::nullopt);
        QCOMPARE(sparse->gmt, std::nullopt);
        // Shapes whose cost grew with the square of their size (40,000
        // nested elements, one tag with 50,000 attributes) are refused
        // before that work is done.
        QByteArray attributes = "<Zepta";
        for (int i = 0; i < 50000; ++i)
            attributes += " a" + QByteArray::number(i) + "=''";
        for (const auto& [document, why] : {std::pair(nested(40000), "deeper"), {attributes + "/>", "attributes"}}) {
            QVERIFY(!listener::parseEvent(document, &reason));
            QVERIFY2(reason.contains(QLatin1String(why)), qPrintable(reason));
        }
    }

    // Times are written as Qt writes them, without Qt's cost: across the
    // epoch, a leap day, the last millisecond of a day and of a year.
    void writesTimesAsQtDoes()
    {
        for (const qint64 ms : {0LL, -1LL, -86400000LL, 951782400000LL, 951868799999LL, 1767225599999LL,
                 1765006215123LL, -2208988800000LL, 253402300799999LL})
            QCOMPARE(listener::isoUtc(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)),
                QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1());
    }

    // Each request is sent twice, on connections of their own: a document
    // is stored once and its repeat answered 200 too; any other answer
    // stores nothing.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const auto post = [](const QByteArray& from, const QByteArray& to) { return postRequest(edited(from, to)); };
        const QByteArray doctype = "<!DOCTYPE Zepta [<!ENTITY x SYSTEM \"file:///etc/passwd\"><!ENTITY a \"aaaaaaaa\">"
                                   "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><Zepta>";
        QByteArray id;
        const QByteArray event = eventDocument(&id);
        QTest::newRow("event") << postRequest(eventDocument()) << 200;
        QTest::newRow("key agrees") << postRequest(event, {{"Idempotency-Key", "{" + id.toUpper() + "}"}}) << 200;
        QTest::newRow("key disagrees") << postRequest(eventDocument(), {{"Idempotency-Key", id}}) << 400;
        QTest::newRow("not well-formed") << post("</Notes>", "") << 400;
        QTest::newRow("other root") << post("Zepta>", "Other>") << 400;
        QTest::newRow("XML 1.1") << post("version=\"1.0\"", "version=\"1.1\"") << 400;
        QTest::newRow("id not a UUID") << post("<EventId>", "<EventId>x") << 400;
        QTest::newRow("no coordinates") << post("<Latitude>57.4125000</Latitude>", "") << 400;
        QTest::newRow("nested too deep") << postRequest(nested(400)) << 400;
        QTest::newRow("latitude out of range") << postRequest(eventDocument(nullptr, {}, 91.0)) << 400;
        QTest::newRow("external entity") << post("<Zepta>", doctype + "&x;") << 400;
        QTest::newRow("entity expansion") << post("<Zepta>", doctype + "&b;") << 400;
        const auto at
            = [&event](const QByteArray& path) { return postRequest(event).replace("/Zepta/listener.asp", path); };
        QTest::newRow("path climbs") << at("/Zepta/../listener.asp") << 400;
        QTest::newRow("path climbs escaped") << at("/%2e%2E/listener.asp") << 400;
        QTest::newRow("NUL in path") << at("/Zepta%00.asp") << 400;
        QTest::newRow("path too long") << at('/' + QByteArray(40000, 'a')) << 414;
        QTest::newRow("header too large") << postRequest(event, {{"X-Big", QByteArray(40000, 'a')}}) << 431;
        QTest::newRow("not a POST") << QByteArray("GET /Zepta/listener.asp HTTP/1.1\r\nHost: x\r\n\r\n") << 405;
        QTest::newRow("no length") << QByteArray("POST /x HTTP/1.1\r\nHost: x\r\n\r\n") << 411;
        QTest::newRow("two lengths") << QByteArray(
            "POST /x HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde")
                                     << 400;
        // Only the head is sent: the answer must not wait for the body.
        QTest::newRow("body too large") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 4097\r\n\r\n") << 413;
        QTest::newRow("not HTTP") << QByteArray("BROKEN\r\n\r\n") << 0; // closed without a word
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const qsizetype before = mListener.records().size();
        for (int i = 0; i < 2; ++i) {
            const HttpAnswer answer = send(mListener.port(), request);
            QCOMPARE(answer.status, status);
            if (status == 405)
                QCOMPARE(answer.header("Allow"), QByteArray("POST"));
            if (status == 400 && request.startsWith("POST /Zepta"))
                QVERIFY2(answer.body.size() > 10, answer.body.constData()); // says why
        }
        const QList<listener::Record> records = mListener.records();
        QCOMPARE(records.size() - before, status == 200 ? 1 : 0);
        if (status == 200) {
            QCOMPARE(records.last().body, request.mid(request.indexOf("\r\n\r\n") + 4));
            QCOMPARE(records.last().path, QByteArray("/Zepta/listener.asp"));
        }
    }

    // The log says who asked what and how it was answered, and nothing the
    // client could turn into something else: a path of format directives is
    // logged as it came, escaped; notes are never logged.
    void logsTheExchangeNotItsContent()
    {
        QByteArray id;
        QCOMPARE(postTo(mListener.port(), eventDocument(&id, QStringLiteral("gate code 4711"))).status, 200);
        QCOMPARE(send(mListener.port(), "POST /ok%2%3%4%5\x7f HTTP/1.1\r\nContent-Length: 1\r\n\r\nx").status, 400);
        const QByteArray log = mListener.log();
        QVERIFY2(log.contains(" 127.0.0.1 POST /Zepta/listener.asp 200 " + id + " -\n"), log.constData());
        QVERIFY2(log.contains(" 127.0.0.1 POST /ok%2%3%4%5%7F 400 - -\n"), log.constData());
        QVERIFY2(!log.contains("4711"), log.constData());
    }

    // With crew keys: no key, an unknown, malformed or huge one, or a revoked
    // one get 401 and store nothing; a good key stores the event with its
    // crew; another crew's key replaying a stored id with another body gets
    // 409 and the first stays. More than 10 failures from one address in a
    // minute close it for 5 minutes, others are still served. No key is ever
    // kept, in the crews file or the log.
    void crewKeys()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("events.log"));
        ListenerProcess unkeyed({QStringLiteral("--out"), out}, true);
        QVERIFY2(unkeyed.error().contains(QStringLiteral("crews add")), qPrintable(unkeyed.error()));
        const QStringList store {QStringLiteral("--out"), out};
        QByteArray keys[2];
        for (int i = 0; i < 2; ++i) {
            const Run added = crews(QStringList {QStringLiteral("add"), QStringLiteral("crew-%1").arg(i)} + store);
            QCOMPARE(added.status, 0);
            keys[i] = added.out.trimmed().split('\n').last();
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{43}$"))
                         .match(QString::fromLatin1(keys[i]))
                         .hasMatch(),
                keys[i].constData());
        }
        QCOMPARE(crews(QStringList {QStringLiteral("add"), QStringLiteral("crew-0")} + store).status, 1);
        QCOMPARE(crews(QStringList {QStringLiteral("add"), QStringLiteral("../x")} + store).status, 1);
        QFile file(out + QStringLiteral(".crews"));
        QCOMPARE(file.permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray crewsFile = file.readAll();
        QVERIFY(crewsFile.contains("crew-1") && !crewsFile.contains(keys[0]) && !crewsFile.contains(keys[1]));

        const auto stored = [&out] {
            QFile records(out);
            return records.open(QIODevice::ReadOnly) ? listener::parseRecords(records.readAll())
                                                     : QList<listener::Record>();
        };
        ListenerProcess listener(store, true);
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        const auto bearer = [](const QByteArray& key) { return Headers {{"Authorization", "Bearer " + key}}; };
        QByteArray id;
        const QByteArray document = eventDocument(&id);
        // One character off (never the key itself, whatever its first letter).
        const QByteArray near = (keys[0].startsWith('x') ? "y" : "x") + keys[0].mid(1);
        for (const Headers& wrong : {Headers {}, bearer(near), bearer(QByteArray(20000, 'a')),
                 Headers {{"Authorization", "Basic " + keys[0]}}, Headers {{"Authorization", "Bearer a b"}}}) {
            const HttpAnswer refused = postTo(listener.port(), document, wrong);
            QCOMPARE(refused.status, 401);
            QVERIFY(refused.header("WWW-Authenticate").startsWith("Bearer"));
        }
        QCOMPARE(postTo(listener.port(), document, bearer(keys[0])).status, 200);
        const QByteArray other = QByteArray(document).replace("</Notes>", "forged</Notes>");
        QCOMPARE(postTo(listener.port(), other, bearer(keys[1])).status, 409);
        QCOMPARE(stored().size(), 1);
        QCOMPARE(stored().first().crew, QByteArray("crew-0"));
        QCOMPARE(stored().first().body, document);

        QCOMPARE(crews(QStringList {QStringLiteral("revoke"), QStringLiteral("crew-0")} + store).status, 0);
        QTRY_COMPARE_WITH_TIMEOUT(postTo(listener.port(), document, bearer(keys[0])).status, 401, 1500);
        const Run listed = crews(QStringList {QStringLiteral("list")} + store);
        QVERIFY2(listed.out.contains("crew-0 added ") && listed.out.contains(" revoked "), listed.out.constData());

        const QString stranger = QStringLiteral("127.0.0.5");
        for (int i = 0; i < 10; ++i)
            QCOMPARE(sendFrom(stranger, listener.port(), postRequest(document, bearer("guess"))).status, 401);
        for (const QByteArray& key : {QByteArray("guess"), keys[1]}) {
            const HttpAnswer blocked = sendFrom(stranger, listener.port(), postRequest(eventDocument(), bearer(key)));
            QCOMPARE(blocked.status, 429);
            QVERIFY(blocked.header("Retry-After").toInt() > 290);
        }
        QCOMPARE(postTo(listener.port(), eventDocument(), bearer(keys[1])).status, 200);
        QCOMPARE(stored().size(), 2);
        QCOMPARE(stored().last().crew, QByteArray("crew-1"));
        QVERIFY(!listener.log().contains(keys[0]) && !listener.log().contains(keys[1]));
        QVERIFY2(listener.log().contains(" 200 " + id + " crew-0\n"), listener.log().constData());
    }

    // HTTPS with a certificate made here by openssl, checked by curl: served
    // to a client trusting the CA, refused to one that does not, to TLS 1.1
    // and to plain HTTP on the same port. A key others can read is refused
    // at start.
    void tls()
    {
        QTemporaryDir dir;
        const auto path = [&dir](const char* name) { return dir.filePath(QLatin1String(name)); };
        const auto run = [](const QString& program, const QStringList& arguments) {
            QProcess process;
            process.start(program, arguments);
            process.waitForFinished(60000);
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        };
        const QString made = makeCertificates(dir.path());
        QVERIFY2(made.isEmpty(), qPrintable(made));
        QFile key(path("server.key"));
        QVERIFY(key.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QStringList options {
            QStringLiteral("--tls-cert"), path("server.pem"), QStringLiteral("--tls-key"), path("server.key")};
        ListenerProcess exposed(options);
        QVERIFY2(exposed.error().contains(QStringLiteral("readable by others")), qPrintable(exposed.error()));
        QVERIFY(key.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        ListenerProcess listener(options);
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));

        QFile body(path("event.xml"));
        QVERIFY(body.open(QIODevice::WriteOnly));
        body.write(eventDocument());
        body.close();
        const QString url = QStringLiteral("https://127.0.0.1:%1/Zepta/listener.asp").arg(listener.port());
        const auto curl = [&](const QStringList& extra) {
            return run(QStringLiteral("curl"),
                QStringList {QStringLiteral("-sSf"), QStringLiteral("--data-binary"),
                    QLatin1Char('@') + body.fileName(), QStringLiteral("-H"), QStringLiteral("Content-Type: text/xml"),
                    url}
                    + extra);
        };
        QCOMPARE(curl({QStringLiteral("--cacert"), path("ca.pem")}), 0);
        QCOMPARE(curl({}), 60); // not trusted by the system's store
        QCOMPARE(curl({QStringLiteral("--cacert"), path("ca.pem"), QStringLiteral("--tlsv1.1"),
                     QStringLiteral("--tls-max"), QStringLiteral("1.1")}),
            35); // no TLS before 1.2
        QCOMPARE(postTo(listener.port(), eventDocument()).status, 0); // plain HTTP gets no answer
        QCOMPARE(listener.records().size(), 1);
        // The failed handshakes are in the log as lines of its own, with their time.
        QTRY_VERIFY(listener.log().contains(" http library: "));
        for (const QByteArray& line : listener.log().split('\n'))
            QVERIFY2(line.isEmpty() || line.startsWith("zepta-listener: ")
                    || QDateTime::fromString(QString::fromLatin1(line.left(24)), Qt::ISODateWithMs).isValid(),
                line.constData());
    }

    // Any client can make the HTTP library say something: at most so many
    // lines a minute, the rest counted, control characters escaped.
    void libraryMessagesAreCapped()
    {
        QStringList lines;
        listener::LibraryLog log([&lines](const QString& line) { lines << line; });
        const auto start = listener::LibraryLog::Clock::now();
        for (int i = 0; i < listener::LibraryLog::kPerMinute + 5; ++i)
            log.message("Error: bad\x1b[2Jthing", start);
        QCOMPARE(lines.size(), listener::LibraryLog::kPerMinute);
        QVERIFY2(lines[0].endsWith(QLatin1String(" http library: Error: bad\\x1b[2Jthing")), qPrintable(lines[0]));
        log.message("later", start + std::chrono::seconds(61));
        QVERIFY2(
            lines.last().contains(QLatin1String("5 more messages")) && lines.last().endsWith(QLatin1String("later")),
            qPrintable(lines.last()));
    }

    // A crowd of clients from one address that send a request line and then
    // drip a byte at a time: those over the per-address cap are turned away
    // at once, the rest cut off at the request deadline (they are never idle
    // long enough for the idle time-out), and a client from another address
    // is served all along over one kept-alive connection.
    void slowClientsHoldUpNobody()
    {
        ListenerProcess listener(
            {QStringLiteral("--request-deadline"), QStringLiteral("3"), QStringLiteral("--idle-timeout"),
                QStringLiteral("2"), QStringLiteral("--max-per-address"), QStringLiteral("40")});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        int closed = 0;
        for (int i = 0; i < 200; ++i) {
            auto& socket = slow.emplace_back(std::make_unique<QTcpSocket>());
            QVERIFY(socket->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            connect(socket.get(), &QTcpSocket::disconnected, this, [&closed] { ++closed; });
            connect(socket.get(), &QTcpSocket::connected, socket.get(),
                [s = socket.get()] { s->write("POST / HTTP/1.1\r\n"); });
            socket->connectToHost(QHostAddress::LocalHost, listener.port());
        }
        QTimer drip;
        connect(&drip, &QTimer::timeout, this, [&slow] {
            for (const auto& socket : slow)
                if (socket->state() == QAbstractSocket::ConnectedState)
                    socket->write("X");
        });
        drip.start(500);
        QTRY_COMPARE_WITH_TIMEOUT(closed, 160, 15000); // the deadline ends the rest later
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.port());
        QVERIFY(client.waitForConnected(15000));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(exchange(client, postRequest(eventDocument())).status, 200);
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE_WITH_TIMEOUT(closed, 200, 20000);
        QCOMPARE(listener.records().size(), 3);
    }

    // The --out file holds each id once, across a crash (kill -9) and a
    // record it left half written; a second listener cannot share the file,
    // and one that is not a file of records is refused, never overwritten.
    void fileSinkKeepsEachIdOnce()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("events.log"));
        QByteArray ids[3];
        const QByteArray documents[3] = {eventDocument(&ids[0], QStringLiteral("it's \"quoted\"\r\n<&> é ✓")),
            eventDocument(&ids[1]), eventDocument(&ids[2])};
        {
            ListenerProcess first({QStringLiteral("--out"), out});
            QVERIFY2(first.isRunning(), qPrintable(first.error()));
            for (int i : {0, 1, 0})
                QCOMPARE(postTo(first.port(), documents[i]).status, 200);
            first.kill();
            QFile file(out);
            QVERIFY(file.open(QIODevice::Append));
            file.write("2026-12-06T07:30:15.000Z /Zepta/listener.asp 480 " + ids[2] + "\n<?xml version=");
        }
        ListenerProcess second({QStringLiteral("--out"), out});
        QVERIFY2(second.isRunning(), qPrintable(second.error()));
        QVERIFY2(second.log().contains("cut off an unfinished record"), second.log().constData());
        for (int i : {0, 2})
            QCOMPARE(postTo(second.port(), documents[i]).status, 200);
        // Another body under a stored id is a client's fault, shown, not kept.
        const QByteArray other = QByteArray(documents[1]).replace("<Notes></Notes>", "<Notes>other</Notes>");
        QCOMPARE(postTo(second.port(), other).status, 409);
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        bool complete = false;
        const QList<listener::Record> records = listener::parseRecords(file.readAll(), &complete);
        QVERIFY(complete);
        QCOMPARE(records.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(records[i].body, documents[i]);
        ListenerProcess sharing({QStringLiteral("--out"), out});
        QVERIFY2(sharing.error().contains(QStringLiteral("in use")), qPrintable(sharing.error()));

        QFile notes(dir.filePath(QStringLiteral("notes.txt")));
        QVERIFY(notes.open(QIODevice::ReadWrite));
        notes.write("shopping list\nmilk\n");
        notes.flush();
        ListenerProcess refused({QStringLiteral("--out"), notes.fileName()});
        QVERIFY2(refused.error().contains(QStringLiteral("not a file of zepta-listener records")),
            qPrintable(refused.error()));
        notes.seek(0);
        QCOMPARE(notes.readAll(), QByteArray("shopping list\nmilk\n"));
    }
};

QTEST_GUILESS_MAIN(TestListener)
#include "test_listener.moc"

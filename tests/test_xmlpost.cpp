// Posting events as XML documents: the HTTP client, the listener program
// (its real process on 127.0.0.1) and Save_Event_XML's failure reports.

#include "ListenerProcess.h"
#include "core/Driver.h"
#include "platform/Error.h"
#include "platform/HttpPost.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"
#include "tools/listener_core.h"

#include <QDomDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <optional>

namespace
{

const QString kPath = QStringLiteral("Zepta/listener.asp");
constexpr int kWaitMs = 15000; // ends a broken run only

QString errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ZeptaError& error) {
        return error.message();
    }
    return QString();
}

QByteArray document(const QByteArray& content)
{
    return QByteArrayLiteral("<?xml version=\"1.0\"?><Zepta>") + content + QByteArrayLiteral("</Zepta>");
}

QByteArray postRequest(const QByteArray& path, const QByteArray& body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// One raw exchange with the listener: the request written in the pieces
// given, then the whole answer read until the listener closes.
QByteArray exchange(quint16 port, const QList<QByteArray>& pieces)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kWaitMs))
        return "no connection";
    for (const QByteArray& piece : pieces) {
        socket.write(piece);
        socket.waitForBytesWritten(kWaitMs);
    }
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    return answer + socket.readAll();
}

int statusOf(const QByteArray& answer)
{
    const QList<QByteArray> parts = answer.left(answer.indexOf("\r\n")).split(' ');
    return parts.size() >= 2 ? parts[1].toInt() : 0;
}

// A port that nobody listens on: taken, then given back.
quint16 deadPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

// An event object whose XML text is broken or cannot be had.
class BrokenEvent : public gps::EventObject
{
public:
    explicit BrokenEvent(bool throws)
        : mThrows(throws)
    {
    }
    void setClientId(const QString&) override { }
    void setEventType(std::int16_t) override { }
    void setNotes(const QString&) override { }
    void setReading(const gps::Reading&) override { }
    std::int32_t Store() override { return 0; }
    QString XmlText() const override
    {
        if (mThrows)
            throw ZeptaError(QStringLiteral("no XML today"));
        return QStringLiteral("<GeocodedEvent><Notes>a & b</Notes></GeocodedEvent>");
    }

private:
    bool mThrows;
};

} // namespace

class TestXmlPost : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    void pointAt(const QString& serverIp, const QString& listenerName = kPath)
    {
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
        Driver::Set_Parameter_Value(QStringLiteral("SERVER_IP"), serverIp);
        Driver::Set_Parameter_Value(QStringLiteral("LISTENER_NAME"), listenerName);
    }

    static gps::Reading reading()
    {
        gps::Reading r = makeReading(-33.8688197, 151.2092955, 12.5);
        r.speed = 3.5;
        r.locked = true;
        return r;
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        mFolder.reset();
        http::setDefaultTimeouts(http::Timeouts {});
    }

    // ---- the listener program

    void listenerKeepsOnlyZeptaDocuments()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        const quint16 port = listener.port();
        const QByteArray good = document("<GeocodedEvent><Notes>a&#13;&#10;b</Notes></GeocodedEvent>");

        QCOMPARE(statusOf(exchange(port, {postRequest("/Zepta/listener.asp", good)})), 200);
        QCOMPARE(statusOf(exchange(port, {postRequest("/x", "<Zepta><open></Zepta>")})), 400);
        QCOMPARE(statusOf(exchange(port, {postRequest("/x", "<?xml version=\"1.0\"?><Other/>")})), 400);
        QCOMPARE(statusOf(exchange(port, {postRequest("/x", "")})), 400);
        const QByteArray get = exchange(port, {"GET /Zepta/listener.asp HTTP/1.1\r\nHost: x\r\n\r\n"});
        QCOMPARE(statusOf(get), 405);
        QVERIFY(get.contains("\r\nAllow: POST\r\n"));
        QCOMPARE(statusOf(exchange(port, {"POST /x HTTP/1.1\r\nHost: x\r\n\r\n"})), 411);
        QCOMPARE(statusOf(exchange(port, {"POST /x HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n"})), 400);
        QCOMPARE(statusOf(exchange(port, {"BROKEN\r\n\r\n"})), 400);

        const QList<listener::Record> records = listener.records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].path, QByteArray("/Zepta/listener.asp"));
        QCOMPARE(records[0].body, good); // exactly as received
        QVERIFY(records[0].received.isValid());
    }

    // Requests in pieces (even a byte at a time) over several connections at
    // once are each read whole.
    void listenerReadsPiecesOverSeveralConnections()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        QList<QTcpSocket*> sockets;
        QList<QByteArray> requests;
        for (int i = 0; i < 3; ++i) {
            auto* socket = new QTcpSocket(this);
            socket->connectToHost(QHostAddress::LocalHost, listener.port());
            QVERIFY(socket->waitForConnected(kWaitMs));
            sockets.append(socket);
            requests.append(
                postRequest("/c" + QByteArray::number(i), document("<n>" + QByteArray::number(i) + "</n>")));
        }
        // Everything but the last byte, interleaved, then the last bytes in
        // reverse order: each is kept only when it is whole, and not mixed up.
        for (int at = 0; at < requests[0].size() - 1; at += 7)
            for (int i = 0; i < 3; ++i) {
                sockets[i]->write(requests[i].mid(at, std::min<int>(7, requests[i].size() - 1 - at)));
                QVERIFY(sockets[i]->waitForBytesWritten(kWaitMs));
            }
        for (int i = 2; i >= 0; --i) {
            sockets[i]->write(requests[i].right(1));
            QVERIFY(sockets[i]->waitForBytesWritten(kWaitMs));
            QByteArray answer;
            while (sockets[i]->state() == QAbstractSocket::ConnectedState && sockets[i]->waitForReadyRead(kWaitMs))
                answer += sockets[i]->readAll();
            answer += sockets[i]->readAll();
            QCOMPARE(statusOf(answer), 200);
        }
        qDeleteAll(sockets);
        const QList<listener::Record> records = listener.records();
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[0].path, QByteArray("/c2"));
        QCOMPARE(records[2].body, document("<n>0</n>"));
    }

    void listenerBoundsTheBody()
    {
        ListenerProcess listener({QStringLiteral("--max-body"), QStringLiteral("64")});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        QCOMPARE(statusOf(exchange(listener.port(), {postRequest("/x", document(QByteArray(64, 'a')))})), 413);
        QCOMPARE(statusOf(exchange(listener.port(), {postRequest("/x", document("<a/>"))})), 200);
        QCOMPARE(listener.records().size(), 1);
    }

    void requestReaderTakesOneByteAtATime()
    {
        const QByteArray body = document("<a>é</a>");
        const QByteArray request = "POST /p HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nExpect: 100-continue\r\n\r\n" + body + "trailing bytes of nothing";
        listener::RequestReader reader;
        bool continued = false;
        for (const char c : request) {
            reader.feed(QByteArray(1, c));
            continued = reader.takeContinue() || continued;
        }
        QCOMPARE(reader.state(), listener::RequestReader::State::Complete);
        QVERIFY(continued);
        QCOMPARE(reader.request().method, QByteArray("POST"));
        QCOMPARE(reader.request().target, QByteArray("/p"));
        QCOMPARE(reader.request().body, body);
        QVERIFY(listener::checkDocument(reader.request().body).isEmpty());

        listener::RequestReader endless;
        QCOMPARE(endless.feed("POST /p HTTP/1.1\r\nX: " + QByteArray(listener::kMaxHeadBytes, 'x')),
            listener::RequestReader::State::Failed);
        QCOMPARE(endless.failure().status, 431);
    }

    void recordsSurviveAnyBody()
    {
        const QByteArray tricky = document("<a>\n12 lines\n\n</a>") + "\n";
        QByteArray out = listener::formatRecord({QDateTime::currentDateTimeUtc(), "/one", tricky});
        out += listener::formatRecord({QDateTime::currentDateTimeUtc(), "/two", "x"});
        bool complete = false;
        QList<listener::Record> records = listener::parseRecords(out, &complete);
        QVERIFY(complete);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].body, tricky);
        QCOMPARE(records[1].path, QByteArray("/two"));
        records = listener::parseRecords(out.left(out.size() - 3), &complete);
        QVERIFY(!complete);
        QCOMPARE(records.size(), 1);
    }

    // ---- the HTTP client

    void clientReportsEveryFailureWithItsReason()
    {
        ListenerProcess listener;
        ListenerProcess notFound({QStringLiteral("--answer-status"), QStringLiteral("404")});
        QVERIFY2(listener.isRunning() && notFound.isRunning(), qPrintable(listener.error() + notFound.error()));
        const QString good = QStringLiteral("http://%1/in").arg(listener.serverAddress());

        http::HttpPost post;
        QCOMPARE(post.post(good, document("<a/>"), "text/xml; charset=utf-8"), 200);
        QCOMPARE(post.statusLine(), QStringLiteral("HTTP/1.1 200 OK"));
        QCOMPARE(post.post(good, document("<b/>"), "text/xml"), 200); // the handle is reusable
        QCOMPARE(listener.records().size(), 2);

        QString reason = errorOf([&] { post.post(good, "<Wrong/>", "text/xml"); });
        QVERIFY2(reason.contains(QLatin1String("400 Bad Request")) && reason.contains(good), qPrintable(reason));
        const QString missing = QStringLiteral("http://%1/gone").arg(notFound.serverAddress());
        reason = errorOf([&] { post.post(missing, document("<a/>"), "text/xml"); });
        QVERIFY2(reason.contains(QLatin1String("404 Not Found")) && reason.contains(missing), qPrintable(reason));
        const QString dead = QStringLiteral("http://127.0.0.1:%1/x").arg(deadPort());
        reason = errorOf([&] { post.post(dead, document("<a/>"), "text/xml"); });
        QVERIFY2(
            reason.startsWith(QStringLiteral("Posting to ") + dead + QStringLiteral(" failed: ")), qPrintable(reason));
        reason = errorOf([&] { post.post(QStringLiteral("ftp://127.0.0.1/x"), "x", "text/plain"); });
        QVERIFY2(!reason.isEmpty(), "only http is spoken");
        QCOMPARE(listener.records().size(), 2);
    }

    // A server that takes the connection and never answers: the total
    // time-out ends the call.
    void clientGivesUpOnASilentServer()
    {
        QTcpServer silent; // its connections wait in the backlog: nobody answers
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        http::HttpPost post;
        post.setTimeouts({1000, 300});
        const QString reason = errorOf([&] {
            post.post(QStringLiteral("http://127.0.0.1:%1/x").arg(silent.serverPort()), "<Zepta/>", "text/xml");
        });
        QVERIFY2(reason.contains(QLatin1String("timed out"), Qt::CaseInsensitive), qPrintable(reason));
    }

    // ---- Save_Event in XML mode

    void eachEventArrivesAsOneDocument()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        pointAt(listener.serverAddress());
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew <7> & \"B\""));
        ScriptedMessages boxes;
        const QString notes = QStringLiteral("line one\r\nline 'two' \"quoted\"\n<b>&amp;</b> é ✓");
        Driver::Save_Event(17, notes, reading());
        Driver::Save_Event(18, QString(), reading());
        QVERIFY(boxes.shown().isEmpty());

        const QList<listener::Record> records = listener.records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].path, QByteArray("/Zepta/listener.asp"));
        QVERIFY(records[0].body.startsWith("<?xml version=\"1.0\"?><Zepta><GeocodedEvent>"));
        QDomDocument parsed;
        QVERIFY(parsed.setContent(records[0].body));
        const QDomElement root = parsed.documentElement();
        QCOMPARE(root.tagName(), QStringLiteral("Zepta"));
        QCOMPARE(root.childNodes().size(), 1);
        const QDomElement event = root.firstChildElement();
        QCOMPARE(event.tagName(), QStringLiteral("GeocodedEvent"));
        QCOMPARE(event.firstChildElement(QStringLiteral("ClientId")).text(), QStringLiteral("crew <7> & \"B\""));
        QCOMPARE(event.firstChildElement(QStringLiteral("EventTypeId")).text(), QStringLiteral("17"));
        QCOMPARE(event.firstChildElement(QStringLiteral("Notes")).text(), notes);
        const QDomElement gps = event.firstChildElement(QStringLiteral("GpsReading"));
        QCOMPARE(gps.firstChildElement(QStringLiteral("Latitude")).text().toDouble(), -33.8688197);
        QCOMPARE(gps.firstChildElement(QStringLiteral("Longitude")).text().toDouble(), 151.2092955);
        QCOMPARE(gps.firstChildElement(QStringLiteral("Gmt")).text(), QStringLiteral("2026-12-06T07:30:15Z"));
        QVERIFY(parsed.setContent(records[1].body));
        QCOMPARE(parsed.documentElement().firstChildElement().firstChildElement(QStringLiteral("EventTypeId")).text(),
            QStringLiteral("18"));
    }

    // Every way a post can fail shows the message with the full URL, and the
    // event counts as not sent.
    void failedPostShowsTheUrl_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("answer 404") << "404";
        QTest::newRow("answer 500") << "500";
        QTest::newRow("nobody listening") << "dead";
        QTest::newRow("never answers") << "silent";
        QTest::newRow("not an address") << "bad";
    }
    void failedPostShowsTheUrl()
    {
        QFETCH(QString, kind);
        std::optional<ListenerProcess> fixed;
        QTcpServer silent;
        QString address;
        if (kind == QLatin1String("404") || kind == QLatin1String("500")) {
            fixed.emplace(QStringList {QStringLiteral("--answer-status"), kind});
            QVERIFY2(fixed->isRunning(), qPrintable(fixed->error()));
            address = fixed->serverAddress();
        } else if (kind == QLatin1String("dead")) {
            address = QStringLiteral("127.0.0.1:%1").arg(deadPort());
        } else if (kind == QLatin1String("silent")) {
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            address = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());
            http::setDefaultTimeouts({1000, 300});
        } else {
            address = QStringLiteral("127.0.0.1:99999 x");
        }
        pointAt(address);
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        Driver::Save_Event(3, QStringLiteral("not sent"), reading()); // returns normally
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text,
            QStringLiteral("Unable to save event via XML to: http://") + address
                + QStringLiteral("/Zepta/listener.asp"));
        if (fixed)
            QCOMPARE(fixed->records().size(), 0);
    }

    // Failures before the URL is built leave it empty in the message; a
    // broken document is never sent.
    void failureBeforeTheUrlShowsNone()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        pointAt(listener.serverAddress());
        ScriptedMessages boxes;
        for (bool throws : {false, true}) {
            BrokenEvent event(throws);
            boxes.expect(QStringLiteral("Save Failed"));
            Driver::Save_Event_XML(event);
            QCOMPARE(boxes.last().text, QStringLiteral("Unable to save event via XML to: "));
        }
        mFolder->execApplication(QStringLiteral("DELETE FROM CONFIGURATION WHERE PARAMETER_NAME = 'LISTENER_NAME'"));
        boxes.expect(QStringLiteral("Save Failed"));
        Driver::Save_Event(3, QStringLiteral("not sent"), reading());
        QCOMPARE(boxes.last().text, QStringLiteral("Unable to save event via XML to: "));
        QVERIFY(boxes.allShown());
        QCOMPARE(listener.records().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestXmlPost)
#include "test_xmlpost.moc"

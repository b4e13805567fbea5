// Posting events as XML documents: the listener program (its real process on
// 127.0.0.1) and Save_Event_XML with its failure reports.

#include "ListenerProcess.h"
#include "core/Driver.h"
#include "platform/HttpPost.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"
#include "tools/listener_core.h"

#include <QDomDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <optional>

namespace
{

constexpr int kWaitMs = 15000; // ends a broken run only

QByteArray document(const QByteArray& content)
{
    return QByteArrayLiteral("<?xml version=\"1.0\"?><Zepta>") + content + QByteArrayLiteral("</Zepta>");
}

QByteArray postRequest(const QByteArray& path, const QByteArray& body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// One raw exchange with the listener: the request, then the whole answer read
// until the listener closes.
QByteArray exchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(kWaitMs);
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    return answer + socket.readAll();
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

class TestXmlPost : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    static void pointAt(const QString& serverIp)
    {
        Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
        Driver::Set_Parameter_Value(QStringLiteral("SERVER_IP"), serverIp);
        Driver::Set_Parameter_Value(QStringLiteral("LISTENER_NAME"), QStringLiteral("Zepta/listener.asp"));
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup()
    {
        mFolder.reset();
        http::setDefaultTimeouts(http::Timeouts {});
    }

    // The listener keeps only well-formed Zepta documents, exactly as sent.
    void listenerAnswers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("document kept") << postRequest("/Zepta/listener.asp", document("<a>\r\n2 lines\n</a>")) << 200;
        QTest::newRow("not well-formed") << postRequest("/x", "<Zepta><open></Zepta>") << 400;
        QTest::newRow("other root") << postRequest("/x", "<?xml version=\"1.0\"?><Other/>") << 400;
        QTest::newRow("empty body") << postRequest("/x", "") << 400;
        QTest::newRow("not a POST") << QByteArray("GET /Zepta/listener.asp HTTP/1.1\r\nHost: x\r\n\r\n") << 405;
        QTest::newRow("no length") << QByteArray("POST /x HTTP/1.1\r\nHost: x\r\n\r\n") << 411;
        QTest::newRow("two lengths") << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n")
                                     << 400;
        QTest::newRow("no request line") << QByteArray("BROKEN\r\n\r\n") << 400;
        QTest::newRow("body too large") << postRequest("/x", document(QByteArray(64, 'a'))) << 413;
    }
    void listenerAnswers()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        ListenerProcess listener({QStringLiteral("--max-body"), QStringLiteral("64")});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        const QByteArray answer = exchange(listener.port(), request);
        QCOMPARE(answer.left(answer.indexOf("\r\n")).split(' ').value(1).toInt(), status);
        if (status == 405)
            QVERIFY(answer.contains("\r\nAllow: POST\r\n"));
        const QByteArray body = request.mid(request.indexOf("\r\n\r\n") + 4);
        const QList<listener::Record> records = listener.records();
        QCOMPARE(records.size(), status == 200 ? 1 : 0);
        if (status == 200) {
            QCOMPARE(records[0].path, QByteArray("/Zepta/listener.asp"));
            QCOMPARE(records[0].body, body);
            QVERIFY(records[0].received.isValid());
        }

        // Fed one byte at a time, the request reads the same.
        listener::RequestReader reader(64);
        for (const char c : request)
            reader.feed(QByteArray(1, c));
        if (reader.state() == listener::RequestReader::State::Failed) {
            QCOMPARE(reader.failure().status, status);
        } else {
            QCOMPARE(reader.state(), listener::RequestReader::State::Complete);
            QCOMPARE(reader.request().body, body);
        }
    }

    void eachEventArrivesAsOneDocument()
    {
        ListenerProcess listener;
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        pointAt(listener.serverAddress());
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew <7> & \"B\""));
        ScriptedMessages boxes;
        const QString notes = QStringLiteral("line one\r\nline 'two' \"quoted\"\n<b>&amp;</b> é ✓");
        Driver::Save_Event(17, notes, makeReading(-33.8688197, 151.2092955, 12.5));
        Driver::Save_Event(18, QString(), makeReading(1.0, 2.0));

        const QList<listener::Record> records = listener.records();
        QCOMPARE(records.size(), 2);
        QDomDocument parsed[2];
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(records[i].path, QByteArray("/Zepta/listener.asp"));
            QVERIFY(parsed[i].setContent(records[i].body));
            const QDomElement root = parsed[i].documentElement();
            QCOMPARE(root.tagName(), QStringLiteral("Zepta"));
            QCOMPARE(root.childNodes().size(), 1);
            QCOMPARE(root.firstChildElement(QStringLiteral("GeocodedEvent"))
                         .firstChildElement(QStringLiteral("EventTypeId"))
                         .text(),
                QString::number(17 + i));
        }
        const auto field
            = [](const QDomElement& parent, const char* name) { return parent.firstChildElement(QLatin1String(name)); };
        const QDomElement event = parsed[0].documentElement().firstChildElement();
        QCOMPARE(field(event, "ClientId").text(), QStringLiteral("crew <7> & \"B\""));
        QCOMPARE(field(event, "Notes").text(), notes);
        const QDomElement gps = field(event, "GpsReading");
        QCOMPARE(field(gps, "Latitude").text().toDouble(), -33.8688197);
        QCOMPARE(field(gps, "Gmt").text(), QStringLiteral("2026-12-06T07:30:15Z"));

        // A document that does not parse is never sent; the URL is not built yet.
        boxes.expect(QStringLiteral("Save Failed"));
        BrokenEvent broken;
        Driver::Save_Event_XML(broken);
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().text, QStringLiteral("Unable to save event via XML to: "));
        QCOMPARE(listener.records().size(), 2);
    }

    // Every way a post can fail shows the message with the full URL, and the
    // call returns normally.
    void failedPostShowsTheUrl_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"404", "500", "nobody listening", "never answers", "not an address"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void failedPostShowsTheUrl()
    {
        QFETCH(QString, kind);
        std::optional<ListenerProcess> fixed;
        QTcpServer silent; // its connections wait in the backlog: nobody answers
        QString address = QStringLiteral("127.0.0.1:99999 x");
        if (kind == QLatin1String("404") || kind == QLatin1String("500")) {
            fixed.emplace(QStringList {QStringLiteral("--answer-status"), kind});
            QVERIFY2(fixed->isRunning(), qPrintable(fixed->error()));
            address = fixed->serverAddress();
        } else if (kind != QLatin1String("not an address")) {
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            address = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());
            if (kind == QLatin1String("nobody listening"))
                silent.close();
            else
                http::setDefaultTimeouts({1000, 300});
        }
        pointAt(address);
        ScriptedMessages boxes;
        boxes.expect(QStringLiteral("Save Failed"));
        Driver::Save_Event(3, QStringLiteral("not sent"), makeReading(1.0, 2.0));
        QVERIFY(boxes.allShown());
        QCOMPARE(boxes.last().kind, MessageKind::Exclamation);
        QCOMPARE(boxes.last().text,
            QStringLiteral("Unable to save event via XML to: http://") + address
                + QStringLiteral("/Zepta/listener.asp"));
    }
};

QTEST_GUILESS_MAIN(TestXmlPost)
#include "test_xmlpost.moc"

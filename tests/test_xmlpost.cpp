// Posting events as XML documents to the listener program (its real process on
// 127.0.0.1), and Save_Event_XML's failure reports.

#include "ListenerProcess.h"
#include "core/Driver.h"
#include "platform/HttpPost.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedReceiver.h"
#include "support/TempProgramFolder.h"
#include "tools/listener_core.h"

#include <QDomDocument>
#include <QTcpServer>
#include <QTest>

#include <optional>

namespace
{

constexpr int kWaitMs = 15000; // ends a broken run only

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
            QVERIFY(records[i].body.startsWith(R"(<?xml version="1.0"?><Zepta><GeocodedEvent>)"));
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

// zepta-listener's PostgreSQL/PostGIS sink against a real server started for
// this test: events read back by GDAL as a point layer with their type names,
// the database going away and coming back, and two listeners sharing one
// database.

#include "ListenerProcess.h"
#include "PgCluster.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <sqlite3.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace listener_test;

namespace
{

constexpr int kWaitMs = 15000; // ends a broken run only

struct Feature {
    QByteArray typeName;
    QByteArray notes;
    QByteArray point;
};

// ogrinfo's listing of the features of a layer, by event id. A text field is
// printed as stored, line breaks and all, up to the next field's line.
std::map<QByteArray, Feature> ogrFeatures(const QString& source, const QString& layer, const QString& where)
{
    QProcess ogrinfo;
    ogrinfo.start(QStringLiteral("ogrinfo"),
        {QStringLiteral("-ro"), QStringLiteral("-q"), QStringLiteral("-where"), where, source, layer});
    ogrinfo.waitForFinished(60000);
    const QByteArray out = ogrinfo.readAllStandardOutput();
    const auto field = [](const QByteArray& block, const QByteArray& name, const QByteArray& next) {
        const QByteArray start = "\n  " + name + " (";
        qsizetype at = block.indexOf(start);
        if (at < 0)
            return QByteArray();
        at = block.indexOf(" = ", at) + 3;
        return block.mid(at, block.indexOf(next, at) - at);
    };
    std::map<QByteArray, Feature> features;
    qsizetype at = out.indexOf("OGRFeature(");
    while (at >= 0) {
        const qsizetype next = out.indexOf("\nOGRFeature(", at + 1);
        const QByteArray block = out.mid(at, next < 0 ? -1 : next - at + 1);
        const QByteArray id = field(block, "event_id", "\n");
        features[id] = {field(block, "event_type_name", "\n"), field(block, "notes", "\n  gmt ("),
            block.mid(block.indexOf("  POINT (") + 2).trimmed()};
        at = next < 0 ? -1 : next + 1;
    }
    return features;
}

QString ogrSource(const PgCluster& pg) { return QStringLiteral("PG:") + pg.conninfo(); }

} // namespace

class TestListenerPg : public QObject
{
    Q_OBJECT

    std::optional<PgCluster> mPg;
    QTemporaryDir mDir;
    QString mCatalogue;

    QString count(const QString& clientId) const
    {
        return mPg->query(QStringLiteral("SELECT count(*), count(DISTINCT event_id) FROM zepta.events WHERE "
                                         "client_id = '%1'")
                              .arg(clientId));
    }

private slots:
    void initTestCase()
    {
        mPg.emplace();
        QVERIFY2(mPg->isRunning(), qPrintable(mPg->error()));
        // The catalogue as Zepta ships it.
        mCatalogue = mDir.filePath(QStringLiteral("zepta.mdb"));
        QFile sql(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql"));
        QVERIFY(sql.open(QIODevice::ReadOnly));
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(mCatalogue).constData(), &db), SQLITE_OK);
        const int rc = sqlite3_exec(db, sql.readAll().constData(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
        QCOMPARE(rc, SQLITE_OK);
    }

    // What was posted is what QGIS sees through GDAL: one point per event
    // with its coordinates, its type's name and its notes byte for byte.
    void gisReadsEachEventOnce()
    {
        ListenerProcess listener({QStringLiteral("--pg"), mPg->conninfo(), QStringLiteral("--catalogue"), mCatalogue});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        struct Posted {
            QByteArray id;
            QByteArray document;
            QByteArray typeName;
            QByteArray notes;
            QByteArray point;
        };
        const QString awkward = QStringLiteral("it's \"quoted\"\r\n'); DROP TABLE zepta.events; --\t<&> é ✓");
        const auto make
            = [](const QString& notes, double latitude, int type, const QByteArray& typeName, const QByteArray& point) {
                  Posted event {{}, {}, typeName, notes.toUtf8(), point};
                  event.document = eventDocument(&event.id, notes, latitude, type, QStringLiteral("gis"));
                  return event;
              };
        const std::vector<Posted> posted {make(awkward, 57.4125, 101, "Pothole", "POINT (-6.196 57.4125)"),
            make(QString(), -33.8688197, 103, "Fallen Tree", "POINT (-6.196 -33.8688197)"),
            make(QStringLiteral("x"), 0.5, 999, "(null)", "POINT (-6.196 0.5)")}; // a type the catalogue lacks
        for (const Posted& event : posted) {
            const HttpAnswer answer = postTo(listener.port(), event.document, {{"Idempotency-Key", event.id}});
            QCOMPARE(answer.status, 200);
            QCOMPARE(answer.body.trimmed(), QByteArray("Stored."));
        }
        const HttpAnswer repeat = postTo(listener.port(), posted[0].document);
        QCOMPARE(repeat.status, 200);
        QCOMPARE(repeat.body.trimmed(), QByteArray("Already stored."));
        QCOMPARE(count(QStringLiteral("gis")), QStringLiteral("3|3"));

        const std::map<QByteArray, Feature> features
            = ogrFeatures(ogrSource(*mPg), QStringLiteral("zepta.events_map"), QStringLiteral("client_id = 'gis'"));
        QCOMPARE(features.size(), posted.size());
        for (const Posted& event : posted) {
            const auto found = features.find(event.id);
            QVERIFY2(found != features.end(), event.id.constData());
            QCOMPARE(found->second.typeName, event.typeName);
            QCOMPARE(found->second.notes, event.notes);
            QCOMPARE(found->second.point, event.point);
        }
        QProcess summary;
        summary.start(QStringLiteral("ogrinfo"),
            {QStringLiteral("-ro"), QStringLiteral("-so"), ogrSource(*mPg), QStringLiteral("zepta.events_map")});
        QVERIFY(summary.waitForFinished(60000));
        const QByteArray layer = summary.readAllStandardOutput();
        QVERIFY2(layer.contains("Geometry: Point\n"), layer.constData());
        QVERIFY2(layer.contains("ID[\"EPSG\",4326]"), layer.constData());
        QCOMPARE(mPg->query(QStringLiteral("SELECT DISTINCT host(sender_address) FROM zepta.events WHERE "
                                           "client_id = 'gis'")),
            QStringLiteral("127.0.0.1"));
    }

    // Down or refusing: 503 with Retry-After, nothing claimed. Back: a
    // retrying client gets 200 within seconds, from the same listener process.
    void databaseAwayThenBack_data()
    {
        QTest::addColumn<bool>("down");
        QTest::newRow("server down") << true;
        QTest::newRow("insert refused") << false;
    }
    void databaseAwayThenBack()
    {
        QFETCH(bool, down);
        ListenerProcess listener({QStringLiteral("--pg"), mPg->conninfo()});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        const QString clientId = QStringLiteral("away %1").arg(down);
        const QByteArray document = eventDocument(nullptr, QString(), 1.0, 101, clientId);
        if (down)
            QVERIFY2(mPg->stop(), qPrintable(mPg->error()));
        else
            QCOMPARE(mPg->query(QStringLiteral("ALTER TABLE zepta.events ADD CONSTRAINT refusing CHECK (client_id <> "
                                               "'%1')")
                                    .arg(clientId)),
                QString());
        const HttpAnswer refused = postTo(listener.port(), document);
        if (down)
            QVERIFY2(mPg->start(), qPrintable(mPg->error()));
        else
            mPg->query(QStringLiteral("ALTER TABLE zepta.events DROP CONSTRAINT refusing"));
        QCOMPARE(refused.status, 503);
        QVERIFY(refused.header("Retry-After").toInt() > 0);
        QTRY_COMPARE_WITH_TIMEOUT(postTo(listener.port(), document).status, 200, kWaitMs);
        QCOMPARE(count(clientId), QStringLiteral("1|1"));
        if (down)
            QVERIFY2(listener.log().contains("database connection restored"), listener.log().constData());
    }

    // Two listeners share nothing but the database: the same events posted
    // to both at once, each twice, are stored once each.
    void twoListenersOneDatabase()
    {
        ListenerProcess first({QStringLiteral("--pg"), mPg->conninfo()});
        ListenerProcess second({QStringLiteral("--pg"), mPg->conninfo()});
        QVERIFY2(first.isRunning(), qPrintable(first.error()));
        QVERIFY2(second.isRunning(), qPrintable(second.error()));
        std::vector<QByteArray> documents;
        for (int i = 0; i < 100; ++i)
            documents.push_back(eventDocument(nullptr, QString::number(i), 1.0, 101, QStringLiteral("shared")));
        std::atomic<int> accepted {0};
        const auto send = [&documents, &accepted](quint16 port) {
            QTcpSocket socket; // one kept-alive connection per client
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(kWaitMs))
                return;
            for (int round = 0; round < 2; ++round)
                for (const QByteArray& document : documents)
                    if (exchange(socket, postRequest(document)).status == 200)
                        ++accepted;
        };
        std::thread a(send, first.port());
        std::thread b(send, second.port());
        a.join();
        b.join();
        QCOMPARE(accepted.load(), 400);
        QCOMPARE(count(QStringLiteral("shared")), QStringLiteral("100|100"));
    }
};

QTEST_GUILESS_MAIN(TestListenerPg)
#include "test_listener_pg.moc"

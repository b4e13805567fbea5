// zepta-listener's PostgreSQL/PostGIS sink against a real server started for
// this test: events read back by GDAL as a point layer with their type names,
// the database going away and coming back, two listeners on one database.

#include "listener/testing/ListenerProcess.h"
#include "listener/testing/PgCluster.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <sqlite3.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using namespace listener_test;

constexpr int kWaitMs = 15000; // ends a broken run only

class TestListenerPg : public QObject
{
    Q_OBJECT

    std::optional<PgCluster> mPg;
    QTemporaryDir mDir;
    QString mCatalogue = mDir.filePath(QStringLiteral("zepta.mdb"));

    // Rows, distinct ids and the senders' addresses of one client's events.
    QString stored(const QString& clientId) const
    {
        return mPg->query(QStringLiteral("SELECT count(*), count(DISTINCT event_id), string_agg(DISTINCT "
                                         "host(sender_address), ',') FROM zepta.events WHERE client_id = '%1'")
                              .arg(clientId));
    }

private slots:
    void initTestCase()
    {
        mPg.emplace();
        QVERIFY2(mPg->isRunning(), qPrintable(mPg->error()));
        QFile sql(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql")); // the catalogue as Zepta ships it
        QVERIFY(sql.open(QIODevice::ReadOnly));
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(mCatalogue).constData(), &db), SQLITE_OK);
        const int rc = sqlite3_exec(db, sql.readAll().constData(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
        QCOMPARE(rc, SQLITE_OK);
    }

    // What was posted is what QGIS sees through GDAL: a point layer in
    // WGS 84, one feature per event with its type's name, its notes byte
    // for byte and its coordinates.
    void gisReadsEachEventOnce()
    {
        ListenerProcess listener({QStringLiteral("--pg"), mPg->conninfo(), QStringLiteral("--catalogue"), mCatalogue});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        const struct {
            QString notes;
            double latitude;
            int type;
            QByteArray typeName;
        } posted[] = {{QStringLiteral("it's \"quoted\"\r\n'); DROP TABLE zepta.events; --\t<&> é ✓ {a,\\\"NULL\"}"),
                          57.4125, 101, "Pothole"},
            {QString(), -33.8688197, 103, "Fallen Tree"}, {QStringLiteral("x"), 0.5, 999, "(null)"}}; // 999: unknown
        for (const auto& event : posted) {
            QByteArray id;
            const QByteArray document
                = eventDocument(&id, event.notes, event.latitude, event.type, QStringLiteral("gis"));
            const HttpAnswer answer = postTo(listener.port(), document, {{"Idempotency-Key", id}});
            QCOMPARE(answer.status, 200);
            QCOMPARE(answer.body, QByteArray("Stored.\n"));
            QCOMPARE(postTo(listener.port(), document).body, QByteArray("Already stored.\n"));
            QCOMPARE(postTo(listener.port(), QByteArray(document).replace("</Notes>", "!</Notes>")).status, 409);

            QProcess ogrinfo;
            ogrinfo.start(QStringLiteral("ogrinfo"),
                {QStringLiteral("-ro"), QStringLiteral("-where"), QStringLiteral("event_id = '%1'").arg(id),
                    QStringLiteral("PG:") + mPg->conninfo(), QStringLiteral("zepta.events_map")});
            QVERIFY(ogrinfo.waitForFinished(60000));
            const QByteArray layer = ogrinfo.readAllStandardOutput();
            QCOMPARE(layer.count("\nOGRFeature("), 1);
            for (const QByteArray& line : {QByteArray("Geometry: Point\n"), QByteArray("ID[\"EPSG\",4326]"),
                     "  event_type_name (String) = " + event.typeName + '\n',
                     "  notes (String) = " + event.notes.toUtf8() + "\n  gmt (",
                     "  POINT (-6.196 " + QByteArray::number(event.latitude, 'g', 9) + ")\n"})
                QVERIFY2(layer.contains(line), qPrintable(line + "\n---\n" + layer));
        }
        QCOMPARE(stored(QStringLiteral("gis")), QStringLiteral("3|3|127.0.0.1"));
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
        const QString constraint = QStringLiteral("ALTER TABLE zepta.events %1 CONSTRAINT refusing");
        if (down)
            QVERIFY2(mPg->stop(), qPrintable(mPg->error()));
        else
            QCOMPARE(mPg->query(constraint.arg("ADD") + QStringLiteral(" CHECK (client_id <> '%1')").arg(clientId)),
                QString());
        const HttpAnswer refused = postTo(listener.port(), document);
        if (down)
            QVERIFY2(mPg->start(), qPrintable(mPg->error()));
        else
            QCOMPARE(mPg->query(constraint.arg("DROP")), QString());
        QCOMPARE(refused.status, 503);
        QCOMPARE(refused.body, QByteArray("database unavailable\n")); // no host, port or SQL for a stranger
        QVERIFY(refused.header("Retry-After").toInt() > 0);
        QTRY_COMPARE_WITH_TIMEOUT(postTo(listener.port(), document).status, 200, kWaitMs);
        QCOMPARE(stored(clientId), QStringLiteral("1|1|127.0.0.1"));
        if (down)
            QVERIFY2(listener.log().contains("database connection restored"), listener.log().constData());
    }

    // Crew keys in zepta.crews, shared by two listeners: a keyed listener
    // refuses to start without the table; each event is stored with its
    // crew (also in the view); a key revoked through one store is refused by
    // both listeners within a second, the other crew's still served.
    void crewKeysOnOneDatabase()
    {
        const QStringList pg {QStringLiteral("--pg"), mPg->conninfo()};
        ListenerProcess early(pg, true);
        QVERIFY2(early.error().contains(QStringLiteral("zepta.crews")), qPrintable(early.error()));
        QByteArray keys[2];
        for (int i = 0; i < 2; ++i) {
            const Run added = crews(QStringList {QStringLiteral("add"), QStringLiteral("pg-%1").arg(i)} + pg);
            QVERIFY2(added.status == 0, added.err.constData());
            keys[i] = added.out.trimmed().split('\n').last();
        }
        QCOMPARE(mPg->query(QStringLiteral("SELECT count(*) FROM zepta.crews WHERE key_sha256 = sha256('%1')")
                                .arg(QString::fromLatin1(keys[0]))),
            QStringLiteral("1"));
        ListenerProcess first(pg, true);
        ListenerProcess second(pg, true);
        QVERIFY2(first.isRunning(), qPrintable(first.error()));
        QVERIFY2(second.isRunning(), qPrintable(second.error()));
        const auto bearer = [](const QByteArray& key) { return Headers {{"Authorization", "Bearer " + key}}; };
        QByteArray id;
        const QByteArray document = eventDocument(&id, QString(), 1.0, 101, QStringLiteral("keyed"));
        QCOMPARE(postTo(first.port(), document).status, 401);
        QCOMPARE(postTo(first.port(), document, bearer(keys[0])).status, 200);
        QCOMPARE(mPg->query(QStringLiteral("SELECT concat_ws(' ', crew, accuracy_m, samples, spread_m, track_id) FROM "
                                           "zepta.events_map WHERE event_id = '%1'")
                                .arg(id)),
            QStringLiteral("pg-0 4.5 3 0.8 77"));
        QCOMPARE(crews(QStringList {QStringLiteral("revoke"), QStringLiteral("pg-0")} + pg).status, 0);
        for (const ListenerProcess* listener : {&first, &second})
            QTRY_COMPARE_WITH_TIMEOUT(postTo(listener->port(), document, bearer(keys[0])).status, 401, 1500);
        QCOMPARE(
            postTo(second.port(), eventDocument(&id, QString(), 1.0, 101, QStringLiteral("keyed")), bearer(keys[1]))
                .status,
            200);
        QCOMPARE(mPg->query(QStringLiteral("SELECT count(*), string_agg(crew, ',' ORDER BY crew) FROM zepta.events "
                                           "WHERE client_id = 'keyed'")),
            QStringLiteral("2|pg-0,pg-1"));
    }

    // Two listeners share nothing but the database: the same events posted
    // to both at once, each twice, are stored once each.
    // A database made by an older listener, before crews, digests and the
    // fix-quality columns: a new listener adds what is missing, keeps the old
    // rows, makes the view afresh, and takes a retry of an old event as one.
    void olderSchemaIsUpgraded()
    {
        mPg->query(QStringLiteral("CREATE DATABASE older"));
        const QString conninfo = mPg->conninfo(QStringLiteral("older"));
        QByteArray oldId;
        const QByteArray oldDocument
            = eventDocument(&oldId, QStringLiteral("before"), 57.5, 101, QStringLiteral("old"));
        const QString made = mPg->query(
            QStringLiteral("CREATE EXTENSION postgis; CREATE SCHEMA zepta; CREATE TABLE zepta.events ("
                           "id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, event_id uuid NOT NULL UNIQUE, "
                           "client_id text, event_type_id integer, notes text, gmt timestamptz, "
                           "geom geometry(Point, 4326) NOT NULL, speed double precision, heading double precision, "
                           "altitude double precision, fix_quality integer, satellites integer, hdop double precision, "
                           "locked boolean, received_at timestamptz NOT NULL, sender_address inet); "
                           "CREATE TABLE zepta.event_types (event_type_id integer PRIMARY KEY, name text NOT NULL, "
                           "icon text); CREATE VIEW zepta.events_map AS SELECT e.*, t.name AS event_type_name FROM "
                           "zepta.events e LEFT JOIN zepta.event_types t ON t.event_type_id = e.event_type_id; "
                           "INSERT INTO zepta.events (event_id, client_id, event_type_id, notes, geom, received_at) "
                           "VALUES ('%1', 'old', 101, 'before', ST_SetSRID(ST_MakePoint(-6.196, 57.5), 4326), now()) "
                           "RETURNING 'made'")
                .arg(QString::fromLatin1(oldId)),
            QStringLiteral("older"));
        QCOMPARE(made, QStringLiteral("made"));

        ListenerProcess listener({QStringLiteral("--pg"), conninfo, QStringLiteral("--catalogue"), mCatalogue});
        QVERIFY2(listener.isRunning(), qPrintable(listener.error()));
        QCOMPARE(postTo(listener.port(), oldDocument).body, QByteArray("Already stored.\n"));
        QCOMPARE(
            postTo(listener.port(), eventDocument(nullptr, QStringLiteral("after"), 57.6, 101, QStringLiteral("old")))
                .status,
            200);
        QCOMPARE(mPg->query(
                     QStringLiteral("SELECT string_agg(notes || ':' || event_type_name || ':' || (crew IS NULL) || ':' "
                                    "|| (track_id IS NULL), ',' ORDER BY id) FROM zepta.events_map"),
                     QStringLiteral("older")),
            QStringLiteral("before:Pothole:true:true,after:Pothole:true:false"));
        QCOMPARE(mPg->query(QStringLiteral("SELECT count(*) FROM zepta.events WHERE body_sha256 IS NOT NULL"),
                     QStringLiteral("older")),
            QStringLiteral("1"));
        QVERIFY2(!listener.log().contains("NOTICE") && !listener.log().contains("ERROR"), listener.log().constData());
    }

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
            socket.waitForConnected(kWaitMs);
            for (int round = 0; round < 2; ++round)
                for (const QByteArray& document : documents)
                    accepted += exchange(socket, postRequest(document)).status == 200;
        };
        std::thread a(send, first.port());
        std::thread b(send, second.port());
        a.join();
        b.join();
        QCOMPARE(accepted.load(), 400);
        QCOMPARE(stored(QStringLiteral("shared")), QStringLiteral("100|100|127.0.0.1"));
        // The schema the first made is no news in the second's log.
        QVERIFY2(!second.log().contains("NOTICE"), second.log().constData());
        // A batch of repeats stores nothing: no transaction id, so no commit
        // to wait for on the disk (the live feed's trigger must not ask for one).
        QCOMPARE(mPg->query(QStringLiteral("BEGIN; INSERT INTO zepta.events (event_id, geom, received_at) "
                                           "SELECT event_id, geom, now() FROM zepta.events LIMIT 1 "
                                           "ON CONFLICT (event_id) DO NOTHING; "
                                           "SELECT pg_current_xact_id_if_assigned() IS NULL; COMMIT")),
            QStringLiteral("t"));
    }
};

QTEST_GUILESS_MAIN(TestListenerPg)
#include "test_listener_pg.moc"

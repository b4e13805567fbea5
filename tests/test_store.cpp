// The configuration store and the shipped application database (the data
// layer under it has its own tests, test_db).

#include "core/Driver.h"
#include "platform/Db.h"
#include "support/ErrorOf.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QTest>

#include <optional>

class TestStore : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    int count(const QString& sql) const
    {
        return db::Connection::openFile(mFolder->applicationDatabase()).open(sql).field(0).toInt32();
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    // A value written is read back, quotes and all, nothing else changes, no
    // row is made; with two rows of a name, both act on the first.
    void writtenValueIsReadBack()
    {
        const auto client = QStringLiteral("CLIENT_ID");
        Driver::Set_Parameter_Value(client, QStringLiteral("crew 7 'north' \"B\""));
        QCOMPARE(Driver::Get_Parameter_Value(client), QStringLiteral("crew 7 'north' \"B\""));
        Driver::Set_Parameter_Value(client, QString());
        QCOMPARE(Driver::Get_Parameter_Value(client), QString());
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("COM_SETTINGS")), QStringLiteral("4800,N,8,1"));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONFIGURATION")), 15);

        mFolder->execApplication(QStringLiteral("INSERT INTO CONFIGURATION VALUES ('CLIENT_ID', 'second')"));
        Driver::Set_Parameter_Value(client, QStringLiteral("changed"));
        QCOMPARE(Driver::Get_Parameter_Value(client), QStringLiteral("changed"));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONFIGURATION WHERE PARAMETER_VALUE = 'second'")), 1);
    }

    // Each failure is the engine's or the data layer's error; nothing is
    // made in place of what is missing.
    void failuresPassToTheCaller_data()
    {
        QTest::addColumn<QString>("arrange");
        QTest::addColumn<bool>("write");
        QTest::addColumn<QString>("error");
        QTest::newRow("no such row, read") << "" << false << "No current record";
        QTest::newRow("no such row, write") << "" << true << "No current record";
        QTest::newRow("Null") << "null" << false << "Null";
        QTest::newRow("read-only") << "read-only" << true << "readonly";
        QTest::newRow("missing file") << "missing" << false << "does not exist";
        QTest::newRow("not a database") << "garbage" << false << "not a database";
    }
    void failuresPassToTheCaller()
    {
        QFETCH(QString, arrange);
        QFETCH(bool, write);
        QFETCH(QString, error);
        const QString file = mFolder->applicationDatabase();
        QString key = QStringLiteral("CLIENT_ID");
        if (arrange.isEmpty()) {
            key = QStringLiteral("X' OR '1'='1"); // a quote in a name is data, not SQL
        } else if (arrange == QLatin1String("null")) {
            // The shipped table forbids Null; an older or hand-edited one may not.
            mFolder->execApplication(QStringLiteral(
                "CREATE TABLE C2 (PARAMETER_NAME TEXT, PARAMETER_VALUE TEXT); INSERT INTO C2 SELECT * FROM "
                "CONFIGURATION; DROP TABLE CONFIGURATION; ALTER TABLE C2 RENAME TO CONFIGURATION;"
                "UPDATE CONFIGURATION SET PARAMETER_VALUE = NULL WHERE PARAMETER_NAME = 'CLIENT_ID'"));
        } else if (arrange == QLatin1String("read-only")) {
            if (!mFolder->makeReadOnly(file))
                QSKIP("this file system cannot make a file read-only for root");
        } else {
            QVERIFY(QFile::remove(file));
            QFile garbage(file);
            if (arrange == QLatin1String("garbage"))
                QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(4096, 'x')) == 4096);
        }
        const QString message = errorOf([&] {
            if (write)
                Driver::Set_Parameter_Value(key, QStringLiteral("2"));
            else
                Driver::Get_Parameter_Value(key);
        });
        QVERIFY2(message.contains(error), qPrintable(message));
        mFolder->makeWritable(file);
        if (arrange == QLatin1String("missing"))
            QVERIFY(!QFile::exists(file));
        else if (arrange != QLatin1String("garbage"))
            QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONFIGURATION WHERE PARAMETER_VALUE = '2'")), 0);
    }

    // The shipped database: the Restore Defaults values, EVENT_CATEGORY the
    // first category of the unordered query (which is not in id order), a
    // catalogue whose mappings all name a type and a category in slots 0 to
    // 7 once each, one category with all eight slots and one with fewer, and
    // an icon for every type.
    void shippedDatabaseIsConsistent()
    {
        for (const char* key : {"TRACKING_INTERVAL", "BEEP_AFTER_SAVES", "SHRINK_AFTER_SAVES", "SHOW_GPS_WINDOW",
                 "COM_PORT", "COM_SETTINGS", "CLIENT_ID", "DATA_STORAGE_MODE", "SERVER_IP", "LISTENER_NAME"})
            QCOMPARE(Driver::Get_Parameter_Value(QLatin1String(key)), Driver::Default_Parameter_Value(key));
        QCOMPARE(Driver::Get_Event_Categories().value(0).first,
            Driver::Get_Parameter_Value(QStringLiteral("EVENT_CATEGORY")).toInt());
        QList<int> order;
        for (const auto& [id, name] : Driver::Get_Event_Categories())
            order << id;
        QVERIFY(!std::is_sorted(order.begin(), order.end()));

        for (const char* broken : {"EVENT_UI_MAPPINGS M WHERE NOT EXISTS (SELECT 1 FROM EVENT_TYPES E WHERE "
                                   "E.EVENT_TYPE_ID = M.EVENT_TYPE_ID)",
                 "EVENT_UI_MAPPINGS M WHERE NOT EXISTS (SELECT 1 FROM EVENT_CATEGORIES C WHERE C.EVENT_CATEGORY_ID = "
                 "M.EVENT_CATEGORY)",
                 "EVENT_UI_MAPPINGS WHERE EVENT_MAPPING_ID NOT BETWEEN 0 AND 7",
                 "(SELECT 1 FROM EVENT_UI_MAPPINGS GROUP BY EVENT_CATEGORY, EVENT_MAPPING_ID HAVING COUNT(*) > 1)"})
            QVERIFY2(count(QStringLiteral("SELECT COUNT(*) FROM ") + QLatin1String(broken)) == 0, broken);
        for (const char* having : {"= 8", "< 8"})
            QVERIFY2(count(QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM EVENT_UI_MAPPINGS GROUP BY "
                                          "EVENT_CATEGORY HAVING COUNT(*) %1)")
                               .arg(QLatin1String(having)))
                    >= 1,
                having);
        auto c = db::Connection::openFile(mFolder->applicationDatabase());
        for (auto rows = c.open(QStringLiteral("SELECT ICON FROM EVENT_TYPES UNION SELECT 'not_found.ico'"));
             !rows.eof(); rows.moveNext())
            QVERIFY2(QFile::exists(builtIconsFolder() + QLatin1Char('/') + rows.field(0).toString()),
                qPrintable(rows.field(0).toString()));
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"

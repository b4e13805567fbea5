// The configuration store and the shipped application database (the data
// layer under it has its own tests, test_db).

#include "core/Driver.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "support/ErrorOf.h"
#include "support/TempProgramFolder.h"

#include <QFile>
#include <QTest>

#include <optional>

class TestStore : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    int configurationRows()
    {
        auto c = db::Connection::openFile(mFolder->applicationDatabase());
        return c.open(QStringLiteral("SELECT COUNT(*) AS N FROM CONFIGURATION")).field(QStringLiteral("N")).toInt32();
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    void writtenValueIsReadBack()
    {
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("crew 7 'north' \"B\""));
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QStringLiteral("crew 7 'north' \"B\""));
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QString());
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QString());
        // Nothing else changed.
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("COM_SETTINGS")), QStringLiteral("4800,N,8,1"));
        QCOMPARE(configurationRows(), 11);
    }

    void missingRowFailsAndCreatesNone()
    {
        QVERIFY(errorOf([] {
            Driver::Get_Parameter_Value(QStringLiteral("NO_SUCH_KEY"));
        }).contains(QLatin1String("No current record")));
        QVERIFY(errorOf([] {
            Driver::Set_Parameter_Value(QStringLiteral("NO_SUCH_KEY"), QStringLiteral("x"));
        }).contains(QLatin1String("No current record")));
        QCOMPARE(configurationRows(), 11);
        // A quote in a name is data, not SQL.
        QVERIFY(!errorOf([] { Driver::Get_Parameter_Value(QStringLiteral("X' OR '1'='1")); }).isEmpty());
    }

    void duplicateNamesActOnTheFirstRow()
    {
        mFolder->execApplication(QStringLiteral("INSERT INTO CONFIGURATION VALUES ('CLIENT_ID', 'second')"));
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QStringLiteral("1"));
        Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("changed"));
        auto c = db::Connection::openFile(mFolder->applicationDatabase());
        auto rows = c.open(QStringLiteral(
            "SELECT PARAMETER_VALUE FROM CONFIGURATION WHERE PARAMETER_NAME = 'CLIENT_ID' ORDER BY rowid"));
        QCOMPARE(rows.field(QStringLiteral("PARAMETER_VALUE")).toString(), QStringLiteral("changed"));
        rows.moveNext();
        QCOMPARE(rows.field(QStringLiteral("PARAMETER_VALUE")).toString(), QStringLiteral("second"));
    }

    void nullValueFails()
    {
        // The shipped table forbids Null; an older or hand-edited one may not.
        mFolder->execApplication(QStringLiteral(
            "CREATE TABLE C2 (PARAMETER_NAME TEXT, PARAMETER_VALUE TEXT); INSERT INTO C2 SELECT * FROM CONFIGURATION;"
            "DROP TABLE CONFIGURATION; ALTER TABLE C2 RENAME TO CONFIGURATION;"
            "UPDATE CONFIGURATION SET PARAMETER_VALUE = NULL WHERE PARAMETER_NAME = 'CLIENT_ID'"));
        QVERIFY(
            errorOf([] { Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")); }).contains(QLatin1String("Null")));
    }

    void unusableDatabaseGivesTheEnginesError()
    {
        if (!mFolder->makeReadOnly(mFolder->applicationDatabase()))
            QSKIP("this file system cannot make a file read-only for root");
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QStringLiteral("1"));
        const QString readOnly
            = errorOf([] { Driver::Set_Parameter_Value(QStringLiteral("CLIENT_ID"), QStringLiteral("2")); });
        QVERIFY2(readOnly.contains(QLatin1String("readonly")), qPrintable(readOnly));
        mFolder->makeWritable(mFolder->applicationDatabase());
        QCOMPARE(Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")), QStringLiteral("1"));

        QVERIFY(QFile::remove(mFolder->applicationDatabase()));
        const QString missing = errorOf([] { Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")); });
        QVERIFY2(missing.contains(QLatin1String("unable to open database file")), qPrintable(missing));
        QVERIFY(!QFile::exists(mFolder->applicationDatabase())); // nothing created

        QFile garbage(mFolder->applicationDatabase());
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
        garbage.close();
        const QString notADatabase = errorOf([] { Driver::Get_Parameter_Value(QStringLiteral("CLIENT_ID")); });
        QVERIFY2(notADatabase.contains(QLatin1String("not a database")), qPrintable(notADatabase));
    }

    void shippedDatabaseHoldsTheDefaults()
    {
        const QList<QPair<QString, QString>> defaults = {{"EVENT_CATEGORY", "30"}, {"TRACKING_INTERVAL", "60"},
            {"BEEP_AFTER_SAVES", "True"}, {"SHRINK_AFTER_SAVES", "True"}, {"SHOW_GPS_WINDOW", "False"},
            {"COM_PORT", "1"}, {"COM_SETTINGS", "4800,N,8,1"}, {"CLIENT_ID", "1"}, {"DATA_STORAGE_MODE", "LOCAL"},
            {"SERVER_IP", "127.0.0.1"}, {"LISTENER_NAME", "Zepta/listener.asp"}};
        for (const auto& [key, value] : defaults)
            QCOMPARE(Driver::Get_Parameter_Value(key), value);
        QCOMPARE(configurationRows(), 11);

        // EVENT_CATEGORY is the first category the unordered query returns.
        auto c = db::Connection::openFile(mFolder->applicationDatabase());
        QCOMPARE(c.open(QStringLiteral("SELECT * FROM EVENT_CATEGORIES"))
                     .field(QStringLiteral("EVENT_CATEGORY_ID"))
                     .toString(),
            Driver::Get_Parameter_Value(QStringLiteral("EVENT_CATEGORY")));
    }

    void shippedCatalogueIsConsistent()
    {
        auto c = db::Connection::openFile(mFolder->applicationDatabase());
        // Category ids come back out of ascending order.
        QList<int> order;
        for (auto rows = c.open(QStringLiteral("SELECT * FROM EVENT_CATEGORIES")); !rows.eof(); rows.moveNext())
            order << rows.field(QStringLiteral("EVENT_CATEGORY_ID")).toInt32();
        QVERIFY(order.size() >= 3);
        QVERIFY(!order.contains(1));
        QVERIFY(!std::is_sorted(order.begin(), order.end()));

        auto count = [&c](const QString& sql) { return c.open(sql).field(QStringLiteral("N")).toInt32(); };
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) AS N FROM EVENT_UI_MAPPINGS M WHERE NOT EXISTS "
                                      "(SELECT 1 FROM EVENT_TYPES E WHERE E.EVENT_TYPE_ID = M.EVENT_TYPE_ID)")),
            0);
        QCOMPARE(
            count(QStringLiteral("SELECT COUNT(*) AS N FROM EVENT_UI_MAPPINGS M WHERE NOT EXISTS "
                                 "(SELECT 1 FROM EVENT_CATEGORIES C WHERE C.EVENT_CATEGORY_ID = M.EVENT_CATEGORY)")),
            0);
        QCOMPARE(count(QStringLiteral(
                     "SELECT COUNT(*) AS N FROM EVENT_UI_MAPPINGS WHERE EVENT_MAPPING_ID NOT BETWEEN 0 AND 7")),
            0);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) AS N FROM (SELECT 1 FROM EVENT_UI_MAPPINGS "
                                      "GROUP BY EVENT_CATEGORY, EVENT_MAPPING_ID HAVING COUNT(*) > 1)")),
            0);
        // One category fills all eight slots, one leaves some empty.
        QVERIFY(
            count(QStringLiteral("SELECT COUNT(*) AS N FROM (SELECT 1 FROM EVENT_UI_MAPPINGS GROUP BY EVENT_CATEGORY "
                                 "HAVING COUNT(*) = 8)"))
            >= 1);
        QVERIFY(
            count(QStringLiteral("SELECT COUNT(*) AS N FROM (SELECT 1 FROM EVENT_UI_MAPPINGS GROUP BY EVENT_CATEGORY "
                                 "HAVING COUNT(*) < 8)"))
            >= 1);
        // Every icon named is shipped, and so is the fallback.
        for (auto rows = c.open(QStringLiteral("SELECT ICON FROM EVENT_TYPES")); !rows.eof(); rows.moveNext()) {
            const QString icon = rows.field(QStringLiteral("ICON")).toString();
            QVERIFY2(QFile::exists(builtIconsFolder() + QLatin1Char('/') + icon), qPrintable(icon));
        }
        QVERIFY(QFile::exists(builtIconsFolder() + QStringLiteral("/not_found.ico")));
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"

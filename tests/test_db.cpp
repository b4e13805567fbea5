// The data layer over SQLite: values and their kinds, stored dates, number
// text, connection strings, failures that name the file and the SQL, and
// engine handles used again only while they still fit the file.

#include "platform/Db.h"
#include "platform/NumberText.h"
#include "support/ErrorOf.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestDb : public QObject
{
    Q_OBJECT

    QTemporaryDir mDir;

    QString file(const char* name) const { return mDir.filePath(QLatin1String(name)); }

    static QString value(db::Connection& c, const QString& sql) { return c.open(sql).field(0).toString(); }

private slots:
    void connectionStrings()
    {
        QCOMPARE(db::dataSourceOf(QStringLiteral("Provider=SQLite;Password=;Data Source=/opt/z/zepta.mdb;Persist "
                                                 "Security Info=True")),
            QStringLiteral("/opt/z/zepta.mdb"));
        QCOMPARE(db::dataSourceOf(QStringLiteral("data source = /a b/c.mdb ;x=y")), QStringLiteral("/a b/c.mdb"));
        QVERIFY(!errorOf([] { db::dataSourceOf(QStringLiteral("Provider=SQLite;Password=")); }).isEmpty());
    }

    void storedDates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read"); // as written back; empty: not a date
        QTest::newRow("date and time") << "2026-12-06 07:30:15"
                                       << "2026-12-06 07:30:15";
        QTest::newRow("ISO with T, fraction and Z") << "2026-12-06T07:30:15.250Z"
                                                    << "2026-12-06 07:30:15";
        QTest::newRow("date alone") << "2026-02-28"
                                    << "2026-02-28 00:00:00";
        QTest::newRow("time alone, zero date") << "23:59:58"
                                               << "1899-12-30 23:59:58";
        QTest::newRow("minutes only") << "2026-12-06 07:30"
                                      << "2026-12-06 07:30:00";
        QTest::newRow("leap day") << "2024-02-29 00:00:01"
                                  << "2024-02-29 00:00:01";
        QTest::newRow("no such day") << "2026-02-29 10:00:00"
                                     << "";
        QTest::newRow("hour 24") << "2026-12-06 24:00:00"
                                 << "";
        QTest::newRow("words") << "yesterday"
                               << "";
        QTest::newRow("trailing garbage") << "2026-12-06 07:30:15x"
                                          << "";
    }
    void storedDates()
    {
        QFETCH(QString, text);
        QFETCH(QString, read);
        const auto parsed = db::parseTimestamp(text);
        QCOMPARE(parsed ? parsed->text() : QString(), read);
        if (parsed)
            QCOMPARE(db::Timestamp::fromDateTime(parsed->toDateTime()), *parsed);
    }

    void numberText()
    {
        QCOMPARE(numtext::toInt16(QStringLiteral(" 42 ")), std::int16_t(42));
        QCOMPARE(numtext::toInt16(QStringLiteral("2.5")), std::int16_t(2));
        QCOMPARE(numtext::toInt16(QStringLiteral("3.5")), std::int16_t(4));
        QCOMPARE(numtext::toInt16(QStringLiteral("-2.5")), std::int16_t(-2));
        QVERIFY(errorOf([] { numtext::toInt16(QStringLiteral("32768")); }).contains(QLatin1String("Overflow")));
        for (const char* text : {"abc", "", "1e"})
            QVERIFY2(
                errorOf([&] { numtext::toInt32(QLatin1String(text)); }).contains(QLatin1String("Type mismatch")), text);
        for (const auto& [text, yes] : {std::pair {"TRUE", true}, {"-1", true}, {"0", false}, {" false ", false}})
            QVERIFY2(numtext::toBoolean(QLatin1String(text)) == yes, text);
        QVERIFY(errorOf([] { numtext::toBoolean(QStringLiteral("maybe")); }).contains(QLatin1String("Type mismatch")));
    }

    // Kinds follow the declared type; a failure names the file and the SQL.
    void valuesAndFailures()
    {
        auto c = db::Connection::openFile(file("types.db"), db::Connection::Mode::Create);
        c.execute(QStringLiteral("CREATE TABLE T (D DATETIME, B BOOLEAN, R DOUBLE, I INTEGER, S TEXT)"));
        c.execute(QStringLiteral("INSERT INTO T VALUES (?, ?, ?, ?, ?)"),
            {db::Value::dateTime(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC)), db::Value::boolean(true),
                db::Value::real(-78.5), db::Value::integer(7), db::Value::null()});
        auto rows = c.open(QStringLiteral("SELECT * FROM T"));
        QCOMPARE(rows.field(QStringLiteral("D")).kind(), db::Value::Kind::DateTime);
        QCOMPARE(rows.field(QStringLiteral("D")).toDateTime(), QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
        QCOMPARE(rows.field(QStringLiteral("b")).kind(), db::Value::Kind::Boolean);
        QCOMPARE(rows.field(QStringLiteral("T.R")).toDouble(), -78.5);
        QCOMPARE(rows.field(QStringLiteral("I")).toInt16(), std::int16_t(7));
        QVERIFY(rows.field(QStringLiteral("S")).isNull());
        QVERIFY(errorOf([&] { rows.field(QStringLiteral("S")).toString(); }).contains(QLatin1String("Null")));
        QVERIFY(errorOf([&] { rows.field(QStringLiteral("NOPE")); }).contains(QLatin1String("no column NOPE")));
        rows.moveNext();
        QVERIFY(errorOf([&] { rows.field(QStringLiteral("D")); }).contains(QLatin1String("No current record")));

        const QString failure = errorOf([&] { c.execute(QStringLiteral("INSERT INTO NOWHERE VALUES (1)")); });
        QCOMPARE(failure,
            QStringLiteral("no such table: NOWHERE (%1; SQL: INSERT INTO NOWHERE VALUES (1))").arg(file("types.db")));
    }

    // A handle given back serves the next connection to the same file, with
    // its kept statements, but never a file that was replaced since (one made
    // read-only is test_recording's); reads always see what another
    // connection committed.
    void handlesFollowTheFile()
    {
        const QString path = file("reuse.db");
        {
            auto c = db::Connection::openFile(path, db::Connection::Mode::Create);
            c.execute(QStringLiteral("CREATE TABLE K (V TEXT); INSERT INTO K VALUES ('first')"));
        }
        const QString select = QStringLiteral("SELECT V FROM K");
        for (int i = 0; i < 2; ++i) { // the same kept statement twice, nested
            auto c = db::Connection::openFile(path);
            auto outer = c.open(select);
            auto inner = c.open(select);
            QCOMPARE(outer.field(0).toString(), inner.field(0).toString());
        }
        {
            auto other = db::Connection::openFile(path);
            other.execute(QStringLiteral("UPDATE K SET V = 'second'"));
            auto reader = db::Connection::openFile(path, db::Connection::Mode::ReadOnly);
            QCOMPARE(value(reader, select), QStringLiteral("second"));
        }

        // Replaced by another file: that one is read.
        {
            auto replacement = db::Connection::openFile(file("other.db"), db::Connection::Mode::Create);
            replacement.execute(QStringLiteral("CREATE TABLE K (V TEXT); INSERT INTO K VALUES ('replaced')"));
        }
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::rename(file("other.db"), path));
        auto c = db::Connection::openFile(path);
        QCOMPARE(value(c, select), QStringLiteral("replaced"));
        c.close();

        // Gone: the error says so, and nothing is created.
        QVERIFY(QFile::rename(path, file("away.db")));
        QVERIFY(errorOf([&] { db::Connection::openFile(path); }).contains(QLatin1String("does not exist")));
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestDb)
#include "test_db.moc"

// The data layer over SQLite: values, stored dates, number text, connection
// strings, failures naming file and SQL, handles used again only for the same file.

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

private slots:
    // Each row is named by the stored text; an empty result: not a date.
    void storedDates_data()
    {
        QTest::addColumn<QString>("read");
        for (const auto& [text, read] : {std::pair {"2026-12-06 07:30:15", "2026-12-06 07:30:15"},
                 {"2026-12-06T07:30:15.250Z", "2026-12-06 07:30:15"}, {"2026-02-28", "2026-02-28 00:00:00"},
                 {"23:59:58", "1899-12-30 23:59:58"}, {"2026-12-06 07:30", "2026-12-06 07:30:00"},
                 {"2024-02-29 00:00:01", "2024-02-29 00:00:01"}, {"2026-02-29 10:00:00", ""},
                 {"2026-12-06 24:00:00", ""}, {"yesterday", ""}, {"2026-12-06 07:30:15x", ""}})
            QTest::newRow(text) << QString::fromLatin1(read);
    }
    void storedDates()
    {
        QFETCH(QString, read);
        const auto parsed = db::parseTimestamp(QString::fromLatin1(QTest::currentDataTag()));
        QCOMPARE(parsed ? parsed->text() : QString(), read);
        if (parsed)
            QCOMPARE(db::Timestamp::fromDateTime(parsed->toDateTime()), *parsed);
    }

    // Connection strings and number text, halves to even.
    void textParsing()
    {
        QCOMPARE(db::dataSourceOf(QStringLiteral("Provider=SQLite;Password=;Data Source=/opt/z/zepta.mdb;Persist "
                                                 "Security Info=True")),
            QStringLiteral("/opt/z/zepta.mdb"));
        QCOMPARE(db::dataSourceOf(QStringLiteral("data source = /a b/c.mdb ;x=y")), QStringLiteral("/a b/c.mdb"));
        QVERIFY(!errorOf([] { db::dataSourceOf(QStringLiteral("Provider=SQLite;Password=")); }).isEmpty());
        QList<std::int16_t> whole;
        for (const char* text : {" 42 ", "2.5", "3.5", "-2.5"})
            whole << numtext::toInt16(QLatin1String(text));
        QCOMPARE(whole, (QList<std::int16_t> {42, 2, 4, -2}));
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
        QCOMPARE((QList<db::Value::Kind> {rows.field(QStringLiteral("D")).kind(),
                     rows.field(QStringLiteral("b")).kind(), rows.field(QStringLiteral("S")).kind()}),
            (QList<db::Value::Kind> {db::Value::Kind::DateTime, db::Value::Kind::Boolean, db::Value::Kind::Null}));
        QCOMPARE(rows.field(QStringLiteral("D")).toDateTime(), QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
        QCOMPARE(rows.field(QStringLiteral("T.R")).toDouble(), -78.5);
        QCOMPARE(rows.field(QStringLiteral("I")).toInt16(), std::int16_t(7));
        QVERIFY(errorOf([&] { rows.field(QStringLiteral("S")).toString(); }).contains(QLatin1String("Null")));
        QVERIFY(errorOf([&] { rows.field(QStringLiteral("NOPE")); }).contains(QLatin1String("no column NOPE")));
        rows.moveNext();
        QVERIFY(errorOf([&] { rows.field(QStringLiteral("D")); }).contains(QLatin1String("No current record")));

        const QString failure = errorOf([&] { c.execute(QStringLiteral("INSERT INTO NOWHERE VALUES (1)")); });
        QCOMPARE(failure,
            QStringLiteral("no such table: NOWHERE (%1; SQL: INSERT INTO NOWHERE VALUES (1))").arg(file("types.db")));
    }

    // A handle given back, with its kept statements, serves the same file but never
    // one replaced since; reads see what another connection committed.
    void handlesFollowTheFile()
    {
        const QString path = file("reuse.db");
        const QString select = QStringLiteral("SELECT V FROM K");
        auto make = [](const QString& at, const char* value) {
            db::Connection::openFile(at, db::Connection::Mode::Create)
                .execute(
                    QStringLiteral("CREATE TABLE K (V TEXT); INSERT INTO K VALUES ('%1')").arg(QLatin1String(value)));
        };
        make(path, "first");
        for (int i = 0; i < 2; ++i) { // the same kept statement twice, nested
            auto c = db::Connection::openFile(path);
            auto outer = c.open(select);
            QCOMPARE(c.open(select).field(0).toString(), outer.field(0).toString());
        }
        {
            auto other = db::Connection::openFile(path);
            other.execute(QStringLiteral("UPDATE K SET V = 'second'"));
            auto reader = db::Connection::openFile(path, db::Connection::Mode::ReadOnly);
            QCOMPARE(reader.open(select).field(0).toString(), QStringLiteral("second"));
        }
        make(file("other.db"), "replaced");
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::rename(file("other.db"), path));
        QCOMPARE(db::Connection::openFile(path).open(select).field(0).toString(), QStringLiteral("replaced"));

        QVERIFY(QFile::rename(path, file("away.db"))); // gone: said so, and nothing is made
        QVERIFY(errorOf([&] { db::Connection::openFile(path); }).contains(QLatin1String("does not exist")));
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestDb)
#include "test_db.moc"

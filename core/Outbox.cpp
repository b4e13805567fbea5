#include "core/Outbox.h"

#include "platform/Db.h"

#include <QStringList>

#include <utility>

namespace Driver
{

namespace
{

const QString kSchema
    = QStringLiteral("CREATE TABLE IF NOT EXISTS OUTBOX ("
                     " OUTBOX_ID INTEGER PRIMARY KEY AUTOINCREMENT,"
                     " EVENT_ID TEXT NOT NULL UNIQUE,"
                     " EVENT_TYPE_ID INTEGER NOT NULL,"
                     " GMT DATETIME,"
                     " SAVED_AT DATETIME NOT NULL,"
                     " URL TEXT NOT NULL,"
                     " DOCUMENT TEXT NOT NULL,"
                     " STATE TEXT NOT NULL DEFAULT 'waiting' CHECK (STATE IN ('waiting', 'attention', 'sent')),"
                     " ATTEMPTS INTEGER NOT NULL DEFAULT 0,"
                     " LAST_ANSWER TEXT,"
                     " LAST_ATTEMPT DATETIME,"
                     " SENT_AT DATETIME);"
                     "CREATE INDEX IF NOT EXISTS OUTBOX_BY_STATE ON OUTBOX (STATE, OUTBOX_ID);");

const QString kColumns
    = QStringLiteral("OUTBOX_ID, EVENT_ID, EVENT_TYPE_ID, GMT, SAVED_AT, URL, DOCUMENT, STATE, ATTEMPTS, LAST_ANSWER");

// The outbox file, made with its table the first time it is needed.
db::Connection open(const QString& path)
{
    db::Connection connection = db::Connection::openFile(path, db::Connection::Mode::Create);
    if (connection.firstUse("outbox schema"))
        connection.execute(kSchema);
    return connection;
}

OutboxStore::Entry entryOf(const db::Recordset& rows)
{
    OutboxStore::Entry entry;
    entry.id = rows.field(0).integerValue();
    entry.eventId = rows.field(1).toString();
    entry.eventTypeId = rows.field(2).toInt32();
    const db::Value gmt = rows.field(3);
    if (!gmt.isNull())
        entry.gmt = gmt.toDateTime();
    entry.savedAt = rows.field(4).toDateTime();
    entry.url = rows.field(5).toString();
    entry.document = rows.field(6).toString();
    entry.state = rows.field(7).toString();
    entry.attempts = rows.field(8).toInt32();
    const db::Value answer = rows.field(9);
    entry.lastAnswer = answer.isNull() ? QString() : answer.toString();
    return entry;
}

db::Value now() { return db::Value::dateTime(QDateTime::currentDateTimeUtc()); }

} // namespace

OutboxStore::OutboxStore(QString path)
    : mPath(std::move(path))
{
}

void OutboxStore::add(const Entry& entry)
{
    auto connection = open(mPath);
    connection.execute(QStringLiteral("INSERT INTO OUTBOX (EVENT_ID, EVENT_TYPE_ID, GMT, SAVED_AT, URL, DOCUMENT) "
                                      "VALUES (?, ?, ?, ?, ?, ?)"),
        {db::Value::text(entry.eventId), db::Value::integer(entry.eventTypeId),
            entry.gmt.isValid() ? db::Value::dateTime(entry.gmt) : db::Value(),
            entry.savedAt.isValid() ? db::Value::dateTime(entry.savedAt) : now(), db::Value::text(entry.url),
            db::Value::text(entry.document)});
}

QList<OutboxStore::Entry> OutboxStore::waiting(int limit) const
{
    auto connection = open(mPath);
    QList<Entry> entries;
    for (auto rows = connection.open(
             QStringLiteral("SELECT %1 FROM OUTBOX WHERE STATE = 'waiting' ORDER BY OUTBOX_ID LIMIT ?").arg(kColumns),
             {db::Value::integer(limit)});
         !rows.eof(); rows.moveNext())
        entries << entryOf(rows);
    return entries;
}

void OutboxStore::markSent(const QList<std::pair<std::int64_t, QString>>& answers)
{
    if (answers.isEmpty())
        return;
    auto connection = open(mPath);
    db::Connection::Transaction transaction(connection);
    for (const auto& [id, answer] : answers)
        connection.execute(QStringLiteral("UPDATE OUTBOX SET STATE = 'sent', ATTEMPTS = ATTEMPTS + 1, LAST_ANSWER = ?, "
                                          "LAST_ATTEMPT = ?, SENT_AT = ?, DOCUMENT = '' WHERE OUTBOX_ID = ?"),
            {db::Value::text(answer), now(), now(), db::Value::integer(id)});
    transaction.commit();
}

void OutboxStore::noteFailure(std::int64_t id, const QString& answer)
{
    open(mPath).execute(QStringLiteral("UPDATE OUTBOX SET ATTEMPTS = ATTEMPTS + 1, LAST_ANSWER = ?, LAST_ATTEMPT = ? "
                                       "WHERE OUTBOX_ID = ?"),
        {db::Value::text(answer), now(), db::Value::integer(id)});
}

void OutboxStore::markAttention(std::int64_t id, const QString& answer)
{
    open(mPath).execute(QStringLiteral("UPDATE OUTBOX SET STATE = 'attention', ATTEMPTS = ATTEMPTS + 1, "
                                       "LAST_ANSWER = ?, LAST_ATTEMPT = ? WHERE OUTBOX_ID = ? AND STATE = 'waiting'"),
        {db::Value::text(answer), now(), db::Value::integer(id)});
}

int OutboxStore::retryAttention()
{
    return open(mPath).execute(QStringLiteral("UPDATE OUTBOX SET STATE = 'waiting' WHERE STATE = 'attention'"));
}

void OutboxStore::discard(const QList<std::int64_t>& ids)
{
    auto connection = open(mPath);
    db::Connection::Transaction transaction(connection);
    for (const std::int64_t id : ids)
        connection.execute(
            QStringLiteral("DELETE FROM OUTBOX WHERE OUTBOX_ID = ? AND STATE <> 'sent'"), {db::Value::integer(id)});
    transaction.commit();
}

OutboxStore::Counts OutboxStore::counts() const
{
    auto connection = open(mPath);
    Counts counts;
    for (auto rows = connection.open(QStringLiteral("SELECT STATE, COUNT(*) FROM OUTBOX GROUP BY STATE")); !rows.eof();
         rows.moveNext()) {
        const QString state = rows.field(0).toString();
        const int n = rows.field(1).toInt32();
        if (state == QLatin1String("waiting"))
            counts.waiting = n;
        else if (state == QLatin1String("attention"))
            counts.attention = n;
        else if (state == QLatin1String("sent"))
            counts.sent = n;
    }
    return counts;
}

QList<OutboxStore::Entry> OutboxStore::pending(int limit) const
{
    auto connection = open(mPath);
    QList<Entry> entries;
    for (auto rows = connection.open(
             QStringLiteral("SELECT %1 FROM OUTBOX WHERE STATE IN ('waiting', 'attention') ORDER BY OUTBOX_ID LIMIT ?")
                 .arg(kColumns),
             {db::Value::integer(limit)});
         !rows.eof(); rows.moveNext())
        entries << entryOf(rows);
    return entries;
}

void OutboxStore::dropSentBefore(const QDateTime& before)
{
    open(mPath).execute(
        QStringLiteral("DELETE FROM OUTBOX WHERE STATE = 'sent' AND SAVED_AT < ?"), {db::Value::dateTime(before)});
}

} // namespace Driver

#pragma once

// The outbox of the XML storage mode: every event saved in that mode is first
// committed here, durably (on disk when add() returns), and only then sent by
// the sender (core/OutboxSender.h), which marks it sent on a 2xx answer. The
// file is Outbox.mdb in the data folder (SQLite), made on first use. It is
// not the event database: export, purge and the event count never see it.
//
// Each event is a row in one of three states: waiting (to be sent, oldest
// first), attention (the listener refused it with a 4xx answer; sent again
// when the listener's address changes or the user asks), sent.

#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <utility>

namespace Driver
{

class OutboxStore
{
public:
    struct Entry {
        std::int64_t id = 0;
        QString eventId; // the event's UUID, also the Idempotency-Key
        int eventTypeId = 0;
        QDateTime gmt; // of the event's reading
        QDateTime savedAt;
        QString url; // where it was meant to go when it was saved
        QString document; // the whole XML document, as posted
        QString state;
        int attempts = 0;
        QString lastAnswer; // the last status line or error
    };
    struct Counts {
        int waiting = 0;
        int attention = 0;
        int sent = 0;
    };

    explicit OutboxStore(QString path);
    const QString& path() const { return mPath; }

    // All of these throw ZeptaError (naming the file) when the file cannot be
    // read or written.
    void add(const Entry& entry);
    // The oldest waiting events, at most `limit`.
    QList<Entry> waiting(int limit) const;
    // Several events sent, marked in one transaction.
    void markSent(const QList<std::pair<std::int64_t, QString>>& answers);
    void noteFailure(std::int64_t id, const QString& answer);
    void markAttention(std::int64_t id, const QString& answer);
    // Events needing attention wait again; returns how many.
    int retryAttention();
    void discard(const QList<std::int64_t>& ids);
    Counts counts() const;
    // Waiting and attention events, oldest first, at most `limit`.
    QList<Entry> pending(int limit) const;
    // Sent events saved before `before` are dropped (they only feed the count).
    void dropSentBefore(const QDateTime& before);

private:
    QString mPath;
};

} // namespace Driver

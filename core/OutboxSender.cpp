#include "core/OutboxSender.h"

#include "platform/Error.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace Driver
{

namespace
{
// While nothing waits, the thread sleeps this long between looks at the file
// (it is woken at once when an event is added).
constexpr int kIdleMs = 60000;
// Events read and marked sent together.
constexpr int kBatch = 64;

bool worthRetrying(const http::Answer& answer)
{
    return answer.status == 0 || answer.status == 408 || answer.status == 429 || answer.status >= 500;
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

OutboxSender::OutboxSender(const QString& path)
    : OutboxSender(path, Options())
{
}

OutboxSender::OutboxSender(const QString& path, Options options)
    : mStore(path)
    , mOptions(std::move(options))
{
    if (!mOptions.random)
        mOptions.random = [] { return QRandomGenerator::global()->generateDouble(); };
}

OutboxSender::~OutboxSender() { stop(); }

void OutboxSender::start()
{
    if (mThread.joinable())
        return;
    // Sent events only feed the count: a month of them is kept. A program that
    // never posted has no outbox file, and none is made here.
    if (QFileInfo::exists(mStore.path())) {
        try {
            mStore.dropSentBefore(QDateTime::currentDateTimeUtc().addDays(-30));
            mCounts = mStore.counts();
        } catch (const ZeptaError& error) {
            qWarning("The outbox cannot be read: %s", qUtf8Printable(error.message()));
        }
    }
    mThread = std::thread([this] { run(); });
}

void OutboxSender::stop()
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStop = true;
    }
    mClient.interrupt();
    if (mThread.joinable())
        mThread.join();
}

void OutboxSender::setUrl(const QString& url)
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (url == mUrl)
            return;
        const bool first = mUrl.isNull();
        mUrl = url;
        if (!first)
            mRetryAttention = true;
    }
    mClient.wake();
}

void OutboxSender::added()
{
    adjustCounts(1, 0, 0);
    mClient.wake();
}

void OutboxSender::retryNow()
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mRetryAttention = true;
        mRetryNow = true;
    }
    mClient.wake();
}

void OutboxSender::recount()
{
    try {
        const OutboxStore::Counts counts = mStore.counts();
        const std::lock_guard<std::mutex> lock(mMutex);
        mCounts = counts;
    } catch (const ZeptaError& error) {
        qWarning("The outbox cannot be read: %s", qUtf8Printable(error.message()));
    }
    emit countsChanged();
}

OutboxStore::Counts OutboxSender::counts() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return mCounts;
}

QString OutboxSender::url() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return mUrl;
}

void OutboxSender::adjustCounts(int waiting, int attention, int sent)
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mCounts.waiting = std::max(0, mCounts.waiting + waiting);
        mCounts.attention = std::max(0, mCounts.attention + attention);
        mCounts.sent = std::max(0, mCounts.sent + sent);
    }
    QMetaObject::invokeMethod(this, &OutboxSender::countsChanged, Qt::QueuedConnection);
}

int OutboxSender::retryDelayMs(int failures) const
{
    const double base
        = std::min<double>(mOptions.longestRetryMs, mOptions.firstRetryMs * std::pow(2.0, std::min(failures - 1, 30)));
    // A fifth either way, so many clients of one listener do not retry in step.
    return static_cast<int>(base * (0.8 + 0.4 * mOptions.random()));
}

// The thread: the oldest waiting events, posted one by one in order; each
// answer decides. Events sent are marked in one commit per batch: should the
// program end before it, they are sent again, and a listener keyed on the
// event id keeps them once.
void OutboxSender::run()
{
    int failures = 0; // in a row, for the back-off
    qint64 nextAttempt = 0;
    bool inOutage = false;
    QList<std::pair<std::int64_t, QString>> sent;
    const auto markSent = [&] {
        mStore.markSent(sent);
        sent.clear();
    };
    for (;;) {
        QString url;
        bool retryAttention = false;
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            if (mStop)
                return;
            url = mUrl;
            if (std::exchange(mRetryNow, false))
                nextAttempt = 0;
            retryAttention = std::exchange(mRetryAttention, false);
        }
        try {
            if (retryAttention) {
                const int again = mStore.retryAttention();
                if (again > 0)
                    adjustCounts(again, -again, 0);
            }
            const QList<OutboxStore::Entry> batch
                = url.isEmpty() ? QList<OutboxStore::Entry>() : mStore.waiting(kBatch);
            if (batch.isEmpty()) {
                mClient.wait(kIdleMs);
                continue;
            }
            const qint64 now = nowMs();
            if (now < nextAttempt) {
                mClient.wait(static_cast<int>(nextAttempt - now));
                continue;
            }
            for (const OutboxStore::Entry& next : batch) {
                const http::Answer answer = mClient.post(url, next.document.toUtf8(),
                    {QByteArrayLiteral("Content-Type: text/xml; charset=utf-8"),
                        QByteArrayLiteral("Idempotency-Key: ") + next.eventId.toUtf8()},
                    mOptions.timeouts);
                if (answer.interrupted) {
                    markSent();
                    return;
                }
                if (answer.ok()) {
                    sent.append({next.id, answer.text()});
                    adjustCounts(-1, 0, 1);
                    failures = 0;
                    nextAttempt = 0;
                    if (std::exchange(inOutage, false))
                        QMetaObject::invokeMethod(this, &OutboxSender::delivered, Qt::QueuedConnection);
                    continue;
                }
                markSent();
                const bool attention = !worthRetrying(answer);
                if (attention) {
                    mStore.markAttention(next.id, answer.text());
                    adjustCounts(-1, 1, 0);
                } else {
                    mStore.noteFailure(next.id, answer.text());
                    nextAttempt = nowMs() + retryDelayMs(++failures);
                }
                if (!std::exchange(inOutage, true)) {
                    QMetaObject::invokeMethod(
                        this, [this, url, text = answer.text(), attention] { emit outage(url, text, attention); },
                        Qt::QueuedConnection);
                }
                break; // the rest of the batch waits its turn
            }
            markSent();
        } catch (const ZeptaError& error) {
            // The outbox file itself failed (locked for long, disk gone): try
            // again later; what was not committed is sent again.
            qWarning("The outbox cannot be used: %s", qUtf8Printable(error.message()));
            sent.clear();
            mClient.wait(mOptions.firstRetryMs);
        }
    }
}

} // namespace Driver

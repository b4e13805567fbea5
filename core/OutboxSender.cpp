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

void OutboxSender::setUrl(const QString& url, const QString& key, const QString& caFile)
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (url == mUrl && key == mKey && caFile == mCaFile)
            return;
        const bool first = mUrl.isNull();
        mUrl = url;
        mKey = key;
        mCaFile = caFile;
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

QString OutboxSender::stalled() const
{
    const std::lock_guard<std::mutex> lock(mMutex);
    return mStalled;
}

void OutboxSender::setStalled(const QString& reason)
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (mStalled == reason)
            return;
        mStalled = reason;
    }
    QMetaObject::invokeMethod(
        this, [this, reason] { emit stalledChanged(reason); }, Qt::QueuedConnection);
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

// A listener that says when to come back (429 or 503 with Retry-After, in
// seconds or as a date) is believed, up to the longest back-off.
int OutboxSender::retryDelayMs(int failures, const http::Answer& answer) const
{
    if ((answer.status == 429 || answer.status == 503) && answer.retryAfterSeconds > 0)
        return static_cast<int>(std::min<long long>(answer.retryAfterSeconds * 1000, mOptions.longestRetryMs));
    const double base
        = std::min<double>(mOptions.longestRetryMs, mOptions.firstRetryMs * std::pow(2.0, std::min(failures - 1, 30)));
    // A fifth either way, so many clients of one listener do not retry in step.
    return static_cast<int>(base * (0.8 + 0.4 * mOptions.random()));
}

// The thread: the oldest waiting events, posted one by one in order; each
// answer decides. Events sent are marked in one commit per batch: should the
// program end before it, they are sent again, and a listener keyed on the
// event id keeps them once. A write of the outbox that fails (a read-only
// file, a full disk) stops the sending: posting what cannot be marked would
// only post it again and again. The write is tried again each retry period
// until it succeeds, and then sending goes on.
void OutboxSender::run()
{
    int failures = 0; // in a row, for the back-off
    qint64 nextAttempt = 0;
    bool inOutage = false;
    QString lastUrl;
    QString lastProblem; // logged once until it changes
    QList<std::pair<std::int64_t, QString>> sent;
    std::function<void()> unwritten; // the failed write, tried again first
    const auto persist = [&](std::function<void()> write) {
        unwritten = std::move(write);
        unwritten();
        unwritten = nullptr;
    };
    const auto markSent = [&] {
        if (!sent.isEmpty())
            persist([this, batch = std::exchange(sent, {})] { mStore.markSent(batch); });
    };
    for (;;) {
        QString url;
        QList<QByteArray> headers {QByteArrayLiteral("Content-Type: text/xml; charset=utf-8")};
        QString caFile;
        bool retryAttention = false;
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            if (mStop)
                return;
            url = mUrl;
            if (!mKey.isEmpty())
                headers << QByteArrayLiteral("Authorization: Bearer ") + mKey.toUtf8();
            caFile = mCaFile;
            if (std::exchange(mRetryNow, false))
                nextAttempt = 0;
            retryAttention = std::exchange(mRetryAttention, false);
        }
        if (url != lastUrl) { // a corrected address is tried at once
            lastUrl = url;
            failures = 0;
            nextAttempt = 0;
        }
        try {
            if (unwritten) {
                persist(std::move(unwritten));
                setStalled(QString());
                lastProblem.clear();
                recount();
            }
            if (retryAttention) {
                persist([this] {
                    if (const int again = mStore.retryAttention(); again > 0)
                        adjustCounts(again, -again, 0);
                });
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
                    headers + QList<QByteArray> {QByteArrayLiteral("Idempotency-Key: ") + next.eventId.toUtf8()},
                    mOptions.timeouts, caFile);
                if (answer.interrupted) {
                    try {
                        markSent();
                    } catch (const ZeptaError&) {
                    }
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
                const QString text = answer.status == 401 ? QString::fromLatin1(kKeyRefused) : answer.text();
                if (attention) {
                    persist([this, id = next.id, text] { mStore.markAttention(id, text); });
                    adjustCounts(-1, 1, 0);
                } else {
                    persist([this, id = next.id, text] { mStore.noteFailure(id, text); });
                    nextAttempt = nowMs() + retryDelayMs(++failures, answer);
                }
                if (!std::exchange(inOutage, true)) {
                    QMetaObject::invokeMethod(
                        this, [this, url, text, attention] { emit outage(url, text, attention); },
                        Qt::QueuedConnection);
                }
                break; // the rest of the batch waits its turn
            }
            markSent();
        } catch (const ZeptaError& error) {
            // The outbox file itself failed (read-only, disk full, locked for
            // long, gone): said once, tried again later.
            if (error.message() != lastProblem) {
                lastProblem = error.message();
                qWarning("The outbox cannot be %s: %s", unwritten ? "written" : "used", qUtf8Printable(lastProblem));
            }
            if (unwritten)
                setStalled(plainReason(error.message()));
            mClient.wait(mOptions.firstRetryMs);
        }
    }
}

} // namespace Driver

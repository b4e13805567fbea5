#include "nomrel/NmeaReceiver.h"

#include "nomrel/NmeaQuality.h"

#include "nomrel/Sources.h"
#include "platform/Error.h"

#include <QPointer>

#include <utility>

namespace nomrel
{

NmeaReceiver::NmeaReceiver(QString programFolder, std::shared_ptr<const Clock> clock, QObject* parent)
    : gps::Receiver(parent)
    , mProgramFolder(std::move(programFolder))
    , mClock(clock ? std::move(clock) : std::make_shared<SystemClock>())
    , mSettings(gps::parseComSettings(mSettingsText))
{
    mTimer.setInterval(kCheckIntervalMs);
    connect(&mTimer, &QTimer::timeout, this, &NmeaReceiver::checkTimeouts);
    connect(&mConnection, &NmeaConnection::sentenceReceived, this, &NmeaReceiver::onSentence);
    connect(&mConnection, &NmeaConnection::fixDecoded, this, &NmeaReceiver::onFix);
    connect(&mConnection, &NmeaConnection::deviceLost, this, &NmeaReceiver::onLost);
}

NmeaReceiver::~NmeaReceiver()
{
    mConnection.detach();
    if (mSource)
        disconnect(mSource.get(), nullptr, this, nullptr);
}

std::int32_t NmeaReceiver::Initialize() { return 0; }

void NmeaReceiver::setMonitor(std::unique_ptr<MonitorPresenter> monitor) { mMonitor = std::move(monitor); }

void NmeaReceiver::ShowMonitor()
{
    if (mMonitor)
        mMonitor->show();
}

void NmeaReceiver::HideMonitor()
{
    if (mMonitor)
        mMonitor->hide();
}

void NmeaReceiver::setPort(std::int16_t port)
{
    if (port < 1)
        throw ZeptaError(QStringLiteral("COM%1 is no port: port numbers begin at 1").arg(port));
    mPort = port;
}

void NmeaReceiver::setSettings(const QString& comSettings)
{
    gps::ComSettings settings = gps::parseComSettings(comSettings);
    if (!settings.usable())
        throw ZeptaError(settings.problem);
    mSettings = std::move(settings);
    mSettingsText = comSettings;
}

// ---------------------------------------------------------------- starting

void NmeaReceiver::Start()
{
    stop();
    const quint64 generation = mGeneration;
    mLastDataMs = now();
    mTimer.start();
    try {
        openSource();
    } catch (const ZeptaError& error) {
        startFailed(error.message());
        throw;
    }
    if (mSource && !mSource->isReady()) {
        const QPointer<NmeaReceiver> alive(this);
        mStarting = true;
        const QString problem = mSource->awaitFirstAnswer(kStartWaitMs);
        if (!alive || generation != mGeneration)
            return; // gone, or started again while waiting: that start decides
        mStarting = false;
        if (!problem.isEmpty()) {
            releaseSource();
            startFailed(describe(problem));
            throw ZeptaError(mProblem);
        }
        if (mSource->isReady())
            attachSource();
    }
}

void NmeaReceiver::startOn(QIODevice* device, const QString& deviceName)
{
    stop();
    mGivenDevice = true;
    mTarget = PortTarget();
    mTarget.device = deviceName;
    mTarget.how = QStringLiteral("given device");
    mLastDataMs = now();
    mTimer.start();
    mState = State::Waiting;
    publish();
    mConnection.attach(device);
}

void NmeaReceiver::stop()
{
    ++mGeneration;
    mStarting = false; // a Start waiting further up the stack gives up with its source
    mTimer.stop();
    mConnection.detach();
    releaseSource();
    mState = State::Stopped;
    mProblem.clear();
    mAttempts = 0;
    mLocked = false;
    mNoDataReported = false;
    mGivenDevice = false;
    mLastFix.reset();
}

// Resolves the port afresh and opens its source: a serial port at once, a
// network source begun. Throws ZeptaError naming the port.
void NmeaReceiver::openSource()
{
    releaseSource();
    mGivenDevice = false;
    try {
        mTarget = resolvePort(mProgramFolder, mPort);
    } catch (const ZeptaError&) {
        mTarget = PortTarget();
        throw;
    }
    mNextEntryCheckMs = now() + kRetryIntervalMs;
    mSource = makeSource(mTarget, mSettings);
    connect(mSource.get(), &Source::failed, this, &NmeaReceiver::onSourceFailed);
    try {
        mSource->open();
    } catch (const ZeptaError& error) {
        releaseSource();
        throw ZeptaError(describe(QStringLiteral("cannot be opened: ") + error.message()));
    }
    // A network source is ready later; Start attaches it itself after its wait.
    connect(mSource.get(), &Source::ready, this, [this] {
        if (!mStarting)
            attachSource();
    });
    if (mSource->isReady()) {
        attachSource();
    } else {
        mState = State::Connecting;
        mConnectStartedMs = now();
        publish();
    }
}

void NmeaReceiver::attachSource()
{
    mState = State::Waiting;
    publish();
    mConnection.attach(mSource->device());
}

void NmeaReceiver::releaseSource()
{
    if (!mSource)
        return;
    if (mConnection.device() == mSource->device())
        mConnection.detach();
    disconnect(mSource.get(), nullptr, this, nullptr);
    mSource->close();
    // It may be sending the signal that brought us here.
    mSource.release()->deleteLater();
}

void NmeaReceiver::startFailed(const QString& problem)
{
    mState = State::Failed;
    mProblem = problem;
    mNoDataReported = true; // the failed start was the report
    mNextAttemptMs = now() + kRetryIntervalMs;
    publish();
}

// ---------------------------------------------------------------- outages

void NmeaReceiver::onSourceFailed(const QString& reason)
{
    if (mStarting)
        return; // Start reports it
    if (mConnection.device())
        mConnection.fail(reason);
    else
        onLost(reason);
}

void NmeaReceiver::onLost(const QString& reason)
{
    if (mState == State::Stopped)
        return;
    releaseSource();
    mConnection.detach();
    if (mState != State::Failed)
        mState = State::Reconnecting;
    mProblem = describe(reason);
    mLocked = false;
    mNextAttemptMs = now() + kRetryIntervalMs;
    const bool report = !mNoDataReported;
    mNoDataReported = true;
    publish();
    if (report) {
        // Not from inside the source's own signal: a slot may open a modal box.
        const quint64 generation = mGeneration;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == mGeneration)
                emit NoData();
        });
    }
}

void NmeaReceiver::attempt()
{
    ++mAttempts;
    mNextAttemptMs = now() + kRetryIntervalMs;
    try {
        openSource();
    } catch (const ZeptaError& error) {
        mProblem = error.message();
        publish();
    }
}

// The ports entry names another source now (a link replaced, a file edited,
// one made where a listed serial port was read): read that one instead, at
// once. The system's list of ports is not read again for this.
void NmeaReceiver::followEntry()
{
    mNextEntryCheckMs = now() + kRetryIntervalMs;
    if (!mTarget.fromEntry && !portHasEntry(mProgramFolder, mPort))
        return;
    try {
        if (resolvePort(mProgramFolder, mPort) == mTarget)
            return;
    } catch (const ZeptaError&) {
        // Gone or broken: opening it again says why.
    }
    mConnection.detach();
    try {
        openSource();
    } catch (const ZeptaError& error) {
        onLost(error.message());
    }
}

void NmeaReceiver::checkTimeouts()
{
    if (mStarting)
        return;
    const qint64 t = now();
    switch (mState) {
    case State::Stopped:
        return;
    case State::Failed:
    case State::Reconnecting:
        if (t >= mNextAttemptMs)
            attempt();
        return;
    case State::Connecting:
        if (t - mConnectStartedMs >= kConnectTimeoutMs) {
            onSourceFailed(QStringLiteral("no answer within %1 s").arg(kConnectTimeoutMs / 1000));
            return;
        }
        break;
    case State::Waiting:
    case State::Receiving:
    case State::Silent:
        if (!mGivenDevice && t >= mNextEntryCheckMs) {
            followEntry();
            return;
        }
        break;
    }
    if (mUnpublished)
        publish();
    if (mState == State::Silent)
        return;
    if (!mNoDataReported && t - mLastDataMs >= kNoDataTimeoutMs) {
        // Silence says more than a stale fix: only NoData is raised.
        mNoDataReported = true;
        mLocked = false;
        if (mState != State::Connecting)
            mState = State::Silent;
        publish();
        emit NoData();
        return;
    }
    if (mLocked && t - mLastFixMs > kFixMaxAgeMs) {
        mLocked = false;
        publish();
        emit Unlocked();
    }
}

// ---------------------------------------------------------------- data

void NmeaReceiver::onSentence(const QString& sentence, bool accepted)
{
    mLastSentences.append(accepted ? sentence : QStringLiteral("(dropped) ") + sentence);
    while (mLastSentences.size() > kSentencesKept)
        mLastSentences.removeFirst();
    mUnpublished = true;
    if (!accepted)
        return;
    mLastDataMs = now();
    if (mState == State::Waiting || mState == State::Silent) {
        mState = State::Receiving;
        mNoDataReported = false;
        mAttempts = 0;
        mProblem.clear();
        publish();
    }
}

QDateTime NmeaReceiver::gmtOf(const nmea::Fix& fix) const
{
    if (!fix.time)
        return mClock->utcNow();
    const QTime time(fix.time->hour, fix.time->minute, fix.time->second, fix.time->millisecond);
    if (fix.date)
        return QDateTime(QDate(fix.date->year, fix.date->month, fix.date->day), time, Qt::UTC);
    // No date from the receiver yet (GGA only): the time of day on the day
    // that puts it nearest to our own clock.
    const QDateTime clock = mClock->utcNow();
    QDateTime gmt(clock.date(), time, Qt::UTC);
    const qint64 offset = clock.secsTo(gmt);
    if (offset > 12 * 3600)
        gmt = gmt.addDays(-1);
    else if (offset < -12 * 3600)
        gmt = gmt.addDays(1);
    return gmt;
}

void NmeaReceiver::onFix(const nmea::Fix& fix)
{
    if (!fix.statusKnown && !fix.valid)
        return; // a cycle that says nothing about the fix (only satellites, only a date)
    mLastFix = fix;
    if (!fix.valid) {
        const bool wasLocked = mLocked;
        mLocked = false;
        publish();
        if (wasLocked)
            emit Unlocked();
        return;
    }

    gps::Reading reading = mReading;
    reading.gmt = gmtOf(fix);
    reading.latitude = fix.position->latitude;
    reading.longitude = fix.position->longitude;
    // Values a cycle may leave out keep their last value (a course, for one,
    // is not given while standing still).
    if (fix.speed)
        reading.speed = *fix.speed;
    if (fix.track)
        reading.heading = *fix.track;
    if (fix.altitude)
        reading.altitude = *fix.altitude;
    if (fix.satellitesUsed)
        reading.satellitesUsed = *fix.satellitesUsed;
    if (fix.satellitesInView)
        reading.satellitesInView = *fix.satellitesInView;
    if (fix.hdop)
        reading.hdop = *fix.hdop;
    reading.fixQuality = fix.quality.value_or(1);
    reading.fixMode = fix.mode;
    reading.accuracy = nmea::horizontalAccuracy(fix);
    reading.locked = true;
    reading.source = QStringLiteral("COM%1").arg(mPort);
    mReading = reading;
    mLocked = true;
    mLastFixMs = now();
    publish();
    emit NewReading(mReading);
}

bool NmeaReceiver::ValidReading() const { return mLocked && now() - mLastFixMs <= kFixMaxAgeMs; }

gps::Reading NmeaReceiver::CurrentReading() const
{
    gps::Reading reading = mReading;
    reading.locked = ValidReading();
    reading.fixAge = reading.gmt.isValid() ? static_cast<double>(now() - mLastFixMs) / 1000.0 : 0.0;
    return reading;
}

// ---------------------------------------------------------------- status

void NmeaReceiver::publish()
{
    mUnpublished = false;
    emit statusChanged(status());
}

QString NmeaReceiver::describe(const QString& reason) const
{
    if (mTarget.address().isEmpty())
        return reason; // the port named nothing: the reason says so
    return QStringLiteral("COM%1 (%2): %3").arg(mPort).arg(mTarget.address(), reason);
}

ReceiverStatus NmeaReceiver::status() const
{
    ReceiverStatus s;
    s.port = mPort;
    s.settings = mSettingsText;
    s.settingsApply = !mTarget.isNetwork();
    s.source = mTarget.address();
    s.how = mTarget.how;
    s.state = mState;
    s.stateText = stateText();
    s.problem = mProblem;
    s.reconnectAttempts = mAttempts;
    s.valid = ValidReading();
    s.lastFix = mLastFix;
    s.reading = CurrentReading();
    s.counters = mConnection.counters();
    s.lastSentences = mLastSentences;
    return s;
}

QString NmeaReceiver::stateText() const
{
    const QString every = QStringLiteral("every %1 s").arg(kRetryIntervalMs / 1000);
    switch (mState) {
    case State::Stopped:
        return QStringLiteral("Not started");
    case State::Failed:
        return QStringLiteral("Cannot start, trying again %1 (%2 attempts): %3")
            .arg(every)
            .arg(mAttempts)
            .arg(mProblem);
    case State::Connecting:
        return mAttempts > 0
            ? QStringLiteral("Reconnecting (attempt %1): connecting to %2").arg(mAttempts).arg(mTarget.address())
            : QStringLiteral("Connecting to %1").arg(mTarget.address());
    case State::Waiting:
        return QStringLiteral("Waiting for data");
    case State::Receiving:
        return ValidReading() ? QStringLiteral("Receiving, fix") : QStringLiteral("Receiving, no fix");
    case State::Silent:
        return QStringLiteral("No data");
    case State::Reconnecting:
        return QStringLiteral("Reconnecting %1 (%2 attempts): %3").arg(every).arg(mAttempts).arg(mProblem);
    }
    return QString();
}

} // namespace nomrel

#include "nomrel/SerialReceiver.h"

#include "nomrel/ReceiverMonitor.h"
#include "platform/Error.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSerialPort>

#include <utility>

namespace nomrel
{

SerialReceiver::SerialReceiver(QString programFolder, std::shared_ptr<const Clock> clock, QObject* parent)
    : gps::Receiver(parent)
    , mProgramFolder(std::move(programFolder))
    , mClock(clock ? std::move(clock) : std::make_shared<SystemClock>())
{
    mTimer.setInterval(kCheckIntervalMs);
    connect(&mTimer, &QTimer::timeout, this, &SerialReceiver::checkTimeouts);
    connect(&mConnection, &NmeaConnection::bytesReceived, this, &SerialReceiver::onBytes);
    connect(&mConnection, &NmeaConnection::sentenceReceived, this, &SerialReceiver::onSentence);
    connect(&mConnection, &NmeaConnection::fixDecoded, this, &SerialReceiver::onFix);
    connect(&mConnection, &NmeaConnection::deviceLost, this, &SerialReceiver::onDeviceLost);
}

SerialReceiver::~SerialReceiver()
{
    mConnection.detach();
    if (mSerialPort) {
        mSerialPort->close();
        delete mSerialPort.data();
    }
}

std::int32_t SerialReceiver::Initialize() { return 0; }

void SerialReceiver::ShowMonitor()
{
    if (!mMonitor) {
        mMonitor = std::make_unique<ReceiverMonitor>(*this);
        // Beside the program's window rather than over it, where no window
        // manager places it: at the right edge of the screen.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            mMonitor->adjustSize();
            mMonitor->move(area.right() - mMonitor->frameGeometry().width(), area.top());
        }
    }
    mMonitor->show();
    mMonitor->refresh();
}

void SerialReceiver::HideMonitor()
{
    if (mMonitor)
        mMonitor->hide();
}

QWidget* SerialReceiver::monitor() const { return mMonitor.get(); }

void SerialReceiver::setPort(std::int16_t port)
{
    if (port < 1)
        throw ZeptaError(QStringLiteral("COM%1 is no port: port numbers begin at 1").arg(port));
    mPort = port;
}

void SerialReceiver::setSettings(const QString& comSettings)
{
    mSettings = parseLineSettings(comSettings);
    mSettingsText = comSettings;
}

void SerialReceiver::Start()
{
    closeDevice();
    try {
        const ResolvedPort where = resolvePort(mProgramFolder, mPort, systemSerialPorts());
        mPortHow = where.how;
        mDeviceName = where.device;
        auto* port = new QSerialPort(this);
        port->setPortName(where.device);
        port->setBaudRate(mSettings.baudRate);
        port->setParity(mSettings.parity);
        port->setDataBits(mSettings.dataBits);
        port->setStopBits(mSettings.stopBits);
        port->setFlowControl(QSerialPort::NoFlowControl);
        if (!port->open(QIODevice::ReadOnly)) {
            const QString why = port->errorString();
            delete port;
            throw ZeptaError(QStringLiteral("Cannot open COM%1 (%2): %3").arg(mPort).arg(where.device, why));
        }
        mSerialPort = port;
        attach(port, where.device);
    } catch (const ZeptaError& error) {
        mState = State::Failed;
        mProblem = error.message();
        emit statusChanged();
        throw;
    }
}

void SerialReceiver::startOn(QIODevice* device, const QString& deviceName)
{
    closeDevice();
    mPortHow = QStringLiteral("given device");
    attach(device, deviceName);
}

void SerialReceiver::attach(QIODevice* device, const QString& deviceName)
{
    mDeviceName = deviceName;
    mProblem.clear();
    mState = State::Waiting;
    mLastDataMs = now();
    mTimer.start();
    emit statusChanged();
    mConnection.attach(device);
}

void SerialReceiver::releaseSerialPort()
{
    if (!mSerialPort)
        return;
    QSerialPort* port = mSerialPort.data();
    mSerialPort = nullptr;
    disconnect(port, nullptr, this, nullptr);
    port->close();
    port->deleteLater(); // this may run inside one of its own signals
}

void SerialReceiver::closeDevice()
{
    ++mGeneration;
    mTimer.stop();
    mConnection.detach();
    releaseSerialPort();
    mState = State::Stopped;
    mLocked = false;
    mNoDataReported = false;
    mHasFix = false;
    mLastFix = nmea::Fix();
    mProblem.clear();
}

bool SerialReceiver::ValidReading() const { return mLocked && now() - mLastFixMs <= kFixMaxAgeMs; }

gps::Reading SerialReceiver::CurrentReading() const
{
    gps::Reading reading = mReading;
    reading.locked = ValidReading();
    return reading;
}

void SerialReceiver::checkTimeouts()
{
    if (mState != State::Waiting && mState != State::Receiving)
        return;
    const qint64 t = now();
    if (!mNoDataReported && t - mLastDataMs >= kNoDataTimeoutMs) {
        // Silence says more than a stale fix: only NoData is raised.
        mNoDataReported = true;
        mLocked = false;
        mState = State::Silent;
        emit statusChanged();
        emit NoData();
        return;
    }
    if (mLocked && t - mLastFixMs > kFixMaxAgeMs) {
        mLocked = false;
        emit statusChanged();
        emit Unlocked();
    }
}

void SerialReceiver::onBytes()
{
    mLastDataMs = now();
    if (mState == State::Waiting || mState == State::Silent) {
        mState = State::Receiving;
        mNoDataReported = false;
        emit statusChanged();
    }
}

void SerialReceiver::onSentence(const QString& sentence, bool accepted)
{
    mLastSentences.append(accepted ? sentence : QStringLiteral("(dropped) ") + sentence);
    while (mLastSentences.size() > kSentencesKept)
        mLastSentences.removeFirst();
}

QDateTime SerialReceiver::gmtOf(const nmea::Fix& fix) const
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

void SerialReceiver::onFix(const nmea::Fix& fix)
{
    if (!fix.statusKnown && !fix.valid)
        return; // a cycle that says nothing about the fix (only satellites, only a date)
    mLastFix = fix;
    mHasFix = true;
    if (!fix.valid) {
        const bool wasLocked = mLocked;
        mLocked = false;
        emit statusChanged();
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
    reading.locked = true;
    reading.source = QStringLiteral("COM%1").arg(mPort);
    mReading = reading;
    mLocked = true;
    mLastFixMs = now();
    emit statusChanged();
    emit NewReading(mReading);
}

void SerialReceiver::onDeviceLost(const QString& reason)
{
    const quint64 generation = mGeneration;
    const bool report = !mNoDataReported;
    mTimer.stop();
    releaseSerialPort();
    mState = State::Lost;
    mProblem = reason;
    mLocked = false;
    mNoDataReported = true;
    emit statusChanged();
    if (report) {
        // Not from inside the port's own signal: a slot may open a modal box.
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == mGeneration)
                emit NoData();
        });
    }
}

QString SerialReceiver::stateText() const
{
    switch (mState) {
    case State::Stopped:
        return QStringLiteral("Not started");
    case State::Failed:
        return QStringLiteral("Cannot start: ") + mProblem;
    case State::Waiting:
        return QStringLiteral("Waiting for data");
    case State::Receiving:
        return ValidReading() ? QStringLiteral("Receiving, fix") : QStringLiteral("Receiving, no fix");
    case State::Silent:
        return QStringLiteral("No data");
    case State::Lost:
        return QStringLiteral("Device lost: ") + mProblem;
    }
    return QString();
}

} // namespace nomrel

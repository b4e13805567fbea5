#pragma once

#include "gps/Receiver.h"
#include "nomrel/Clock.h"
#include "nomrel/NmeaConnection.h"
#include "nomrel/SerialPorts.h"

#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSerialPort;
class QWidget;

namespace nomrel
{

class ReceiverMonitor;

// The component's GPS receiver: reads NMEA from a serial port (or any open
// QIODevice), keeps the latest reading and raises NewReading once per fix
// cycle with a usable fix, Unlocked when the fix is lost, and NoData when
// nothing arrives. All on the thread it lives on (the GUI thread).
//
// - A reading is valid while the last fix cycle had a fix (RMC status A, GGA
//   quality above 0, ...) that is at most kFixMaxAgeMs old.
// - Unlocked: once per loss, when a cycle reports no fix or the fix grows too
//   old while data still comes.
// - NoData: once when nothing has arrived for kNoDataTimeoutMs, or at once
//   when the device vanishes; again only after data came back and stopped
//   again. Start() begins afresh.
class SerialReceiver : public gps::Receiver
{
    Q_OBJECT
public:
    static constexpr qint64 kNoDataTimeoutMs = 5000;
    static constexpr qint64 kFixMaxAgeMs = 5000;
    static constexpr int kCheckIntervalMs = 250;
    static constexpr int kSentencesKept = 12; // for the monitor

    enum class State {
        Stopped, // not started
        Failed, // the last Start failed
        Waiting, // open, nothing received yet
        Receiving,
        Silent, // open, but no data for a while
        Lost, // the device went away
    };

    // Ports resolve against programFolder ("ports/COMn"); without a clock the
    // system's is used.
    explicit SerialReceiver(
        QString programFolder, std::shared_ptr<const Clock> clock = nullptr, QObject* parent = nullptr);
    ~SerialReceiver() override;

    std::int32_t Initialize() override;
    void ShowMonitor() override;
    void HideMonitor() override;
    void setPort(std::int16_t port) override;
    std::int16_t port() const override { return mPort; }
    void setSettings(const QString& comSettings) override;
    QString settings() const override { return mSettingsText; }
    void Start() override;

    float Latitude() const override { return static_cast<float>(mReading.latitude); }
    float Longitude() const override { return static_cast<float>(mReading.longitude); }
    float Heading() const override { return static_cast<float>(mReading.heading); }
    QDateTime GMT() const override { return mReading.gmt; }
    bool ValidReading() const override;
    gps::Reading CurrentReading() const override;

    // Reads an already open device (not owned) instead of a serial port, as
    // Start does after opening one.
    void startOn(QIODevice* device, const QString& deviceName);

    // Raises NoData or Unlocked when their time has come; a timer runs it
    // every kCheckIntervalMs while a device is open.
    void checkTimeouts();

    State state() const { return mState; }
    QString stateText() const;
    QString deviceName() const { return mDeviceName; }
    QString portHow() const { return mPortHow; }
    const QSerialPort* serialPort() const { return mSerialPort; }
    nmea::DecodeCounters counters() const { return mConnection.counters(); }
    const QStringList& lastSentences() const { return mLastSentences; }
    const nmea::Fix& lastFix() const { return mLastFix; }
    bool hasFix() const { return mHasFix; }
    QWidget* monitor() const;

signals:
    // For the monitor: anything shown may have changed.
    void statusChanged();

private:
    void closeDevice();
    void releaseSerialPort();
    void attach(QIODevice* device, const QString& deviceName);
    void onBytes();
    void onSentence(const QString& sentence, bool accepted);
    void onFix(const nmea::Fix& fix);
    void onDeviceLost(const QString& reason);
    QDateTime gmtOf(const nmea::Fix& fix) const;
    qint64 now() const { return mClock->monotonicMs(); }

    QString mProgramFolder;
    std::shared_ptr<const Clock> mClock;
    std::int16_t mPort = 1;
    QString mSettingsText = QStringLiteral("4800,N,8,1");
    LineSettings mSettings;

    NmeaConnection mConnection;
    QPointer<QSerialPort> mSerialPort; // owned (child) while open
    QString mDeviceName;
    QString mPortHow;
    QString mProblem; // why it failed or was lost
    quint64 mGeneration = 0; // moves on at each start
    QTimer mTimer;

    State mState = State::Stopped;
    gps::Reading mReading;
    nmea::Fix mLastFix;
    bool mHasFix = false;
    bool mLocked = false;
    bool mNoDataReported = false;
    qint64 mLastDataMs = 0;
    qint64 mLastFixMs = 0;
    QStringList mLastSentences;

    std::unique_ptr<ReceiverMonitor> mMonitor;
};

} // namespace nomrel

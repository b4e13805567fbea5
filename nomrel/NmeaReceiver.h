#pragma once

#include "gps/ComSettings.h"
#include "gps/Receiver.h"
#include "nomrel/Clock.h"
#include "nomrel/NmeaConnection.h"
#include "nomrel/Ports.h"
#include "nomrel/ReceiverStatus.h"

#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

namespace nomrel
{

class Source;

// Shows a receiver's status to a person. The receiver has no window of its
// own: the component gives it one, and ShowMonitor and HideMonitor go there.
class MonitorPresenter
{
public:
    virtual ~MonitorPresenter() = default;
    virtual void show() = 0;
    virtual void hide() = 0;
};

// The component's GPS receiver: reads NMEA from the source its port number
// stands for (a serial device, a gpsd, NMEA over TCP: see Ports.h), keeps the
// latest reading and raises NewReading once per fix cycle with a usable fix,
// Unlocked when the fix is lost, and NoData when nothing arrives. All on the
// thread it lives on (the GUI thread).
//
// - A reading is valid while the last fix cycle had a fix (RMC status A, GGA
//   quality above 0, ...) that is at most kFixMaxAgeMs old.
// - Unlocked: once per loss, when a cycle reports no fix or the fix grows too
//   old while data still comes.
// - Data is a well-formed sentence; noise does not count. NoData: once when
//   none has come for kNoDataTimeoutMs, or at once when the source fails
//   (read error, end of data, device or link target gone, connection lost);
//   again only after data came back and stopped again.
// - A failed source is tried again every kRetryIntervalMs, resolving the port
//   afresh each time, until data flows again; so does a Start that failed. A
//   ports/COMn entry that comes to name another source while one is read is
//   followed at once.
// - Start() begins afresh. For a network source it waits up to kStartWaitMs
//   (the GUI keeps painting; user input waits) so that a host that does not
//   resolve or refuses, a gpsd that greets wrongly, or a stream of garbage is
//   an error of Start; what is not known by then turns out later, as an
//   outage.
class NmeaReceiver : public gps::Receiver
{
    Q_OBJECT
public:
    static constexpr qint64 kNoDataTimeoutMs = 5000;
    static constexpr qint64 kFixMaxAgeMs = 5000;
    static constexpr qint64 kRetryIntervalMs = 2000;
    static constexpr qint64 kConnectTimeoutMs = 10000;
    static constexpr int kStartWaitMs = 1500;
    static constexpr int kCheckIntervalMs = 250;
    static constexpr int kSentencesKept = 12;
    using State = ReceiverStatus::State;

    // Ports resolve against programFolder ("ports/COMn"); without a clock the
    // system's is used.
    explicit NmeaReceiver(
        QString programFolder, std::shared_ptr<const Clock> clock = nullptr, QObject* parent = nullptr);
    ~NmeaReceiver() override;

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

    // Where ShowMonitor and HideMonitor go.
    void setMonitor(std::unique_ptr<MonitorPresenter> monitor);

    // Reads an already open device (not owned) instead of the port's source.
    void startOn(QIODevice* device, const QString& deviceName);

    // Raises NoData or Unlocked when their time has come, tries a lost source
    // again, follows a changed ports entry; a timer runs it every
    // kCheckIntervalMs once started.
    void checkTimeouts();

    State state() const { return mState; }
    ReceiverStatus status() const;

signals:
    // Anything a monitor shows may have changed.
    void statusChanged(const nomrel::ReceiverStatus& status);

private:
    void stop();
    void openSource();
    void attachSource();
    void releaseSource();
    void attempt();
    void followEntry();
    void startFailed(const QString& problem);
    void onSourceFailed(const QString& reason);
    void onLost(const QString& reason);
    void onSentence(const QString& sentence, bool accepted);
    void onFix(const nmea::Fix& fix);
    void publish();
    QString describe(const QString& reason) const;
    QString stateText() const;
    QDateTime gmtOf(const nmea::Fix& fix) const;
    qint64 now() const { return mClock->monotonicMs(); }

    QString mProgramFolder;
    std::shared_ptr<const Clock> mClock;
    std::int16_t mPort = 1;
    QString mSettingsText = QStringLiteral("4800,N,8,1");
    gps::ComSettings mSettings;

    NmeaConnection mConnection;
    std::unique_ptr<Source> mSource;
    PortTarget mTarget; // of the source read or tried last
    bool mGivenDevice = false; // startOn: no port of ours
    quint64 mGeneration = 0; // moves on at each start and stop
    QTimer mTimer;
    bool mStarting = false; // Start is waiting for a network source's first answer

    State mState = State::Stopped;
    QString mProblem;
    int mAttempts = 0;
    qint64 mNextAttemptMs = 0;
    qint64 mConnectStartedMs = 0;
    qint64 mNextEntryCheckMs = 0;

    gps::Reading mReading;
    std::optional<nmea::Fix> mLastFix;
    bool mLocked = false;
    bool mNoDataReported = false;
    qint64 mLastDataMs = 0;
    qint64 mLastFixMs = 0;
    QStringList mLastSentences;
    bool mUnpublished = false; // sentences came since the status was last sent

    std::unique_ptr<MonitorPresenter> mMonitor;
};

} // namespace nomrel

#pragma once

#include "gps/Component.h"
#include "nomrel/Component.h"

#include <QStringList>

#include <optional>

// A receiver driven by the test: it records every call the program makes, can
// be told to fail a call, and raises its three events when the test says so.
class ScriptedReceiver : public gps::Receiver
{
    Q_OBJECT
public:
    std::int32_t Initialize() override;
    void ShowMonitor() override;
    void HideMonitor() override;
    void setPort(std::int16_t port) override;
    std::int16_t port() const override { return mPort; }
    void setSettings(const QString& comSettings) override;
    QString settings() const override { return mSettings; }
    void Start() override;

    float Latitude() const override { return static_cast<float>(mReading.latitude); }
    float Longitude() const override { return static_cast<float>(mReading.longitude); }
    float Heading() const override { return static_cast<float>(mReading.heading); }
    QDateTime GMT() const override { return mReading.gmt; }
    bool ValidReading() const override { return mValid; }
    gps::Reading CurrentReading() const override { return mReading; }

    // ---- driven by the test
    void deliver(const gps::Reading& reading); // valid reading + NewReading
    void loseFix(); // invalid + Unlocked
    void stopData(); // invalid + NoData

    // Calls made, e.g. "Initialize", "ShowMonitor", "setPort 3", "setSettings 4800,N,8,1", "Start".
    QStringList calls;
    // A call whose name is listed here throws ZeptaError instead.
    QStringList failing;
    bool monitorShown = false;

private:
    void record(const QString& call);

    std::int16_t mPort = 0;
    QString mSettings;
    gps::Reading mReading;
    bool mValid = false;
};

// A component whose receivers are scripted and whose event objects and data
// link are the real ones. The last receiver made is kept for the test.
class ScriptedComponent : public nomrel::Component
{
public:
    using nomrel::Component::Component;
    std::unique_ptr<gps::Receiver> CreateReceiver() override;
    ScriptedReceiver* receiver = nullptr;
    int receiversMade = 0;
};

// A reading with the given values and sensible others.
gps::Reading makeReading(double latitude, double longitude, double heading = 90.0,
    const QDateTime& gmt = QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC));

#pragma once

#include "gps/Component.h"
#include "nomrel/Component.h"
#include "platform/Error.h"

#include <QStringList>

#include <optional>

// A receiver driven by the test: it records every call the program makes, can
// be told to fail a call, and raises its three events when the test says so.
class ScriptedReceiver : public gps::Receiver
{
    Q_OBJECT
public:
    std::int32_t Initialize() override { return record(QStringLiteral("Initialize"), 0); }
    void ShowMonitor() override { monitorShown = record(QStringLiteral("ShowMonitor"), true); }
    void HideMonitor() override { monitorShown = record(QStringLiteral("HideMonitor"), false); }
    void setPort(std::int16_t port) override { mPort = record(QStringLiteral("setPort %1").arg(port), port); }
    std::int16_t port() const override { return mPort; }
    void setSettings(const QString& comSettings) override
    {
        mSettings = record(QStringLiteral("setSettings ") + comSettings, comSettings);
    }
    QString settings() const override { return mSettings; }
    void Start() override { record(QStringLiteral("Start"), 0); }

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
    // Records the call (or throws, when it is to fail) and hands back `value`.
    template <typename T> T record(const QString& call, T value)
    {
        calls << call;
        const QString name = call.section(QLatin1Char(' '), 0, 0);
        if (failing.contains(name))
            throw ZeptaError(QStringLiteral("scripted failure of %1").arg(name));
        return value;
    }

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

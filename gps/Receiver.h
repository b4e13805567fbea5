#pragma once

#include "gps/Reading.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>

namespace gps
{

// The GPS receiver object as the program uses it (the main window's mGPS).
// Settings are given in the order: monitor, port, line settings, start. A
// member that cannot do its work throws ZeptaError. The three signals are
// delivered on the GUI thread.
class Receiver : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~Receiver() override = default;

    virtual std::int32_t Initialize() = 0;
    virtual void ShowMonitor() = 0;
    virtual void HideMonitor() = 0;
    virtual void setPort(std::int16_t port) = 0; // 1 = COM1
    virtual std::int16_t port() const = 0;
    virtual void setSettings(const QString& comSettings) = 0; // "4800,N,8,1"
    virtual QString settings() const = 0;
    virtual void Start() = 0;

    // The latest reading.
    virtual float Latitude() const = 0;
    virtual float Longitude() const = 0;
    virtual float Heading() const = 0;
    virtual QDateTime GMT() const = 0;
    virtual bool ValidReading() const = 0;
    virtual Reading CurrentReading() const = 0;

signals:
    void NewReading(const gps::Reading& Position);
    void Unlocked();
    void NoData();
};

} // namespace gps

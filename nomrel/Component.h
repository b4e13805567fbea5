#pragma once

#include "gps/Component.h"

#include <QString>

#include <memory>

namespace nomrel
{

// The data-link object: the event database's connection string, one value for
// the whole process.
class DataLink : public gps::DataLink
{
public:
    void setConnectionString(const QVariant& connectionString) override;
    QString connectionString() const override;
};

class Clock;

// The component: receivers resolve their port numbers against the program
// folder given here (its "ports/COMn" entries), take their time from the
// clock given (the system's without one), and each has its monitor window.
class Component : public gps::Component
{
public:
    explicit Component(QString programFolder, std::shared_ptr<const Clock> clock = nullptr);
    std::unique_ptr<gps::Receiver> CreateReceiver() override;
    std::unique_ptr<gps::EventObject> CreateEvent() override;
    std::unique_ptr<gps::DataLink> CreateDataLink() override;

    const QString& programFolder() const { return mProgramFolder; }

private:
    QString mProgramFolder;
    std::shared_ptr<const Clock> mClock;
};

} // namespace nomrel

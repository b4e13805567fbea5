#pragma once

#include <QString>
#include <QVariant>

namespace gps
{

// Holds the event database's connection string for the whole process: every
// data-link object returns the value last set on any of them.
class DataLink
{
public:
    virtual ~DataLink() = default;
    virtual void setConnectionString(const QVariant& connectionString) = 0;
    virtual QString connectionString() const = 0;
};

} // namespace gps

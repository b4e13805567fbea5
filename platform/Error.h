#pragma once

#include <QString>
#include <stdexcept>

// The one exception type of the program. Procedures that let errors pass to
// their caller throw it, carrying the engine's or the component's own message.
class ZeptaError : public std::runtime_error
{
public:
    explicit ZeptaError(const QString& message)
        : std::runtime_error(message.toStdString())
        , mMessage(message)
    {
    }

    const QString& message() const noexcept { return mMessage; }

private:
    QString mMessage;
};

// The message of any exception: ours as it stands, others by what().
inline QString messageOf(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const ZeptaError*>(&error))
        return own->message();
    return QString::fromLocal8Bit(error.what());
}

// Why something failed, in words a crew understands ("the disk is full"),
// from the engine's or the system's own message. That message, which may hold
// SQL, belongs in the log, never in a box.
QString plainReason(const QString& details);

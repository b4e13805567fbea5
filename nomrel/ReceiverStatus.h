#pragma once

#include "gps/Reading.h"
#include "nomrel/NmeaStream.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>

namespace nomrel
{

// What a receiver is doing, as one copy a monitor can show: the port and how
// it was found, the state, the last fix, what was received and dropped.
struct ReceiverStatus {
    enum class State {
        Stopped, // not started
        Failed, // the last Start failed; tried again every few seconds
        Connecting, // a network source is being reached
        Waiting, // open, nothing received yet
        Receiving,
        Silent, // open, but no data for a while
        Reconnecting, // the source was lost; tried again every few seconds
    };

    int port = 1; // COM n
    QString settings; // the COM_SETTINGS text
    bool settingsApply = true; // false for a network source, which has no line settings
    QString source; // the device or network address read
    QString how; // how the port was found: "ports/COM1 link", "2nd listed serial port", ...

    State state = State::Stopped;
    QString stateText; // the state in words, with the problem and the attempts
    QString problem; // why it failed or was lost
    int reconnectAttempts = 0; // since the source was lost or the start failed

    bool valid = false; // a current fix
    std::optional<nmea::Fix> lastFix; // the last cycle that told whether there is a fix
    gps::Reading reading; // the latest reading with a fix; its gmt is invalid before the first
    nmea::DecodeCounters counters;
    QStringList lastSentences; // the newest last; dropped ones marked "(dropped) "
};

} // namespace nomrel

Q_DECLARE_METATYPE(nomrel::ReceiverStatus)

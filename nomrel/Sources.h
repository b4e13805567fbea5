#pragma once

#include "gps/ComSettings.h"
#include "nomrel/Ports.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QIODevice;

namespace nomrel
{

// One place NMEA comes from, opened for the receiver: a serial device, a TCP
// stream, or a gpsd asked for its NMEA. A source says when its stream is
// ready to read and when it failed; the stream's own end is seen by whoever
// reads it. Connecting never waits: network sources work on Qt's
// asynchronous sockets.
class Source : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts opening. Throws ZeptaError when it fails at once (a serial port
    // that cannot be opened); later failures come as failed().
    virtual void open() = 0;
    // The NMEA stream: valid once ready.
    virtual QIODevice* device() const = 0;
    // Lets go of the device now: a serial port is opened exclusively, so a
    // restart on the same port must not wait for a deferred delete.
    void close();
    bool isReady() const { return mReady; }

    // Runs the event loop, user input held back, until the source has
    // answered (or failed, or is destroyed) or timeoutMs have passed. Returns
    // what is wrong with it if that is known by then; empty otherwise.
    QString awaitFirstAnswer(int timeoutMs);

signals:
    void ready();
    // Sent once; the source is of no further use.
    void failed(const QString& reason);

protected:
    void setReady();
    void fail(const QString& reason);
    // What the source's first answer says: nullopt while there is too little
    // to tell, empty when it is fine, else the problem. Ready is enough for
    // most.
    virtual std::optional<QString> firstAnswer() const { return QString(); }

private:
    bool mReady = false;
    bool mFailed = false;
};

// The source for a resolved port: a serial port with the line settings, or a
// network source (for which the settings mean nothing).
std::unique_ptr<Source> makeSource(const PortTarget& target, const gps::ComSettings& settings);

// The first line a gpsd sends on a new connection: a JSON object of class
// VERSION. Empty when the line is one; else why not.
QString gpsdGreetingProblem(const QByteArray& line);

// What the receiver sends a gpsd to have its devices' NMEA passed on.
constexpr const char* kGpsdWatch = "?WATCH={\"enable\":true,\"nmea\":true}\n";

} // namespace nomrel

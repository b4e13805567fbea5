#pragma once

// What the receiver's tests share: a clock moved by hand, NMEA made up in a
// test, and the nomrel tool run as a feeder.

#include "nomrel/Clock.h"
#include "nomrel/NmeaParser.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <signal.h>

class ManualClock : public nomrel::Clock
{
public:
    qint64 ms = 0;
    QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(7, 0), Qt::UTC);
    qint64 monotonicMs() const override { return ms; }
    QDateTime utcNow() const override { return start.addMSecs(ms); }
};

// A sentence body with its "*hh" and CR LF.
inline QByteArray withChecksum(const QByteArray& body)
{
    const QByteArray sum = QByteArray::number(nomrel::nmea::checksumOf(body.toStdString()), 16);
    return body + '*' + sum.rightJustified(2, '0').toUpper() + "\r\n";
}

// A program (the nomrel tool, gpsfake) in a process group of its own, so that it and whatever it
// starts go together; killed (without a goodbye: links stay) when it goes.
class ToolProcess
{
public:
    ToolProcess(const QString& program, const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.setProcessEnvironment(environment);
        mProcess.setChildProcessModifier([] { ::setpgid(0, 0); });
        mProcess.start(program, arguments);
    }
    ~ToolProcess() { kill(); }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    void kill()
    {
        if (mProcess.state() == QProcess::NotRunning)
            return;
        ::kill(-static_cast<pid_t>(mProcess.processId()), SIGKILL);
        mProcess.waitForFinished(10000);
    }
    // The first line the process prints, "" when it printed none in time.
    QString firstLine(int timeoutMs = 30000)
    {
        while (!mProcess.canReadLine() && mProcess.waitForReadyRead(timeoutMs)) { }
        return QString::fromUtf8(mProcess.readLine()).trimmed();
    }
    QProcess& process() { return mProcess; }

private:
    QProcess mProcess;
};

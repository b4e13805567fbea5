#pragma once

// Shared by the receiver's tests: a hand-moved clock, made-up NMEA, feeder processes.

#include "nomrel/Clock.h"
#include "nomrel/NmeaParser.h"

#include <QProcess>

#include <memory>

#include <signal.h>

constexpr int kPatience = 30000; // ms: generous, for a loaded machine

struct ManualClock : nomrel::Clock {
    qint64 ms = 0;
    QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(7, 0), Qt::UTC);
    qint64 monotonicMs() const override { return ms; }
    QDateTime utcNow() const override { return start.addMSecs(ms); }
};

// The sentence bodies with their "*hh", each ended by CR LF.
inline QByteArray lines(const QList<QByteArray>& bodies)
{
    QByteArray out;
    for (const QByteArray& body : bodies)
        out += body + QString::asprintf("*%02X\r\n", nomrel::nmea::checksumOf(body.toStdString())).toLatin1();
    return out;
}

// A program in a process group of its own, killed with all it started (links stay) when this goes.
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
    ~ToolProcess()
    {
        if (mProcess.state() != QProcess::NotRunning)
            ::kill(-static_cast<pid_t>(mProcess.processId()), SIGKILL);
        mProcess.waitForFinished(10000);
    }
    QString firstLine() // "" when none came in time
    {
        while (!mProcess.canReadLine() && mProcess.waitForReadyRead(kPatience)) { }
        return QString::fromUtf8(mProcess.readLine()).trimmed();
    }

private:
    QProcess mProcess;
};

// `nomrel simulate` at 10 Hz on ports/COM<port> of the folder, once its link is there.
inline std::unique_ptr<ToolProcess> simulate(const QString& folder, int port)
{
    auto tool = std::make_unique<ToolProcess>(QStringLiteral(NOMREL_TOOL),
        QStringList {"simulate", "--rate", "10", "--folder", folder, "--port", QString::number(port)});
    return tool->firstLine().contains(QLatin1String("linked as")) ? std::move(tool) : nullptr;
}

#pragma once

#include "tools/listener_core.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A zepta-listener process for one test: started on a free port of
// 127.0.0.1, keeping its documents in a file of its own temporary folder.
class ListenerProcess
{
public:
    explicit ListenerProcess(const QStringList& extraArguments = {});
    ~ListenerProcess();

    // False (with the reason in error()) when it did not come up.
    bool isRunning() const { return mPort != 0; }
    const QString& error() const { return mError; }

    quint16 port() const { return mPort; }
    // The SERVER_IP value that reaches it: "127.0.0.1:port".
    QString serverAddress() const { return QStringLiteral("127.0.0.1:%1").arg(mPort); }

    // The documents it kept so far, in order of arrival.
    QList<listener::Record> records() const;

private:
    QTemporaryDir mDir;
    QProcess mProcess;
    quint16 mPort = 0;
    QString mError;
};

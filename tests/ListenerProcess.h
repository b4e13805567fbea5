#pragma once

#include "tools/listener_core.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class QTcpSocket;

// A zepta-listener process for one test: started on a free port of
// 127.0.0.1, keeping its documents in a file of its own temporary folder
// (unless the arguments name a sink: --out FILE or --pg CONNINFO). Its log
// goes to a file there too, so a busy listener never waits on a full pipe.
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

    // The documents in its file so far, in order of arrival.
    QList<listener::Record> records() const;
    QString outFile() const { return mOutFile; }
    // What it wrote to standard error.
    QByteArray log() const;

    // Ends it at once, as a crash would (SIGKILL).
    void kill();

private:
    QTemporaryDir mDir;
    QProcess mProcess;
    QString mOutFile;
    quint16 mPort = 0;
    QString mError;
};

namespace listener_test
{

// An event document as Zepta posts it, made by the receiver component's own
// event object (a new id each time, returned in `id`).
QByteArray eventDocument(QByteArray* id = nullptr, const QString& notes = QString(), double latitude = 57.4125,
    int eventType = 103, const QString& clientId = QStringLiteral("crew <7>"));

// A minimal HTTP/1.1 client for the listener's tests: one request on a
// connected socket (kept open for the next one), the whole answer read.
struct HttpAnswer {
    int status = 0; // 0: no answer (the connection failed or closed)
    QByteArray head; // status line and headers
    QByteArray body;
    QByteArray header(const QByteArray& name) const;
};
HttpAnswer exchange(QTcpSocket& socket, const QByteArray& request);
// A POST of `body` to 127.0.0.1:port on a connection of its own.
HttpAnswer postTo(quint16 port, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers = {});
QByteArray postRequest(const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers = {});

} // namespace listener_test

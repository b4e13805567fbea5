#pragma once

#include "listener/listener_core.h"

#include <QList>
#include <QPair>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class QTcpSocket;

// A zepta-listener process for one test, on a free port of 127.0.0.1. Unless
// the arguments name a sink (--out FILE, --pg CONNINFO) it keeps documents in
// a file of its own folder, where its log goes too (never a full pipe).
// Unless `keyed`, it accepts anonymous posts.
class ListenerProcess
{
public:
    explicit ListenerProcess(const QStringList& extraArguments = {}, bool keyed = false);
    ~ListenerProcess() { kill(); }

    // False (with the reason in error()) when it did not come up.
    bool isRunning() const { return mPort != 0; }
    const QString& error() const { return mError; }
    quint16 port() const { return mPort; }
    QString serverAddress() const { return QStringLiteral("127.0.0.1:%1").arg(mPort); }

    // The documents of its own file so far, in order of arrival.
    QList<listener::Record> records() const;
    QByteArray log() const; // its standard error
    void kill(); // at once, as a crash would (SIGKILL)

private:
    QTemporaryDir mDir;
    QProcess mProcess;
    quint16 mPort = 0;
    QString mError;
};

namespace listener_test
{

// An event document as Zepta posts it, made by the receiver component's own
// event object (a new id each time, returned in `id`).
QByteArray eventDocument(QByteArray* id = nullptr, const QString& notes = QString(), double latitude = 57.4125,
    int eventType = 103, const QString& clientId = QStringLiteral("crew <7>"));

using Headers = QList<QPair<QByteArray, QByteArray>>;
struct HttpAnswer {
    int status = 0; // 0: no answer (the connection failed or closed)
    QByteArray head; // status line and headers
    QByteArray body;
    QByteArray header(const QByteArray& name) const;
};
// zepta-listener crews ARGUMENTS: its exit status, standard output and error.
struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};
Run crews(const QStringList& arguments);
// A certificate authority and a certificate for 127.0.0.1 signed by it, made
// by openssl in `folder`: ca.pem, server.pem and server.key (mode 0600).
// Empty on success, else what failed.
QString makeCertificates(const QString& folder);
// A request from another loopback address (a client of its own).
HttpAnswer sendFrom(const QString& address, quint16 port, const QByteArray& request);

// One request on a connected socket, kept open for the next one.
HttpAnswer exchange(QTcpSocket& socket, const QByteArray& request);
QByteArray postRequest(const QByteArray& body, const Headers& headers = {});
// A request, or a POST of `body`, to 127.0.0.1:port on a connection of its own.
HttpAnswer send(quint16 port, const QByteArray& request);
HttpAnswer postTo(quint16 port, const QByteArray& body, const Headers& headers = {});

} // namespace listener_test

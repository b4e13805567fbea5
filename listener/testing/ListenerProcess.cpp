#include "listener/testing/ListenerProcess.h"

#include "nomrel/EventStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>

constexpr int kWaitMs = 15000; // ends a broken run only

ListenerProcess::ListenerProcess(const QStringList& extraArguments, bool keyed)
{
    QStringList arguments {QStringLiteral("--port"), QStringLiteral("0")};
    if (!keyed)
        arguments << QStringLiteral("--allow-anonymous");
    if (!extraArguments.contains(QStringLiteral("--out")) && !extraArguments.contains(QStringLiteral("--pg")))
        arguments << QStringLiteral("--out") << mDir.filePath(QStringLiteral("documents.log"));
    mProcess.setStandardErrorFile(mDir.filePath(QStringLiteral("listener.log")));
    mProcess.start(QStringLiteral(ZEPTA_LISTENER), arguments + extraArguments);
    while (mProcess.waitForStarted(kWaitMs) && !mProcess.canReadLine())
        if (!mProcess.waitForReadyRead(kWaitMs))
            break;
    const uint port = mProcess.readLine().trimmed().toUInt();
    if (port == 0 || port > 65535) {
        mProcess.waitForFinished(kWaitMs);
        mError = QStringLiteral("no port line: %1 %2").arg(mProcess.errorString(), QString::fromUtf8(log()));
        return;
    }
    mPort = static_cast<quint16>(port);
}

void ListenerProcess::kill()
{
    mProcess.kill();
    mProcess.waitForFinished(kWaitMs);
    mPort = 0;
}

QList<listener::Record> ListenerProcess::records() const
{
    QFile file(mDir.filePath(QStringLiteral("documents.log")));
    return file.open(QIODevice::ReadOnly) ? listener::parseRecords(file.readAll()) : QList<listener::Record>();
}

QByteArray ListenerProcess::log() const
{
    QFile file(mDir.filePath(QStringLiteral("listener.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace listener_test
{

QByteArray eventDocument(QByteArray* id, const QString& notes, double latitude, int eventType, const QString& clientId)
{
    nomrel::EventStore event;
    event.setClientId(clientId);
    event.setEventType(static_cast<std::int16_t>(eventType));
    event.setNotes(notes);
    gps::Reading reading;
    reading.gmt = QDateTime(QDate(2026, 12, 6), QTime(7, 30, 15), Qt::UTC);
    reading.latitude = latitude;
    reading.longitude = -6.196;
    reading.speed = 1.25;
    reading.heading = 90.0;
    reading.altitude = 96.5;
    reading.fixQuality = 1;
    reading.satellitesUsed = 7;
    reading.hdop = 1.2;
    reading.locked = true;
    reading.accuracy = 4.5;
    reading.samples = 3;
    reading.spread = 0.8;
    event.setReading(reading);
    event.setTrackId(77);
    if (id)
        *id = event.EventId().toLatin1();
    return "<?xml version=\"1.0\"?><Zepta>" + event.XmlText().toUtf8() + "</Zepta>";
}

QByteArray HttpAnswer::header(const QByteArray& name) const
{
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

HttpAnswer exchange(QTcpSocket& socket, const QByteArray& request)
{
    HttpAnswer answer;
    socket.write(request);
    QByteArray data;
    qsizetype headEnd = -1;
    while (socket.waitForReadyRead(kWaitMs)) {
        data += socket.readAll();
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            answer.head = data.left(headEnd);
            answer.status = answer.head.mid(answer.head.indexOf(' ') + 1, 3).toInt();
        }
        const qsizetype length = answer.header("Content-Length").toLongLong();
        if (headEnd >= 0 && data.size() >= headEnd + 4 + length) {
            answer.body = data.mid(headEnd + 4, length);
            return answer;
        }
    }
    return {};
}

QByteArray postRequest(const QByteArray& body, const Headers& headers)
{
    QByteArray request = "POST /Zepta/listener.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; "
                         "charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n";
    for (const auto& header : headers)
        request += header.first + ": " + header.second + "\r\n";
    return request + "\r\n" + body;
}

Run crews(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(ZEPTA_LISTENER), QStringList {QStringLiteral("crews")} + arguments);
    Run run;
    if (process.waitForFinished(kWaitMs) && process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QString makeCertificates(const QString& folder)
{
    const QDir dir(folder);
    const QString curve = QStringLiteral("ec_paramgen_curve:P-256");
    const QList<QStringList> steps {
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
            QStringLiteral("-pkeyopt"), curve, QStringLiteral("-nodes"), QStringLiteral("-subj"),
            QStringLiteral("/CN=Zepta test CA"), QStringLiteral("-days"), QStringLiteral("2"),
            QStringLiteral("-keyout"), dir.filePath(QStringLiteral("ca.key")), QStringLiteral("-out"),
            dir.filePath(QStringLiteral("ca.pem"))},
        {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"), curve,
            QStringLiteral("-nodes"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
            QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"),
            dir.filePath(QStringLiteral("server.key")), QStringLiteral("-out"),
            dir.filePath(QStringLiteral("server.csr"))},
        {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
            dir.filePath(QStringLiteral("server.csr")), QStringLiteral("-CA"), dir.filePath(QStringLiteral("ca.pem")),
            QStringLiteral("-CAkey"), dir.filePath(QStringLiteral("ca.key")), QStringLiteral("-CAcreateserial"),
            QStringLiteral("-copy_extensions"), QStringLiteral("copy"), QStringLiteral("-days"), QStringLiteral("2"),
            QStringLiteral("-out"), dir.filePath(QStringLiteral("server.pem"))}};
    for (const QStringList& step : steps) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), step);
        if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
            return QStringLiteral("openssl %1: %2")
                .arg(step.first(), QString::fromLocal8Bit(openssl.readAllStandardError()));
    }
    QFile::setPermissions(dir.filePath(QStringLiteral("server.key")), QFile::ReadOwner | QFile::WriteOwner);
    return {};
}

HttpAnswer sendFrom(const QString& address, quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.bind(QHostAddress(address));
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kWaitMs) ? exchange(socket, request) : HttpAnswer();
}

HttpAnswer send(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kWaitMs) ? exchange(socket, request) : HttpAnswer();
}

HttpAnswer postTo(quint16 port, const QByteArray& body, const Headers& headers)
{
    return send(port, postRequest(body, headers));
}

} // namespace listener_test

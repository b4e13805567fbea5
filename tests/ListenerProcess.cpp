#include "ListenerProcess.h"

#include "nomrel/EventStore.h"

#include <QFile>
#include <QTcpSocket>

// The waits only end a broken run: a working one answers at once.
constexpr int kStartWaitMs = 15000;

ListenerProcess::ListenerProcess(const QStringList& extraArguments)
{
    QStringList arguments {QStringLiteral("--port"), QStringLiteral("0")};
    const qsizetype out = extraArguments.indexOf(QStringLiteral("--out"));
    if (out >= 0)
        mOutFile = extraArguments.value(out + 1);
    else if (!extraArguments.contains(QStringLiteral("--pg")))
        mOutFile = mDir.filePath(QStringLiteral("documents.log"));
    if (out < 0 && !mOutFile.isEmpty())
        arguments << QStringLiteral("--out") << mOutFile;
    mProcess.setStandardErrorFile(mDir.filePath(QStringLiteral("listener.log")));
    mProcess.start(QStringLiteral(ZEPTA_LISTENER), arguments + extraArguments);
    if (!mProcess.waitForStarted(kStartWaitMs)) {
        mError = mProcess.errorString();
        return;
    }
    while (!mProcess.canReadLine()) {
        if (!mProcess.waitForReadyRead(kStartWaitMs)) {
            mProcess.waitForFinished(kStartWaitMs);
            mError = QStringLiteral("no port line: ") + QString::fromUtf8(log());
            return;
        }
    }
    bool ok = false;
    const uint port = mProcess.readLine().trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        mError = QStringLiteral("bad port line");
        return;
    }
    mPort = static_cast<quint16>(port);
}

ListenerProcess::~ListenerProcess() { kill(); }

void ListenerProcess::kill()
{
    mProcess.kill();
    mProcess.waitForFinished(kStartWaitMs);
    mPort = 0;
}

QList<listener::Record> ListenerProcess::records() const
{
    QFile file(mOutFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return listener::parseRecords(file.readAll());
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
    event.setReading(reading);
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
    qsizetype length = -1;
    for (;;) {
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            answer.head = data.left(headEnd);
            answer.status = answer.head.mid(answer.head.indexOf(' ') + 1, 3).toInt();
            length = answer.header("Content-Length").toLongLong();
        }
        if (headEnd >= 0 && data.size() >= headEnd + 4 + length) {
            answer.body = data.mid(headEnd + 4, length);
            return answer;
        }
        if (!socket.waitForReadyRead(kStartWaitMs))
            break;
        data += socket.readAll();
    }
    return {};
}

QByteArray postRequest(const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QByteArray request = "POST /Zepta/listener.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; "
                         "charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n";
    for (const auto& header : headers)
        request += header.first + ": " + header.second + "\r\n";
    return request + "\r\n" + body;
}

HttpAnswer postTo(quint16 port, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kStartWaitMs))
        return {};
    return exchange(socket, postRequest(body, headers));
}

} // namespace listener_test

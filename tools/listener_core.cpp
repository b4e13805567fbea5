#include "tools/listener_core.h"

#include <QDomDocument>
#include <QFileDevice>
#include <QIODevice>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <utility>

namespace listener
{

namespace
{

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return status >= 200 && status < 300 ? "OK" : "Error";
    }
}

// Only visible ASCII in a request target; no blanks or control characters.
bool isCleanTarget(const QByteArray& target)
{
    if (target.isEmpty())
        return false;
    for (const char c : target) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f)
            return false;
    }
    return true;
}

bool isDigits(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

QByteArray Request::header(const QByteArray& lowerCaseName) const
{
    for (const auto& header : headers)
        if (header.first == lowerCaseName)
            return header.second;
    return {};
}

Answer makeAnswer(int status, const QString& text)
{
    Answer answer;
    answer.status = status;
    answer.reason = reasonPhrase(status);
    answer.text = text.toUtf8();
    if (!answer.text.isEmpty() && !answer.text.endsWith('\n'))
        answer.text += '\n';
    return answer;
}

QByteArray answerBytes(const Answer& answer)
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + answer.reason + "\r\n";
    bytes += "Content-Type: text/plain; charset=utf-8\r\n";
    bytes += "Content-Length: " + QByteArray::number(answer.text.size()) + "\r\n";
    for (const auto& header : answer.extraHeaders)
        bytes += header.first + ": " + header.second + "\r\n";
    bytes += "Connection: close\r\n\r\n";
    return bytes + answer.text;
}

// ---------------------------------------------------------------- RequestReader

RequestReader::RequestReader(qsizetype maxBodyBytes)
    : mMaxBody(maxBodyBytes)
{
}

RequestReader::State RequestReader::fail(int status, const QByteArray& reason, const QString& text)
{
    mFailure = makeAnswer(status, text);
    if (!reason.isEmpty())
        mFailure.reason = reason;
    mBuffer.clear();
    return mState = State::Failed;
}

bool RequestReader::takeContinue() { return std::exchange(mContinue, false); }

RequestReader::State RequestReader::feed(const QByteArray& bytes)
{
    if (mState == State::Complete || mState == State::Failed)
        return mState; // one request per connection: the rest is ignored
    mBuffer += bytes;
    if (mState == State::Head) {
        // The head ends at the first empty line (CR LF, or a bare LF).
        const qsizetype crlf = mBuffer.indexOf("\r\n\r\n");
        const qsizetype lf = mBuffer.indexOf("\n\n");
        qsizetype end = -1;
        qsizetype separator = 0;
        if (crlf >= 0 && (lf < 0 || crlf < lf)) {
            end = crlf;
            separator = 4;
        } else if (lf >= 0) {
            end = lf;
            separator = 2;
        }
        if (end < 0) {
            if (mBuffer.size() > kMaxHeadBytes)
                return fail(431, {}, QStringLiteral("The request head is longer than %1 bytes.").arg(kMaxHeadBytes));
            return mState;
        }
        if (end > kMaxHeadBytes)
            return fail(431, {}, QStringLiteral("The request head is longer than %1 bytes.").arg(kMaxHeadBytes));
        const QByteArray head = mBuffer.left(end);
        mBuffer.remove(0, end + separator);
        if (parseHead(head) == State::Failed)
            return mState;
        mState = State::Body;
    }
    if (mBuffer.size() >= mBodyLength) {
        mRequest.body = mBuffer.left(mBodyLength);
        mBuffer.clear();
        mState = State::Complete;
    }
    return mState;
}

RequestReader::State RequestReader::parseHead(const QByteArray& head)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);

    const QList<QByteArray> requestLine = lines.takeFirst().split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || !isCleanTarget(requestLine[1]))
        return fail(400, {}, QStringLiteral("The request line is not \"METHOD /path HTTP/1.1\"."));
    mRequest.method = requestLine[0];
    mRequest.target = requestLine[1];
    mRequest.version = requestLine[2];
    if (!mRequest.version.startsWith("HTTP/1."))
        return fail(505, {}, QStringLiteral("Only HTTP/1.0 and HTTP/1.1 are spoken here."));

    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.startsWith(' ') || line.startsWith('\t'))
            return fail(400, {}, QStringLiteral("A header line is malformed."));
        mRequest.headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }

    if (!mRequest.header("transfer-encoding").isEmpty())
        return fail(501, {}, QStringLiteral("Bodies in chunks are not accepted: send Content-Length."));
    QByteArray length;
    for (const auto& header : mRequest.headers) {
        if (header.first != "content-length")
            continue;
        if (!isDigits(header.second) || (!length.isEmpty() && length != header.second))
            return fail(400, {}, QStringLiteral("The Content-Length header is not one whole number."));
        length = header.second;
    }
    if (length.isEmpty()) {
        if (mRequest.method == "POST")
            return fail(411, {}, QStringLiteral("A POST needs a Content-Length header."));
        mBodyLength = 0;
    } else {
        bool ok = false;
        const qlonglong value = length.size() > 18 ? -1 : length.toLongLong(&ok);
        if (!ok || value < 0 || value > mMaxBody)
            return fail(413, {}, QStringLiteral("The body is larger than %1 bytes.").arg(mMaxBody));
        mBodyLength = static_cast<qsizetype>(value);
    }
    mContinue = mBodyLength > 0 && mRequest.header("expect").toLower() == "100-continue";
    return State::Body;
}

// ---------------------------------------------------------------- documents and records

QString checkDocument(const QByteArray& body)
{
    QDomDocument document;
    QString error;
    int line = 0;
    int column = 0;
    if (!document.setContent(body, &error, &line, &column))
        return QStringLiteral("The body is not a well-formed XML document (line %1, column %2): %3")
            .arg(line)
            .arg(column)
            .arg(error);
    const QString root = document.documentElement().tagName();
    if (root != QLatin1String("Zepta"))
        return QStringLiteral("The root element is \"%1\", not \"Zepta\".").arg(root);
    return {};
}

QByteArray formatRecord(const Record& record)
{
    return record.received.toUTC().toString(Qt::ISODateWithMs).toLatin1() + ' ' + record.path + ' '
        + QByteArray::number(record.body.size()) + '\n' + record.body + '\n';
}

QList<Record> parseRecords(const QByteArray& data, bool* complete)
{
    QList<Record> records;
    qsizetype at = 0;
    bool whole = true;
    while (at < data.size()) {
        const qsizetype end = data.indexOf('\n', at);
        if (end < 0) {
            whole = false;
            break;
        }
        const QList<QByteArray> fields = data.mid(at, end - at).split(' ');
        bool ok = false;
        const qsizetype length = fields.size() == 3 ? fields[2].toLongLong(&ok) : 0;
        if (!ok || length < 0 || end + 1 + length + 1 > data.size() || data.at(end + 1 + length) != '\n') {
            whole = false;
            break;
        }
        Record record;
        record.received = QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODateWithMs);
        record.path = fields[1];
        record.body = data.mid(end + 1, length);
        records.append(record);
        at = end + 1 + length + 1;
    }
    if (complete)
        *complete = whole;
    return records;
}

// ---------------------------------------------------------------- Server

Server::Server(const Options& options, QIODevice& out, QObject* parent)
    : QObject(parent)
    , mOptions(options)
    , mOut(out)
{
    connect(&mServer, &QTcpServer::newConnection, this, &Server::acceptConnections);
}

bool Server::listen(QString* error)
{
    if (mServer.listen(mOptions.address, mOptions.port))
        return true;
    if (error)
        *error = QStringLiteral("Cannot listen on %1 port %2: %3")
                     .arg(mOptions.address.toString())
                     .arg(mOptions.port)
                     .arg(mServer.errorString());
    return false;
}

void Server::acceptConnections()
{
    while (QTcpSocket* socket = mServer.nextPendingConnection()) {
        auto reader = std::make_shared<RequestReader>(mOptions.maxBodyBytes);
        auto* idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->start(mOptions.idleTimeoutMs);
        connect(idle, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, reader, idle] {
            const QByteArray bytes = socket->readAll();
            if (reader->state() == RequestReader::State::Complete || reader->state() == RequestReader::State::Failed)
                return; // answered already; the connection is closing
            idle->start(); // it is making progress
            const RequestReader::State state = reader->feed(bytes);
            if (reader->takeContinue())
                socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            if (state == RequestReader::State::Head || state == RequestReader::State::Body)
                return;
            const Answer answer = state == RequestReader::State::Failed ? reader->failure() : handle(reader->request());
            emit answered(answer.status, reader->request().method, reader->request().target);
            socket->write(answerBytes(answer));
            socket->disconnectFromHost();
        });
    }
}

Answer Server::handle(const Request& request)
{
    if (mOptions.answerStatus != 0)
        return makeAnswer(mOptions.answerStatus, QStringLiteral("Fixed answer of this listener."));
    if (request.method != "POST") {
        Answer answer = makeAnswer(405, QStringLiteral("Only POST is accepted here."));
        answer.extraHeaders.append(qMakePair(QByteArray("Allow"), QByteArray("POST")));
        return answer;
    }
    const QString problem = checkDocument(request.body);
    if (!problem.isEmpty())
        return makeAnswer(400, problem);
    const QByteArray record = formatRecord({QDateTime::currentDateTimeUtc(), request.target, request.body});
    // Written and flushed before the answer: a 200 means the document is kept.
    if (mOut.write(record) != record.size())
        return makeAnswer(500, QStringLiteral("The document could not be kept: %1").arg(mOut.errorString()));
    if (auto* file = qobject_cast<QFileDevice*>(&mOut); file && !file->flush())
        return makeAnswer(500, QStringLiteral("The document could not be kept: %1").arg(mOut.errorString()));
    ++mKept;
    return makeAnswer(200, QStringLiteral("Accepted."));
}

} // namespace listener

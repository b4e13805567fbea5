#pragma once

// The core of zepta-listener, a small HTTP/1.1 server that receives the XML
// event documents the program posts: request reading, the document check, the
// answers, and the record format of its output. The program itself only parses
// its options and runs a Server.

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>

class QIODevice;
class QTcpSocket;

namespace listener
{

constexpr qsizetype kMaxHeadBytes = 16 * 1024;
constexpr qsizetype kDefaultMaxBodyBytes = 1024 * 1024;

struct Request {
    QByteArray method;
    QByteArray target; // the path as sent, e.g. "/Zepta/listener.asp"
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;

    // The value of the first header of that name (lower case), or empty.
    QByteArray header(const QByteArray& lowerCaseName) const;
};

struct Answer {
    int status = 200;
    QByteArray reason; // "OK", "Bad Request", ...
    QByteArray text; // the body, plain text
    QList<QPair<QByteArray, QByteArray>> extraHeaders;
};

// Reads one request from bytes as they arrive, in pieces of any size. The
// head is bounded by kMaxHeadBytes and the body by the limit given; a request
// that breaks a rule ends in Failed with the answer to give.
class RequestReader
{
public:
    enum class State { Head, Body, Complete, Failed };

    explicit RequestReader(qsizetype maxBodyBytes = kDefaultMaxBodyBytes);

    State feed(const QByteArray& bytes);
    State state() const { return mState; }
    const Request& request() const { return mRequest; }
    const Answer& failure() const { return mFailure; }

    // True once, right after a head that asked for "100-continue" and
    // announced a body that will be accepted.
    bool takeContinue();

private:
    State fail(int status, const QByteArray& reason, const QString& text);
    State parseHead(const QByteArray& head);

    qsizetype mMaxBody;
    State mState = State::Head;
    QByteArray mBuffer;
    qsizetype mBodyLength = 0;
    bool mContinue = false;
    Request mRequest;
    Answer mFailure;
};

// Empty when the body is a well-formed XML document whose root element is
// Zepta; otherwise the reason it is not.
QString checkDocument(const QByteArray& body);

// The bytes of a complete answer; the connection closes after it.
QByteArray answerBytes(const Answer& answer);

Answer makeAnswer(int status, const QString& text);

// One accepted document in the output: a header line with the UTC time of
// receipt (ISO 8601, milliseconds), the path and the body's length in bytes,
// then the body exactly as received, then a line feed.
//   2026-12-06T07:30:15.123Z /Zepta/listener.asp 512
//   <?xml version="1.0"?><Zepta>...</Zepta>
struct Record {
    QDateTime received;
    QByteArray path;
    QByteArray body;
};
QByteArray formatRecord(const Record& record);
// The records of an output; `complete` is false when it ends inside one.
QList<Record> parseRecords(const QByteArray& data, bool* complete = nullptr);

// The listening server. Each connection carries one request; the answer
// closes it. Accepted documents are written to `out` and flushed before the
// answer is sent, so a client that got 200 finds its document there.
class Server : public QObject
{
    Q_OBJECT
public:
    struct Options {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 0; // 0: any free port
        qsizetype maxBodyBytes = kDefaultMaxBodyBytes;
        int answerStatus = 0; // when set, every request gets this status and nothing is kept
        int idleTimeoutMs = 30000; // a connection silent this long is dropped
    };

    Server(const Options& options, QIODevice& out, QObject* parent = nullptr);

    bool listen(QString* error);
    quint16 port() const { return mServer.serverPort(); }
    int documentsKept() const { return mKept; }

signals:
    void answered(int status, const QByteArray& method, const QByteArray& path);

private:
    void acceptConnections();
    Answer handle(const Request& request);

    Options mOptions;
    QIODevice& mOut;
    QTcpServer mServer;
    int mKept = 0;
};

} // namespace listener

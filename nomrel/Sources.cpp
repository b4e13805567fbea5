#include "nomrel/Sources.h"

#include "nomrel/NmeaStream.h"
#include "platform/Error.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

namespace nomrel
{

void Source::setReady()
{
    if (mReady || mFailed)
        return;
    mReady = true;
    emit ready();
}

void Source::close()
{
    // Whatever the device says while closing is of no interest any more.
    mFailed = true;
    if (QIODevice* stream = device(); stream && stream->isOpen())
        stream->close();
}

void Source::fail(const QString& reason)
{
    if (mFailed)
        return;
    mFailed = true;
    emit failed(reason);
}

QString Source::awaitFirstAnswer(int timeoutMs)
{
    if (mFailed)
        return QString();
    QEventLoop loop;
    QString problem;
    bool decided = false;
    auto decide = [&](const QString& answer) {
        problem = answer;
        decided = true;
        loop.quit();
    };
    auto settle = [&] {
        if (!mReady || decided)
            return;
        if (const auto answer = firstAnswer())
            decide(*answer);
    };
    connect(this, &Source::failed, &loop, decide);
    connect(this, &Source::ready, &loop, settle);
    connect(device(), &QIODevice::readyRead, &loop, settle);
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    const QPointer<Source> alive(this);
    settle();
    if (!decided)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return alive ? problem : QString();
}

namespace
{

// What the first bytes of a stream say about it: a sentence that passes the
// checks is NMEA; a few lines or a kilobyte with none is garbage.
std::optional<QString> judge(const QByteArray& head)
{
    int accepted = 0;
    int rejected = 0;
    nmea::LineSplitter splitter;
    splitter.feed(head.constData(), static_cast<std::size_t>(head.size()), [&](std::string_view line) {
        const nmea::Outcome outcome = nmea::parse(line).outcome;
        ++(outcome == nmea::Outcome::Parsed || outcome == nmea::Outcome::Ignored ? accepted : rejected);
    });
    if (accepted > 0)
        return QString();
    if (rejected >= 3 || head.size() >= 1024)
        return QStringLiteral("what it sends is not NMEA 0183");
    return std::nullopt;
}

class SerialSource final : public Source
{
public:
    SerialSource(const QString& device, const gps::ComSettings& settings)
        : mPort(new QSerialPort(this))
    {
        static const QSerialPort::Parity kParity[] = {QSerialPort::NoParity, QSerialPort::EvenParity,
            QSerialPort::OddParity, QSerialPort::MarkParity, QSerialPort::SpaceParity};
        mPort->setPortName(device);
        mPort->setBaudRate(settings.baudRate);
        mPort->setParity(kParity[static_cast<int>(settings.parity)]);
        mPort->setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
        mPort->setStopBits(settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
        mPort->setFlowControl(QSerialPort::NoFlowControl);
    }

    void open() override
    {
        if (!mPort->open(QIODevice::ReadOnly))
            throw ZeptaError(mPort->errorString());
        connect(mPort, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
            // A read error or a vanished resource ends the device (USB pulled,
            // the other end of a pseudo-terminal closed).
            if (error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError)
                fail(QStringLiteral("the device was removed (%1)").arg(mPort->errorString()));
            else if (error == QSerialPort::ReadError || error == QSerialPort::PermissionError)
                fail(QStringLiteral("the device cannot be read (%1)").arg(mPort->errorString()));
        });
        setReady();
    }

    QIODevice* device() const override { return mPort; }

private:
    QSerialPort* mPort; // child
};

// Plain NMEA 0183 over TCP, as survey receivers and phone apps send it.
class TcpSource final : public Source
{
public:
    explicit TcpSource(const PortTarget& target)
        : mTarget(target)
        , mSocket(new QTcpSocket(this))
    {
    }

    void open() override
    {
        connect(mSocket, &QTcpSocket::connected, this, &TcpSource::setReady);
        connect(mSocket, &QTcpSocket::errorOccurred, this, [this] { fail(mSocket->errorString()); });
        mSocket->connectToHost(mTarget.host, mTarget.tcpPort, QIODevice::ReadOnly);
    }

    QIODevice* device() const override { return mSocket; }

private:
    // The first bytes tell, read without taking them.
    std::optional<QString> firstAnswer() const override { return judge(mSocket->peek(1024)); }

    PortTarget mTarget;
    QTcpSocket* mSocket; // child
};

// A gpsd: greets with its version, then passes on its devices' NMEA once
// asked to. Its JSON reports (devices, the watch) come between the
// sentences; the decoder skips lines that are not sentences anyway.
class GpsdSource final : public Source
{
public:
    explicit GpsdSource(const PortTarget& target)
        : mTarget(target)
        , mSocket(new QTcpSocket(this))
    {
    }

    void open() override
    {
        connect(mSocket, &QTcpSocket::readyRead, this, &GpsdSource::readGreeting);
        connect(mSocket, &QTcpSocket::errorOccurred, this, [this] { fail(mSocket->errorString()); });
        mSocket->connectToHost(mTarget.host, mTarget.tcpPort);
    }

    QIODevice* device() const override { return mSocket; }

private:
    static constexpr qint64 kLongestGreeting = 4096;

    void readGreeting()
    {
        if (!mSocket->canReadLine()) {
            if (mSocket->bytesAvailable() > kLongestGreeting)
                refuse(QStringLiteral("the answer is not a gpsd's greeting (no line end)"));
            return;
        }
        const QByteArray line = mSocket->readLine();
        const QString problem = gpsdGreetingProblem(line);
        if (!problem.isEmpty()) {
            refuse(QStringLiteral("the answer is not a gpsd's greeting (\"%1\": %2)")
                       .arg(QString::fromUtf8(line.left(80)).trimmed(), problem));
            return;
        }
        disconnect(mSocket, &QTcpSocket::readyRead, this, &GpsdSource::readGreeting);
        mSocket->write(kGpsdWatch);
        setReady(); // what follows is for the reader
    }

    void refuse(const QString& reason)
    {
        fail(reason);
        mSocket->abort();
    }

    PortTarget mTarget;
    QTcpSocket* mSocket; // child
};

} // namespace

QString gpsdGreetingProblem(const QByteArray& line)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QStringLiteral("not a JSON object");
    const QString kind = document.object().value(QLatin1String("class")).toString();
    if (kind != QLatin1String("VERSION"))
        return QStringLiteral("a JSON object of class \"%1\", not VERSION").arg(kind);
    return QString();
}

std::unique_ptr<Source> makeSource(const PortTarget& target, const gps::ComSettings& settings)
{
    switch (target.kind) {
    case PortTarget::Kind::Serial:
        return std::make_unique<SerialSource>(target.device, settings);
    case PortTarget::Kind::Tcp:
        return std::make_unique<TcpSource>(target);
    case PortTarget::Kind::Gpsd:
        return std::make_unique<GpsdSource>(target);
    }
    return nullptr;
}

} // namespace nomrel

#include "nomrel/NmeaConnection.h"

#include <QIODevice>

namespace nomrel
{

NmeaConnection::NmeaConnection(QObject* parent)
    : QObject(parent)
    , mDecoder([this](const nmea::Fix& fix) { mFixes.push_back(fix); },
          [this](std::string_view line, bool accepted) {
              mSentences.emplace_back(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())), accepted);
          })
{
}

NmeaConnection::~NmeaConnection() { detach(); }

void NmeaConnection::attach(QIODevice* device)
{
    detach();
    mDevice = device;
    if (!device)
        return;
    connect(device, &QIODevice::readyRead, this, &NmeaConnection::readAvailable);
    connect(
        device, &QIODevice::readChannelFinished, this, [this] { fail(QStringLiteral("the device has no more data")); });
    connect(device, &QObject::destroyed, this, [this] {
        mDevice = nullptr; // being destroyed: nothing left to disconnect
        detach();
        emit deviceLost(QStringLiteral("the device is gone"));
    });
    if (device->bytesAvailable() > 0)
        readAvailable();
}

void NmeaConnection::detach()
{
    ++mGeneration;
    if (mDevice)
        disconnect(mDevice, nullptr, this, nullptr);
    mDevice = nullptr;
    mBacklog.clear();
    mSentences.clear();
    mFixes.clear();
    mDecoder.reset();
}

void NmeaConnection::fail(const QString& reason)
{
    if (!mDevice)
        return;
    detach();
    emit deviceLost(reason);
}

void NmeaConnection::readAvailable()
{
    if (mDevice)
        feed(mDevice->readAll());
}

void NmeaConnection::feed(const QByteArray& bytes)
{
    mBacklog += bytes;
    if (mFeeding)
        return; // the read running further up the stack takes these bytes too
    mFeeding = true;
    const QPointer<NmeaConnection> alive(this);
    while (!mBacklog.isEmpty()) {
        const quint64 generation = mGeneration;
        QByteArray chunk;
        chunk.swap(mBacklog);
        mDecoder.feed(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        std::vector<std::pair<QString, bool>> sentences;
        std::vector<nmea::Fix> fixes;
        sentences.swap(mSentences);
        fixes.swap(mFixes);

        // A slot may have detached (or even deleted) this connection; what was
        // decoded from the old device is then dropped.
        auto stale = [&] { return !alive || mGeneration != generation; };
        for (std::size_t i = 0; i < sentences.size() && !stale(); ++i)
            emit sentenceReceived(sentences[i].first, sentences[i].second);
        for (std::size_t i = 0; i < fixes.size() && !stale(); ++i)
            emit fixDecoded(fixes[i]);
        if (!alive)
            return;
    }
    mFeeding = false;
}

} // namespace nomrel

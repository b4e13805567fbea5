#pragma once

#include "nomrel/NmeaStream.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>

#include <vector>

class QIODevice;

namespace nomrel
{

// The connection layer: reads NMEA from any QIODevice (a serial port, a
// QBuffer in tests) and reports sentences and one fix per fix cycle. It works
// on whatever bytes arrive, however they are split.
//
// Signals are sent after a whole read has been decoded, never from inside the
// decoder, so a slot may start a nested event loop (a modal box), feed more
// data, or detach the device without harm.
class NmeaConnection : public QObject
{
    Q_OBJECT
public:
    explicit NmeaConnection(QObject* parent = nullptr);
    ~NmeaConnection() override;

    // Reads the device (open, not owned) from now on.
    void attach(QIODevice* device);
    // Stops reading and forgets any partial line and cycle.
    void detach();
    QIODevice* device() const { return mDevice; }

    // Decodes bytes as if they had been read.
    void feed(const QByteArray& bytes);

    nmea::DecodeCounters counters() const { return mDecoder.counters(); }

signals:
    void bytesReceived(qint64 count);
    void sentenceReceived(const QString& sentence, bool accepted);
    void fixDecoded(const nomrel::nmea::Fix& fix);
    // The device stopped giving data for good: removed, hung up, closed.
    void deviceLost(const QString& reason);

private:
    void readAvailable();
    void lose(const QString& reason);

    QIODevice* mDevice = nullptr;
    nmea::Decoder mDecoder;
    QByteArray mBacklog;
    bool mFeeding = false;
    quint64 mGeneration = 0; // moves on at each attach and detach
    std::vector<std::pair<QString, bool>> mSentences; // of the read being decoded
    std::vector<nmea::Fix> mFixes;
};

} // namespace nomrel

Q_DECLARE_METATYPE(nomrel::nmea::Fix)

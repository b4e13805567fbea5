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
// socket, a QBuffer in tests) and reports sentences and one fix per fix cycle.
// It works on whatever bytes arrive, however they are split. It sees the end
// of the device's data by itself; any other failure is the business of
// whoever opened the device, who tells it with fail().
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
    // The device failed: detaches and sends deviceLost, once, if attached.
    void fail(const QString& reason);
    QIODevice* device() const { return mDevice; }

    // Decodes bytes as if they had been read.
    void feed(const QByteArray& bytes);

    nmea::DecodeCounters counters() const { return mDecoder.counters(); }

signals:
    void sentenceReceived(const QString& sentence, bool accepted);
    void fixDecoded(const nomrel::nmea::Fix& fix);
    // The device stopped giving data for good: at its end, or told by fail().
    void deviceLost(const QString& reason);

private:
    void readAvailable();

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

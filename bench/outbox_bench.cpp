// The outbox of the XML storage mode: how fast its sender drains 10,000
// waiting events to zepta-listener on loopback (one connection, kept), and
// what a save costs with 100,000 events waiting beside an empty outbox.
//
//   outbox_bench [--events N] [--backlog N]

#include "core/Driver.h"
#include "core/OutboxSender.h"
#include "gps/Component.h"
#include "nomrel/Component.h"
#include "platform/Db.h"
#include "platform/UserInterface.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

// Waiting events made in one statement, each with an id of its own.
void fillOutbox(const QString& path, int count, int firstNumber)
{
    Driver::OutboxStore(path).counts(); // makes the file
    auto connection = db::Connection::openFile(path);
    connection.execute(
        QStringLiteral(
            "WITH RECURSIVE N(I) AS (SELECT ? UNION ALL SELECT I + 1 FROM N WHERE I < ?) "
            "INSERT INTO OUTBOX (EVENT_ID, EVENT_TYPE_ID, GMT, SAVED_AT, URL, DOCUMENT) "
            "SELECT printf('%08x-0000-4000-8000-%012x', I, I), 103, '2026-12-06 07:30:15', '2026-12-06 07:30:15', '', "
            "'<?xml version=\"1.0\"?><Zepta><GeocodedEvent><EventId>' || printf('%08x-0000-4000-8000-%012x', I, I) || "
            "'</EventId><ClientId>1</ClientId><EventTypeId>103</EventTypeId><Notes>bench</Notes><GpsReading>"
            "<Gmt>2026-12-06T07:30:15Z</Gmt><Latitude>57.4125000</Latitude><Longitude>-6.1960000</Longitude>"
            "<Speed>1.25</Speed><Heading>90.0</Heading><Altitude>96.5</Altitude><FixQuality>1</FixQuality>"
            "<Satellites>7</Satellites><Hdop>1.2</Hdop><Locked>true</Locked></GpsReading></GeocodedEvent></Zepta>' "
            "FROM N"),
        {db::Value::integer(firstNumber), db::Value::integer(firstNumber + count - 1)});
}

double medianSaveMs(int rounds)
{
    gps::Reading reading;
    reading.gmt = QDateTime::currentDateTimeUtc();
    reading.latitude = 57.4125;
    reading.longitude = -6.196;
    reading.locked = true;
    std::vector<double> times;
    QElapsedTimer clock;
    for (int i = 0; i < rounds; ++i) {
        clock.start();
        Driver::Save_Event(103, QStringLiteral("bench"), reading);
        times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption eventsOption(QStringLiteral("events"), QStringLiteral("Events to drain (10000)."),
        QStringLiteral("N"), QStringLiteral("10000"));
    const QCommandLineOption backlogOption(QStringLiteral("backlog"),
        QStringLiteral("Events waiting while saves are timed (100000)."), QStringLiteral("N"),
        QStringLiteral("100000"));
    parser.addOptions({eventsOption, backlogOption});
    parser.process(app);
    const int events = std::max(1, parser.value(eventsOption).toInt());
    const int backlog = std::max(1, parser.value(backlogOption).toInt());

    QTemporaryDir folder;
    QFile catalogue(QStringLiteral(ZEPTA_SOURCE_DIR "/data/zepta.sql"));
    if (!folder.isValid() || !catalogue.open(QIODevice::ReadOnly))
        return 1;
    db::Connection::openFile(folder.filePath(QStringLiteral("zepta.mdb")), db::Connection::Mode::Create)
        .execute(QString::fromUtf8(catalogue.readAll()));
    Driver::setProgramFolder(folder.path());
    Driver::applicationConnectionString() = Driver::connectionStringFor(folder.path(), QStringLiteral("zepta.mdb"));
    nomrel::Component component(folder.path());
    gps::setComponent(&component);
    setMessagePresenter([](const Message& message) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(message.title), qPrintable(message.text));
        return MessageAnswer::Ok;
    });

    QProcess listener;
    // Its log of every answer would fill a pipe nobody reads.
    listener.setStandardErrorFile(QProcess::nullDevice());
    listener.start(QStringLiteral(ZEPTA_LISTENER),
        {QStringLiteral("--allow-anonymous"), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--out"),
            folder.filePath(QStringLiteral("received.log"))});
    if (!listener.waitForReadyRead(10000)) {
        std::fprintf(stderr, "zepta-listener did not start\n");
        return 1;
    }
    const QString port = QString::fromLatin1(listener.readLine().trimmed());
    Driver::Set_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("XML"));
    Driver::Set_Parameter_Value(QStringLiteral("SERVER_IP"), QStringLiteral("127.0.0.1:") + port);

    // Draining.
    fillOutbox(Driver::outboxPath(), events, 1);
    {
        Driver::OutboxSender sender(Driver::outboxPath());
        sender.setUrl(Driver::listenerUrl());
        QElapsedTimer clock;
        clock.start();
        sender.start();
        while (sender.counts().waiting > 0)
            QThread::msleep(5);
        const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        std::printf("drain: %d events to zepta-listener (--out) in %.2f s = %.0f events/s (goal: at least 500)\n",
            events, seconds, events / seconds);
        sender.stop();
    }

    // Saving beside a backlog (no sender: the events only wait).
    QFile::remove(Driver::outboxPath());
    const double empty = medianSaveMs(200);
    fillOutbox(Driver::outboxPath(), backlog, 1000000);
    const double full = medianSaveMs(200);
    std::printf("save (XML mode): median %.3f ms with the outbox empty, %.3f ms with %d events waiting: ratio %.2f "
                "(goal: at most 1.2)\n",
        empty, full, backlog, full / empty);
    listener.terminate();
    listener.waitForFinished(5000);
    gps::setComponent(nullptr);
    return 0;
}

#include "NmeaLogs.h"

#include "nomrel/NmeaParser.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>

std::map<QString, ExpectedCycle> expectedCycles(const QString& logPath)
{
    std::map<QString, ExpectedCycle> cycles;
    QFile chk(logPath + QLatin1String(".chk"));
    if (!chk.open(QIODevice::ReadOnly))
        return cycles;
    // The .chk echoes each sentence gpsd took, followed by the reports it made
    // then; sentences without a time belong to the cycle of the last one with.
    QString current;
    bool afterFixData = false; // only reports since the last GGA or GNS
    for (const QByteArray& line : chk.readAll().split('\n')) {
        if (line.startsWith('$')) {
            const std::string text = line.trimmed().toStdString();
            const auto parsed = nomrel::nmea::parse(text);
            if (const auto t = parsed.sentence.time())
                current = QTime(t->hour, t->minute, t->second, t->millisecond).toString(QStringLiteral("HH:mm:ss.zzz"));
            const auto type = parsed.sentence.id.type;
            afterFixData = type == nomrel::nmea::Type::GGA || type == nomrel::nmea::Type::GNS;
            if (afterFixData && !current.isEmpty()) {
                cycles[current].satellitesUsed.reset();
                cycles[current].hdop.reset();
            }
            continue;
        }
        const QVariantMap report = QJsonDocument::fromJson(line).object().toVariantMap();
        const QString kind = report.value(QStringLiteral("class")).toString();
        if (kind == QLatin1String("TPV") && report.contains(QStringLiteral("time"))) {
            ExpectedCycle& cycle = cycles[timeOfDay(report.value(QStringLiteral("time")).toString())];
            cycle.tpv = report;
            cycle.anyFix |= report.value(QStringLiteral("mode")).toInt() >= 2;
        } else if (kind == QLatin1String("SKY") && afterFixData && !current.isEmpty()) {
            ExpectedCycle& cycle = cycles[current];
            if (report.contains(QStringLiteral("uSat")))
                cycle.satellitesUsed = report.value(QStringLiteral("uSat")).toInt();
            if (report.contains(QStringLiteral("hdop")))
                cycle.hdop = report.value(QStringLiteral("hdop")).toDouble();
        }
    }
    return cycles;
}

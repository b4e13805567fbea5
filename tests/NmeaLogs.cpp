#include "NmeaLogs.h"

#include "nomrel/NmeaParser.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>

using namespace nomrel::nmea;

std::map<QString, ExpectedCycle> expectedCycles(const QString& logPath)
{
    std::map<QString, ExpectedCycle> cycles;
    QFile chk(logPath + QLatin1String(".chk"));
    chk.open(QIODevice::ReadOnly); // none: no cycles
    // The .chk echoes each sentence gpsd took, followed by the reports it made
    // then; sentences without a time belong to the cycle of the last one with.
    QString current;
    bool afterFixData = false; // only reports since the last GGA or GNS
    for (const QByteArray& line : chk.readAll().split('\n')) {
        if (line.startsWith('$')) {
            const std::string text = line.trimmed().toStdString();
            const ParseResult parsed = parse(text);
            if (const auto t = parsed.sentence.time())
                current = QTime(t->hour, t->minute, t->second, t->millisecond).toString(QStringLiteral("HH:mm:ss.zzz"));
            afterFixData = parsed.sentence.id.type == Type::GGA || parsed.sentence.id.type == Type::GNS;
            if (afterFixData && !current.isEmpty()) { // gpsd's report on the GGA or GNS follows
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
            if (report.contains(QStringLiteral("uSat")))
                cycles[current].satellitesUsed = report.value(QStringLiteral("uSat")).toInt();
            if (report.contains(QStringLiteral("hdop")))
                cycles[current].hdop = report.value(QStringLiteral("hdop")).toDouble();
        }
    }
    return cycles;
}

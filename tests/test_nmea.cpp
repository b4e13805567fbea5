// NMEA decoding, step by step and as a stream (split reads, damage, fix cycles), and real receivers'
// logs through `nomrel decode` against the decodings gpsd made of them.

#include "NmeaLogs.h"
#include "ReceiverTesting.h"
#include "nomrel/NmeaStream.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTest>

#include <cmath>
#include <tuple>

using namespace nomrel::nmea;

namespace
{

std::string_view sv(const QByteArray& b) { return {b.constData(), static_cast<std::size_t>(b.size())}; }
QByteArray sentence(const QByteArray& body) { return lines({body}).chopped(2); } // with "*hh", no line end
ParseResult parsed(const QByteArray& body) { return parse(sv(sentence(body))); }
template <class T> T as(const QByteArray& body) { return std::get<T>(parsed(body).sentence.data); }

// One cycle of a typical receiver at the given second past 12:00:00.
QByteArray cycle(int second)
{
    const QByteArray t = "1200" + QByteArray::number(second).rightJustified(2, '0') + ".00";
    return lines({"$GPRMC," + t + ",A,5724.7500,N,00611.7600,W,2.72,45.0,061226,,,A",
        "$GPGGA," + t + ",5724.7500,N,00611.7600,W,1,08,0.9,12.0,M,52.1,M,,",
        "$GPGSA,A,3,04,05,09,12,17,20,24,28,,,,,1.6,0.9,1.3", "$GPVTG,45.0,T,,M,2.72,N,5.04,K,A"});
}

// Decodes bytes fed in pieces of the given size: "TIME MODE fix|no-fix|unknown SENTENCES" a fix (no
// time without a date).
QStringList decode(const QByteArray& bytes, qsizetype piece = 1 << 30, DecodeCounters* counters = nullptr)
{
    QStringList fixes;
    Decoder decoder([&fixes](const Fix& f) {
        const char* state = f.valid ? "fix" : f.statusKnown ? "no-fix" : "unknown";
        fixes << QString::asprintf("%s %d %s %d", isoTime(f).c_str(), f.mode, state, f.sentences);
    });
    for (qsizetype at = 0; at < bytes.size(); at += piece)
        decoder.feed(sv(bytes.mid(at, piece)));
    decoder.finish();
    if (counters)
        *counters = decoder.counters();
    return fixes;
}

} // namespace

class TestNmea : public QObject
{
    Q_OBJECT

private slots:
    void sentenceBySentence()
    {
        const QByteArray good = sentence("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
        QByteArray wrong = good;
        wrong[wrong.size() - 1] = wrong.endsWith('0') ? '1' : '0';
        const QByteArray longest = sentence("$GPTXT," + QByteArray(static_cast<int>(kMaxSentenceLength) - 10, 'x'));
        // The line, what check() says, and whether it had a checksum; a lower-case one is fine.
        const std::tuple<QByteArray, Check, bool> rows[]
            = {{good, Check::Ok, true}, {good.chopped(3), Check::Ok, false},
                {"$GPGGA,030719.000,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000*7d", Check::Ok, true},
                {wrong, Check::BadChecksum, true}, {good.chopped(1), Check::MalformedChecksum, false},
                {good.chopped(2) + "G1", Check::MalformedChecksum, false}, {good.mid(1), Check::NoDollar, false},
                {QByteArray("$GPGGA,1\0x", 10), Check::NotPrintable, false}, {longest, Check::Ok, true},
                {sentence(longest.chopped(3) + 'x'), Check::TooLong, false}};
        for (const auto& [line, outcome, hasChecksum] : rows) {
            bool had = !hasChecksum;
            const Check checked = check(sv(line), &had);
            QCOMPARE(std::make_tuple(line, checked, had), std::make_tuple(line, outcome, hasChecksum));
        }

        // Any talker: the two letters after the dollar.
        const std::pair<QByteArray, Type> ids[] = {{"$GPRMC,x", Type::RMC}, {"$GNGGA,x", Type::GGA},
            {"$QZGSV,x", Type::GSV}, {"$BDGSA,x", Type::GSA}, {"$IIVTG,x", Type::VTG}, {"$GPGLL*00", Type::GLL},
            {"$GPZDA,x", Type::ZDA}, {"$GNGNS,x", Type::GNS}, {"$PGRME,x", Type::Unknown}, {"$GPRMCX,x", Type::Unknown},
            {"$GPRM,x", Type::Unknown}, {"$gprmc,x", Type::Unknown}, {"$", Type::Unknown}};
        for (const auto& [line, type] : ids) {
            const Id id = identify(sv(line));
            QCOMPARE(std::make_pair(id.type, id.type == Type::Unknown ? "" : QByteArray(id.talker.data(), 2)),
                std::make_pair(type, type == Type::Unknown ? "" : line.mid(1, 2)));
        }

        const Fields f = scan("$GPGLL,,N,,E*00"); // the checksum is not a field
        QCOMPARE(std::make_tuple(f.count, f[1].empty(), f[4] == "E", f[5].empty(), f[-1].empty()),
            std::make_tuple(5, true, true, true, true));
        const Fields many = scan("$GPGSV" + std::string(200, ','));
        QCOMPARE(std::make_pair(many.count, many[kMaxFields].empty()), std::make_pair(kMaxFields, true));

        // Latitude or longitude, its hemisphere, and the degrees (NAN: rejected).
        const std::tuple<const char*, const char*, bool, double> coordinates[] = {{"4807.038", "N", true, 48.1173},
            {"3747.0873", "S", true, -(37 + 47.0873 / 60)}, {"17518.8938", "E", false, 175 + 18.8938 / 60},
            {"00611.7600", "W", false, -(6 + 11.76 / 60)}, {"5724", "N", true, 57.4}, {"9000.0000", "N", true, 90.0},
            {"18000.0000", "W", false, -180.0}, {"9000.0001", "N", true, NAN}, {"18000.0001", "E", false, NAN},
            {"4860.000", "N", true, NAN}, {"", "N", true, NAN}, {"4807.038", "", true, NAN},
            {"4807.038", "E", true, NAN}, {"01131.000", "N", false, NAN}, {"4807.038", "n", true, NAN},
            {"-4807.038", "N", true, NAN}, {"48.5", "N", true, NAN}, {"48O7.038", "N", true, NAN}};
        for (const auto& [value, hemisphere, latitude, degrees] : coordinates)
            QCOMPARE((latitude ? parseLatitude(value, hemisphere) : parseLongitude(value, hemisphere)).value_or(NAN),
                degrees);

        // Times cut to the millisecond; dates (two-digit years from 80: 19yy), the days after; numbers.
        QList<double> values;
        for (const char* text : {"123519", "030719.5", "235959.9999", "", "12351", "240000", "123560", "123519.5x"})
            values << (parseTime(text) ? parseTime(text)->msOfDay() : -1);
        auto ymd = [](const Date& d) { return d.year * 10000.0 + d.month * 100 + d.day; };
        for (const char* text : {"311214", "060499", "290224", "290223", "320112", "001312", "31121"})
            values << ymd(parseDate(text).value_or(Date {}));
        for (const Date& d : {Date {2024, 2, 28}, {2023, 2, 28}, {2026, 12, 31}})
            values << ymd(nextDay(d));
        for (const char* text : {"-0028", "+1.5", ".5", "5.", "", "-", ".", "1.2.3", "1e5", "nan", " 1", "0x10"})
            values << parseNumber(text).value_or(-1);
        for (const char* text : {"08", "-1", "1.0", "9999999999"})
            values << parseInteger(text).value_or(-1);
        QCOMPARE(values,
            QList<double>({45319000, 11239500, 86399999, -1, -1, -1, -1, -1, 20141231, 19990406, 20240229, 0, 0, 0, 0,
                20240229, 20230301, 20270101, -28, 1.5, 0.5, 5, -1, -1, -1, -1, -1, -1, -1, -1, 8, -1, -1, -1}));

        // One struct per type (the common forms: against gpsd's decodings of real logs, below).
        QCOMPARE(as<Rmc>("$GNRMC,014500.00,A,4404.1306024,N,12118.8446777,W,0.013,,231221,,,D,V").mode, 'D');
        QVERIFY(!as<Gsa>("$GPGSA,A,7,,,,,,,,,,,,,,,").fixType); // no such fix type
        // The old forms: VTG without unit letters, GLL without time and status.
        const auto vtg = as<Vtg>("$GPVTG,054.7,034.4,005.5,010.2");
        QCOMPARE(std::make_pair(vtg.course.value_or(0), vtg.speedKnots.value_or(0)), std::make_pair(54.7, 5.5));
        QCOMPARE(as<Gll>("$GPGLL,4916.45,N,12311.12,W").status, '\0');
        const auto gsv = as<Gsv>("$GPGSV,3,3,11,20,09,138,36,13,04,183,51,32,03,113,44,,,,");
        QCOMPARE(std::make_tuple(gsv.lastPart(), gsv.inView.value_or(0), as<Gsv>("$GPGSV,3,1,11,20").lastPart()),
            std::make_tuple(true, 11, false));

        QCOMPARE(parsed("$GPGGA,123519,4807.038,N,01131.000,E,1").outcome, Outcome::TooFewFields);
        QCOMPARE(parsed("$PGRME,15.0,M,45.0,M,25.0,M").outcome, Outcome::Ignored);
    }

    void stream()
    {
        const QByteArray six = cycle(0) + cycle(1) + cycle(2) + cycle(3) + cycle(4) + cycle(5);
        const QStringList whole = decode(six);
        QCOMPARE(whole.filter(QLatin1String("Z 3 fix 4")).size(), 6);
        // Byte by byte and in odd pieces: the same fixes.
        for (int piece : {1, 7, 89})
            QCOMPARE(decode(six, piece), whole);

        // Damage costs the damaged sentence only (noise, joined and cut sentences: in the logs, below).
        QByteArray badSum = cycle(1);
        badSum[badSum.indexOf('*', badSum.indexOf("$GPGSA")) + 1] ^= 1;
        const QByteArray bare = "$GPRMC,120001,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W\r\n";
        // The stream, the sentences of each fix, what was counted and how often; a receiver without
        // checksums is read, but from one with, a sentence without is a fragment.
        const std::tuple<QByteArray, QList<int>, std::uint64_t DecodeCounters::*, int> damaged[]
            = {{cycle(0) + badSum + cycle(2), {4, 3, 4}, &DecodeCounters::badChecksum, 1},
                {cycle(0) + "$GPTXT," + QByteArray(300, 'x') + "\r\n" + cycle(1), {4, 4}, &DecodeCounters::overlong, 1},
                {QByteArray(bare).replace("120001", "120000") + bare, {1, 1}, &DecodeCounters::withoutChecksum, 2},
                {cycle(0) + bare + cycle(2), {4, 4}, &DecodeCounters::malformed, 1}};
        for (const auto& [stream, sentences, counter, count] : damaged) {
            DecodeCounters counters;
            QList<int> got;
            for (const QString& fix : decode(stream, 5, &counters))
                got << fix.section(' ', -1).toInt();
            QCOMPARE(got, sentences);
            QCOMPARE(counters.*counter, std::uint64_t(count));
        }

        // The date comes from RMC only; days go on without another RMC.
        QList<QByteArray> pastMidnight;
        for (const char* time : {"235958", "235959", "000000", "000001", "130000", "000000"})
            pastMidnight << "$GPGGA," + QByteArray(time) + ".00,5724.7500,N,00611.7600,W,1,08,0.9,12.0,M,52.1,M,,";
        pastMidnight.insert(1, "$GPRMC,235959.00,A,5724.7500,N,00611.7600,W,0.0,,311226,,,A");
        QCOMPARE(decode(lines(pastMidnight)), // before any RMC: a time of day only
            QStringList({" 3 fix 1", "2026-12-31T23:59:59.000Z 3 fix 2", "2027-01-01T00:00:00.000Z 3 fix 1",
                "2027-01-01T00:00:01.000Z 3 fix 1", "2027-01-01T13:00:00.000Z 3 fix 1",
                "2027-01-02T00:00:00.000Z 3 fix 1"}));

        // Mode and fix: quality 0, a void RMC wins, a GGA with altitude is 3D whatever a GSA says, a GSA
        // raises one without, no position, a void GLL; RMC alone keeps the kind of fix told before.
        const QByteArray rmcA = "$GPRMC,120000,A,4807.038,N,01131.000,E,0.0,,061226,,,A";
        const QByteArray gga1 = "$GPGGA,120000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
        const QByteArray gga2d = "$GPGGA,120000,4807.038,N,01131.000,E,1,08,0.9,,M,,M,,";
        const std::pair<QList<QByteArray>, const char*> cycles[] = {{{rmcA}, "2 fix 1"}, {{gga1}, "3 fix 1"},
            {{"$GPGGA,120000,4807.038,N,01131.000,E,0,00,,,M,,M,,"}, "1 no-fix 1"},
            {{gga1, "$GPRMC,120000,V,4807.038,N,01131.000,E,0.0,,061226,,,N"}, "1 no-fix 2"},
            {{gga1, "$GPGSA,A,2,04,05,09,,,,,,,,,,2.0,1.0,1.7", rmcA}, "3 fix 3"}, {{gga2d, rmcA}, "2 fix 2"},
            {{gga2d, "$GPGSA,A,3,04,05,09,12,,,,,,,,,2.0,1.0,1.7"}, "3 fix 2"},
            {{"$GPRMC,120000,A,,,,,0.0,,061226,,,A"}, "2 no-fix 1"},
            {{"$GPGLL,4807.038,N,01131.000,E,120000,V,N"}, "1 no-fix 1"},
            {{gga1, "$GPRMC,120001,A,4807.038,N,01131.000,E,0.0,,061226,,,A"}, "3 fix 1|3 fix 1"}};
        for (const auto& [bodies, mode] : cycles) {
            QStringList said;
            for (const QString& fix : decode(lines(bodies)))
                said << fix.section(' ', 1);
            QCOMPARE(bodies.join(' ') + " -> " + said.join('|'), bodies.join(' ') + " -> " + mode);
        }
    }

    // Every shipped log (or those in ZEPTA_NMEA_LOGS) through `nomrel decode`, against gpsd's decodings:
    // each epoch with a fix at the same time and place, with a fix; mode and altitude agree on 99% of
    // cycles, satellites used and HDOP where gpsd took them from a GGA or GNS (see the logs' README).
    void receiverLogsMatchTheirExpectedDecodings()
    {
        const QDir dir(qEnvironmentVariable("ZEPTA_NMEA_LOGS", QStringLiteral(ZEPTA_NMEA_DIR)));
        // Checked against a date 1024 weeks on (the README's "week rollover"): compared by time of day.
        const QStringList timeOfDayOnly {"neo-m8n.log", "rst39.log"};
        // bundg_zeus_9 sends a GGA placed elsewhere after the RMC of the same second (we keep the later);
        // ericsson-gru04 places two epochs by a proprietary sentence.
        const QMap<QString, int> allowedMisses {{"bundg_zeus_9.log", 40}, {"ericsson-gru04-02-70sec.log", 2}};
        const QMap<QString, int> badChecksums {{"firefly-II.log", 23}, {"gpsdf.log", 46}}; // the README's counts
        std::map<QString, QList<bool>> agrees; // for each value, whether it agrees in each cycle compared
        int epochs = 0;
        for (const QString& log : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
            QProcess decode;
            decode.start(QStringLiteral(NOMREL_TOOL), {QStringLiteral("decode"), dir.filePath(log)});
            QVERIFY(decode.waitForFinished(kPatience));
            QCOMPARE(decode.exitCode(), 0);
            const QString summary = QString::fromUtf8(decode.readAllStandardError());
            if (badChecksums.contains(log))
                QVERIFY2(
                    summary.contains(QStringLiteral(" %1 bad checksums").arg(badChecksums[log])), qPrintable(summary));
            std::map<QString, QVariantMap> ours; // the last cycle per time of day
            for (const QByteArray& line : decode.readAllStandardOutput().split('\n')) {
                const QVariantMap fix = QJsonDocument::fromJson(line).object().toVariantMap();
                ours[timeOfDay(fix.value("time").toString())] = fix;
            }
            int positionMisses = 0;
            for (const auto& [time, expected] : expectedCycles(dir.filePath(log))) {
                const QVariantMap& fix = ours[time];
                const QVariantMap& tpv = expected.tpv;
                auto near = [&fix](const char* key, const QVariant& value, double within) {
                    const QVariant our = fix.value(key);
                    return our.isValid() && value.isValid() && std::fabs(our.toDouble() - value.toDouble()) <= within;
                };
                const QString where = log + ' ' + time;
                const bool epoch = tpv.value("mode").toInt() >= 2 && tpv.contains("lat"); // with a fix
                if (fix.isEmpty()) {
                    QVERIFY2(!epoch, qPrintable(where + " is missing"));
                    continue;
                }
                if (!tpv.isEmpty()) {
                    agrees["mode"] << (fix.value("mode").toInt() == tpv.value("mode").toInt());
                    QVERIFY2(expected.anyFix || !fix.value("valid").toBool(), qPrintable(where)); // gpsd saw no fix
                }
                if (epoch) {
                    ++epochs;
                    QVERIFY2(fix.value("valid").toBool(), qPrintable(where + " has no fix"));
                    if (!timeOfDayOnly.contains(log))
                        QCOMPARE(fix.value("time"), tpv.value("time"));
                    positionMisses += !near("lat", tpv.value("lat"), 1e-6) || !near("lon", tpv.value("lon"), 1e-6);
                }
                if (tpv.contains("altMSL"))
                    agrees["altitude"] << near("alt", tpv.value("altMSL"), 1e-3);
                if (expected.satellitesUsed)
                    agrees["satellites used"] << near("satellites", *expected.satellitesUsed, 0);
                if (expected.hdop)
                    agrees["HDOP"] << near("hdop", *expected.hdop, 0.005);
            }
            QVERIFY2(positionMisses <= allowedMisses.value(log), qPrintable(log + " has positions that differ"));
        }
        QVERIFY(epochs > 1500);
        for (const char* what : {"mode", "altitude", "satellites used", "HDOP"}) {
            const int same = static_cast<int>(agrees[what].count(true)), all = static_cast<int>(agrees[what].size());
            qInfo("%s agrees in %d of %d cycles", what, same, all);
            QVERIFY2(all > 1000, what);
            QVERIFY2(same * 100 >= all * 99, what);
        }
    }
};

QTEST_GUILESS_MAIN(TestNmea)
#include "test_nmea.moc"

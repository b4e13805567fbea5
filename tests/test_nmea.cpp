// NMEA decoding: the checks, the field parsers, one struct per sentence, the
// stream (split, joined and noisy lines), fix cycles, and real receivers' logs
// through `nomrel decode` against the decodings that ship with them.

#include "NmeaLogs.h"
#include "nomrel/NmeaStream.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTest>

#include <cmath>
#include <map>
#include <tuple>
#include <vector>

using namespace nomrel::nmea;

namespace
{

std::string_view sv(const QByteArray& b) { return {b.constData(), static_cast<std::size_t>(b.size())}; }

// Appends "*hh" to a sentence body.
QByteArray sentence(const QByteArray& body)
{
    return body + '*' + QByteArray::number(checksumOf(sv(body)), 16).rightJustified(2, '0').toUpper();
}

QByteArray lines(const QList<QByteArray>& bodies)
{
    QByteArray out;
    for (const QByteArray& body : bodies)
        out += sentence(body) + "\r\n";
    return out;
}

// One cycle of a typical receiver at the given second past 12:00:00.
QByteArray cycle(int second)
{
    const QByteArray t = QByteArray("1200") + QByteArray::number(second).rightJustified(2, '0') + ".00";
    return lines({"$GPRMC," + t + ",A,5724.7500,N,00611.7600,W,2.72,45.0,061226,,,A",
        "$GPGGA," + t + ",5724.7500,N,00611.7600,W,1,08,0.9,12.0,M,52.1,M,,",
        "$GPGSA,A,3,04,05,09,12,17,20,24,28,,,,,1.6,0.9,1.3", "$GPVTG,45.0,T,,M,2.72,N,5.04,K,A"});
}

ParseResult parsed(const QByteArray& body) { return parse(sv(sentence(body))); }

template <class T> T as(const QByteArray& body) { return std::get<T>(parsed(body).sentence.data); }

struct Decoded {
    std::vector<Fix> fixes;
    DecodeCounters counters;
};

// Decodes bytes fed in pieces of the given sizes (cycled).
Decoded decode(const QByteArray& bytes, const std::vector<int>& pieces = {1 << 30}, bool finish = true)
{
    Decoded result;
    Decoder decoder([&result](const Fix& fix) { result.fixes.push_back(fix); });
    std::size_t i = 0;
    for (qsizetype at = 0; at < bytes.size(); at += pieces[i++ % pieces.size()])
        decoder.feed(sv(bytes.mid(at, pieces[i % pieces.size()])));
    if (finish)
        decoder.finish();
    result.counters = decoder.counters();
    return result;
}

QString iso(const Fix& fix) { return QString::fromStdString(isoTime(fix)); }

} // namespace

class TestNmea : public QObject
{
    Q_OBJECT

private slots:
    void checkIdentifyAndScan()
    {
        const QByteArray bare = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
        const QByteArray good = sentence(bare);
        QByteArray wrong = good;
        wrong[wrong.size() - 1] = wrong.endsWith('0') ? '1' : '0';
        const QByteArray longest = sentence("$GPTXT," + QByteArray(static_cast<int>(kMaxSentenceLength) - 10, 'x'));
        // The line, what check() says, and whether it has a checksum (for Ok
        // and BadChecksum); a lower-case checksum is fine.
        const std::tuple<QByteArray, Check, bool> rows[] = {{good, Check::Ok, true}, {bare, Check::Ok, false},
            {"$GPGGA,030719.000,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000*7d", Check::Ok, true},
            {wrong, Check::BadChecksum, true}, {good.chopped(1), Check::MalformedChecksum, false},
            {good.chopped(2) + "G1", Check::MalformedChecksum, false}, {good.mid(1), Check::NoDollar, false},
            {"$GPGGA,1\x01x*00", Check::NotPrintable, false},
            {QByteArray("$GPGGA,1\0x", 10), Check::NotPrintable, false}, {longest, Check::Ok, true},
            {sentence(longest.chopped(3) + 'x'), Check::TooLong, false}};
        for (const auto& [line, expected, hasChecksum] : rows) {
            bool had = !hasChecksum;
            const bool told = expected == Check::Ok || expected == Check::BadChecksum;
            QVERIFY2(check(sv(line), &had) == expected && (!told || had == hasChecksum), line.constData());
        }

        // Any talker; the talker is the two letters after the dollar.
        const std::pair<QByteArray, Type> ids[] = {{"$GPRMC,x", Type::RMC}, {"$GNGGA,x", Type::GGA},
            {"$QZGSV,x", Type::GSV}, {"$BDGSA,x", Type::GSA}, {"$IIVTG,x", Type::VTG}, {"$GPGLL*00", Type::GLL},
            {"$GPZDA,x", Type::ZDA}, {"$GNGNS,x", Type::GNS}, {"$PGRME,x", Type::Unknown}, {"$GPRMCX,x", Type::Unknown},
            {"$GPRM,x", Type::Unknown}, {"$gprmc,x", Type::Unknown}, {"$", Type::Unknown}};
        for (const auto& [line, type] : ids) {
            const Id id = identify(sv(line));
            QVERIFY2(id.type == type && (type == Type::Unknown || QByteArray(id.talker.data(), 2) == line.mid(1, 2)),
                line.constData());
        }

        Fields f = scan("$GPGLL,,N,,E*00"); // the checksum is not a field
        QVERIFY(f.count == 5 && f[1].empty() && f[4] == std::string_view("E") && f[5].empty() && f[-1].empty());
        f = scan("$GPGSV" + std::string(200, ','));
        QVERIFY(f.count == kMaxFields && f[kMaxFields].empty());
    }

    void fieldParsers()
    {
        // Latitude or longitude, its hemisphere, and the degrees (NAN: rejected).
        const std::tuple<const char*, const char*, bool, double> coordinates[] = {{"4807.038", "N", true, 48.1173},
            {"3747.0873", "S", true, -(37 + 47.0873 / 60)}, {"17518.8938", "E", false, 175 + 18.8938 / 60},
            {"00611.7600", "W", false, -(6 + 11.76 / 60)}, {"5724", "N", true, 57.4}, {"9000.0000", "N", true, 90.0},
            {"18000.0000", "W", false, -180.0}, {"9000.0001", "N", true, NAN}, {"18000.0001", "E", false, NAN},
            {"4860.000", "N", true, NAN}, {"", "N", true, NAN}, {"4807.038", "", true, NAN},
            {"4807.038", "E", true, NAN}, {"01131.000", "N", false, NAN}, {"4807.038", "n", true, NAN},
            {"-4807.038", "N", true, NAN}, {"48.5", "N", true, NAN}, {"48O7.038", "N", true, NAN}};
        for (const auto& [value, hemisphere, latitude, expected] : coordinates) {
            const auto got = latitude ? parseLatitude(value, hemisphere) : parseLongitude(value, hemisphere);
            QVERIFY2(std::isnan(expected) ? !got : got && std::fabs(*got - expected) < 1e-12,
                (QByteArray(value) + ' ' + hemisphere).constData());
        }

        const std::pair<const char*, int> times[] = {{"123519", (12 * 3600 + 35 * 60 + 19) * 1000},
            {"030719.5", (3 * 3600 + 7 * 60 + 19) * 1000 + 500}, {"235959.9999", 86399999}, // cut, not rounded
            {"", -1}, {"12351", -1}, {"240000", -1}, {"123560", -1}, {"123519.5x", -1}};
        for (const auto& [text, ms] : times) {
            const auto t = parseTime(text);
            QVERIFY2((t ? t->msOfDay() : -1) == ms, text);
        }
        // Two-digit years from 80 are 19yy.
        const std::pair<const char*, Date> dates[] = {{"311214", {2014, 12, 31}}, {"060499", {1999, 4, 6}},
            {"290224", {2024, 2, 29}}, {"290223", {}}, {"320112", {}}, {"001312", {}}, {"31121", {}}};
        for (const auto& [text, date] : dates)
            QVERIFY2(parseDate(text).value_or(Date {}) == date, text);
        QVERIFY(nextDay({2024, 2, 28}) == (Date {2024, 2, 29}) && nextDay({2023, 2, 28}) == (Date {2023, 3, 1}));

        for (const auto& [text, value] : {std::pair {"-0028", -28.0}, {"+1.5", 1.5}, {".5", 0.5}, {"5.", 5.0}})
            QVERIFY2(parseNumber(text) == value, text);
        for (const char* bad : {"", "-", ".", "1.2.3", "1e5", "nan", " 1", "0x10"})
            QVERIFY2(!parseNumber(bad), bad);
        QVERIFY(parseInteger("08") == 8 && !parseInteger("-1") && !parseInteger("1.0") && !parseInteger("9999999999"));
    }

    void eachSentenceTypeIntoItsStruct()
    {
        // (The common forms are checked against gpsd's decodings of real logs, below.)
        QCOMPARE(as<Rmc>("$GNRMC,014500.00,A,4404.1306024,N,12118.8446777,W,0.013,,231221,,,D,V").mode, 'D');
        QVERIFY(!as<Gsa>("$GPGSA,A,7,,,,,,,,,,,,,,,").fixType); // no such fix type
        // The old forms: VTG without unit letters, GLL without time and status.
        const auto oldVtg = as<Vtg>("$GPVTG,054.7,034.4,005.5,010.2");
        QVERIFY(*oldVtg.course == 54.7 && *oldVtg.speedKnots == 5.5);
        QCOMPARE(as<Gll>("$GPGLL,4916.45,N,12311.12,W").status, '\0');
        const auto gsv = as<Gsv>("$GPGSV,3,3,11,20,09,138,36,13,04,183,51,32,03,113,44,,,,");
        QVERIFY(gsv.lastPart() && *gsv.inView == 11 && !as<Gsv>("$GPGSV,3,1,11,20,09,138,36").lastPart());

        QCOMPARE(parsed("$GPGGA,123519,4807.038,N,01131.000,E,1").outcome, Outcome::TooFewFields);
        QCOMPARE(parsed("$PGRME,15.0,M,45.0,M,25.0,M").outcome, Outcome::Ignored);
        QCOMPARE(parse("$GPRMC,,V,,,,,,,,,,N*00").outcome, Outcome::Rejected);
    }

    void oneFixPerCycleWhateverTheReads()
    {
        QByteArray stream;
        for (int s = 0; s < 6; ++s)
            stream += cycle(s);
        const Decoded whole = decode(stream);
        QCOMPARE(whole.fixes.size(), std::size_t(6));
        for (const Fix& fix : whole.fixes)
            QVERIFY(fix.valid && fix.mode == 3 && fix.sentences == 4 && *fix.satellitesUsed == 8
                && std::fabs(*fix.speed - 2.72 * 1852 / 3600) < 1e-9);
        // Byte by byte and in odd pieces: the same fixes, each with all its sentences.
        for (const auto& pieces : {std::vector<int> {1}, std::vector<int> {7, 3, 64, 1, 89}}) {
            const Decoded split = decode(stream, pieces);
            QCOMPARE(split.fixes.size(), whole.fixes.size());
            for (std::size_t i = 0; i < split.fixes.size(); ++i)
                QVERIFY(iso(split.fixes[i]) == iso(whole.fixes[i]) && split.fixes[i].sentences == 4);
        }
        // Once the cycle's last sentence is known, its fix comes with it, not a cycle later.
        QCOMPARE(decode(cycle(0) + cycle(1) + cycle(2), {1 << 30}, false).fixes.size(), std::size_t(3));
    }

    // (Binary noise, escape codes, NUL runs, sentences joined without a line
    // end and cut short are in the logs, below.)
    void overlongLinesAreDroppedWhole()
    {
        const Decoded d = decode(cycle(0) + "$GPTXT," + QByteArray(300, 'x') + "\r\n" + cycle(1), {5});
        QCOMPARE(d.fixes.size(), std::size_t(2));
        QCOMPARE(d.fixes[1].sentences, 4);
        QCOMPARE(d.counters.overlong, std::uint64_t(1));
    }

    // (Bad checksums: the logs of firefly-II and gpsdf, below.)
    void missingChecksums()
    {
        // A receiver without checksums is read...
        const QByteArray bare = "$GPRMC,120001,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W\r\n";
        Decoded d = decode("$GPRMC,120000,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W\r\n" + bare);
        QVERIFY(d.fixes.size() == 2 && d.counters.withoutChecksum == 2);
        // ...but from one that sends them, a sentence without is a fragment.
        d = decode(cycle(0) + bare + cycle(2));
        QVERIFY(d.fixes.size() == 2 && d.counters.malformed == 1);
    }

    void dateComesFromRmcOnly()
    {
        QByteArray stream;
        for (const char* time : {"235958", "RMC", "235959", "000000", "000001", "130000", "000000"})
            stream += qstrcmp(time, "RMC") == 0
                ? lines({"$GPRMC,235959.00,A,5724.7500,N,00611.7600,W,0.0,,311226,,,A"})
                : lines({QByteArray("$GPGGA,") + time + ".00,5724.7500,N,00611.7600,W,1,08,0.9,12.0,M,52.1,M,,"});
        const Decoded d = decode(stream);
        QStringList times;
        for (const Fix& fix : d.fixes)
            times << iso(fix);
        // Days go on without another RMC.
        QCOMPARE(times,
            QStringList({"", "2026-12-31T23:59:59.000Z", "2027-01-01T00:00:00.000Z", "2027-01-01T00:00:01.000Z",
                "2027-01-01T13:00:00.000Z", "2027-01-02T00:00:00.000Z"}));
        QVERIFY(d.fixes[0].valid && !d.fixes[0].date); // before any RMC: a time of day only
    }

    void fixValidityAndMode()
    {
        const QByteArray rmcA = "$GPRMC,120000,A,4807.038,N,01131.000,E,0.0,,061226,,,A";
        const QByteArray rmcV = "$GPRMC,120000,V,4807.038,N,01131.000,E,0.0,,061226,,,N";
        const QByteArray gga1 = "$GPGGA,120000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
        const QByteArray gga2d = "$GPGGA,120000,4807.038,N,01131.000,E,1,08,0.9,,M,,M,,";
        // The cycle's sentences, its mode and whether it has a fix: quality 0,
        // a void RMC wins, a GGA with altitude is 3D whatever a GSA says but
        // a GSA raises one without, no position, a void GLL.
        const std::tuple<QList<QByteArray>, int, bool> rows[]
            = {{{rmcA}, 2, true}, {{gga1}, 3, true}, {{"$GPGGA,120000,4807.038,N,01131.000,E,0,00,,,M,,M,,"}, 1, false},
                {{gga1, rmcV}, 1, false}, {{gga1, "$GPGSA,A,2,04,05,09,,,,,,,,,,2.0,1.0,1.7", rmcA}, 3, true},
                {{gga2d, rmcA}, 2, true}, {{gga2d, "$GPGSA,A,3,04,05,09,12,,,,,,,,,2.0,1.0,1.7"}, 3, true},
                {{"$GPRMC,120000,A,,,,,0.0,,061226,,,A"}, 2, false},
                {{"$GPGLL,4807.038,N,01131.000,E,120000,V,N"}, 1, false}};
        for (const auto& [bodies, mode, valid] : rows) {
            const auto f = decode(lines(bodies)).fixes;
            QVERIFY2(f.size() == 1 && f[0].statusKnown && f[0].mode == mode && f[0].valid == valid,
                bodies.join(' ').constData());
        }
        // A cycle of RMC alone keeps the kind of fix the cycle before told.
        const auto f = decode(lines({gga1, "$GPRMC,120001,A,4807.038,N,01131.000,E,0.0,,061226,,,A"})).fixes;
        QCOMPARE(f.size(), std::size_t(2));
        QCOMPARE(f[1].mode, 3);
    }

    // Every shipped log through `nomrel decode`, against the decodings gpsd
    // produced from it (ZEPTA_NMEA_LOGS names another folder of such logs).
    // Each epoch with a fix is found at the same time, to the millisecond, at
    // the same place (1e-6 degree), with a fix; mode and altitude agree for
    // nearly all; satellites used and HDOP wherever gpsd took them from a GGA
    // or GNS (the logs' README explains where gpsd's own rules differ).
    void receiverLogsMatchTheirExpectedDecodings()
    {
        const QDir dir(qEnvironmentVariable("ZEPTA_NMEA_LOGS", QStringLiteral(ZEPTA_NMEA_DIR)));
        const QStringList logs = dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name);
        QVERIFY2(logs.size() >= 50, qPrintable(dir.absolutePath()));
        // Two logs were checked against a date 1024 weeks on (the README's
        // "week rollover"): compare them by time of day.
        const QStringList timeOfDayOnly {"neo-m8n.log", "rst39.log"};
        // bundg_zeus_9 sends a GGA with another position after the RMC of the
        // same second (we keep the later one); ericsson-gru04 has two epochs
        // placed by a proprietary averaging sentence.
        const QMap<QString, int> allowedMisses {{"bundg_zeus_9.log", 40}, {"ericsson-gru04-02-70sec.log", 2}};
        const QMap<QString, int> badChecksums {{"firefly-II.log", 23}, {"gpsdf.log", 46}}; // the README's counts

        struct Tally {
            int same = 0;
            int all = 0;
            void count(bool agree) { same += agree, ++all; }
        } modes, altitudes, satellites, hdops;
        int epochs = 0;
        for (const QString& log : logs) {
            QProcess decode;
            decode.start(QStringLiteral(NOMREL_TOOL), {QStringLiteral("decode"), dir.filePath(log)});
            QVERIFY(decode.waitForFinished(30000) && decode.exitCode() == 0);
            const QString summary = QString::fromUtf8(decode.readAllStandardError());
            if (badChecksums.contains(log))
                QVERIFY2(
                    summary.contains(QStringLiteral(" %1 bad checksums").arg(badChecksums[log])), qPrintable(summary));
            std::map<QString, QVariantMap> ours; // the last cycle per time of day
            for (const QByteArray& line : decode.readAllStandardOutput().split('\n')) {
                const QVariantMap fix = QJsonDocument::fromJson(line).object().toVariantMap();
                ours[timeOfDay(fix.value(QStringLiteral("time")).toString())] = fix;
            }

            int positionMisses = 0;
            for (const auto& [time, expected] : expectedCycles(dir.filePath(log))) {
                const QVariantMap& fix = ours[time];
                auto tpv = [&expected = expected](const char* key) { return expected.tpv.value(QLatin1String(key)); };
                auto near = [&fix](const char* key, const QVariant& value, double within) {
                    const QVariant our = fix.value(QLatin1String(key));
                    return our.isValid() && value.isValid() && std::fabs(our.toDouble() - value.toDouble()) <= within;
                };
                const QString where = log + ' ' + time;
                const int mode = tpv("mode").toInt();
                if (fix.isEmpty()) {
                    QVERIFY2(mode < 2 || !tpv("lat").isValid(), qPrintable(where + " is missing"));
                    continue;
                }
                if (!expected.tpv.isEmpty()) {
                    modes.count(fix.value(QStringLiteral("mode")).toInt() == mode);
                    // No fix where gpsd saw none at all.
                    QVERIFY2(expected.anyFix || !fix.value(QStringLiteral("valid")).toBool(), qPrintable(where));
                }
                if (mode >= 2 && tpv("lat").isValid()) {
                    ++epochs;
                    QVERIFY2(fix.value(QStringLiteral("valid")).toBool(), qPrintable(where + " has no fix"));
                    if (!timeOfDayOnly.contains(log))
                        QCOMPARE(fix.value(QStringLiteral("time")), tpv("time"));
                    positionMisses += !near("lat", tpv("lat"), 1e-6) || !near("lon", tpv("lon"), 1e-6);
                }
                if (tpv("altMSL").isValid())
                    altitudes.count(near("alt", tpv("altMSL"), 1e-3));
                if (expected.satellitesUsed)
                    satellites.count(near("satellites", *expected.satellitesUsed, 0));
                if (expected.hdop)
                    hdops.count(near("hdop", *expected.hdop, 0.005));
            }
            QVERIFY2(positionMisses <= allowedMisses.value(log), qPrintable(log + " has positions that differ"));
        }
        QVERIFY(epochs > 1500);
        for (const auto& [name, tally] :
            {std::pair {"mode", modes}, {"altitude", altitudes}, {"satellites used", satellites}, {"HDOP", hdops}}) {
            qInfo("%s agrees in %d of %d cycles", name, tally.same, tally.all);
            QVERIFY2(tally.all > 1000 && tally.same * 100 >= tally.all * 99, name);
        }
    }
};

QTEST_GUILESS_MAIN(TestNmea)
#include "test_nmea.moc"

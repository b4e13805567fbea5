// libFuzzer target for the NMEA decoder: any bytes, split into reads of any
// size, must decode without a crash, a sanitizer report or a fix that breaks
// the decoder's promises. Built with -DZEPTA_FUZZ=ON by clang; see scripts/fuzz.

#include "nomrel/NmeaStream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace nomrel::nmea;

namespace
{

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkTime(const TimeOfDay& t)
{
    require(t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 && t.second < 60);
    require(t.millisecond >= 0 && t.millisecond < 1000);
}

void checkFix(const Fix& fix)
{
    require(fix.mode >= 1 && fix.mode <= 3);
    require(!fix.valid || (fix.position && fix.mode >= 2));
    if (fix.position) {
        require(fix.position->latitude >= -90.0 && fix.position->latitude <= 90.0);
        require(fix.position->longitude >= -180.0 && fix.position->longitude <= 180.0);
    }
    if (fix.time)
        checkTime(*fix.time);
    if (fix.date)
        require(fix.date->month >= 1 && fix.date->month <= 12 && fix.date->day >= 1 && fix.date->day <= 31);
    require(fix.sentences >= 0);
    require(isoTime(fix).size() == (fix.hasDateTime() ? 24u : 0u) || (fix.date && fix.date->year > 9999));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte chooses the size of the reads the rest arrives in.
    if (size == 0)
        return 0;
    const std::size_t piece = 1 + data[0] % 97;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    std::uint64_t fixes = 0;
    Decoder decoder(
        [&fixes](const Fix& fix) {
            checkFix(fix);
            ++fixes;
        },
        [](std::string_view line, bool) { require(!line.empty() && line.size() <= kMaxSentenceLength); });
    for (std::size_t at = 0; at < length; at += piece)
        decoder.feed(text + at, length - at < piece ? length - at : piece);
    decoder.finish();
    const DecodeCounters counters = decoder.counters();
    require(counters.fixes == fixes);
    require(counters.parsed + counters.ignored + counters.badChecksum + counters.malformed == counters.lines);

    // Each step on its own, on the whole input as one line.
    const std::string_view line(text, length);
    const ParseResult result = parse(line);
    if (result.outcome == Outcome::Parsed) {
        if (const auto t = result.sentence.time())
            checkTime(*t);
    }
    const Fields fields = scan(line);
    require(fields.count >= 1 && fields.count <= kMaxFields);
    return 0;
}

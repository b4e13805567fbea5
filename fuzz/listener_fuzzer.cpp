// libFuzzer target for the listener's document reader: any body must be read
// without a crash or a sanitizer report, in CPU time linear in its size, and
// an event it accepts must keep the reader's promises. The same bytes, stored
// as a file sink record, must read back unchanged. Built with -DZEPTA_FUZZ=ON
// by clang; see scripts/fuzz.

#include "listener/listener_core.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace
{

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "listener_fuzzer: %s\n", what);
        std::abort();
    }
}

double threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const double start = threadCpuMs();
    QString reason;
    const std::optional<listener::Event> event = listener::parseEvent(body, &reason);
    // A few milliseconds per KB, with room for the sanitizers' slowdown.
    const double spent = threadCpuMs() - start;
    require(spent < 50.0 + 10.0 * static_cast<double>(size) / 1024.0, "slower than linear in the body's size");

    if (event) {
        require(event->eventId.size() == 36 && listener::canonicalEventId(event->eventId) == event->eventId,
            "an accepted event id is not canonical");
        require(std::isfinite(event->latitude) && std::abs(event->latitude) <= 90.0, "latitude out of range");
        require(std::isfinite(event->longitude) && std::abs(event->longitude) <= 180.0, "longitude out of range");
        require(!event->gmt || event->gmt->timeSpec() == Qt::UTC, "a time that is not UTC");
    } else {
        require(!reason.isEmpty(), "a refusal without a reason");
    }

    const listener::Record record {QDateTime::fromMSecsSinceEpoch(0, Qt::UTC), "/x", body, "id"};
    bool complete = false;
    const QList<listener::Record> back = listener::parseRecords(listener::formatRecord(record), &complete);
    require(complete && back.size() == 1 && back[0].body == body, "a record does not read back");
    return 0;
}

#pragma once

// Feeding NMEA to a pseudo-terminal linked as <folder>/ports/COMn, so the
// receiver reads it through a real serial device: a log replayed at its own
// pace, or a generated walk.

#include <ctime>
#include <optional>
#include <string>

namespace nomrel::tool
{

struct FeedOptions {
    std::string folder; // the program folder; the link is <folder>/ports/COM<port>
    int port = 0;
    double rate = 1.0; // fix cycles per second
    bool loop = false; // replay: start the log again at its end
    std::optional<double> loseFixAfter; // simulate: seconds of walk with a fix
    std::optional<double> silenceAfter; // simulate: seconds of walk before it stops writing
};

// Both run until SIGINT, SIGTERM or SIGHUP and remove the link on the way out.
// Each returns the process exit status.
int replay(const FeedOptions& options, const std::string& file);
int simulate(const FeedOptions& options);

// The sentences (RMC, GGA, GSA, GSV, VTG, each with its checksum and CR LF) of
// cycle `cycle` of the generated walk that begins at `start` (UTC), with or
// without a fix.
std::string walkCycle(long cycle, double rate, std::time_t start, bool fix);

} // namespace nomrel::tool

#pragma once

// Feeding NMEA to a pseudo-terminal linked as <folder>/ports/COMn, so the
// receiver reads it through a real serial device, or serving it over TCP: a
// log replayed at its own pace, or a generated walk.

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace nomrel::tool
{

struct FeedOptions {
    std::string folder; // the program folder; the link is <folder>/ports/COM<port>
    int port = 0; // COM n; for serve, the TCP port (0: any free one)
    double rate = 1.0; // fix cycles per second
    bool loop = false; // replay: start the log again at its end
    std::optional<double> loseFixAfter; // simulate: seconds of walk with a fix
    std::optional<double> silenceAfter; // simulate: seconds of walk before it stops writing
    std::optional<double> loseFixFor; // simulate: the fix lost at loseFixAfter comes back after this long
    double hdop = 0.9; // simulate: the HDOP sent
    std::optional<double> gstSd; // simulate: send GST with this latitude and longitude deviation (metres)
    double outlierPercent = 0.0; // simulate: this share of cycles is 80 m off with HDOP 25
    double fromLatitude = 57.4125; // simulate and serve: where the generated walk begins
    double fromLongitude = -6.1960;
};

// Both run until SIGINT, SIGTERM or SIGHUP and remove the link on the way out.
// Each returns the process exit status.
int replay(const FeedOptions& options, const std::string& file);
int simulate(const FeedOptions& options);

// NMEA over TCP on 127.0.0.1: each client gets the log (or, without a file,
// the generated walk) from its beginning at the given pace. Prints
// "nomrel: NMEA on tcp://127.0.0.1:PORT" first; runs until a stop signal.
int serve(const FeedOptions& options, const std::string& file);

// The cycles of a log, each with the lines that make it up (a sentence with a
// new time of day begins the next); header lines ("#...") are left out.
std::vector<std::string> logCycles(const std::string& log);
// Reads a log's cycles; false, with a message on standard error, when it
// cannot be read or holds nothing.
bool readLog(const std::string& file, std::vector<std::string>& cycles);

// Shared by the feeders.
void installStopHandlers();
bool stopRequested();
// Sleeps until `start` + `seconds` on the monotonic clock; false when a stop
// signal came first.
bool sleepUntil(const timespec& start, double seconds);
timespec monotonicNow();

// An owned file descriptor.
class Fd
{
public:
    explicit Fd(int fd = -1)
        : mFd(fd)
    {
    }
    ~Fd()
    {
        if (mFd >= 0)
            ::close(mFd);
    }
    Fd(Fd&& other) noexcept
        : mFd(other.mFd)
    {
        other.mFd = -1;
    }
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(mFd, other.mFd);
        return *this;
    }
    int get() const { return mFd; }

private:
    int mFd;
};

// How the generated walk's fixes look.
struct WalkQuality {
    double hdop = 0.9;
    std::optional<double> gstSd; // a GST sentence with this deviation, in metres
    bool outlier = false; // 80 m east of the walk, HDOP 25
    double fromLatitude = 57.4125; // where the walk begins
    double fromLongitude = -6.1960;
};

// The sentences (RMC, GGA, GSA, GSV, VTG, each with its checksum and CR LF) of
// cycle `cycle` of the generated walk that begins at `start` (UTC), with or
// without a fix.
std::string walkCycle(long cycle, double rate, std::time_t start, bool fix, const WalkQuality& quality = {});

} // namespace nomrel::tool

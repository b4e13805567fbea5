#include "nomrel/tool/Feed.h"

#include "nomrel/NmeaParser.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace nomrel::tool
{

namespace
{

volatile std::sig_atomic_t gStopSignal = 0;

void onStopSignal(int signal) { gStopSignal = signal; }

} // namespace

void installStopHandlers()
{
    struct sigaction action {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a sleep ends at once
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return gStopSignal != 0; }

bool sleepUntil(const timespec& start, double seconds)
{
    timespec deadline = start;
    const double whole = std::floor(seconds);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (!gStopSignal) {
        const int rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0)
            return !gStopSignal;
        if (rc != EINTR)
            return false;
    }
    return false;
}

timespec monotonicNow()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

namespace
{

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// A pseudo-terminal. The master side is written; one descriptor of the slave
// side stays open here, so the terminal lives on while the receiver closes and
// reopens it, and is set raw so nothing is translated before the receiver
// sets its own line settings.
class PseudoTerminal
{
public:
    PseudoTerminal()
        : mMaster(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (mMaster.get() < 0)
            throw systemError("cannot create a pseudo-terminal");
        if (::grantpt(mMaster.get()) != 0 || ::unlockpt(mMaster.get()) != 0)
            throw systemError("cannot unlock the pseudo-terminal");
        const char* name = ::ptsname(mMaster.get());
        if (!name)
            throw systemError("cannot name the pseudo-terminal");
        mSlaveName = name;
        mSlave = std::make_unique<Fd>(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (mSlave->get() < 0)
            throw systemError("cannot open " + mSlaveName);
        termios raw {};
        if (::tcgetattr(mSlave->get(), &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(mSlave->get(), TCSANOW, &raw);
        }
        const int flags = ::fcntl(mMaster.get(), F_GETFL);
        ::fcntl(mMaster.get(), F_SETFL, flags | O_NONBLOCK);
    }

    const std::string& slaveName() const { return mSlaveName; }

    // Writes what the terminal takes now; the rest is dropped, as a serial
    // line drops what nobody reads.
    void write(const std::string& data)
    {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(mMaster.get(), data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                if (gStopSignal)
                    return;
            } else {
                return; // full (EAGAIN) or gone
            }
        }
    }

private:
    Fd mMaster;
    std::unique_ptr<Fd> mSlave;
    std::string mSlaveName;
};

// <folder>/ports/COMn as a symbolic link to the terminal, removed again on
// destruction if it still points there.
class PortLink
{
public:
    PortLink(const std::string& folder, int port, const std::string& target)
        : mTarget(target)
    {
        const std::string ports = folder + "/ports";
        if (::mkdir(ports.c_str(), 0755) != 0 && errno != EEXIST)
            throw systemError("cannot create " + ports);
        mPath = ports + "/COM" + std::to_string(port);

        struct stat existing {
        };
        if (::lstat(mPath.c_str(), &existing) == 0) {
            struct stat device {
            };
            if (!S_ISLNK(existing.st_mode))
                throw std::runtime_error(mPath + " exists and is not a link: remove it first");
            char linked[4096];
            const ssize_t n = ::readlink(mPath.c_str(), linked, sizeof linked - 1);
            const bool ours = n > 0 && std::string(linked, static_cast<std::size_t>(n)) == target;
            if (!ours && ::stat(mPath.c_str(), &device) == 0 && S_ISCHR(device.st_mode))
                throw std::runtime_error(mPath
                    + " already links to a serial device (another nomrel running?): "
                      "remove it first if none is");
            // A link left behind by a run that could not clean up: replace it.
        }
        const std::string temporary = mPath + ".new" + std::to_string(::getpid());
        ::unlink(temporary.c_str());
        if (::symlink(target.c_str(), temporary.c_str()) != 0)
            throw systemError("cannot link " + temporary);
        if (::rename(temporary.c_str(), mPath.c_str()) != 0) {
            ::unlink(temporary.c_str());
            throw systemError("cannot link " + mPath);
        }
    }

    ~PortLink()
    {
        char buffer[4096];
        const ssize_t n = ::readlink(mPath.c_str(), buffer, sizeof buffer - 1);
        if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == mTarget)
            ::unlink(mPath.c_str());
    }

    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    const std::string& path() const { return mPath; }

private:
    std::string mPath;
    std::string mTarget;
};

void say(const std::string& text)
{
    std::printf("nomrel: %s\n", text.c_str());
    std::fflush(stdout);
}

// Runs `body` with a terminal linked as the options say; reports failures.
template <class Body> int withLinkedTerminal(const FeedOptions& options, Body&& body)
{
    installStopHandlers();
    try {
        PseudoTerminal terminal;
        PortLink link(options.folder, options.port, terminal.slaveName());
        say("COM" + std::to_string(options.port) + " is " + terminal.slaveName() + ", linked as " + link.path());
        body(terminal);
        say("stopped");
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nomrel: %s\n", error.what());
        return 1;
    }
}

std::string withChecksum(const std::string& body)
{
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", nmea::checksumOf(body));
    return body + tail;
}

// ddmm.mmmmm / dddmm.mmmmm with its hemisphere letter.
std::string coordinate(double degrees, bool latitude)
{
    const char hemisphere = latitude ? (degrees < 0 ? 'S' : 'N') : (degrees < 0 ? 'W' : 'E');
    degrees = std::fabs(degrees);
    int whole = static_cast<int>(degrees);
    double minutes = (degrees - whole) * 60.0;
    if (minutes >= 59.999995) { // would print as 60.00000
        ++whole;
        minutes = 0.0;
    }
    char text[32];
    std::snprintf(text, sizeof text, latitude ? "%02d%08.5f,%c" : "%03d%08.5f,%c", whole, minutes, hemisphere);
    return text;
}

} // namespace

std::string walkCycle(long cycle, double rate, std::time_t start, bool fix, const WalkQuality& quality)
{
    // Simulated time: whole seconds plus hundredths.
    const double elapsed = static_cast<double>(cycle) / rate;
    const auto wholeSeconds = static_cast<std::time_t>(std::floor(elapsed));
    const int hundredths = static_cast<int>(std::lround((elapsed - std::floor(elapsed)) * 100.0)) % 100;
    const std::time_t now = start + wholeSeconds;
    std::tm utc {};
    ::gmtime_r(&now, &utc);
    char time[48];
    char date[48];
    std::snprintf(time, sizeof time, "%02d%02d%02d.%02d", utc.tm_hour, utc.tm_min, utc.tm_sec, hundredths);
    std::snprintf(date, sizeof date, "%02d%02d%02d", utc.tm_mday, utc.tm_mon + 1, utc.tm_year % 100);

    // A walk at 1.4 m/s whose course swings slowly about north-east, starting
    // at the given point (by default near 57.4125 N, 6.1960 W). The track is summed in closed form so any
    // cycle can be made on its own.
    constexpr double kSpeed = 1.4; // m/s
    constexpr double kMetresPerDegree = 111320.0;
    constexpr double kPi = 3.14159265358979323846;
    const double startLatitude = quality.fromLatitude;
    const double startLongitude = quality.fromLongitude;
    const double swing = 0.01; // radians of course per second of walk
    const double course0 = 45.0 * kPi / 180.0;
    const double amplitude = 30.0 * kPi / 180.0;
    // Course c(t) = course0 + amplitude * sin(swing t); integrate numerically
    // in steps of one second (fine for a demonstration walk).
    double north = 0.0;
    double east = 0.0;
    double course = course0;
    for (double t = 0.0; t < elapsed; t += 1.0) {
        const double step = std::min(1.0, elapsed - t);
        course = course0 + amplitude * std::sin(swing * t);
        north += kSpeed * step * std::cos(course);
        east += kSpeed * step * std::sin(course);
    }
    course = course0 + amplitude * std::sin(swing * elapsed);
    if (quality.outlier)
        east += 80.0;
    const double hdop = quality.outlier ? 25.0 : quality.hdop;
    const double latitude = startLatitude + north / kMetresPerDegree;
    const double longitude = startLongitude + east / (kMetresPerDegree * std::cos(startLatitude * kPi / 180.0));
    double courseDegrees = std::fmod(course * 180.0 / kPi + 360.0, 360.0);
    const double knots = kSpeed / nmea::kMetresPerSecondPerKnot;

    char text[128];
    std::string out;
    if (fix) {
        std::snprintf(text, sizeof text, "$GPRMC,%s,A,%s,%s,%.2f,%.1f,%s,,,A", time, coordinate(latitude, true).c_str(),
            coordinate(longitude, false).c_str(), knots, courseDegrees, date);
        out += withChecksum(text);
        std::snprintf(text, sizeof text, "$GPGGA,%s,%s,%s,1,08,%.1f,%.1f,M,52.1,M,,", time,
            coordinate(latitude, true).c_str(), coordinate(longitude, false).c_str(), hdop,
            12.0 + std::sin(elapsed / 30.0));
        out += withChecksum(text);
        std::snprintf(text, sizeof text, "$GPGSA,A,3,04,05,09,12,17,20,24,28,,,,,%.1f,%.1f,1.3", hdop + 0.7, hdop);
        out += withChecksum(text);
        if (quality.gstSd) {
            const double sd = quality.outlier ? 60.0 : *quality.gstSd;
            std::snprintf(
                text, sizeof text, "$GPGST,%s,%.1f,%.1f,%.1f,0.0,%.1f,%.1f,%.1f", time, sd, sd, sd, sd, sd, sd * 1.5);
            out += withChecksum(text);
        }
        out += withChecksum("$GPGSV,2,1,08,04,62,110,44,05,41,267,42,09,33,058,40,12,27,312,38");
        out += withChecksum("$GPGSV,2,2,08,17,19,145,35,20,12,203,33,24,55,020,45,28,08,340,30");
        std::snprintf(text, sizeof text, "$GPVTG,%.1f,T,,M,%.2f,N,%.2f,K,A", courseDegrees, knots, kSpeed * 3.6);
        out += withChecksum(text);
    } else {
        std::snprintf(text, sizeof text, "$GPRMC,%s,V,,,,,,,%s,,,N", time, date);
        out += withChecksum(text);
        std::snprintf(text, sizeof text, "$GPGGA,%s,,,,,0,00,99.99,,,,,,", time);
        out += withChecksum(text);
        out += withChecksum("$GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99");
        out += withChecksum("$GPGSV,1,1,02,04,62,110,,05,41,267,");
        out += withChecksum("$GPVTG,,T,,M,,N,,K,N");
    }
    return out;
}

int simulate(const FeedOptions& options)
{
    return withLinkedTerminal(options, [&options](PseudoTerminal& terminal) {
        const std::time_t start = std::time(nullptr);
        const timespec wallStart = monotonicNow();
        bool fixLostSaid = false;
        for (long cycle = 0; !gStopSignal; ++cycle) {
            const double elapsed = static_cast<double>(cycle) / options.rate;
            if (options.silenceAfter && elapsed >= *options.silenceAfter) {
                say("silent");
                while (sleepUntil(monotonicNow(), 3600.0)) { }
                return;
            }
            const bool fix = !options.loseFixAfter || elapsed < *options.loseFixAfter
                || (options.loseFixFor && elapsed >= *options.loseFixAfter + *options.loseFixFor);
            if (!fix && !fixLostSaid) {
                say("fix lost");
                fixLostSaid = true;
            } else if (fix && fixLostSaid) {
                say("fix back");
                fixLostSaid = false;
            }
            WalkQuality quality;
            quality.hdop = options.hdop;
            quality.gstSd = options.gstSd;
            quality.fromLatitude = options.fromLatitude;
            quality.fromLongitude = options.fromLongitude;
            // Outliers spread evenly: cycle n is one when the share's count steps up at n.
            const double share = options.outlierPercent / 100.0;
            quality.outlier
                = std::floor(static_cast<double>(cycle + 1) * share) > std::floor(static_cast<double>(cycle) * share);
            terminal.write(walkCycle(cycle, options.rate, start, fix, quality));
            if (!sleepUntil(wallStart, static_cast<double>(cycle + 1) / options.rate))
                return;
        }
    });
}

std::vector<std::string> logCycles(const std::string& log)
{
    // A sentence bringing a new time of day begins the next cycle. Header
    // lines ("#...") are not part of what the device sent.
    std::vector<std::string> cycles(1);
    std::optional<nmea::TimeOfDay> current;
    for (std::size_t start = 0; start < log.size();) {
        std::size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        const std::string_view line(log.data() + start, end - start);
        start = end;
        if (line[0] == '#')
            continue;
        std::string_view text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.remove_suffix(1);
        const auto parsed = nmea::parse(text);
        const auto time = parsed.outcome == nmea::Outcome::Parsed ? parsed.sentence.time() : std::nullopt;
        if (time && current && *time != *current)
            cycles.emplace_back();
        if (time)
            current = time;
        cycles.back() += line;
    }
    if (cycles.back().empty())
        cycles.pop_back();
    return cycles;
}

bool readLog(const std::string& file, std::vector<std::string>& cycles)
{
    std::ifstream input(file, std::ios::binary);
    if (!input) {
        std::fprintf(stderr, "nomrel: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    cycles = logCycles(std::string((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>()));
    if (cycles.empty()) {
        std::fprintf(stderr, "nomrel: %s holds no NMEA\n", file.c_str());
        return false;
    }
    return true;
}

int replay(const FeedOptions& options, const std::string& file)
{
    std::vector<std::string> cycles;
    if (!readLog(file, cycles))
        return 1;
    return withLinkedTerminal(options, [&](PseudoTerminal& terminal) {
        do {
            const timespec wallStart = monotonicNow();
            for (std::size_t cycle = 0; cycle < cycles.size(); ++cycle) {
                if (!sleepUntil(wallStart, static_cast<double>(cycle) / options.rate))
                    return;
                terminal.write(cycles[cycle]);
            }
            if (!sleepUntil(wallStart, static_cast<double>(cycles.size()) / options.rate))
                return;
        } while (options.loop);
        say("end of log");
        while (sleepUntil(monotonicNow(), 3600.0)) { }
    });
}

} // namespace nomrel::tool

// nomrel: the receiver component's command-line tool.
//
//   nomrel decode FILE|-
//   nomrel replay [--folder DIR] --port N [--rate HZ] [--loop] FILE
//   nomrel simulate [--folder DIR] --port N [--rate HZ] [--lose-fix-after S [--lose-fix-for S]]
//                   [--silence-after S] [--hdop X] [--gst METRES] [--outliers PERCENT] [--from LAT,LON]
//   nomrel serve --port N [--rate HZ] [--loop] [--from LAT,LON] [FILE]
//   nomrel --help | --version

#include "nomrel/NmeaQuality.h"
#include "nomrel/NmeaStream.h"
#include "nomrel/tool/Feed.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace
{

// Without --folder, replay and simulate feed the Zepta beside this tool by its
// rule: its program folder when zepta.mdb lies there, else the user's data
// folder, $XDG_DATA_HOME/zepta (~/.local/share/zepta), made if missing.
std::string zeptaDataFolder()
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error && fs::exists(self.parent_path() / "zepta.mdb", error))
        return self.parent_path().string();
    std::string folder;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
        folder = std::string(xdg) + "/zepta";
    else if (const char* home = std::getenv("HOME"); home && *home)
        folder = std::string(home) + "/.local/share/zepta";
    else
        return {};
    if (fs::create_directories(folder, error))
        fs::permissions(folder, fs::perms::owner_all, error);
    return folder;
}

void printUsage(std::FILE* to)
{
    std::fputs("usage:\n"
               "  nomrel decode FILE|-\n"
               "      one JSON line per fix cycle of an NMEA log (- reads standard input)\n"
               "  nomrel replay [--folder DIR] --port N [--rate HZ] [--loop] FILE\n"
               "      plays FILE on a pseudo-terminal linked as DIR/ports/COMn, HZ fix cycles a second (1)\n"
               "  nomrel simulate [--folder DIR] --port N [--rate HZ] [--lose-fix-after S [--lose-fix-for S]]\n"
               "                  [--silence-after S] [--hdop X] [--gst METRES] [--outliers PERCENT] [--from LAT,LON]\n"
               "      a generated walk on a pseudo-terminal linked as DIR/ports/COMn, from LAT,LON\n"
               "      (decimal degrees; by default 57.4125,-6.1960)\n"
               "      (DIR: by default the folder of the Zepta beside nomrel, or ~/.local/share/zepta)\n"
               "  nomrel serve --port N [--rate HZ] [--loop] [--from LAT,LON] [FILE]\n"
               "      NMEA over TCP on 127.0.0.1 port N (0: any free one): FILE, or the generated walk,\n"
               "      from its beginning to each client\n"
               "  nomrel --help | --version\n",
        to);
}

int usage()
{
    printUsage(stderr);
    return 2;
}

void printFix(const nomrel::nmea::Fix& fix)
{
    if (!fix.statusKnown && !fix.valid)
        return; // a cycle of satellites or a date only: nothing to report
    std::string line = "{";
    char buffer[64];
    auto add = [&line](const char* text) {
        if (line.size() > 1)
            line += ',';
        line += text;
    };
    const std::string time = nomrel::nmea::isoTime(fix);
    if (!time.empty()) {
        std::snprintf(buffer, sizeof buffer, "\"time\":\"%s\"", time.c_str());
        add(buffer);
    }
    if (fix.valid) {
        std::snprintf(
            buffer, sizeof buffer, "\"lat\":%.9f,\"lon\":%.9f", fix.position->latitude, fix.position->longitude);
        add(buffer);
    }
    if (fix.speed) {
        std::snprintf(buffer, sizeof buffer, "\"speed\":%.3f", *fix.speed);
        add(buffer);
    }
    if (fix.track) {
        std::snprintf(buffer, sizeof buffer, "\"track\":%.4f", *fix.track);
        add(buffer);
    }
    if (fix.altitude) {
        std::snprintf(buffer, sizeof buffer, "\"alt\":%.3f", *fix.altitude);
        add(buffer);
    }
    if (fix.quality) {
        std::snprintf(buffer, sizeof buffer, "\"quality\":%d", *fix.quality);
        add(buffer);
    }
    if (fix.satellitesUsed) {
        std::snprintf(buffer, sizeof buffer, "\"satellites\":%d", *fix.satellitesUsed);
        add(buffer);
    }
    if (fix.hdop) {
        std::snprintf(buffer, sizeof buffer, "\"hdop\":%.2f", *fix.hdop);
        add(buffer);
    }
    if (const auto accuracy = nomrel::nmea::horizontalAccuracy(fix)) {
        std::snprintf(buffer, sizeof buffer, "\"accuracy\":%.2f", *accuracy);
        add(buffer);
    }
    std::snprintf(buffer, sizeof buffer, "\"mode\":%d,\"valid\":%s", fix.mode, fix.valid ? "true" : "false");
    add(buffer);
    line += "}\n";
    std::fputs(line.c_str(), stdout);
}

int decode(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage();
    FILE* input = stdin;
    std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, &std::fclose);
    if (args[0] != "-") {
        file.reset(std::fopen(args[0].c_str(), "rb"));
        if (!file) {
            std::fprintf(stderr, "nomrel: cannot open %s: %s\n", args[0].c_str(), std::strerror(errno));
            return 1;
        }
        input = file.get();
    }
    nomrel::nmea::Decoder decoder(printFix);
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, input)) > 0)
        decoder.feed(buffer, got);
    if (std::ferror(input)) {
        std::fprintf(stderr, "nomrel: cannot read %s: %s\n", args[0].c_str(), std::strerror(errno));
        return 1;
    }
    decoder.finish();
    const auto c = decoder.counters();
    std::fprintf(stderr,
        "nomrel: %llu sentences decoded, %llu ignored, %llu bad checksums, %llu malformed, %llu too long, "
        "%llu fix cycles\n",
        static_cast<unsigned long long>(c.parsed), static_cast<unsigned long long>(c.ignored),
        static_cast<unsigned long long>(c.badChecksum), static_cast<unsigned long long>(c.malformed),
        static_cast<unsigned long long>(c.overlong), static_cast<unsigned long long>(c.fixes));
    return std::fflush(stdout) == 0 ? 0 : 1;
}

enum class Feeder { Replay, Simulate, Serve };

// Options of replay, simulate and serve.
struct FeedArgs {
    nomrel::tool::FeedOptions options;
    std::string file;
};

std::optional<double> number(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0)
        return std::nullopt;
    return value;
}

// "LAT,LON" in decimal degrees, where the generated walk begins.
bool origin(const std::string& text, nomrel::tool::FeedOptions& options)
{
    const std::size_t comma = text.find(',');
    const auto latitude = comma == std::string::npos ? std::nullopt : number(text.substr(0, comma));
    const auto longitude = comma == std::string::npos ? std::nullopt : number(text.substr(comma + 1));
    // Written as a negation so NaN is refused too.
    if (!latitude || !longitude || !(*latitude >= -89.0 && *latitude <= 89.0)
        || !(*longitude >= -180.0 && *longitude <= 180.0)) {
        std::fprintf(stderr, "nomrel: --from needs LAT,LON in decimal degrees, e.g. 57.4125,-6.1960\n");
        return false;
    }
    options.fromLatitude = *latitude;
    options.fromLongitude = *longitude;
    return true;
}

std::optional<FeedArgs> feedArgs(const std::vector<std::string>& args, Feeder feeder)
{
    const bool simulate = feeder == Feeder::Simulate;
    const bool serve = feeder == Feeder::Serve;
    FeedArgs result;
    result.options.port = -1;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "nomrel: %s needs a value\n", arg.c_str());
                return std::nullopt;
            }
            return args[++i];
        };
        auto positive = [&](double& out, bool zeroAllowed) {
            const auto text = value();
            const auto n = text ? number(*text) : std::nullopt;
            if (!n || *n < 0 || (!zeroAllowed && *n == 0)) {
                std::fprintf(
                    stderr, "nomrel: %s needs a %s number\n", arg.c_str(), zeroAllowed ? "non-negative" : "positive");
                return false;
            }
            out = *n;
            return true;
        };
        if (arg == "--folder" && !serve) {
            const auto text = value();
            if (!text)
                return std::nullopt;
            result.options.folder = *text;
        } else if (arg == "--port") {
            const auto text = value();
            const auto port = text ? number(*text) : std::nullopt;
            const int lowest = serve ? 0 : 1;
            const int highest = serve ? 65535 : 255;
            if (!port || *port < lowest || *port > highest || *port != static_cast<int>(*port)) {
                std::fprintf(stderr, "nomrel: --port needs a whole number from %d to %d\n", lowest, highest);
                return std::nullopt;
            }
            result.options.port = static_cast<int>(*port);
        } else if (arg == "--rate") {
            if (!positive(result.options.rate, false))
                return std::nullopt;
        } else if (simulate && arg == "--lose-fix-after") {
            double s = 0;
            if (!positive(s, true))
                return std::nullopt;
            result.options.loseFixAfter = s;
        } else if (simulate && arg == "--lose-fix-for") {
            double s = 0;
            if (!positive(s, false))
                return std::nullopt;
            result.options.loseFixFor = s;
        } else if (simulate && arg == "--hdop") {
            if (!positive(result.options.hdop, false))
                return std::nullopt;
        } else if (simulate && arg == "--gst") {
            double sd = 0;
            if (!positive(sd, true))
                return std::nullopt;
            result.options.gstSd = sd;
        } else if (simulate && arg == "--outliers") {
            if (!positive(result.options.outlierPercent, true) || result.options.outlierPercent > 100)
                return std::nullopt;
        } else if (simulate && arg == "--silence-after") {
            double s = 0;
            if (!positive(s, true))
                return std::nullopt;
            result.options.silenceAfter = s;
        } else if ((simulate || serve) && arg == "--from") {
            const auto text = value();
            if (!text || !origin(*text, result.options))
                return std::nullopt;
        } else if (!simulate && arg == "--loop") {
            result.options.loop = true;
        } else if (!simulate && result.file.empty() && !arg.empty() && arg[0] != '-') {
            result.file = arg;
        } else {
            std::fprintf(stderr, "nomrel: unknown argument %s\n", arg.c_str());
            return std::nullopt;
        }
    }
    if (!serve && result.options.folder.empty())
        result.options.folder = zeptaDataFolder();
    const bool complete = serve
        ? result.options.port >= 0 && (!result.options.loop || !result.file.empty())
        : !result.options.folder.empty() && result.options.port > 0 && (simulate || !result.file.empty());
    if (!complete) {
        usage();
        return std::nullopt;
    }
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("nomrel %s\n", ZEPTA_VERSION);
        return 0;
    }
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        }
    if (command == "decode")
        return decode(args);
    if (command == "replay") {
        const auto parsed = feedArgs(args, Feeder::Replay);
        return parsed ? nomrel::tool::replay(parsed->options, parsed->file) : 2;
    }
    if (command == "simulate") {
        const auto parsed = feedArgs(args, Feeder::Simulate);
        return parsed ? nomrel::tool::simulate(parsed->options) : 2;
    }
    if (command == "serve") {
        const auto parsed = feedArgs(args, Feeder::Serve);
        return parsed ? nomrel::tool::serve(parsed->options, parsed->file) : 2;
    }
    return usage();
}

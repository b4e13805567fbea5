#include "app/CommandLine.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace
{

// The options QGuiApplication and QApplication take themselves, with one dash
// or two; those in the first list take a value as the next argument.
constexpr std::array<std::string_view, 15> kQtOptionsWithValue {"platform", "platformpluginpath", "platformtheme",
    "plugin", "qwindowgeometry", "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "display",
    "name", "style", "stylesheet"};
constexpr std::array<std::string_view, 6> kQtFlags {
    "reverse", "widgetcount", "nograb", "dograb", "testability", "qmljsdebugger"};

template <std::size_t N> bool contains(const std::array<std::string_view, N>& names, std::string_view name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine result;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h")
            return {CommandLine::Action::Help, {}};
        if (arg == "--version")
            return {CommandLine::Action::Version, {}};
        if (arg.size() < 2 || arg[0] != '-')
            return {CommandLine::Action::Error, "unexpected argument " + std::string(arg)};
        std::string_view name = arg.substr(arg[1] == '-' ? 2 : 1);
        const auto equals = name.find('=');
        const bool valueGiven = equals != std::string_view::npos;
        name = name.substr(0, equals);
        if (contains(kQtOptionsWithValue, name)) {
            if (!valueGiven && ++i >= argc)
                return {CommandLine::Action::Error, "option " + std::string(arg) + " needs a value"};
        } else if (!contains(kQtFlags, name)) {
            return {CommandLine::Action::Error, "unknown option " + std::string(arg)};
        }
    }
    return result;
}

const char* usageText()
{
    return "usage: zepta [--help | --version] [Qt options such as -platform NAME]\n"
           "\n"
           "Captures geo-coded events from a GPS receiver on a serial port.\n"
           "\n"
           "  -h, --help   show this text and end\n"
           "  --version    show the version and the folders Zepta keeps its data in, and end\n"
           "\n"
           "With zepta.mdb beside the program, Zepta runs in that program folder (portable).\n"
           "Otherwise it keeps each user's data in $XDG_DATA_HOME/zepta (~/.local/share/zepta).\n";
}

#pragma once

#include <string>

// zepta's own command line, read before anything that needs a display, so
// --help and --version answer on a bare console. Qt's own options
// (-platform, -style, -display ...) are left to the application object.
struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    std::string error; // for Error: what was wrong, e.g. "unknown option --x"
};

CommandLine parseCommandLine(int argc, const char* const* argv);

// The text --help prints (and an error, after its message).
const char* usageText();

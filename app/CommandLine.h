// The command line: the classic -x:field options that choose codec, port, peer, devices and direction, the
// GNU long options of this build, and the text that `qparlin --help` prints.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Settings.h"

// What the program is asked to do once the command line has been read.
enum class CommandAction { Run, Help, Version, ListDevices, MakeSecret };

struct ParsedCommandLine {
    CommandAction action = CommandAction::Run;
    // Present only when the whole command line was valid: an error never leaves half the options applied.
    std::optional<Settings> settings;
    // One line, "qparlin: <argument>: <problem>", without a line break; empty on success.
    std::string error;

    bool Ok() const { return settings.has_value(); }
};

// Reads the arguments after the program name. Options not given keep their defaults; a repeated option
// replaces the earlier one.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);
// The same for main's argc/argv; argv[0] is the program name and is skipped.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

// The -a field: a codec name of the codec table, or a format code written in decimal or as 0x hexadecimal, 0
// to 255.
std::optional<int> ParseCodecField(std::string_view field);
// A whole "-a:codec" argument, for tools that take a format the way qparlin does.
std::optional<int> ParseFormatOption(std::string_view argument);

// What `qparlin --help` prints: the help text with LF line ends, then the long options.
std::string HelpOutput();

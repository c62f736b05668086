// What the program remembers between runs: the choices of the settings dialog and the last peer, in a plain
// key=value file in the user's configuration folder ($XDG_CONFIG_HOME/qparlin/qparlin.conf), and where the
// address book lives. The file is read as untrusted input: its size and its lines are bounded, and a value
// that does not check out is left out with a warning, never half applied.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Settings.h"

// Which way sound goes; the classic -d option chooses send or receive.
enum class Direction { Both, Send, Receive };

// Each value is present only when the file held a valid one.
struct RememberedSettings {
    std::optional<int> codecFormat;
    std::optional<std::string> inputDevice;   // by name; empty: the system's default
    std::optional<std::string> outputDevice;  // by name; empty: the system's default
    std::optional<std::string> secretFile;    // empty: plain calls
    std::optional<Direction> direction;
    std::optional<int> port;          // the port field: listened on, and the last peer's
    std::optional<std::string> host;  // the last peer
    // Lines with keys this version does not know (a newer one's, or a typo), written back as they stand,
    // so that a save never loses what it cannot use.
    std::vector<std::string> otherLines;

    bool operator==(const RememberedSettings&) const = default;
};

namespace settings_file {

// A larger file is not one this program wrote: it is left unread.
constexpr std::size_t kMaxFileBytes = 64 * 1024;
// A longer line is left out whole.
constexpr std::size_t kMaxLineBytes = 4096;
// Lines with unknown keys kept beyond this many are left out (the file is bounded anyway).
constexpr std::size_t kMaxOtherLines = 64;
// Warnings after this many are summed up in one more line, so that a damaged file cannot flood the terminal.
constexpr std::size_t kMaxWarnings = 8;

// $XDG_CONFIG_HOME/qparlin, or ~/.config/qparlin when that is unset or not absolute; empty without a home.
std::string ConfigDirectory();
// $XDG_DATA_HOME/qparlin, or ~/.local/share/qparlin, in the same way.
std::string DataDirectory();
// The remembered settings' file in ConfigDirectory(); empty when there is none.
std::string Path();
// "contacts.txt" when the working directory has one (its format and place stay as they were), else
// contacts.txt in DataDirectory(), whose folder is made if missing.
std::string ContactsPath();

// The file's text into settings; each line that is not used adds one warning ("line 3: ...").
RememberedSettings Parse(std::string_view text, std::vector<std::string>& warnings);
// The text Save writes: a comment line, then one line per value present, then the lines kept unknown.
std::string Compose(const RememberedSettings& remembered);

// Reads the file at `path`. A missing file gives nothing and no warning; an unreadable, oversized or
// special file gives nothing and one warning. Warnings are prefixed with the path.
RememberedSettings Load(const std::string& path, std::vector<std::string>& warnings);
// Writes the file whole (a temporary file renamed into place), making its folder if missing.
bool Save(const std::string& path, const RememberedSettings& remembered, std::string& problem);

// Puts what is remembered into `settings`, except what the command line `args` (without the program name)
// gave: the command line always wins. A remembered value that would clash with the command line (a secret
// beside --write-sdp, Opus beside --session=off) is left out with a warning.
void Apply(const RememberedSettings& remembered, const std::vector<std::string>& args, Settings& settings,
           std::vector<std::string>& warnings);
// What the settings in effect hold, as Save would remember them; the codec only when one was chosen.
RememberedSettings FromSettings(const Settings& settings);
// Direction as the settings hold it.
Direction DirectionOf(const Settings& settings);
void SetDirection(Direction direction, Settings& settings);

}  // namespace settings_file

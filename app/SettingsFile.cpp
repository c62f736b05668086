#include "app/SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "addressbook/Contacts.h"
#include "addressbook/WholeFile.h"
#include "app/CommandLine.h"
#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/ByteString.h"

namespace {

constexpr const char* kFileName = "qparlin.conf";
constexpr const char* kFolderName = "qparlin";
constexpr std::size_t kMaxPathBytes = 4096;
constexpr std::size_t kMaxDeviceNameBytes = 1024;
constexpr std::size_t kMaxHostBytes = 253;
constexpr int kMaxPort = 65535;

// An XDG variable counts only when it holds an absolute path, as the base-directory rules say.
std::string BaseDirectory(const char* variable, const char* underHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return std::string(value) + "/" + kFolderName;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/')
        return {};
    return std::string(home) + "/" + underHome + "/" + kFolderName;
}

// Makes every missing folder of `path` with mode 0700 (the folders hold a secret file's name and the peers).
bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool HasControlBytes(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

// Letters, digits and the marks of names and of IPv4 and IPv6 addresses: whatever the command line then
// makes of it, nothing else can be meant as a host.
bool LooksLikeHost(std::string_view host) {
    if (host.empty() || host.size() > kMaxHostBytes)
        return false;
    for (char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        const bool ok = (byte < 0x80 && std::isalnum(byte) != 0) || c == '.' || c == '-' || c == '_' ||
                        c == ':' || c == '[' || c == ']' || c == '%';
        if (!ok)
            return false;
    }
    return true;
}

std::optional<int> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxPort)
        return std::nullopt;
    return value;
}

std::string CodecText(int code) {
    for (const NamedFormat& format : NamedFormats())
        if (format.formatCode == code)
            return format.name;
    return FormatText("0x%02X", code & 0xFF);
}

// A key or value as a warning may show it: printable ASCII only (the file may hold terminal escapes), cut
// to a few dozen bytes.
std::string Shown(std::string_view text) {
    constexpr std::size_t kMaxShown = 40;
    std::string shown;
    for (char c : text.substr(0, kMaxShown)) {
        const auto byte = static_cast<unsigned char>(c);
        shown.push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
    }
    return text.size() > kMaxShown ? shown + "..." : shown;
}

// What a value is checked as; an empty text is the problem, nothing on success.
// `kept`: the line is kept for the file as it stands (an unknown key), though not used.
std::string ApplyValue(std::string_view key, std::string_view value, RememberedSettings& r, bool& kept) {
    if (HasControlBytes(key) || HasControlBytes(value))
        return "control characters in the line";
    if (key == "codec") {
        const std::optional<int> code = ParseCodecField(value);
        if (!code || !CodecAvailable(*code))
            return "no codec is called '" + Shown(value) + "'";
        r.codecFormat = *code;
    } else if (key == "input-device" || key == "output-device") {
        if (value.size() > kMaxDeviceNameBytes)
            return "device name too long";
        (key == "input-device" ? r.inputDevice : r.outputDevice) = std::string(value);
    } else if (key == "secret") {
        if (value.size() > kMaxPathBytes)
            return "path too long";
        r.secretFile = std::string(value);
    } else if (key == "direction") {
        if (value == "both")
            r.direction = Direction::Both;
        else if (value == "send")
            r.direction = Direction::Send;
        else if (value == "receive")
            r.direction = Direction::Receive;
        else
            return "direction must be both, send or receive";
    } else if (key == "port") {
        const std::optional<int> port = ParsePort(value);
        if (!port)
            return "port must be a number from 0 to 65535";
        r.port = *port;
    } else if (key == "host") {
        if (!LooksLikeHost(value))
            return "not a host name or address";
        r.host = std::string(value);
    } else {
        if (r.otherLines.size() < settings_file::kMaxOtherLines) {
            r.otherLines.push_back(std::string(key) + "=" + std::string(value));
            kept = true;
        }
        return "unknown key '" + Shown(key) + "'";
    }
    return {};
}

void Warn(std::vector<std::string>& warnings, std::size_t& count, std::string text) {
    ++count;
    if (count <= settings_file::kMaxWarnings)
        warnings.push_back(std::move(text));
}

// The classic options by letter ("-a:...", any case) and the long ones by name ("--secret=...").
bool Given(const std::vector<std::string>& args, char letter, std::initializer_list<std::string_view> names) {
    for (const std::string& arg : args) {
        if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-' &&
            std::tolower(static_cast<unsigned char>(arg[1])) == letter)
            return true;
        if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
            const std::string_view name = std::string_view(arg).substr(2, arg.find('=') - 2);
            for (std::string_view wanted : names)
                if (name == wanted)
                    return true;
        }
    }
    return false;
}

}  // namespace

namespace settings_file {

std::string ConfigDirectory() {
    return BaseDirectory("XDG_CONFIG_HOME", ".config");
}

std::string DataDirectory() {
    return BaseDirectory("XDG_DATA_HOME", ".local/share");
}

std::string Path() {
    const std::string folder = ConfigDirectory();
    return folder.empty() ? std::string() : folder + "/" + kFileName;
}

std::string ContactsPath() {
    const std::string here(kContactsFile);
    struct stat status {};
    if (::stat(here.c_str(), &status) == 0)
        return here;
    const std::string folder = DataDirectory();
    if (folder.empty() || !MakeFolders(folder))
        return here;  // nowhere else to keep it
    return folder + "/" + here;
}

RememberedSettings Parse(std::string_view text, std::vector<std::string>& warnings) {
    RememberedSettings remembered;
    std::size_t count = 0;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (raw.size() > kMaxLineBytes) {
            Warn(warnings, count, where + "longer than " + std::to_string(kMaxLineBytes) + " bytes; ignored");
            continue;
        }
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            Warn(warnings, count, where + "not a key=value line; ignored");
            continue;
        }
        bool kept = false;
        const std::string problem =
            ApplyValue(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)), remembered, kept);
        if (!problem.empty())
            Warn(warnings, count, where + problem + (kept ? "; kept in the file, unused" : "; ignored"));
    }
    if (count > kMaxWarnings)
        warnings.push_back(std::to_string(count - kMaxWarnings) + " more lines ignored");
    return remembered;
}

std::string Compose(const RememberedSettings& r) {
    std::string text = "# Q-Parlin's remembered settings, written by its settings dialog and calls.\n";
    if (r.codecFormat)
        text += "codec=" + CodecText(*r.codecFormat) + "\n";
    if (r.inputDevice)
        text += "input-device=" + *r.inputDevice + "\n";
    if (r.outputDevice)
        text += "output-device=" + *r.outputDevice + "\n";
    if (r.secretFile)
        text += "secret=" + *r.secretFile + "\n";
    if (r.direction) {
        const char* names[] = {"both", "send", "receive"};
        text += std::string("direction=") + names[static_cast<int>(*r.direction)] + "\n";
    }
    if (r.port)
        text += "port=" + std::to_string(*r.port) + "\n";
    if (r.host)
        text += "host=" + *r.host + "\n";
    for (const std::string& line : r.otherLines)
        text += line + "\n";
    return text;
}

RememberedSettings Load(const std::string& path, std::vector<std::string>& warnings) {
    if (path.empty())
        return {};
    // Non-blocking, so that a FIFO put in the file's place cannot hold the start-up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT)
            warnings.push_back(path + ": cannot be read (" + std::strerror(errno) +
                               "); nothing remembered used");
        return {};
    }
    std::string text;
    std::string problem;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = "not a regular file";
    } else if (static_cast<std::size_t>(status.st_size) > kMaxFileBytes) {
        problem = "larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
    } else {
        // The size may change under us: never read past the bound whatever fstat said.
        text.resize(kMaxFileBytes + 1);
        std::size_t filled = 0;
        while (filled < text.size()) {
            const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (got < 0)
                    problem = std::strerror(errno);
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        text.resize(filled);
        if (problem.empty() && filled > kMaxFileBytes)
            problem = "larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
    }
    ::close(fd);
    if (!problem.empty()) {
        warnings.push_back(path + ": " + problem + "; nothing remembered used");
        return {};
    }
    std::vector<std::string> lineWarnings;
    RememberedSettings remembered = Parse(text, lineWarnings);
    for (std::string& warning : lineWarnings)
        warnings.push_back(path + ": " + warning);
    return remembered;
}

bool Save(const std::string& path, const RememberedSettings& remembered, std::string& problem) {
    if (path.empty()) {
        problem = "no folder for settings (neither XDG_CONFIG_HOME nor HOME is set)";
        return false;
    }
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) {
        problem = "cannot make the folder " + path.substr(0, slash) + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = Compose(remembered);
    const FileResult result = WriteWholeFile(path, text.data(), text.size());
    if (result)
        return true;
    problem =
        "cannot write " + path + (result.error != 0 ? std::string(": ") + std::strerror(result.error) : "");
    return false;
}

void Apply(const RememberedSettings& r, const std::vector<std::string>& args, Settings& settings,
           std::vector<std::string>& warnings) {
    if (r.codecFormat && !Given(args, 'a', {})) {
        if (!settings.session && format_code::IsOpus(*r.codecFormat)) {
            warnings.push_back("the remembered codec " + CodecText(*r.codecFormat) +
                               " needs a session; --session=off keeps the default codec");
        } else {
            settings.codecFormat = *r.codecFormat;
            // Chosen in the settings dialog as -a chooses it on the command line.
            settings.codecChosen = true;
        }
    }
    if (r.inputDevice && !Given(args, 'i', {"input-device"}))
        settings.inputDeviceName = *r.inputDevice;
    if (r.outputDevice && !Given(args, 'o', {"output-device"}))
        settings.outputDeviceName = *r.outputDevice;
    if (r.secretFile && !Given(args, '\0', {"secret"})) {
        if (!r.secretFile->empty() && !settings.sdpFile.empty())
            warnings.push_back("the remembered secret is not used: --write-sdp describes plain calls only");
        else if (!r.secretFile->empty() && !settings.session)
            warnings.push_back(
                "the remembered secret is not used: a private call needs a session, and "
                "--session=off leaves none");
        else
            settings.secretFile = *r.secretFile;
    }
    if (r.direction && !Given(args, 'd', {}))
        SetDirection(*r.direction, settings);
    if (r.port && !Given(args, 'l', {}) && !Given(args, 'c', {}))
        settings.port = *r.port;
    if (r.host && !Given(args, 'c', {}))
        settings.host = *r.host;
}

RememberedSettings FromSettings(const Settings& settings) {
    RememberedSettings r;
    if (settings.codecChosen)
        r.codecFormat = settings.codecFormat;
    r.inputDevice = settings.inputDeviceName;
    r.outputDevice = settings.outputDeviceName;
    r.secretFile = settings.secretFile;
    r.direction = DirectionOf(settings);
    r.port = settings.port;
    r.host = settings.host;
    return r;
}

Direction DirectionOf(const Settings& settings) {
    if (!settings.playEnabled && settings.sendEnabled)
        return Direction::Send;
    if (!settings.sendEnabled && settings.playEnabled)
        return Direction::Receive;
    return Direction::Both;
}

void SetDirection(Direction direction, Settings& settings) {
    settings.sendEnabled = direction != Direction::Receive;
    settings.playEnabled = direction != Direction::Send;
}

}  // namespace settings_file

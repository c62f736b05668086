// Parses the command line into Settings. Every argument is checked completely before anything is kept, so a
// caller sees either a whole, valid set of settings or one line saying which argument is wrong and why.
#include "app/CommandLine.h"

#include <array>
#include <cctype>
#include <cstddef>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/ByteString.h"
#include "base/Socket.h"

// The help text, embedded from res/help.txt with its CR LF line ends.
extern const char kHelpText[];
extern const unsigned long kHelpTextLength;

namespace {

constexpr int kMaxPort = 65535;
constexpr int kMaxDevice = 255;
constexpr int kMaxFormatCode = 255;
constexpr std::size_t kMaxHostLength = 253;  // the longest name DNS can carry
constexpr std::size_t kMaxPathLength = 4096;
constexpr std::size_t kMaxDeviceNameLength = 1024;
// A day: longer is "never", which 0 says.
constexpr int kMaxPeerTimeoutSeconds = 86400;
// Arguments are echoed in error lines; a longer one is cut so the message stays one readable line.
constexpr std::size_t kMaxShownArgument = 80;

constexpr const char* kLongOptionHelp =
    "\n"
    "Further options:\n"
    "  --headless                   run without a window, printing status lines to stdout\n"
    "  --audio=auto|pulse|pipewire|portaudio|file|null  where sound comes from and goes to: the\n"
    "                               desktop's sound server (pulse: PulseAudio or PipeWire; pipewire:\n"
    "                               PipeWire's own protocol), PortAudio, WAV files or none;\n"
    "                               auto (default): PipeWire, else PulseAudio, else PortAudio\n"
    "  --input-device=NAME          record from the device of this name (or part of its name or\n"
    "                               description) as --list-devices shows it\n"
    "  --output-device=NAME         play on the device of this name\n"
    "  --input-wav=PATH             record from this WAV file (selects --audio=file)\n"
    "  --output-wav=PATH            write what is played to this WAV file (selects --audio=file)\n"
    "  --list-devices               list the sound devices with the numbers -i and -o take, then exit\n"
    "  --banner-server=HOST[:PORT]  fetch the banners from this web server (port 80 if none is given)\n"
    "  --playout=adaptive|direct    adaptive (default): received audio waits in a buffer that follows the\n"
    "                               network's jitter and conceals lost frames; direct: each frame is played\n"
    "                               as it arrives, nothing concealed\n"
    "  --voice-processing=off|echo|all  on the microphone's way out: all (the default with sound devices)\n"
    "                               cancels the echo of what this copy plays, suppresses noise, evens the\n"
    "                               level and cuts rumble; echo: echo cancellation alone; off (the default\n"
    "                               with WAV files): the microphone's audio as it comes\n"
    "  --session=on|off             on (default): offer the peer a session (numbered audio, liveness, codec\n"
    "                               agreement, quality reports); a peer that does not answer gets the plain\n"
    "                               wire as before; off: the plain wire only\n"
    "  --encrypt=on|off             on (default): a session call is encrypted with a key agreed for it;\n"
    "                               off: this copy's calls go in the clear, for tools that read RTP\n"
    "  --require-private            refuse every call that is not encrypted (a plain peer, one that agrees\n"
    "                               no key)\n"
    "  --peer-timeout=S             end a session call when the peer has been silent for S seconds\n"
    "                               (default 30; 0: never)\n"
    "  --stats-interval=S           --headless: print the statistics line (as SIGUSR1 does) every S "
    "seconds,\n"
    "                               with the session's quality both ways\n"
    "  --write-sdp=FILE[:PORT]      when a call starts, and when its format changes, write to FILE the SDP\n"
    "                               description of the numbered audio this copy sends, as a tool such as\n"
    "                               ffmpeg needs it to receive a copy at PORT (default: the peer's port)\n"
    "  --secret=FILE                private calls: seal every datagram with a key derived from the secret\n"
    "                               in FILE (readable by its owner only) and take only datagrams sealed\n"
    "                               with it; the peer must use the same secret\n"
    "  --make-secret=FILE           write a new random secret to FILE (mode 0600), then exit\n"
    "  --port-mapping=on|off        on (default): while listening, ask the home router (NAT-PMP, UPnP IGD)\n"
    "                               to forward the port, and show the address outside it can be called at\n"
    "  --announce=on|off            on (default): while listening, announce this copy on the LAN (DNS-SD)\n"
    "  --browse                     list the copies announced on the LAN as they come and go, until ended\n"
    "  --version                    print the version and build date, then exit\n"
    "  --help                       print this text, then exit\n";

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Digits only (no sign, no blanks) in the given base; stops before the value can pass `max`, so no length
// of input can overflow.
std::optional<int> ParseNumber(std::string_view text, int max, int base = 10) {
    if (text.empty())
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        const int digit = HexDigitValue(c);
        if (digit < 0 || digit >= base)
            return std::nullopt;
        if (value > (max - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::optional<bool> ParseYesNo(std::string_view text) {
    if (EqualsIgnoringCase(text, "yes"))
        return true;
    if (EqualsIgnoringCase(text, "no"))
        return false;
    return std::nullopt;
}

// A host name or dotted IPv4 address; anything else would only fail later, in the resolver, with a less
// helpful message.
bool IsValidHost(std::string_view host) {
    if (host.empty() || host.size() > kMaxHostLength)
        return false;
    for (char c : host) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

// The argument as it may appear in an error line: control characters replaced, long text cut, so that the
// message is always exactly one line.
std::string Shown(std::string_view argument) {
    if (argument.empty())
        return "''";
    std::size_t length = argument.size();
    bool cut = false;
    if (length > kMaxShownArgument) {
        length = kMaxShownArgument - 3;
        // Do not split a UTF-8 sequence.
        while (length > 0 && (static_cast<unsigned char>(argument[length]) & 0xC0) == 0x80)
            --length;
        cut = true;
    }
    std::string shown;
    shown.reserve(length + 3);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(argument[i]);
        shown.push_back(c < 0x20 || c == 0x7F ? '?' : argument[i]);
    }
    if (cut)
        shown += "...";
    return shown;
}

// An IPv6 address in brackets ("[2001:db8::1]"), without a scope id: the one host text with colons.
bool IsBracketedIpv6(std::string_view host) {
    if (host.size() < 3 || host.front() != '[' || host.back() != ']')
        return false;
    const std::string_view inner = host.substr(1, host.size() - 2);
    if (inner.find(':') == std::string_view::npos)
        return false;
    SocketAddress parsed;
    return SocketAddress::ParseNumeric(inner, 0, &parsed);
}

// Fields split at colons; a field that starts with '[' runs to its ']' (colons and all), so that an IPv6
// address in brackets is one field.
std::vector<std::string_view> SplitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t from = start;
        if (start < text.size() && text[start] == '[') {
            const std::size_t close = text.find(']', start);
            if (close != std::string_view::npos)
                from = close;
        }
        const std::size_t colon = text.find(':', from);
        if (colon == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
}

const std::string kPortProblem = "port must be a number from 0 to " + std::to_string(kMaxPort);
// Port 0 lets the system choose where to listen, but nothing can be reached there.
const std::string kPeerPortProblem = "port must be a number from 1 to " + std::to_string(kMaxPort);
const std::string kDeviceProblem = "device must be a number from 0 to " + std::to_string(kMaxDevice);
const std::string kHostProblem =
    "host must be a host name, a dotted IPv4 address or an IPv6 address in brackets, as in [2001:db8::1]";

// Each handler checks its fields and writes them into the settings, returning the problem or an empty text.
using Fields = std::vector<std::string_view>;

std::string ApplyCodec(const Fields& f, Settings& s) {
    const std::optional<int> code = ParseCodecField(f[0]);
    if (!code)
        return "unknown codec; use a name from the list in --help or a format code from 0 to 255";
    // A code whose type names no codec would leave the window listening for a call it could never make.
    if (FindCodecType(*code) == nullptr)
        return "format code " + std::string(f[0]) + " has no codec; use a name from the list in --help";
    if (!CodecAvailable(*code))
        return "format code " + std::string(f[0]) +
               " asks for Opus with 8-bit samples, which Opus does not take; add 0x80 (opus is 0x87)";
    s.codecFormat = *code;
    s.codecChosen = true;
    return {};
}

std::string ApplyListen(const Fields& f, Settings& s) {
    const std::optional<int> port = ParseNumber(f[0], kMaxPort);
    if (!port)
        return kPortProblem;
    const std::optional<bool> listen = ParseYesNo(f[1]);
    if (!listen)
        return "listen must be yes or no";
    s.port = *port;
    s.autoListen = *listen;
    return {};
}

std::string ApplyConnect(const Fields& f, Settings& s) {
    if (f[0].empty())
        return "host must not be empty";
    const bool ipv6 = IsBracketedIpv6(f[0]);
    if (!ipv6 && !IsValidHost(f[0]))
        return kHostProblem;
    const std::optional<int> port = ParseNumber(f[1], kMaxPort);
    if (!port || *port == 0)
        return kPeerPortProblem;
    const std::optional<bool> connect = ParseYesNo(f[2]);
    if (!connect)
        return "connect must be yes or no";
    // The window's host field and the address book hold an IPv6 address without its brackets.
    s.host = ipv6 ? std::string(f[0].substr(1, f[0].size() - 2)) : std::string(f[0]);
    s.port = *port;
    s.autoConnect = *connect;
    return {};
}

// Device 0 is the platform's default device; numbers from 1 name a device as they are.
std::optional<int> ParseDevice(std::string_view field) {
    const std::optional<int> device = ParseNumber(field, kMaxDevice);
    if (!device)
        return std::nullopt;
    return *device == 0 ? Settings::kDefaultDevice : *device;
}

std::string ApplyInputDevice(const Fields& f, Settings& s) {
    const std::optional<int> device = ParseDevice(f[0]);
    if (!device)
        return kDeviceProblem;
    s.inputDevice = *device;
    return {};
}

std::string ApplyOutputDevice(const Fields& f, Settings& s) {
    const std::optional<int> device = ParseDevice(f[0]);
    if (!device)
        return kDeviceProblem;
    s.outputDevice = *device;
    return {};
}

std::string ApplyDirection(const Fields& f, Settings& s) {
    if (EqualsIgnoringCase(f[0], "send")) {
        s.playEnabled = false;
    } else if (EqualsIgnoringCase(f[0], "receive")) {
        s.sendEnabled = false;
    } else {
        return "direction must be send or receive";
    }
    return {};
}

struct ClassicOption {
    char letter;
    std::string_view form;  // as the help text writes it, for error lines
    std::size_t fieldCount;
    std::string (*apply)(const Fields&, Settings&);
};

constexpr std::array<ClassicOption, 6> kClassicOptions{{
    {'a', "-a:codec", 1, ApplyCodec},
    {'l', "-l:port:listen", 2, ApplyListen},
    {'c', "-c:host:port:connect", 3, ApplyConnect},
    {'i', "-i:device", 1, ApplyInputDevice},
    {'o', "-o:device", 1, ApplyOutputDevice},
    {'d', "-d:direction", 1, ApplyDirection},
}};

const ClassicOption* FindClassicOption(char letter) {
    const int lower = std::tolower(static_cast<unsigned char>(letter));
    for (const ClassicOption& option : kClassicOptions) {
        if (option.letter == lower)
            return &option;
    }
    return nullptr;
}

class Parser {
public:
    ParsedCommandLine Parse(const std::vector<std::string>& args) {
        ParsedCommandLine result;
        for (const std::string& arg : args) {
            const int portBefore = settings_.port;
            std::string problem;
            if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
                problem = ParseLong(arg);
            } else if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-') {
                problem = ParseClassic(arg);
            } else if (arg == "--") {
                problem = "unknown option";
            } else {
                problem = "not an option (options start with a dash)";
            }
            if (!problem.empty())
                return Failure(arg, problem);
            if (settings_.port != portBefore)
                lastPortArgument_ = arg;
        }
        // -l and -c share one port: a later -l:0 must not leave -c:...:yes connecting to port 0.
        if (settings_.autoConnect && settings_.port == 0)
            return Failure(lastPortArgument_, "port 0 cannot be connected to, and -c connects to this port");
        if (!inputWav_.empty() || !outputWav_.empty()) {
            if (explicitBackend_ && *explicitBackend_ != AudioBackend::File) {
                return Failure(lastWavArgument_, std::string("cannot be used with --audio=") +
                                                     AudioBackendName(*explicitBackend_));
            }
            settings_.audioBackend = AudioBackend::File;
        } else if (explicitBackend_) {
            settings_.audioBackend = *explicitBackend_;
        }
        settings_.inputWav = inputWav_;
        settings_.outputWav = outputWav_;
        // Only a session's audio is numbered, and a tool reads it only unsealed.
        if (!settings_.sdpFile.empty() && !settings_.session)
            return Failure(sdpArgument_,
                           "cannot be used with --session=off, whose calls send no numbered audio");
        // Opus is only ever agreed in a session: without one the call could only fall back, unasked.
        if (!settings_.session && settings_.codecChosen && format_code::IsOpus(settings_.codecFormat))
            return Failure("--session=off",
                           "leaves only the plain wire, which never carries Opus: choose another codec");
        // A private call's keys are agreed afresh in the session's hello; the older private wire, whose
        // key was the same in every call, is gone.
        if (!settings_.secretFile.empty() && !settings_.session)
            return Failure("--session=off",
                           "cannot be used with --secret: a private call agrees fresh keys in the session");
        // Keys are agreed only in a session, and only when offered.
        if (settings_.requirePrivate && !settings_.session && settings_.secretFile.empty())
            return Failure("--require-private",
                           "cannot be used with --session=off, whose calls are never encrypted");
        if (settings_.requirePrivate && !settings_.encrypt && settings_.secretFile.empty())
            return Failure("--require-private", "cannot be used with --encrypt=off");
        if (!settings_.sdpFile.empty() && settings_.encrypt && settings_.secretFile.empty())
            return Failure(sdpArgument_, "needs --encrypt=off: no tool can read an encrypted call's audio");
        if (!settings_.sdpFile.empty() && !settings_.secretFile.empty())
            return Failure(sdpArgument_,
                           "cannot be used with --secret: no tool can read a private call's audio");

        if (help_) {
            result.action = CommandAction::Help;
        } else if (version_) {
            result.action = CommandAction::Version;
        } else if (listDevices_) {
            result.action = CommandAction::ListDevices;
        } else if (!settings_.makeSecretFile.empty()) {
            result.action = CommandAction::MakeSecret;
        }
        result.settings = settings_;
        return result;
    }

private:
    static ParsedCommandLine Failure(std::string_view argument, std::string_view problem) {
        ParsedCommandLine result;
        result.error = "qparlin: " + Shown(argument) + ": " + std::string(problem);
        return result;
    }

    std::string ParseClassic(std::string_view arg) {
        const ClassicOption* option = FindClassicOption(arg[1]);
        // "-lx:..." is not -l with a stray letter but an option this program does not have.
        if (option == nullptr || (arg.size() > 2 && arg[2] != ':'))
            return "unknown option";
        const Fields fields = arg.size() > 2 ? SplitFields(arg.substr(3)) : Fields{};
        if (fields.size() < option->fieldCount)
            return "missing field; the form is " + std::string(option->form);
        if (fields.size() > option->fieldCount)
            return "too many fields; the form is " + std::string(option->form);
        return option->apply(fields, settings_);
    }

    std::string ParseLong(std::string_view arg) {
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2);
        const bool hasValue = equals != std::string_view::npos;
        const std::string_view value = hasValue ? arg.substr(equals + 1) : std::string_view{};

        bool* flag = nullptr;
        if (name == "headless")
            flag = &settings_.headless;
        if (name == "help")
            flag = &help_;
        if (name == "version")
            flag = &version_;
        if (name == "list-devices")
            flag = &listDevices_;
        if (flag != nullptr) {
            if (hasValue)
                return "takes no value";
            *flag = true;
            return {};
        }

        if (name == "audio") {
            if (value.empty())
                return "needs a value, as in --audio=auto|pulse|pipewire|portaudio|file|null";
            const std::optional<AudioBackend> backend = AudioBackendFromName(value);
            if (!backend)
                return "audio must be auto, pulse, pipewire, portaudio, file or null";
            explicitBackend_ = backend;
            return {};
        }
        if (name == "input-device" || name == "output-device") {
            if (value.empty())
                return "needs a value, as in --" + std::string(name) + "=NAME (--list-devices lists them)";
            if (value.size() > kMaxDeviceNameLength)
                return "device name is too long";
            (name == "input-device" ? settings_.inputDeviceName : settings_.outputDeviceName) =
                std::string(value);
            return {};
        }
        if (name == "input-wav" || name == "output-wav") {
            if (value.empty())
                return "needs a value, as in --" + std::string(name) + "=PATH";
            if (value.size() > kMaxPathLength)
                return "path is too long";
            (name == "input-wav" ? inputWav_ : outputWav_) = std::string(value);
            lastWavArgument_ = std::string(arg);
            return {};
        }
        if (name == "playout") {
            if (EqualsIgnoringCase(value, "adaptive"))
                settings_.directPlayout = false;
            else if (EqualsIgnoringCase(value, "direct"))
                settings_.directPlayout = true;
            else
                return value.empty() ? "needs a value, as in --playout=adaptive|direct"
                                     : "playout must be adaptive or direct";
            return {};
        }
        if (name == "voice-processing") {
            if (EqualsIgnoringCase(value, "off"))
                settings_.voiceProcessing = VoiceProcessor::Mode::kOff;
            else if (EqualsIgnoringCase(value, "echo"))
                settings_.voiceProcessing = VoiceProcessor::Mode::kEcho;
            else if (EqualsIgnoringCase(value, "all"))
                settings_.voiceProcessing = VoiceProcessor::Mode::kAll;
            else
                return value.empty() ? "needs a value, as in --voice-processing=off|echo|all"
                                     : "voice-processing must be off, echo or all";
            return {};
        }
        if (name == "session") {
            if (EqualsIgnoringCase(value, "on"))
                settings_.session = true;
            else if (EqualsIgnoringCase(value, "off"))
                settings_.session = false;
            else
                return value.empty() ? "needs a value, as in --session=on|off" : "session must be on or off";
            return {};
        }
        // Reachability from outside: the router's port mapping, the LAN announcement, the LAN's copies.
        if (name == "port-mapping" || name == "announce") {
            bool& on = name == "port-mapping" ? settings_.portMapping : settings_.announce;
            if (EqualsIgnoringCase(value, "on"))
                on = true;
            else if (EqualsIgnoringCase(value, "off"))
                on = false;
            else
                return value.empty() ? "needs a value, as in --" + std::string(name) + "=on|off"
                                     : std::string(name) + " must be on or off";
            return {};
        }
        if (name == "browse") {
            if (hasValue)
                return "takes no value";
            settings_.browse = true;
            return {};
        }
        if (name == "encrypt") {
            if (EqualsIgnoringCase(value, "on"))
                settings_.encrypt = true;
            else if (EqualsIgnoringCase(value, "off"))
                settings_.encrypt = false;
            else
                return value.empty() ? "needs a value, as in --encrypt=on|off" : "encrypt must be on or off";
            return {};
        }
        if (name == "require-private") {
            if (!value.empty())
                return "takes no value";
            settings_.requirePrivate = true;
            return {};
        }
        if (name == "peer-timeout") {
            const std::optional<int> seconds = ParseNumber(value, kMaxPeerTimeoutSeconds);
            if (!seconds)
                return value.empty() ? "needs a value, as in --peer-timeout=30"
                                     : "peer timeout must be a number of seconds from 0 to " +
                                           std::to_string(kMaxPeerTimeoutSeconds);
            settings_.peerTimeoutSeconds = *seconds;
            return {};
        }
        if (name == "stats-interval") {
            const std::optional<int> seconds = ParseNumber(value, kMaxPeerTimeoutSeconds);
            if (!seconds)
                return value.empty() ? "needs a value, as in --stats-interval=5"
                                     : "stats interval must be a number of seconds from 0 to " +
                                           std::to_string(kMaxPeerTimeoutSeconds);
            settings_.statsIntervalSeconds = *seconds;
            return {};
        }
        if (name == "write-sdp")
            return ApplyWriteSdp(value);
        if (name == "secret" || name == "make-secret") {
            if (value.empty())
                return "needs a value, as in --" + std::string(name) + "=FILE";
            if (value.size() > kMaxPathLength)
                return "path is too long";
            (name == "secret" ? settings_.secretFile : settings_.makeSecretFile) = std::string(value);
            return {};
        }
        if (name == "banner-server") {
            if (value.empty())
                return "needs a value, as in --banner-server=HOST[:PORT]";
            return ApplyBannerServer(value);
        }
        return "unknown option";
    }

    // FILE[:PORT]: the port is whatever follows the last colon, so a file whose name holds a colon is
    // written with its port given.
    std::string ApplyWriteSdp(std::string_view value) {
        if (value.empty())
            return "needs a value, as in --write-sdp=FILE[:PORT]";
        const std::size_t colon = value.rfind(':');
        const std::string_view path = value.substr(0, colon);
        if (path.empty())
            return "file name must not be empty";
        if (path.size() > kMaxPathLength)
            return "path is too long";
        int port = 0;
        if (colon != std::string_view::npos) {
            // A tool cannot be told to receive at port 0.
            const std::optional<int> parsed = ParseNumber(value.substr(colon + 1), kMaxPort);
            if (!parsed || *parsed == 0)
                return kPeerPortProblem;
            port = *parsed;
        }
        settings_.sdpFile = std::string(path);
        settings_.sdpPort = port;
        sdpArgument_ = "--write-sdp=" + std::string(value);
        return {};
    }

    std::string ApplyBannerServer(std::string_view value) {
        // An IPv6 address comes in brackets ("[2001:db8::1]:8080"); it is kept without them.
        const std::size_t close = value.starts_with('[') ? value.find(']') : std::string_view::npos;
        const std::size_t colon = value.find(':', close == std::string_view::npos ? 0 : close);
        std::string_view host = value.substr(0, colon);
        if (host.empty())
            return "host must not be empty";
        const bool ipv6 = IsBracketedIpv6(host);
        if (!ipv6 && !IsValidHost(host))
            return kHostProblem;
        if (ipv6)
            host = host.substr(1, host.size() - 2);
        int port = Settings::kDefaultBannerServerPort;
        if (colon != std::string_view::npos) {
            // Port 0 cannot be connected to, and this server is only ever connected to.
            const std::optional<int> parsed = ParseNumber(value.substr(colon + 1), kMaxPort);
            if (!parsed || *parsed == 0)
                return "port must be a number from 1 to " + std::to_string(kMaxPort);
            port = *parsed;
        }
        settings_.bannerServerHost = std::string(host);
        settings_.bannerServerPort = port;
        return {};
    }

    Settings settings_;
    std::optional<AudioBackend> explicitBackend_;
    std::string inputWav_;
    std::string outputWav_;
    std::string lastWavArgument_;   // named in the error when the paths clash with --audio
    std::string sdpArgument_;       // named in the error when --write-sdp clashes with another option
    std::string lastPortArgument_;  // named in the error when -c would connect to port 0
    bool help_ = false;
    bool version_ = false;
    bool listDevices_ = false;
};

// The formats the names select and what a format code is made of, from the codec table.
std::string FormatCodeHelp() {
    std::string text = "\nFormats (-a:NAME, or -a:CODE from 0 to 255, decimal or 0x hexadecimal):\n";
    for (const NamedFormat& format : NamedFormats()) {
        const CodecType& codec = *FindCodecType(format.formatCode);
        const int frameLength = FrameLengthOf(format.formatCode);
        const double frameMs = 1000.0 * frameLength / format_code::Rate(format.formatCode);
        const int payload = FixedPayloadSize(format.formatCode);
        const std::string payloadText = payload > 0 ? FormatText("%3d bytes", payload) : "varying bytes";
        text += FormatText("  %-12s 0x%02X  %-13s %3d samples (%6.2f ms) a frame, %s a payload\n",
                           format.name.c_str(), format.formatCode, std::string(codec.title).c_str(),
                           frameLength, frameMs, payloadText.c_str());
    }
    text +=
        "A code is a codec type, plus 0x20 for 11025 Hz, 0x40 for 22050 Hz or 0x60 for 44100 Hz (none: 8000 "
        "Hz),\n"
        "plus 0x80 for 16-bit samples (none: 8-bit unsigned); Opus reads those rate bits as 48000, 16000,\n"
        "24000 and 12000 Hz and goes only to a copy that agrees it in a session. The types:\n ";
    for (const CodecType& codec : CodecTypes())
        text += FormatText(" %d %s%s", codec.type, std::string(codec.title).c_str(),
                           codec.type + 1 < static_cast<int>(CodecTypes().size()) ? "," : "\n");
    return text;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    return Parser().Parse(args);
}

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return ParseCommandLine(args);
}

std::optional<int> ParseCodecField(std::string_view field) {
    if (const std::optional<int> code = FormatCodeOfName(field))
        return code;
    if (field.size() > 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X')) {
        return ParseNumber(field.substr(2), kMaxFormatCode, 16);
    }
    return ParseNumber(field, kMaxFormatCode);
}

std::optional<int> ParseFormatOption(std::string_view argument) {
    if (argument.size() < 3 || argument[0] != '-' || (argument[1] != 'a' && argument[1] != 'A') ||
        argument[2] != ':') {
        return std::nullopt;
    }
    return ParseCodecField(argument.substr(3));
}

std::string HelpOutput() {
    const std::string_view text(kHelpText, kHelpTextLength);
    std::string output;
    output.reserve(text.size() + std::string_view(kLongOptionHelp).size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        output.push_back(text[i]);
    }
    output += kLongOptionHelp;
    output += FormatCodeHelp();
    return output;
}

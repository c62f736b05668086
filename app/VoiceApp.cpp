// Start-up: version and build texts, sockets, the command line, then the front end.
#include "app/VoiceApp.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "app/CommandLine.h"
#include "app/ConsoleFrontEnd.h"
#include "app/SecretFile.h"
#include "app/SettingsFile.h"
#include "app/SoundCheck.h"
#include "base/Exception.h"
#include "base/Socket.h"
#include "platform/wave/Wave.h"

namespace {

constexpr const char* kVersionText = "2.5";
constexpr const char* kSocketsFailedText = "Windows sockets initialization failed.";
constexpr const char* kHelpHint = "Try 'qparlin --help'.";

int MonthNumber(const char* month) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i) {
        if (std::string_view(month, 3) == kMonths[i])
            return i + 1;
    }
    return 0;
}

}  // namespace

std::string SecretProblemText(const std::string& path, const std::string& problem) {
    return "Cannot use the secret file " + path + ": " + problem +
           ". Give a file made with qparlin --make-secret=FILE (the peer needs a copy), or call without a "
           "secret.";
}

void ReadSecret(Settings& settings) {
    settings.secret.clear();
    settings.startProblem.clear();
    if (settings.secretFile.empty())
        return;
    std::string problem;
    std::optional<std::vector<uint8_t>> secret = SecretFile::Read(settings.secretFile, problem);
    if (!secret) {
        settings.startProblem = SecretProblemText(settings.secretFile, problem);
        return;
    }
    if (const std::optional<std::string> weakness = SecretFile::Weakness(*secret)) {
        settings.startProblem = SecretProblemText(settings.secretFile, *weakness);
        return;
    }
    settings.secret = std::move(*secret);
}

bool CommandLineErrorWantsWindow(const std::vector<std::string>& args, bool displayAvailable,
                                 bool stderrIsTerminal) {
    if (!displayAvailable || stderrIsTerminal)
        return false;
    for (const std::string& arg : args) {
        const std::string_view name = std::string_view(arg).substr(0, arg.find('='));
        for (const char* console :
             {"--headless", "--help", "--version", "--list-devices", "--make-secret", "--browse"}) {
            if (name == console)
                return false;
        }
    }
    return true;
}

std::string BuildTextFromDate(const char* date) {
    // The compiler's date reads "Mmm dd yyyy", the day padded with a blank.
    const int month = MonthNumber(date);
    const int day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
    const int year = std::atoi(date + 7);
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d%02d", (year - 2000) % 100, month, day);
    return text;
}

std::unique_ptr<WaveBackend> MakeWaveBackend(const Settings& settings) {
    WaveDeviceOptions options;
    options.inputDevice = settings.inputDeviceName;
    options.outputDevice = settings.outputDeviceName;
    options.suppressServerEchoCancel = VoiceProcessingFor(settings) != VoiceProcessor::Mode::kOff;
    // The peer is known up front only to a copy that calls it.
    if (settings.autoConnect)
        options.peer = settings.host;
    switch (settings.audioBackend) {
        case AudioBackend::File:
            return MakeWavFileWaveBackend(settings.inputWav, settings.outputWav);
        case AudioBackend::Null:
            return MakeNullWaveBackend();
        case AudioBackend::Pulse: {
            std::string problem;
            return MakePulseWaveBackend(options, problem, true);
        }
        case AudioBackend::PipeWire: {
            std::string problem;
            return MakePipeWireWaveBackend(options, problem, true);
        }
        case AudioBackend::PortAudio:
            return MakePortAudioWaveBackend(options);
        case AudioBackend::Auto:
            break;
    }
    return MakeAutoWaveBackend(options);
}

int VoiceApp::Run(int argc, char** argv) {
    versionText_ = kVersionText;
    buildText_ = BuildTextFromDate(__DATE__);

    try {
        StartSockets();
    } catch (const Exception&) {
        std::cerr << kSocketsFailedText << '\n';
        return 1;
    }

    // QPARLIN_PORT_MAPPING and QPARLIN_ANNOUNCE (on|off) change the defaults of --port-mapping and
    // --announce, which the command line still overrides: the test suites turn both off this way.
    std::vector<std::string> args;
    for (const char* variable : {"QPARLIN_PORT_MAPPING", "QPARLIN_ANNOUNCE"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            args.push_back(std::string(variable) == "QPARLIN_ANNOUNCE"
                               ? std::string("--announce=") + value
                               : std::string("--port-mapping=") + value);
    }
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    const ParsedCommandLine parsed = ParseCommandLine(args);
    if (!parsed.Ok()) {
        std::cerr << parsed.error << '\n' << kHelpHint << '\n';
        if (errorWindowLoader_ != nullptr &&
            CommandLineErrorWantsWindow(args, DisplayAvailable(), isatty(STDERR_FILENO) == 1)) {
            std::string problem;
            if (ErrorWindow show = errorWindowLoader_(problem))
                return show(parsed.error, argc, argv);
        }
        return 2;
    }
    settings_ = *parsed.settings;

    switch (parsed.action) {
        case CommandAction::Help:
            std::cout << HelpOutput();
            return 0;
        case CommandAction::Version:
            std::cout << "Q-Parlin " << versionText_ << " build " << buildText_ << '\n';
            return 0;
        case CommandAction::ListDevices:
            SetWaveBackend(MakeWaveBackend(settings_));
            WriteWaveDeviceList(CurrentWaveBackend(), std::cout);
            SetWaveBackend(nullptr);
            return 0;
        case CommandAction::MakeSecret: {
            std::string problem;
            if (!SecretFile::Make(settings_.makeSecretFile, problem)) {
                std::cerr << "qparlin: " << settings_.makeSecretFile << ": " << problem << '\n';
                return 1;
            }
            std::cout << "Wrote a new secret to " << settings_.makeSecretFile
                      << "; give the other side a copy over a channel you trust.\n";
            return 0;
        }
        case CommandAction::Run:
            break;
    }
    const std::string givenSecret = settings_.secretFile;
    ApplyRememberedSettings(argc, argv);
    // Read now, so that a bad file stops the program before any call; the key itself is derived later, on
    // the link's worker. The window shows the problem and starts no call; the console ends.
    ReadSecret(settings_);
    if (!settings_.startProblem.empty() && settings_.secretFile != givenSecret) {
        // Not on this command line: say where it came from, or the user looks for it in the wrong place.
        settings_.startProblem += " (The file is remembered in " + settings_file::Path() +
                                  "; choose another in the window's Settings, or give --secret=FILE.)";
    }
    if (settings_.browse) {
        ConsoleFrontEnd::BlockTerminationSignals();
        return ConsoleFrontEnd::Browse(std::cout, std::cerr);
    }
    return RunFrontEnd(argc, argv);
}

void VoiceApp::ApplyRememberedSettings(int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + std::max(argc, 0));
    std::vector<std::string> warnings;
    const RememberedSettings remembered = settings_file::Load(settings_file::Path(), warnings);
    settings_file::Apply(remembered, args, settings_, warnings);
    for (const std::string& warning : warnings)
        std::cerr << "qparlin: warning: " << warning << '\n';
}

bool VoiceApp::DisplayAvailable() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

int VoiceApp::RunFrontEnd(int argc, char** argv) {
    if (!settings_.headless && windowLoader_ != nullptr) {
        if (DisplayAvailable()) {
            std::string problem;
            if (WindowRunner runner = windowLoader_(problem))
                return runner(settings_, versionText_, buildText_, argc, argv);
            std::cerr << "qparlin: the window cannot be shown: " << problem
                      << "; running without one (--headless)\n";
        } else {
            std::cerr << "qparlin: no display to show the window on; running without one (--headless)\n";
        }
    }
    if (!settings_.startProblem.empty()) {
        std::cerr << "qparlin: " << settings_.startProblem << '\n';
        return 1;
    }
    return RunConsole();
}

int VoiceApp::RunConsole() {
    // Before any thread exists, so that every thread inherits the mask and one thread takes the signals.
    ConsoleFrontEnd::BlockTerminationSignals();
    SetWaveBackend(MakeWaveBackend(settings_));
    // A console that cannot make sound at all would sit "Listening..." without it: it ends at once.
    if (const std::string problem = CheckSoundDevices(settings_); !problem.empty()) {
        std::cerr << "qparlin: " << problem << '\n';
        SetWaveBackend(nullptr);
        StopSockets();
        return 1;
    }
    ConsoleFrontEnd console(settings_, std::cout, std::cerr);
    const int status = console.Run();
    SetWaveBackend(nullptr);
    StopSockets();
    return status;
}

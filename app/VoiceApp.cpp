// Start-up: version and build texts, sockets, the command line, then the front end.
#include "app/VoiceApp.h"

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

    const ParsedCommandLine parsed = ParseCommandLine(argc, argv);
    if (!parsed.Ok()) {
        std::cerr << parsed.error << '\n' << kHelpHint << '\n';
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
    if (!settings_.secretFile.empty()) {
        // Read now, so that a bad file stops the program before any window or call; the key itself is
        // derived later, on the link's worker.
        std::string problem;
        std::optional<std::vector<uint8_t>> secret = SecretFile::Read(settings_.secretFile, problem);
        if (!secret) {
            std::cerr << "qparlin: " << settings_.secretFile << ": " << problem << '\n';
            return 1;
        }
        if (const std::optional<std::string> weakness = SecretFile::Weakness(*secret)) {
            std::cerr << "qparlin: " << settings_.secretFile << ": " << *weakness << '\n';
            return 1;
        }
        settings_.secret = std::move(*secret);
    }
    return RunFrontEnd(argc, argv);
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
    return RunConsole();
}

int VoiceApp::RunConsole() {
    // Before any thread exists, so that every thread inherits the mask and one thread takes the signals.
    ConsoleFrontEnd::BlockTerminationSignals();
    SetWaveBackend(MakeWaveBackend(settings_));
    ConsoleFrontEnd console(settings_, std::cout, std::cerr);
    const int status = console.Run();
    SetWaveBackend(nullptr);
    StopSockets();
    return status;
}

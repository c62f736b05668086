// What one run of the program is set to do: the defaults, then what the settings file remembers
// (app/SettingsFile.h), then the command line, which always wins.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/FormatCode.h"
#include "audio/VoiceProcessor.h"

// Where sound comes from and goes to: the desktop's sound server if one answers, else PortAudio (Auto); the
// sound server's own protocol (Pulse, which PipeWire's PulseAudio server speaks too); PipeWire's own
// protocol; PortAudio; WAV files; or nowhere (silence in, nothing out).
enum class AudioBackend { Auto, Pulse, PipeWire, PortAudio, File, Null };

// The backend's name as the command line spells it: "auto", "pulse", "pipewire", "portaudio", "file" or
// "null".
const char* AudioBackendName(AudioBackend backend);
// The backend for a name in any letter case, or nothing for an unknown name.
std::optional<AudioBackend> AudioBackendFromName(std::string_view name);

struct Settings {
    static constexpr int kDefaultPort = 5007;
    static constexpr int kDefaultDevice = -1;  // the platform's default recording or playback device
    static constexpr int kDefaultBannerServerPort = 80;

    std::string host = "127.0.0.1";  // peer to connect to
    int port = kDefaultPort;         // one port for both listening and connecting
    int codecFormat = format_code::kDefault;
    bool codecChosen = false;      // -a was given: the format wins over the peer's
    bool session = true;           // offer the peer a session; false: the plain wire only
    bool encrypt = true;           // offer the session peer a key for the call; false: --encrypt=off
    bool requirePrivate = false;   // --require-private: a call that is not encrypted is refused
    int peerTimeoutSeconds = 30;   // a silent session peer ends the call after this long; 0: never
    int statsIntervalSeconds = 0;  // the console prints its statistics this often; 0: only on SIGUSR1
    // --write-sdp: where each call writes the SDP description of the numbered audio it sends (empty:
    // nowhere), and the port named in it (0: the peer's port).
    std::string sdpFile;
    int sdpPort = 0;
    int inputDevice = kDefaultDevice;
    int outputDevice = kDefaultDevice;
    // --input-device / --output-device: the device opened as the default, by its name (empty: the system's).
    std::string inputDeviceName;
    std::string outputDeviceName;
    bool sendEnabled = true;   // microphone not muted at start
    bool playEnabled = true;   // speakers not muted at start
    bool autoConnect = false;  // connect at start and after every close
    bool autoListen = false;   // listen at start and after every close
    // While listening: ask the home router to map the port, and announce this copy on the LAN (DNS-SD).
    // Neither ever starts for a socket bound to the loopback.
    bool portMapping = true;
    bool announce = true;
    bool browse = false;  // --browse: list the copies on the LAN instead of calling

    bool headless = false;       // console front end instead of the window
    bool directPlayout = false;  // received frames go straight to the player, without the playout buffer
    AudioBackend audioBackend = AudioBackend::Auto;
    std::string inputWav;          // file backend: what is "recorded"; empty for silence
    std::string outputWav;         // file backend: where played sound is written; empty to drop it
    std::string bannerServerHost;  // where the banner list comes from; empty: no banners are fetched
    int bannerServerPort = kDefaultBannerServerPort;
    std::string secretFile;      // private calls: where the shared secret is; empty for plain calls
    std::string makeSecretFile;  // where --make-secret writes a new secret
    // The secret's bytes, read from secretFile at start-up, before any front end runs.
    std::vector<uint8_t> secret;
    // --voice-processing=off|echo|all; unset: all when both devices are real, off for WAV files and null.
    std::optional<VoiceProcessor::Mode> voiceProcessing;
    // Why the program cannot work as set (a refused secret file, no sound device), found at start-up: the
    // window shows it in a dialog and starts nothing; the console has ended with it already. Empty: none.
    std::string startProblem;
};

// The capture-path stage a run uses: what --voice-processing asked for, else the default for the backend.
VoiceProcessor::Mode VoiceProcessingFor(const Settings& settings);

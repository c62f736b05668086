// Names of the audio backends, shared by the command line and the messages that report the backend in use.
#include "app/Settings.h"

#include <array>
#include <utility>

#include "base/ByteString.h"

namespace {

constexpr std::array<std::pair<AudioBackend, const char*>, 6> kBackendNames{{
    {AudioBackend::Auto, "auto"},
    {AudioBackend::Pulse, "pulse"},
    {AudioBackend::PipeWire, "pipewire"},
    {AudioBackend::PortAudio, "portaudio"},
    {AudioBackend::File, "file"},
    {AudioBackend::Null, "null"},
}};

}  // namespace

const char* AudioBackendName(AudioBackend backend) {
    for (const auto& [value, name] : kBackendNames) {
        if (value == backend)
            return name;
    }
    return "unknown";
}

std::optional<AudioBackend> AudioBackendFromName(std::string_view name) {
    for (const auto& [value, known] : kBackendNames) {
        if (EqualsIgnoringCase(name, known))
            return value;
    }
    return std::nullopt;
}

VoiceProcessor::Mode VoiceProcessingFor(const Settings& settings) {
    if (settings.voiceProcessing)
        return *settings.voiceProcessing;
    // A file holds no echo of what is played, and processing it would change a recording tests compare.
    const bool realDevices =
        settings.audioBackend != AudioBackend::File && settings.audioBackend != AudioBackend::Null;
    return realDevices ? VoiceProcessor::Mode::kAll : VoiceProcessor::Mode::kOff;
}

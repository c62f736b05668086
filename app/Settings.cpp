// Names of the audio backends, shared by the command line and the messages that report the backend in use.
#include "app/Settings.h"

#include <array>
#include <cctype>
#include <utility>

namespace {

constexpr std::array<std::pair<AudioBackend, const char*>, 3> kBackendNames{{
    {AudioBackend::PortAudio, "portaudio"},
    {AudioBackend::File, "file"},
    {AudioBackend::Null, "null"},
}};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

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

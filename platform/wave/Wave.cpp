// The service's free functions: error texts, the process-wide backend, the device listing.
#include "platform/wave/Wave.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <ostream>
#include <utility>

std::string WaveErrorText(MMRESULT result) {
    switch (result) {
        case MMSYSERR_NOERROR:
            return "The operation completed without error.";
        case MMSYSERR_ERROR:
            return "The sound device reported an unspecified error.";
        case MMSYSERR_BADDEVICEID:
            return "The specified device ID is out of range.";
        case MMSYSERR_NOTENABLED:
            return "The sound device is not enabled.";
        case MMSYSERR_ALLOCATED:
            return "The sound device is already in use.";
        case MMSYSERR_INVALHANDLE:
            return "The device handle is not valid (the device was closed).";
        case MMSYSERR_NODRIVER:
            return "No sound device is present.";
        case MMSYSERR_NOMEM:
            return "There is not enough memory for the sound device.";
        case MMSYSERR_INVALPARAM:
            return "An invalid parameter was passed to the sound device.";
        case WAVERR_BADFORMAT:
            return "The sound device cannot use the requested wave format.";
        case WAVERR_STILLPLAYING:
            return "Buffers are still queued on the sound device.";
        case WAVERR_UNPREPARED:
            return "The buffer header has not been prepared.";
        default:
            return "Unknown sound device error " + std::to_string(result) + ".";
    }
}

std::string WaveBackend::ErrorText(MMRESULT result) const {
    return WaveErrorText(result);
}

namespace {

std::mutex backendLock;
std::unique_ptr<WaveBackend> ownedBackend;  // under backendLock
std::atomic<WaveBackend*> currentBackend{nullptr};

WaveBackend& DefaultBackend() {
    static const std::unique_ptr<WaveBackend> backend = MakeNullWaveBackend();
    return *backend;
}

}  // namespace

void SetWaveBackend(std::unique_ptr<WaveBackend> backend) {
    std::lock_guard<std::mutex> guard(backendLock);
    currentBackend.store(backend.get(), std::memory_order_release);
    ownedBackend = std::move(backend);
}

WaveBackend& CurrentWaveBackend() {
    WaveBackend* backend = currentBackend.load(std::memory_order_acquire);
    return backend != nullptr ? *backend : DefaultBackend();
}

void WriteWaveDeviceList(WaveBackend& backend, std::ostream& out) {
    const auto section = [&out](const char* title, const std::vector<WaveDeviceInfo>& devices) {
        out << title << "\n";
        if (devices.empty())
            out << "  (none)\n";
        for (size_t i = 0; i < devices.size(); ++i) {
            out << "  " << i + 1 << "  " << devices[i].name;
            if (!devices[i].description.empty())
                out << "  [" << devices[i].description << "]";
            out << (devices[i].isDefault ? " (default)" : "") << "\n";
        }
    };
    section("Recording devices:", backend.InputDevices());
    section("Playback devices:", backend.OutputDevices());
}

namespace {

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
    const auto equal = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), equal) != text.end();
}

}  // namespace

int FindWaveDevice(const std::vector<WaveDeviceInfo>& devices, const std::string& name) {
    if (name.empty())
        return 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].name == name)
            return static_cast<int>(i) + 1;
    }
    int found = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (ContainsIgnoringCase(devices[i].name, name) ||
            ContainsIgnoringCase(devices[i].description, name)) {
            if (found != 0)
                return -1;
            found = static_cast<int>(i) + 1;
        }
    }
    return found;
}

std::unique_ptr<WaveBackend> MakeFirstAnsweringWaveBackend(const std::vector<WaveBackendMaker>& makers,
                                                           const WaveDeviceOptions& options,
                                                           std::vector<std::string>& tried) {
    for (WaveBackendMaker maker : makers) {
        std::string problem;
        if (std::unique_ptr<WaveBackend> backend = maker(options, problem))
            return backend;
        tried.push_back(std::move(problem));
    }
    return nullptr;
}

std::unique_ptr<WaveBackend> MakeAutoWaveBackend(const WaveDeviceOptions& options) {
    // PipeWire in its own protocol first: on the same PipeWire it played 5-38 ms sooner than through its
    // PulseAudio server. A PulseAudio server (or PipeWire without its own socket for us) answers next.
    const std::vector<WaveBackendMaker> makers = {
        [](const WaveDeviceOptions& pipeWireOptions, std::string& problem) {
            return MakePipeWireWaveBackend(pipeWireOptions, problem);
        },
        [](const WaveDeviceOptions& pulseOptions, std::string& problem) {
            return MakePulseWaveBackend(pulseOptions, problem);
        },
        [](const WaveDeviceOptions& portAudioOptions, std::string&) {
            return MakePortAudioWaveBackend(portAudioOptions);
        },
    };
    std::vector<std::string> tried;
    return MakeFirstAnsweringWaveBackend(makers, options, tried);
}

// The service's free functions: error texts, the process-wide backend, the device listing.
#include "platform/wave/Wave.h"

#include <atomic>
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
            out << "  " << i + 1 << "  " << devices[i].name << (devices[i].isDefault ? " (default)" : "")
                << "\n";
        }
    };
    section("Recording devices:", backend.InputDevices());
    section("Playback devices:", backend.OutputDevices());
}

// The process-wide mixer backend.
#include "platform/mixer/Mixer.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/mixer/SimulatedMixer.h"

namespace {

std::mutex backendLock;
std::unique_ptr<MixerBackend> ownedBackend;  // under backendLock
std::atomic<MixerBackend*> currentBackend{nullptr};

// Until a front end chooses, there is no mixer device: faders stay disabled.
MixerBackend& DefaultBackend() {
    static const std::unique_ptr<MixerBackend> backend = std::make_unique<SimulatedMixerBackend>();
    return *backend;
}

}  // namespace

void SetMixerBackend(std::unique_ptr<MixerBackend> backend) {
    std::lock_guard<std::mutex> guard(backendLock);
    currentBackend.store(backend.get(), std::memory_order_release);
    ownedBackend = std::move(backend);
}

MixerBackend& CurrentMixerBackend() {
    MixerBackend* backend = currentBackend.load(std::memory_order_acquire);
    return backend != nullptr ? *backend : DefaultBackend();
}

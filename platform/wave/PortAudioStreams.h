// The streams of the PortAudio backend: blocking PortAudio streams, and the session that keeps PortAudio
// initialised for as long as the backend or any of its streams needs it.
#pragma once

#include <memory>
#include <mutex>
#include <portaudio.h>

#include "platform/wave/WaveStream.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// ALSA loads all its plugins (and through them codec and graphics libraries) while PortAudio probes
// devices, and unloads them again; some leak on the way, and LeakSanitizer cannot even name a library
// that is gone. Their allocations are left out of the leak report, ours are not: only this thread's
// allocations inside a PortAudio call are.
using SoundLibraryLeakScope = __lsan::ScopedDisabler;
#else
struct SoundLibraryLeakScope {
    SoundLibraryLeakScope() {}  // user-provided, so that a scope object never counts as unused
};
#endif

class PortAudioSession {
public:
    // Initialises PortAudio, having first silenced the sound libraries' own messages on stderr.
    PortAudioSession();
    ~PortAudioSession();
    PortAudioSession(const PortAudioSession&) = delete;
    PortAudioSession& operator=(const PortAudioSession&) = delete;

    bool Ready() const { return initError_ == paNoError; }
    PaError InitError() const { return initError_; }
    // Held around every call that touches PortAudio's shared state (device lists, opening, starting,
    // stopping, closing); reads and writes of one stream need it not.
    std::mutex& Lock() { return lock_; }

private:
    PaError initError_;
    std::mutex lock_;
};

// An opened, not yet started, input stream; started and stopped with recording.
class PortAudioSource final : public WaveSource {
public:
    PortAudioSource(std::shared_ptr<PortAudioSession> session, PaStream* stream, uint32_t samplesPerSec);
    ~PortAudioSource() override;
    PortAudioSource(const PortAudioSource&) = delete;
    PortAudioSource& operator=(const PortAudioSource&) = delete;

    bool Resume() override;
    void Pause() override;
    bool Read(uint8_t* data, size_t frames) override;

private:
    std::shared_ptr<PortAudioSession> session_;
    PaStream* stream_;
    uint32_t samplesPerSec_;
};

// A started output stream; it runs until the sink is destroyed.
class PortAudioSink final : public WaveSink {
public:
    PortAudioSink(std::shared_ptr<PortAudioSession> session, PaStream* stream, uint32_t samplesPerSec);
    ~PortAudioSink() override;
    PortAudioSink(const PortAudioSink&) = delete;
    PortAudioSink& operator=(const PortAudioSink&) = delete;

    bool Write(const uint8_t* data, size_t frames) override;

private:
    std::shared_ptr<PortAudioSession> session_;
    PaStream* stream_;
    uint32_t samplesPerSec_;
};

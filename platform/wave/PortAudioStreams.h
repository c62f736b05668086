// The streams of the PortAudio backend: PortAudio streams driven by its callback, and the session that keeps
// PortAudio initialised for as long as the backend or any of its streams needs it.
#pragma once

#include <portaudio.h>
#include <memory>
#include <mutex>

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

// One PortAudio stream driven by its callback, as both directions use it: opened, started and stopped
// under the session lock, aborted and closed when it goes.
class PortAudioCallbackStream {
public:
    explicit PortAudioCallbackStream(std::shared_ptr<PortAudioSession> session)
        : session_(std::move(session)) {}
    ~PortAudioCallbackStream();
    PortAudioCallbackStream(const PortAudioCallbackStream&) = delete;
    PortAudioCallbackStream& operator=(const PortAudioCallbackStream&) = delete;

    // Session lock held. Exactly one of `in` and `out` is given; the callback takes each host period as
    // it comes, so that nothing is held back to make periods of another size.
    PaError Open(const PaStreamParameters* in, const PaStreamParameters* out, double rate,
                 PaStreamCallback* callback, void* self);
    bool Start();
    // Returns once the callback has run for the last time; what the device held is dropped.
    void Stop();
    // What PortAudio granted, in seconds (0 before Open).
    double Latency() const;

private:
    std::shared_ptr<PortAudioSession> session_;
    PaStream* stream_ = nullptr;
    bool input_ = false;
};

// An input stream driven by PortAudio's callback: each period the device captures is handed over on
// PortAudio's own thread as it comes. Open it, then start and stop it with recording.
class PortAudioCapture final : public WavePushSource {
public:
    explicit PortAudioCapture(std::shared_ptr<PortAudioSession> session) : stream_(std::move(session)) {}

    // Session lock held. Opens the stream on `parameters` at `rate`.
    PaError Open(const PaStreamParameters& parameters, double rate);
    bool Start(Captured captured, void* context) override;
    void Stop() override { stream_.Stop(); }
    double Latency() const { return stream_.Latency(); }
    double LatencySeconds() const override { return stream_.Latency(); }

private:
    static int Callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self);

    Captured captured_ = nullptr;
    void* context_ = nullptr;
    PortAudioCallbackStream stream_;  // last: it goes first, so its callback never outlives the fields
};

// An output stream driven by PortAudio's callback: each period the device plays is asked for on
// PortAudio's own thread as it is needed.
class PortAudioPlayback final : public WavePullSink {
public:
    explicit PortAudioPlayback(std::shared_ptr<PortAudioSession> session) : stream_(std::move(session)) {}

    // Session lock held. Opens the stream on `parameters` at `rate`.
    PaError Open(const PaStreamParameters& parameters, double rate);
    bool Start(Render render, void* context) override;
    void Stop() override { stream_.Stop(); }
    double Latency() const { return stream_.Latency(); }
    double LatencySeconds() const override { return stream_.Latency(); }

private:
    static int Callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self);

    size_t bytesPerFrame_ = 2;
    Render render_ = nullptr;
    void* context_ = nullptr;
    PortAudioCallbackStream stream_;  // last: it goes first
};

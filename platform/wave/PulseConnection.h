// The connection of the sound-server backend: one libpulse threaded main loop that runs every stream of
// both directions, and the context on it. A server that goes away is reported once; the connection tries
// again every second and tells its streams when the server is back, so that they make themselves anew.
// The same protocol reaches PulseAudio and PipeWire's PulseAudio server.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wave/Wave.h"

// Buffer attributes for one format, in bytes. Recording comes in fragments of about 5 ms, and playback asks
// early in 5 ms requests: measured through PulseAudio (bench/measure_pulse_call.sh, README), the pair took
// 8-28 ms off ilbc_11khz's mouth-to-ear delay and 8-23 ms off gsm_8khz's against 10 ms for both, for a
// quarter to two fifths more processor time in each process. A 10 ms source hands over 11025 Hz audio 0-21 ms
// apart, and that jitter the listener's playout must wait out; a 10 ms request keeps 10 ms more at the sink.
// The target of 60 ms is one our own writes never fill (we write each piece as it is ready, so what waits at
// the server is what the program has handed over, not the target); the prebuffer is the silence cushion
// written before the first piece and after an underflow, so playback starts at once.
struct PulseBufferAttributes {
    pa_buffer_attr record{};
    pa_buffer_attr playback{};
    uint32_t cushionBytes = 0;
};
PulseBufferAttributes ChoosePulseBufferAttributes(uint32_t samplesPerSec, uint32_t bytesPerSample);
// The record fragment, in frames, for buffers of `bufferFrames` (0: not known): about 5 ms, and a whole
// divisor of the buffer where one is near, so that each buffer fills in whole fragments and buffers leave
// at an even pace (fragments of 5 ms into 21.8 ms frames would send them 20 and 25 ms apart).
size_t ChooseRecordFragmentFrames(uint32_t samplesPerSec, size_t bufferFrames);
// The frames a playback stream keeps written beyond the server's period once the server ran dry while it
// was fed: at a rate it resamples unevenly (11025 Hz to a 48 kHz sink) it now and then skips a request and
// asks for two at once a request later, when the one request's worth it held is long played. Each such
// underflow grows `margin` by half a request, rounded up, to at most a whole request.
size_t PulseUnderflowMargin(size_t margin, size_t requestFrames);

// The name a sound server's volume panel shows for a stream: the program, and the peer where known.
std::string PulseStreamName(const std::string& peer);

// A stream that lives across servers: the connection calls these with the main loop locked.
class PulseStreamUser {
public:
    virtual ~PulseStreamUser() = default;
    virtual void OnServerReady() = 0;
    virtual void OnServerLost() = 0;
};

// Holds the main loop's lock for a scope (the loop's lock is recursive).
class PulseLock {
public:
    explicit PulseLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

class PulseConnection {
public:
    explicit PulseConnection(WaveDeviceOptions options);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Starts the loop and connects; false, with the reason, when no server answered within `timeoutMs` (and
    // the loop could not start, when `keepTrying`: then a server that does not answer is asked every second).
    bool Start(int timeoutMs, bool keepTrying, std::string& problem);

    pa_threaded_mainloop* Loop() const { return loop_; }
    pa_mainloop_api* Api() const { return pa_threaded_mainloop_get_api(loop_); }
    const WaveDeviceOptions& Options() const { return options_; }
    // The rest: main loop locked, never on its own thread unless said.
    // The context while the server answers, else null.
    pa_context* Context() const { return ready_ ? context_ : nullptr; }
    void Add(PulseStreamUser* user);
    void Remove(PulseStreamUser* user);
    // Waits for an operation to end (or the server to go); false when it did not complete.
    bool Finish(pa_operation* operation);
    // Wakes whoever waits in Finish or for a stream (any thread of the loop's).
    void Signal() { pa_threaded_mainloop_signal(loop_, 0); }
    void Wait() { pa_threaded_mainloop_wait(loop_); }
    // The server's sources or sinks, its default marked; empty when the server does not answer.
    std::vector<WaveDeviceInfo> Devices(bool sources);
    // A device trouble the user must hear of, once (the caller keeps track), through the error sink.
    static void Report(const std::string& text);
    // A new timer on the loop, disarmed; Arm(event, ms) sets it off after `ms`, Arm(event, -1) disarms.
    pa_time_event* NewTimer(pa_time_event_cb_t callback, void* context);
    void Arm(pa_time_event* event, int ms);
    void FreeTimer(pa_time_event*& event);

private:
    static void OnContextState(pa_context* context, void* self);
    static void OnRetry(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    bool NewContext();
    void DropContext();

    const WaveDeviceOptions options_;
    pa_threaded_mainloop* loop_;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    bool started_ = false;  // the first connection succeeded: from now on a loss is a fault
    bool ready_ = false;
    bool failed_ = false;  // the current context failed (before Start returned, or since)
    bool lostReported_ = false;
    bool startTimedOut_ = false;
    std::vector<PulseStreamUser*> users_;
};

// The devices of the sound-server backend. Recording is a push source under StreamWaveIn: the server's
// record stream hands over each fragment on the main loop's thread. Playback is a device of its own: each
// header is written to the server as soon as it is handed over (push), and posted back as MM_WOM_DONE once
// the server has asked for the room it took, that is once it has played it. The feeder's thread hands a
// header over without the main loop's lock, which the loop's thread holds while it serves the server: it
// rings the loop, whose thread writes the header (it would be woken to send it to the server anyway).
//
// Both outlive their server: a stream that fails (its device vanished, or the server went away) is reported
// once and made anew every second, or as soon as the server is back. Meanwhile playback posts its headers
// back at the pace they would have played, so the call above goes on without sound.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/PulseConnection.h"
#include "platform/wave/WaveStream.h"

// What both directions share: the stream, its retry timer and the report of a vanished device.
class PulseStream : public PulseStreamUser {
public:
    PulseStream(std::shared_ptr<PulseConnection> connection, std::string device, const WaveFormat& format,
                bool input);
    ~PulseStream() override;
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    void OnServerReady() override;
    void OnServerLost() override;

protected:
    // The server's latency for this stream's side of the echo path, in microseconds; -1 while there is no
    // stream or the server has not told yet. Any thread.
    int64_t LatencyUs() const { return latencyUs_.load(std::memory_order_relaxed); }
    void SetLatencyUs(int64_t latencyUs) { latencyUs_.store(latencyUs, std::memory_order_relaxed); }

    // Frees the stream and the timer and leaves the connection; the most derived destructor calls it
    // first, so that no callback reaches a half-destroyed device.
    void Shutdown();
    pa_time_event* tickTimer() const { return tick_; }

    // Main loop locked, for all below.
    // Makes the server's stream; false when it could not even be asked for.
    bool Create();
    // Lets the server's stream go; no callback of it runs afterwards.
    void Drop();
    bool Ready() const { return stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY; }
    // Whether the stream should exist now.
    virtual bool Wanted() const = 0;
    virtual void SetCallbacks() = 0;
    virtual void OnReady() {}
    virtual void OnLost() {}
    // Every tick while the stream is not ready (kTickMs).
    virtual void OnTick() {}

    static constexpr int kTickMs = 10;
    std::shared_ptr<PulseConnection> connection_;
    const std::string device_;  // empty: the server's default (or PULSE_SINK / PULSE_SOURCE)
    const WaveFormat format_;
    const bool input_;
    PulseBufferAttributes attributes_;
    pa_stream* stream_ = nullptr;
    bool reportFailures_ = false;  // a failing stream is a fault to report (not while it is being opened)

private:
    static void OnState(pa_stream* stream, void* self);
    static void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);

    std::atomic<int64_t> latencyUs_{-1};
    pa_time_event* tick_ = nullptr;
    int ticksToRetry_ = 0;
    bool lostReported_ = false;
    bool wasReady_ = false;
};

class PulseCapture final : public WavePushSource, public PulseStream {
public:
    PulseCapture(std::shared_ptr<PulseConnection> connection, std::string device, const WaveFormat& format);
    ~PulseCapture() override;

    bool Start(Captured captured, void* context) override;
    void Stop() override;
    void SetBufferFrames(size_t frames) override;
    // From the microphone to the hand-over: the source's latency and what waited in the stream, as the
    // server's timing said at the last hand-over.
    double LatencySeconds() const override;

private:
    bool Wanted() const override { return captured_ != nullptr; }
    void SetCallbacks() override;
    void OnReady() override;
    void OnTick() override;
    // Hands over `bytes` of silence, in pieces.
    void CaptureSilence(size_t bytes);
    static void OnRead(pa_stream* stream, size_t bytes, void* self);

    Captured captured_ = nullptr;
    void* context_ = nullptr;
    uint64_t silentSinceUs_ = 0;  // with no stream: up to when silence was handed over; 0 while one runs
};

class PulseWaveOut final : public WaveOut, public PulseStream {
public:
    PulseWaveOut(std::shared_ptr<PulseConnection> connection, std::string device, const WaveFormat& format,
                 MessageTarget* owner);
    ~PulseWaveOut() override;

    // Makes the stream and waits until the server took it: false, with the server's reason, when it did not.
    // With the server away, true at once: the stream comes when the server does.
    bool Open(std::string& problem);

    MMRESULT Prepare(WaveHeader* header) override;
    MMRESULT Unprepare(WaveHeader* header) override;
    MMRESULT Write(WaveHeader* header) override;
    MMRESULT Reset() override;
    MMRESULT SetVolume(uint32_t volume) override;
    MMRESULT Close() override;
    size_t PeriodFrames() const override { return periodFrames_.load(std::memory_order_relaxed); }
    // From a header posted back as played to the speaker: the sink's latency, as the server's timing said
    // at its last request.
    int LatencyMs() const override;

private:
    // A written header: where its last byte sits in what was written to the server, or, with no stream to
    // write to, when it would have finished playing (microseconds of the monotonic clock).
    struct Queued {
        WaveHeader* header;
        uint64_t end;
        bool written;
    };

    bool Wanted() const override { return !closed_; }
    void SetCallbacks() override;
    void OnReady() override;
    void OnLost() override;
    void OnTick() override;
    static void OnRequest(pa_stream* stream, size_t bytes, void* self);
    static void OnUnderflow(pa_stream* stream, void* self);
    // Posts the headers the server has played: all of what was written but what it still holds.
    void PostPlayed();
    // Posts the leading headers that `done` says are finished.
    template <typename Done>
    void PostWhile(Done done);
    void PostFront();
    void WriteToServer(const uint8_t* data, size_t bytes);
    // Main loop locked: writes a queued header to the server (or paces it while there is no stream).
    void Play(WaveHeader* header);
    // Main loop locked: the headers handed over since the loop last took them (in taken_).
    const std::vector<WaveHeader*>& TakeHanded();
    static void OnRing(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self);

    MessageTarget* const owner_;
    std::deque<Queued> queue_;
    uint64_t written_ = 0;      // bytes written to the current stream
    uint64_t paceUntilUs_ = 0;  // with no stream: when the last queued header would have played out
    bool cushion_ = true;       // the next write starts with the silence cushion
    // Written with the main loop locked; Prepare, Unprepare and Write read it without, under flagsLock_,
    // which guards the headers' flags and handed_.
    std::atomic<bool> closed_{false};
    std::mutex flagsLock_;
    std::vector<WaveHeader*> handed_;  // written by the feeder, not yet taken by the loop
    std::vector<WaveHeader*> taken_;   // main loop locked: handed_ as last taken (its room kept)
    int ring_ = -1;                    // an eventfd the loop's thread watches for handed headers
    pa_io_event* ringEvent_ = nullptr;
    uint32_t volume_ = 0xFFFFFFFF;
    uint32_t tlength_ = 0;  // the target the server granted
    uint32_t prebuf_ = 0;   // and the prebuffer
    std::atomic<size_t> periodFrames_{0};
    // The main loop's: what the server had played at the last request, and the largest step of the
    // current stretch of kPeriodWindow requests.
    static constexpr int kPeriodWindow = 32;
    uint64_t lastPlayed_ = 0;
    size_t windowLargest_ = 0;
    int windowCalls_ = 0;
    // Frames added to the period after the server ran dry while we still fed it, and the underflows
    // since the stream was made (its first is its start).
    size_t marginFrames_ = 0;
    int underflows_ = 0;
    size_t requestFrames_ = 0;  // the period as the server's requests show it, without the margin
    void StorePeriod(size_t frames);
    std::vector<uint8_t> scratch_;  // the silence cushion
    std::vector<uint8_t> scaled_;   // a header at less than full volume
};

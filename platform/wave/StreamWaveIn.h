// A recording device on any WaveSource: its thread reads a chunk at a time from the source and copies it
// into the queued headers in order, posting each full one to the owner as MM_WIM_DATA. On a
// WavePushSource there is no thread of ours: the device's own thread hands over each period as it comes.
//
// The thread reads outside the lock and copies under it; Stop, Reset and Close take the same lock, so a
// header is never touched after it was posted, and nothing is posted once Close has returned.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wave/Wave.h"
#include "platform/wave/WaveStream.h"

class StreamWaveIn final : public WaveIn {
public:
    // `format` has been checked by the backend; `owner` outlives the device.
    StreamWaveIn(std::unique_ptr<WaveSource> source, const WaveFormat& format, MessageTarget* owner);
    StreamWaveIn(std::unique_ptr<WavePushSource> source, const WaveFormat& format, MessageTarget* owner);
    // Ends the thread without posting anything: headers still queued are abandoned.
    ~StreamWaveIn() override;
    StreamWaveIn(const StreamWaveIn&) = delete;
    StreamWaveIn& operator=(const StreamWaveIn&) = delete;

    MMRESULT Prepare(WaveHeader* header) override;
    MMRESULT Unprepare(WaveHeader* header) override;
    MMRESULT Add(WaveHeader* header) override;
    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Reset() override;
    MMRESULT Close() override;
    int LatencyMs() const override;

private:
    StreamWaveIn(std::unique_ptr<WaveSource> source, std::unique_ptr<WavePushSource> pushSource,
                 const WaveFormat& format, MessageTarget* owner);
    static void OnCaptured(void* context, const uint8_t* data, size_t frames);
    // Starts or stops a push source, outside the lock (its thread takes it).
    void SetPushing(bool pushing);
    void Run();
    void EndThread();
    // Copies captured bytes into the queued headers; returns how many found one. Lock held.
    size_t Deliver(const uint8_t* data, size_t bytes);
    // Hands the oldest queued header back to the owner. Lock held.
    void PostFront();

    std::unique_ptr<WaveSource> source_;  // the device thread's while it runs
    std::unique_ptr<WavePushSource> pushSource_;
    bool pushing_ = false;  // the push source runs; changed by the owner's calls only
    const size_t blockAlign_;
    // A push source's audio that found no header yet, at most a second of it; under lock_.
    const size_t pendingLimit_;
    std::vector<uint8_t> pending_;
    const size_t chunkFrames_;
    const size_t chunkBytes_;
    const std::chrono::microseconds chunkDuration_;
    MessageTarget* const owner_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<WaveHeader*> queue_;
    bool recording_ = false;
    bool closing_ = false;
    bool closed_ = false;
    // Counts starts, so that a chunk read across a Stop and Start is not delivered after the Start.
    uint64_t generation_ = 0;

    std::thread thread_;
};

// A playback device on any WaveSink: it runs from open to close, and its thread takes a chunk at a time
// from the written headers in order (silence when none is queued) and writes it to the sink, posting each
// header to the owner as MM_WOM_DONE once all of it has been taken. On a WavePullSink there is no thread
// of ours: the device's own thread takes each period as it needs it.
//
// The thread copies under the lock and writes outside it; Reset and Close take the same lock, so a header
// is never touched after it was posted, and nothing is posted once Close has returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/wave/Wave.h"
#include "platform/wave/WaveStream.h"

class StreamWaveOut final : public WaveOut {
public:
    // `format` has been checked by the backend; `owner` outlives the device.
    StreamWaveOut(std::unique_ptr<WaveSink> sink, const WaveFormat& format, MessageTarget* owner);
    StreamWaveOut(std::unique_ptr<WavePullSink> sink, const WaveFormat& format, MessageTarget* owner);
    // Ends the thread without posting anything: headers still queued are abandoned.
    ~StreamWaveOut() override;
    StreamWaveOut(const StreamWaveOut&) = delete;
    StreamWaveOut& operator=(const StreamWaveOut&) = delete;

    MMRESULT Prepare(WaveHeader* header) override;
    MMRESULT Unprepare(WaveHeader* header) override;
    MMRESULT Write(WaveHeader* header) override;
    MMRESULT Reset() override;
    // A software gain from the low word (the device is mono); 0xFFFF leaves the samples as they are.
    MMRESULT SetVolume(uint32_t volume) override;
    MMRESULT Close() override;
    int LatencyMs() const override;
    // False when a device on a WavePullSink refused to start.
    bool Started() const { return started_; }
    // How many frames the device takes at once lately (a chunk for our own thread).
    size_t PeriodFrames() const override { return takenAtOnce_.load(std::memory_order_relaxed); }

private:
    StreamWaveOut(std::unique_ptr<WaveSink> sink, std::unique_ptr<WavePullSink> pullSink,
                  const WaveFormat& format, MessageTarget* owner);
    static void OnRender(void* context, uint8_t* data, size_t frames);
    void Run();
    void EndThread();
    // Fills a chunk from the queued headers, then silence, posting every header used up. Lock held.
    void Fill(uint8_t* chunk, size_t bytes);
    // Scales a chunk by the low word of a volume.
    void ApplyVolume(uint8_t* chunk, size_t bytes, uint32_t volume) const;
    // Hands the oldest queued header back to the owner. Lock held.
    void PostFront();

    std::unique_ptr<WaveSink> sink_;  // the device thread's while it runs
    std::unique_ptr<WavePullSink> pullSink_;
    const size_t blockAlign_;
    const size_t chunkFrames_;
    const size_t chunkBytes_;
    const uint16_t bitsPerSample_;
    MessageTarget* const owner_;
    std::mutex lock_;
    // Taken with the bytes it applies to, so that a header is played at the volume set before it was taken.
    uint32_t volume_ = 0xFFFFFFFF;
    std::deque<WaveHeader*> queue_;
    size_t played_ = 0;  // bytes of the oldest queued header already taken
    bool closing_ = false;
    bool closed_ = false;
    std::atomic<size_t> takenAtOnce_{0};
    // The device's own thread: the largest request of the current stretch of kPeriodWindow calls.
    static constexpr int kPeriodWindow = 64;
    size_t windowLargest_ = 0;
    int windowCalls_ = 0;
    bool started_ = true;

    std::thread thread_;
};

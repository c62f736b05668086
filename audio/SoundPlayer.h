// A playback device's thread: opens the device once, plays the buffers queued to it in order, and tells its
// callback about each one played. Other threads hand it audio with Queue, which copies one frame into the
// next ring buffer and posts that buffer here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/SoundBase.h"
#include "audio/SoundCallback.h"

constexpr uint32_t TM_PLAY_OPEN = 0x658;
constexpr uint32_t TM_PLAY_CLOSE = 0x659;
constexpr uint32_t TM_PLAY_BUFFER = 0x65A;
constexpr uint32_t TM_PLAY_QUIT = 0x65B;

class SoundPlayer final : public SoundBase {
public:
    SoundPlayer();
    ~SoundPlayer() override;

    // Rebuilds the buffers if the format changed, restarts the ring and opens the device.
    void Start();
    void Stop();
    // Ends the thread, closing the device first if it is open; waits for it.
    void End();

    // Copies one frame of audio into the next ring buffer and queues it for playing. Called from one
    // thread only. Audio longer than a buffer is cut at its end; shorter audio is followed by silence.
    // When the next buffer is still held by the device the frame is dropped (and counted).
    void Queue(const uint8_t* data, int byteCount);
    // Queues a piece of audio of its own length (at most one buffer), for a caller that feeds the device
    // by the piece as it plays. Same rules as Queue otherwise.
    void QueuePiece(const uint8_t* data, int byteCount);

    bool Playing() const { return playing_.load(std::memory_order_acquire) != 0; }
    int NextBuffer() const { return next_; }
    // Frames Queue dropped because their buffer was still busy.
    int64_t Drops() const { return drops_.load(std::memory_order_relaxed); }
    bool BufferBusy(int slot) const {
        return busy_[static_cast<size_t>(slot)].load(std::memory_order_acquire);
    }
    // Buffers queued and not yet handed back.
    int BusyBuffers() const;
    // How many frames the device takes at a time, as far as it has shown (0 while it has not).
    int PeriodFrames() const { return periodFrames_.load(std::memory_order_relaxed); }
    // What the open device reports of its latency after a buffer is done, in milliseconds, as of the last
    // buffer done; -1 when none.
    int DeviceLatencyMs() const { return latencyMs_.load(std::memory_order_relaxed); }

protected:
    void OnMessage(const Message& message) override;

private:
    void OnOpen();
    void OnBuffer(WaveHeader* header);
    void OnDone(WaveHeader* header);
    void OnClose();
    void Release(WaveHeader* header);
    void QueueBytes(const uint8_t* data, int byteCount, bool pad);

    std::atomic<int> playing_{0};
    std::unique_ptr<WaveOut> waveOut_;
    int next_ = 0;  // Queue's thread only
    // A buffer is busy from Queue until the device thread has dropped it or the device has played it.
    std::array<std::atomic<bool>, kBufferCount> busy_{};
    std::atomic<int64_t> drops_{0};
    std::atomic<int> periodFrames_{0};
    std::atomic<int> latencyMs_{-1};
};

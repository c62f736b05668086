// The recording device's thread: opens the device, keeps all twelve buffers queued at it, and hands each
// filled buffer to its callback (the capture path) on this thread before queueing it again.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/SoundBase.h"
#include "audio/SoundCallback.h"

constexpr uint32_t TM_RECORD_START = 0x5F4;
constexpr uint32_t TM_RECORD_STOP = 0x5F5;
constexpr uint32_t TM_RECORD_QUIT = 0x5F6;

class SoundRecorder final : public SoundBase {
public:
    SoundRecorder();
    ~SoundRecorder() override;

    // Rebuilds the buffers if the format changed, opens the device and starts recording.
    // Start and stop are requests: one that a newer request overtakes before the thread reaches it is
    // skipped, so that a storm of starts and stops never leaves the thread behind.
    void Start();
    void Stop();
    // Ends the thread, stopping first if recording; waits for it. The recorder cannot record again.
    void End();

    bool Recording() const { return recording_.load(std::memory_order_acquire) != 0; }
    // What the open device reports of its latency, in milliseconds, as of the last buffer captured; -1 when
    // it reports none.
    int DeviceLatencyMs() const { return latencyMs_.load(std::memory_order_relaxed); }

protected:
    void OnMessage(const Message& message) override;

private:
    void OnStart();
    void OnData(WaveHeader* header);
    void OnStop();
    void Requeue(WaveHeader* header, int slot);

    std::atomic<int> recording_{0};
    std::atomic<int> latencyMs_{-1};
    // Numbers the start and stop requests; a request message carries its number (0: always applies).
    std::atomic<WPARAM> request_{0};
    std::unique_ptr<WaveIn> waveIn_;
    // Device thread only. A buffer is "at the device" from its add until its return is handled; one that a
    // new start queues again while the return from the previous device is still on its way is "stale" until
    // that old return has been passed over.
    std::array<bool, kBufferCount> atDevice_{};
    std::array<bool, kBufferCount> stale_{};
};

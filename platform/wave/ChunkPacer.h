// Paces a simulated device on the steady clock, so that a file or silence behaves like a sound card:
// each chunk becomes due when its audio would have been captured or played.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

class ChunkPacer {
public:
    // A stall longer than this is not caught up: the pacer starts counting again from now.
    static constexpr std::chrono::milliseconds kMaxCatchUp{200};

    explicit ChunkPacer(uint32_t samplesPerSec);

    // The next Wait counts from now, as after the device was opened or restarted.
    void Restart();
    // Waits until `frames` more frames are due. After a short stall it returns at once until it has caught
    // up; after a long one it drops the backlog instead of delivering it in a burst.
    void Wait(size_t frames);

private:
    using Clock = std::chrono::steady_clock;

    uint32_t rate_;
    bool started_ = false;
    Clock::time_point origin_{};
    // Frames due since origin_, kept below one second's worth so the arithmetic never overflows.
    uint64_t frames_ = 0;
};

// Steady-clock pacing for the file and null devices.
#include "platform/wave/ChunkPacer.h"

#include <thread>

ChunkPacer::ChunkPacer(uint32_t samplesPerSec) : rate_(samplesPerSec == 0 ? 1 : samplesPerSec) {}

void ChunkPacer::Restart() {
    started_ = false;
}

void ChunkPacer::Wait(size_t frames) {
    const Clock::time_point now = Clock::now();
    if (!started_) {
        started_ = true;
        origin_ = now;
        frames_ = 0;
    }
    frames_ += frames;
    // Whole seconds move into the origin, which keeps the count small without drifting.
    const uint64_t seconds = frames_ / rate_;
    origin_ += std::chrono::seconds(seconds);
    frames_ -= seconds * rate_;
    const auto offset = std::chrono::nanoseconds(frames_ * 1'000'000'000ULL / rate_);
    const Clock::time_point due = origin_ + std::chrono::duration_cast<Clock::duration>(offset);
    if (now - due > kMaxCatchUp) {
        origin_ = now;
        frames_ = 0;
        return;
    }
    std::this_thread::sleep_until(due);
}

// The streams of a device with nothing behind it: a microphone that hears silence and a speaker that
// plays into the void, both paced like real hardware.
#pragma once

#include "platform/wave/ChunkPacer.h"
#include "platform/wave/WaveStream.h"

class SilenceSource final : public WaveSource {
public:
    SilenceSource(uint32_t samplesPerSec, uint16_t bitsPerSample);
    bool Resume() override;
    void Pause() override {}
    bool Read(uint8_t* data, size_t frames) override;

private:
    ChunkPacer pacer_;
    size_t bytesPerFrame_;
    uint8_t silence_;
};

class DiscardSink final : public WaveSink {
public:
    explicit DiscardSink(uint32_t samplesPerSec);
    bool Write(const uint8_t* data, size_t frames) override;

private:
    ChunkPacer pacer_;
};

// The delta codec (format type 1): this program's own lossless bit code over 8-bit samples. Each sample is
// coded against the previous one (128 before the first): a repeat is the single bit 1; a change d is |d|
// bits 0, a bit 1 and a sign bit (1 for negative). Bits are packed least significant first and the last
// byte is padded with zeros, which decoding reads as the end since no 1 bit follows them.
#pragma once

#include <cstdint>

#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

class DeltaCodec final : public SoundCodec {
public:
    static constexpr int kPredictorStart = 128;
    static constexpr int kScratchSamples = 1000;
    static constexpr int kScratchGrowStep = 100;

    DeltaCodec();

    // The predictor restarts at every call, so there is no state to reset.
    void Reset() override {}
    int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) override;
    // Decodes any payload safely: every sample costs at least one bit, so at most 8 * length samples come
    // out. A code cut off before its sign bit is dropped.
    int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) override;
    int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) override;
    int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) override;

private:
    // 8-bit copies of the 16-bit forms' samples; one per direction, as encoding and decoding run on
    // different threads.
    ByteBuffer encodeScratch_;
    ByteBuffer decodeScratch_;
};

// G.711 mu-law codec (format type 5): one code byte per sample, table driven in both directions. The code
// layout is mu-law's, but the reconstruction values and decision thresholds are this program's own, so the
// tables in G711Codec.cpp are part of the wire format.
#pragma once

#include <cstdint>

#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

class G711Codec final : public SoundCodec {
public:
    // Size of each scratch buffer; the 8-bit operations work through longer input in pieces of this size.
    static constexpr int kScratchSamples = 1000;
    static constexpr int kScratchGrowStep = 100;

    G711Codec();

    // The codec keeps no state between samples, so there is nothing to reset.
    void Reset() override {}
    int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) override;
    int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) override;
    int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) override;
    int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) override;

    // One sample through the tables.
    static uint8_t EncodeSample(int16_t sample);
    static int16_t DecodeSample(uint8_t code);

private:
    // The recorder thread encodes while the link's worker decodes, so each direction has its own scratch.
    SampleBuffer encodeScratch_;
    SampleBuffer decodeScratch_;
};

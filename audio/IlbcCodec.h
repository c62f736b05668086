// iLBC codec (format types 3 and 4): the program's adapter around its own RFC 3951 coder, one 20 ms
// (160 samples, 38 bytes) or 30 ms (240 samples, 50 bytes) block per call, decoding with the enhancer.
#pragma once

#include <cstdint>

#include "audio/SoundCodec.h"
#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcEncoder.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

class IlbcCodec final : public SoundCodec {
public:
    static constexpr int kScratchSamples = 1000;
    static constexpr int kScratchGrowStep = 100;

    IlbcCodec();

    // 20 selects 20 ms frames; any other value 30 ms frames. Resets both coders.
    void SetMode(int mode);
    int Mode() const { return mode_; }
    int FrameLength() const { return frameLength_; }
    int FrameSize() const { return frameSize_; }

    void Reset() override;
    // Its LPC analysis looks back into the previous frame.
    void ResetEncoder() override { encoder_.Reset(); }
    int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) override;
    int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) override;
    int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) override;
    int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) override;
    // The decoder's lost-frame mode: continues from the frames decoded so far, fading over a run.
    int Conceal16(SampleBuffer& out, bool append) override;

private:
    int mode_ = 20;
    int frameLength_ = 160;
    int frameSize_ = 38;
    // The recorder thread encodes while the link's worker decodes: each direction has its own coder
    // and scratch buffer.
    ilbc::Encoder encoder_;
    ilbc::Decoder decoder_;
    SampleBuffer encodeScratch_;
    SampleBuffer decodeScratch_;
};

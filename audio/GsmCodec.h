// GSM 06.10 full-rate codec (format type 2) on libgsm: one call codes one frame of 160 samples into libgsm's
// 33-byte frame, whose first byte carries the signature 0xD in its high four bits.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

struct gsm_state;

class GsmCodec final : public SoundCodec {
public:
    static constexpr int kFrameSamples = 160;
    static constexpr int kFrameBytes = 33;
    // The high four bits of a frame's first byte.
    static constexpr int kSignature = 0xD;
    static constexpr int kScratchSamples = 1000;
    static constexpr int kScratchGrowStep = 100;

    // Throws MemoryException when libgsm cannot create its states.
    GsmCodec();
    ~GsmCodec() override;

    GsmCodec(const GsmCodec&) = delete;
    GsmCodec& operator=(const GsmCodec&) = delete;

    // Both coder states start afresh, and there is no earlier frame to replay any more.
    void Reset() override;
    // Its pre-emphasis, offset filter and long-term prediction carry the previous frame.
    void ResetEncoder() override { encoder_ = NewState(); }
    // Encodes the first 160 samples into one frame and returns 33; with fewer than 160 samples there is no
    // frame to code, so nothing is written and the result is 0.
    int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) override;
    int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) override;
    // Decodes the first 33 bytes of the payload into 160 samples and returns 160. A payload shorter than a
    // frame gives nothing (0). A frame without the signature is not decoded: the decoder's previous output
    // (silence right after Reset) is given again, as 160 samples here and as nothing in Decode8.
    int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) override;
    int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) override;

private:
    struct StateDeleter {
        void operator()(gsm_state* state) const;
    };
    using State = std::unique_ptr<gsm_state, StateDeleter>;

    static State NewState();
    // Codes the 160 samples in the encoder's scratch buffer.
    int EncodeScratch(ByteBuffer& out, bool append);
    // Decodes one frame into `samples`; false when the signature is wrong and nothing was decoded.
    bool DecodeFrame(const uint8_t* payload, int16_t* samples);

    // The recorder thread encodes while the link's worker decodes, so everything below belongs to exactly
    // one of the two directions.
    State encoder_;
    SampleBuffer encodeScratch_;
    State decoder_;
    SampleBuffer decodeScratch_;
    // The decoder's latest output, given again for a frame that fails the signature check.
    std::array<int16_t, kFrameSamples> lastFrame_{};
};

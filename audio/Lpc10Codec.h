// LPC-10e 2400 bit/s vocoder (format type 6) on spandsp: one call codes 180 samples into 7 bytes holding the
// 54 parameter bits least significant bit first (bit i in byte i / 8 at position i mod 8, the last byte's
// two top bits 0), and decodes such 7 bytes into 180 samples.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

struct lpc10_encode_state_s;
struct lpc10_decode_state_s;

class Lpc10Codec final : public SoundCodec {
public:
    static constexpr int kFrameSamples = 180;
    static constexpr int kFrameBytes = 7;
    static constexpr int kFrameBits = 54;
    static constexpr int kScratchSamples = 1000;
    static constexpr int kScratchGrowStep = 100;

    // Throws MemoryException when spandsp cannot create its states.
    Lpc10Codec();
    ~Lpc10Codec() override;

    Lpc10Codec(const Lpc10Codec&) = delete;
    Lpc10Codec& operator=(const Lpc10Codec&) = delete;

    void Reset() override;
    // Its voicing and pitch analysis looks frames ahead.
    void ResetEncoder() override { encoder_ = NewEncoder(); }
    // Encodes the first 180 samples into one frame and returns 7; with fewer than 180 samples there is no
    // frame to code, so nothing is written and the result is 0.
    int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) override;
    int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) override;
    // Decodes the first 7 bytes of the payload into 180 samples and returns 180; a payload shorter than a
    // frame gives nothing (0).
    int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) override;
    int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) override;

private:
    struct EncoderDeleter {
        void operator()(lpc10_encode_state_s* state) const;
    };
    struct DecoderDeleter {
        void operator()(lpc10_decode_state_s* state) const;
    };
    using Encoder = std::unique_ptr<lpc10_encode_state_s, EncoderDeleter>;
    using Decoder = std::unique_ptr<lpc10_decode_state_s, DecoderDeleter>;

    static Encoder NewEncoder();
    static Decoder NewDecoder();
    void DecodeFrame(const uint8_t* payload, int16_t* samples);

    // The recorder thread encodes while the link's worker decodes, so everything below belongs to exactly
    // one of the two directions.
    Encoder encoder_;
    SampleBuffer encodeScratch_;
    Decoder decoder_;
    SampleBuffer decodeScratch_;
    // The decoder's previous output sample before limiting, which tells a wrapped sample from a real one.
    int32_t lastSample_ = 0;
};

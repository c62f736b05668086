// LPC-10e codec: spandsp's coder with error correction on, the bit order of each byte reversed on the way in
// and out, and decoded samples limited to 16 bits.
#include "audio/Lpc10Codec.h"

#include <spandsp.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "base/Exception.h"

namespace {

static_assert(Lpc10Codec::kFrameSamples == LPC10_SAMPLES_PER_FRAME, "spandsp's frame length changed");
static_assert(Lpc10Codec::kFrameBits == LPC10_BITS_IN_COMPRESSED_FRAME, "spandsp's frame size changed");

// The error-protected form of the format: unvoiced frames carry parity bits where the coefficients they
// do not use would be.
constexpr int kErrorCorrection = 1;

// Unused top bits of the last byte, which our format keeps 0.
constexpr uint8_t kLastByteMask = (1u << (Lpc10Codec::kFrameBits % 8)) - 1;

constexpr std::array<uint8_t, 256> BuildReversal() {
    std::array<uint8_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((byte >> bit) & 1u)
                reversed |= 0x80u >> bit;
        }
        table[byte] = static_cast<uint8_t>(reversed);
    }
    return table;
}

// spandsp packs the 54 bits most significant bit first in each byte, our format least significant first.
constexpr std::array<uint8_t, 256> kReversed = BuildReversal();

static_assert(kReversed[0x01] == 0x80 && kReversed[0xB0] == 0x0D, "bit reversal wrong");

// spandsp converts its synthesised speech to 16 bits without limiting it, so a loud frame comes out wrapped
// around by 65536. The true value of a sample is taken as the one of the candidates s and s -/+ 65536
// closest to the previous sample, provided it stays within this bound, which real output never passes and
// which brings a wrong guess back to the plain sample as soon as the sound gets quieter.
constexpr int32_t kUnwrapLimit = 49152;

int32_t Unwrap(int16_t sample, int32_t previous) {
    const int32_t candidate = previous + static_cast<int16_t>(static_cast<uint16_t>(sample - previous));
    return std::abs(candidate) <= kUnwrapLimit ? candidate : sample;
}

}  // namespace

void Lpc10Codec::EncoderDeleter::operator()(lpc10_encode_state_s* state) const {
    lpc10_encode_free(state);
}

void Lpc10Codec::DecoderDeleter::operator()(lpc10_decode_state_s* state) const {
    lpc10_decode_free(state);
}

Lpc10Codec::Encoder Lpc10Codec::NewEncoder() {
    Encoder encoder(lpc10_encode_init(nullptr, kErrorCorrection));
    if (!encoder)
        throw MemoryException();
    return encoder;
}

Lpc10Codec::Decoder Lpc10Codec::NewDecoder() {
    Decoder decoder(lpc10_decode_init(nullptr, kErrorCorrection));
    if (!decoder)
        throw MemoryException();
    return decoder;
}

Lpc10Codec::Lpc10Codec()
    : encoder_(NewEncoder()),
      encodeScratch_(kScratchSamples, kScratchGrowStep),
      decoder_(NewDecoder()),
      decodeScratch_(kScratchSamples, kScratchGrowStep) {}

Lpc10Codec::~Lpc10Codec() = default;

void Lpc10Codec::Reset() {
    // Both new states first, so that a failure leaves the codec as it was.
    Encoder encoder = NewEncoder();
    Decoder decoder = NewDecoder();
    encoder_ = std::move(encoder);
    decoder_ = std::move(decoder);
    lastSample_ = 0;
}

int Lpc10Codec::Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < kFrameSamples)
        return NoCodecOutput(out, append);
    uint8_t* frame = PrepareCodecOutput(out, append, kFrameBytes);
    lpc10_encode(encoder_.get(), frame, samples, kFrameSamples);
    for (int i = 0; i < kFrameBytes; ++i)
        frame[i] = kReversed[frame[i]];
    frame[kFrameBytes - 1] &= kLastByteMask;
    out.SetLength(out.Length() + kFrameBytes);
    return kFrameBytes;
}

int Lpc10Codec::Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < kFrameSamples)
        return NoCodecOutput(out, append);
    encodeScratch_.SetLength(kFrameSamples);
    int16_t* wide = encodeScratch_.Data();
    WidenSamples(samples, kFrameSamples, wide);
    return Encode16(wide, kFrameSamples, out, append);
}

void Lpc10Codec::DecodeFrame(const uint8_t* payload, int16_t* samples) {
    std::array<uint8_t, kFrameBytes> frame;
    for (int i = 0; i < kFrameBytes; ++i)
        frame[static_cast<size_t>(i)] = kReversed[payload[i]];
    std::array<int16_t, kFrameSamples> wrapped;
    lpc10_decode(decoder_.get(), wrapped.data(), frame.data(), kFrameBytes);
    for (int i = 0; i < kFrameSamples; ++i) {
        lastSample_ = Unwrap(wrapped[static_cast<size_t>(i)], lastSample_);
        samples[i] = static_cast<int16_t>(std::clamp<int32_t>(lastSample_, -32768, 32767));
    }
}

int Lpc10Codec::Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) {
    if (length < kFrameBytes)
        return NoCodecOutput(out, append);
    DecodeFrame(payload, PrepareCodecOutput(out, append, kFrameSamples));
    out.SetLength(out.Length() + kFrameSamples);
    return kFrameSamples;
}

int Lpc10Codec::Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) {
    if (length < kFrameBytes)
        return NoCodecOutput(out, append);
    decodeScratch_.SetLength(kFrameSamples);
    DecodeFrame(payload, decodeScratch_.Data());
    return NarrowOnto(decodeScratch_.Data(), kFrameSamples, out, append);
}

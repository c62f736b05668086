// The delta bit code: encoding sizes the output exactly in a first pass, decoding walks the payload's bits
// and never produces more than one sample per bit.
#include "audio/DeltaCodec.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "base/Exception.h"

namespace {

// Bits taken by the code of `samples`: 1 for a repeat, |d| + 2 for a change d.
int64_t CodeBits(const uint8_t* samples, int count) {
    int64_t bits = 0;
    int predictor = DeltaCodec::kPredictorStart;
    for (int i = 0; i < count; ++i) {
        const int d = samples[i] - predictor;
        bits += d == 0 ? 1 : std::abs(d) + 2;
        predictor = samples[i];
    }
    return bits;
}

// Position of the first 1 bit at or after `bit`, or `end` (the payload's bit count) when there is none.
int64_t NextOneBit(const uint8_t* payload, int64_t bit, int64_t end) {
    if (bit >= end)
        return end;
    int64_t index = bit >> 3;
    const unsigned rest = static_cast<unsigned>(payload[index]) >> (bit & 7);
    if (rest != 0)
        return bit + std::countr_zero(rest);
    const int64_t bytes = end >> 3;
    for (++index; index < bytes; ++index) {
        if (payload[index] != 0)
            return index * 8 + std::countr_zero(payload[index]);
    }
    return end;
}

}  // namespace

DeltaCodec::DeltaCodec()
    : encodeScratch_(kScratchSamples, kScratchGrowStep), decodeScratch_(kScratchSamples, kScratchGrowStep) {}

int DeltaCodec::Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < 0)
        count = 0;
    const int64_t bytes = (CodeBits(samples, count) + 7) / 8;
    uint8_t* code = PrepareCodecOutput(out, append, bytes);
    // Runs of 0 bits and the padding come free from clearing first; only the 1 bits are written.
    if (bytes > 0)
        std::memset(code, 0, static_cast<size_t>(bytes));
    int64_t bit = 0;
    int predictor = kPredictorStart;
    for (int i = 0; i < count; ++i) {
        const int d = samples[i] - predictor;
        if (d != 0)
            bit += std::abs(d);
        code[bit >> 3] = static_cast<uint8_t>(code[bit >> 3] | (1u << (bit & 7)));
        ++bit;
        if (d != 0) {
            if (d < 0)
                code[bit >> 3] = static_cast<uint8_t>(code[bit >> 3] | (1u << (bit & 7)));
            ++bit;
        }
        predictor = samples[i];
    }
    out.SetLength(out.Length() + static_cast<int32_t>(bytes));
    return static_cast<int>(bytes);
}

int DeltaCodec::Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) {
    if (length < 0)
        length = 0;
    const int64_t end = static_cast<int64_t>(length) * 8;
    // One sample per bit is the most any payload can yield (a byte 0xFF is eight repeats).
    uint8_t* samples = PrepareCodecOutput(out, append, end);
    int produced = 0;
    int64_t bit = 0;
    int predictor = kPredictorStart;
    while (bit < end) {
        const int64_t one = NextOneBit(payload, bit, end);
        if (one == end)
            break;  // the zero padding, or a payload cut inside a run of zeros
        int64_t delta = one - bit;
        bit = one + 1;
        if (delta != 0) {
            if (bit == end)
                break;  // no sign bit: the code is incomplete
            if ((payload[bit >> 3] >> (bit & 7)) & 1)
                delta = -delta;
            ++bit;
        }
        // Garbage can ask for any distance; the predictor keeps only its low 8 bits.
        predictor = static_cast<int>((predictor + delta) & 0xFF);
        samples[produced++] = static_cast<uint8_t>(predictor);
    }
    out.SetLength(out.Length() + produced);
    return produced;
}

int DeltaCodec::Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < 0)
        count = 0;
    encodeScratch_.SetLength(count);
    uint8_t* narrow = encodeScratch_.Data();
    for (int i = 0; i < count; ++i)
        narrow[i] = Sample16To8(samples[i]);
    return Encode8(narrow, count, out, append);
}

int DeltaCodec::Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) {
    const int count = Decode8(payload, length, decodeScratch_, false);
    int16_t* wide = PrepareCodecOutput(out, append, count);
    const uint8_t* narrow = decodeScratch_.Data();
    for (int i = 0; i < count; ++i)
        wide[i] = Sample8To16(narrow[i]);
    out.SetLength(out.Length() + count);
    return count;
}

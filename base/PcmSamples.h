// The two sample formats of the wave devices and the codecs, 8-bit unsigned and 16-bit signed: what
// silence is in each, and the conversions between them, for one sample and for a run.
#pragma once

#include <cstdint>

// The byte value of silence: 0x80 for 8-bit unsigned samples, 0 for 16-bit signed ones.
constexpr uint8_t SilenceByte(int bitsPerSample) {
    return bitsPerSample == 8 ? 0x80 : 0x00;
}

inline int16_t Sample8To16(uint8_t u) {
    return static_cast<int16_t>((u - 128) * 256);
}
inline uint8_t Sample16To8(int16_t s) {
    return static_cast<uint8_t>((s >> 8) + 128);
}
inline void WidenSamples(const uint8_t* in, int count, int16_t* out) {
    for (int i = 0; i < count; ++i)
        out[i] = Sample8To16(in[i]);
}
inline void NarrowSamples(const int16_t* in, int count, uint8_t* out) {
    for (int i = 0; i < count; ++i)
        out[i] = Sample16To8(in[i]);
}

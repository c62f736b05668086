// The format code: one byte choosing codec type, sample rate and sample width together. What each type
// is (its frame, its payloads, its coder) is in the codec table, audio/CodecRegistry.h.
//   bits 0-4  codec type (0 raw PCM, 1 delta code, 2 GSM, 3 iLBC 20 ms, 4 iLBC 30 ms, 5 G.711 mu-law, 6
//             LPC-10, 7 Opus; 8 to 31 no codec)
//   bits 5-6  rate: 0x00 8000 Hz, 0x20 11025 Hz, 0x40 22050 Hz, 0x60 44100 Hz; for Opus, which has no coder
//             at those rates, 0x00 48000 Hz, 0x20 16000 Hz, 0x40 24000 Hz, 0x60 12000 Hz
//   bit 7     set: 16-bit signed samples; clear: 8-bit unsigned
#pragma once

namespace format_code {

constexpr int kTypeMask = 0x1F;
constexpr int kRateMask = 0x60;
constexpr int k16Bit = 0x80;

constexpr int kRaw = 0;
constexpr int kDelta = 1;
constexpr int kGsm = 2;
constexpr int kIlbc20 = 3;
constexpr int kIlbc30 = 4;
constexpr int kG711 = 5;
constexpr int kLpc10 = 6;
// Opus is only ever sent in a session both sides agreed: never on the plain wire.
constexpr int kOpus = 7;

// "ilbc_11khz", the default.
constexpr int kDefault = 0xA4;

constexpr int Type(int code) {
    return code & kTypeMask;
}
constexpr int Width(int code) {
    return (code & k16Bit) != 0 ? 16 : 8;
}
constexpr int Rate(int code) {
    if (Type(code) == kOpus) {
        switch (code & kRateMask) {
            case 0x00:
                return 48000;
            case 0x20:
                return 16000;
            case 0x40:
                return 24000;
            default:
                return 12000;
        }
    }
    switch (code & kRateMask) {
        case 0x00:
            return 8000;
        case 0x20:
            return 11025;
        case 0x40:
            return 22050;
        default:
            return 44100;
    }
}

constexpr bool IsOpus(int code) {
    return Type(code) == kOpus;
}

}  // namespace format_code

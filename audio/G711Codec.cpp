// G.711 mu-law codec: the decode table, the decision thresholds the encode table is built from at compile
// time, and the four coding operations.
#include "audio/G711Codec.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "base/Exception.h"

namespace {

// Reconstruction values of codes 0x80 to 0xFF; code k below 0x80 decodes to minus the value of k + 0x80.
// clang-format off
constexpr std::array<int16_t, 128> kPositiveValues = {
    32256, 31228, 30200, 29172, 28143, 27115, 26087, 25059, 24031, 23002, 21974, 20946, 19918, 18889, 17861, 16833,
    16062, 15548, 15033, 14519, 14005, 13491, 12977, 12463, 11949, 11435, 10920, 10406, 9892,  9378,  8864,  8350,
    7964,  7707,  7450,  7193,  6936,  6679,  6422,  6165,  5908,  5651,  5394,  5137,  4880,  4623,  4365,  4108,
    3916,  3787,  3659,  3530,  3402,  3273,  3144,  3016,  2887,  2759,  2630,  2502,  2373,  2245,  2116,  1988,
    1891,  1827,  1763,  1698,  1634,  1570,  1506,  1441,  1377,  1313,  1249,  1184,  1120,  1056,  992,   927,
    879,   847,   815,   783,   751,   718,   686,   654,   622,   590,   558,   526,   494,   461,   429,   397,
    373,   357,   341,   325,   309,   293,   277,   261,   245,   228,   212,   196,   180,   164,   148,   132,
    120,   112,   104,   96,    88,    80,    72,    64,    56,    48,    40,    32,    24,    16,    8,     0,
};
// clang-format on

// Lowest sample value of each code for samples 0 to 32767, from code 0xFF downward.
// clang-format off
constexpr std::array<int32_t, 128> kPositiveThresholds = {
    0,     8,     16,    24,    32,    40,    48,    56,    64,    72,    80,    88,    96,    104,   112,   120,
    128,   144,   160,   176,   192,   208,   224,   240,   256,   272,   288,   304,   320,   336,   352,   368,
    384,   416,   448,   480,   512,   544,   576,   608,   640,   672,   704,   736,   768,   800,   832,   864,
    896,   960,   1024,  1088,  1152,  1216,  1280,  1344,  1408,  1472,  1536,  1600,  1664,  1736,  1800,  1864,
    1928,  2056,  2184,  2312,  2440,  2568,  2696,  2824,  2952,  3080,  3208,  3336,  3464,  3592,  3728,  3856,
    3984,  4240,  4496,  4752,  5008,  5264,  5520,  5784,  6040,  6296,  6552,  6808,  7064,  7320,  7584,  7840,
    8096,  8608,  9120,  9640,  10152, 10664, 11176, 11696, 12208, 12720, 13232, 13752, 14264, 14776, 15288, 15808,
    16320, 17352, 18376, 19408, 20432, 21464, 22488, 23520, 24544, 25576, 26600, 27632, 28656, 29688, 30712, 31744,
};
// clang-format on

// Lowest n = -1 - s of each code for samples -32768 to -1, from code 0x7E downward (0x7F is never produced).
// clang-format off
constexpr std::array<int32_t, 127> kNegativeThresholds = {
    0,     8,     16,    24,    32,    40,    48,    56,    64,    72,    80,    88,    96,    104,   112,   120,
    136,   152,   168,   184,   200,   216,   232,   256,   272,   288,   304,   320,   336,   352,   368,   384,
    416,   448,   480,   512,   544,   576,   608,   640,   672,   704,   736,   768,   800,   832,   864,   896,
    960,   1024,  1088,  1152,  1216,  1280,  1344,  1408,  1472,  1536,  1600,  1664,  1728,  1792,  1856,  1920,
    2048,  2176,  2312,  2440,  2568,  2696,  2824,  2952,  3080,  3208,  3336,  3464,  3592,  3720,  3848,  3976,
    4240,  4496,  4752,  5008,  5264,  5520,  5776,  6032,  6296,  6552,  6808,  7064,  7320,  7576,  7832,  8096,
    8608,  9120,  9632,  10152, 10664, 11176, 11688, 12208, 12720, 13232, 13744, 14264, 14776, 15288, 15808, 16320,
    17344, 18376, 19400, 20432, 21456, 22488, 23512, 24544, 25576, 26600, 27632, 28656, 29688, 30712, 31744,
};
// clang-format on

constexpr std::array<int16_t, 256> BuildDecodeTable() {
    std::array<int16_t, 256> table{};
    for (int k = 0; k < 128; ++k) {
        table[static_cast<size_t>(k + 0x80)] = kPositiveValues[static_cast<size_t>(k)];
        table[static_cast<size_t>(k)] = static_cast<int16_t>(-kPositiveValues[static_cast<size_t>(k)]);
    }
    return table;
}

// Fills `half` (4096 entries, one per 8 magnitudes m = 0, 8, 16, ...) from a threshold list whose entry j
// belongs to code `firstCode - j`. Every threshold is a multiple of 8, so one entry serves all 8 values.
template <size_t N>
constexpr void FillHalf(uint8_t* half, const std::array<int32_t, N>& thresholds, int firstCode) {
    size_t j = 0;
    for (int32_t i = 0; i < 4096; ++i) {
        const int32_t magnitude = i * 8;
        while (j + 1 < N && thresholds[j + 1] <= magnitude)
            ++j;
        half[i] = static_cast<uint8_t>(firstCode - static_cast<int>(j));
    }
}

// Indexed by the sample read as unsigned 16-bit, shifted right by 3: entries 0-4095 serve 0 to 32767 and
// entries 4096-8191 serve -32768 to -1.
constexpr std::array<uint8_t, 8192> BuildEncodeTable() {
    std::array<uint8_t, 8192> table{};
    FillHalf(table.data(), kPositiveThresholds, 0xFF);
    // Negative entry 8191 - i serves the samples whose n = -1 - s runs from 8 i to 8 i + 7, so the
    // negative half is filled by magnitude and then reversed.
    FillHalf(table.data() + 4096, kNegativeThresholds, 0x7E);
    std::reverse(table.begin() + 4096, table.end());
    return table;
}

constexpr std::array<int16_t, 256> kDecodeTable = BuildDecodeTable();
constexpr std::array<uint8_t, 8192> kEncodeTable = BuildEncodeTable();

static_assert(kEncodeTable[0] == 0xFF && kEncodeTable[4095] == 0x80, "positive half misplaced");
static_assert(kEncodeTable[8191] == 0x7E && kEncodeTable[4096] == 0x00, "negative half misplaced");

inline uint8_t Encode(int16_t sample) {
    return kEncodeTable[static_cast<uint16_t>(sample) >> 3];
}

}  // namespace

G711Codec::G711Codec()
    : encodeScratch_(kScratchSamples, kScratchGrowStep), decodeScratch_(kScratchSamples, kScratchGrowStep) {}

uint8_t G711Codec::EncodeSample(int16_t sample) {
    return Encode(sample);
}

int16_t G711Codec::DecodeSample(uint8_t code) {
    return kDecodeTable[code];
}

int G711Codec::Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < 0)
        count = 0;
    uint8_t* codes = PrepareCodecOutput(out, append, count);
    for (int i = 0; i < count; ++i)
        codes[i] = Encode(samples[i]);
    out.SetLength(out.Length() + count);
    return count;
}

int G711Codec::Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) {
    if (length < 0)
        length = 0;
    int16_t* samples = PrepareCodecOutput(out, append, length);
    for (int i = 0; i < length; ++i)
        samples[i] = kDecodeTable[payload[i]];
    out.SetLength(out.Length() + length);
    return length;
}

int G711Codec::Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < 0)
        count = 0;
    PrepareCodecOutput(out, append, count);
    // Pieces no larger than the scratch buffer's first size, so the scratch never has to grow.
    for (int done = 0; done < count;) {
        const int piece = std::min(count - done, kScratchSamples);
        encodeScratch_.SetLength(piece);
        int16_t* wide = encodeScratch_.Data();
        for (int i = 0; i < piece; ++i)
            wide[i] = Sample8To16(samples[done + i]);
        Encode16(wide, piece, out, true);
        done += piece;
    }
    return count;
}

int G711Codec::Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) {
    if (length < 0)
        length = 0;
    PrepareCodecOutput(out, append, length);
    for (int done = 0; done < length;) {
        const int piece = std::min(length - done, kScratchSamples);
        Decode16(payload + done, piece, decodeScratch_, false);
        const int16_t* wide = decodeScratch_.Data();
        uint8_t* narrow = out.Data() + out.Length();
        for (int i = 0; i < piece; ++i)
            narrow[i] = Sample16To8(wide[i]);
        out.SetLength(out.Length() + piece);
        done += piece;
    }
    return length;
}

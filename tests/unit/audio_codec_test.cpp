// The G.711 and delta codecs: their tables and bit patterns, the 8/16-bit forms, the append contract,
// the separation of the two directions, and decoding arbitrary payloads within bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "audio/DeltaCodec.h"
#include "audio/G711Codec.h"
#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

Bytes Contents(const ByteBuffer& buffer) {
    return Bytes(buffer.Data(), buffer.Data() + buffer.Length());
}
Samples Contents(const SampleBuffer& buffer) {
    return Samples(buffer.Data(), buffer.Data() + buffer.Length());
}

Bytes RandomBytes(std::mt19937& rng, int count) {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(static_cast<size_t>(count));
    for (auto& b : bytes)
        b = static_cast<uint8_t>(byte(rng));
    return bytes;
}

Samples RandomSamples(std::mt19937& rng, int count) {
    std::uniform_int_distribution<int> sample(-32768, 32767);
    Samples samples(static_cast<size_t>(count));
    for (auto& s : samples)
        s = static_cast<int16_t>(sample(rng));
    return samples;
}

// 8-bit audio that drifts like a waveform rather than jumping like noise.
Bytes RandomWalk(std::mt19937& rng, int count) {
    std::uniform_int_distribution<int> step(-6, 6);
    Bytes bytes(static_cast<size_t>(count));
    int level = 128;
    for (auto& b : bytes) {
        level = std::clamp(level + step(rng), 0, 255);
        b = static_cast<uint8_t>(level);
    }
    return bytes;
}

// Random bytes of which only about one in `every` is non-zero: long runs of zero bits.
Bytes SparseBytes(std::mt19937& rng, int count, int every) {
    std::uniform_int_distribution<int> pick(0, every - 1);
    std::uniform_int_distribution<int> byte(1, 255);
    Bytes bytes(static_cast<size_t>(count), 0);
    for (auto& b : bytes) {
        if (pick(rng) == 0)
            b = static_cast<uint8_t>(byte(rng));
    }
    return bytes;
}

// Packs bits least significant first, padding the last byte with zeros.
Bytes PackBits(const std::vector<int>& bits) {
    Bytes bytes((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] != 0)
            bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | (1u << (i % 8)));
    }
    return bytes;
}

// The codec's tables as published, kept here separately so that a slip in the codec's copy shows up.
// clang-format off
constexpr std::array<int, 128> kValues = {
    32256, 31228, 30200, 29172, 28143, 27115, 26087, 25059, 24031, 23002, 21974, 20946, 19918, 18889, 17861, 16833,
    16062, 15548, 15033, 14519, 14005, 13491, 12977, 12463, 11949, 11435, 10920, 10406, 9892,  9378,  8864,  8350,
    7964,  7707,  7450,  7193,  6936,  6679,  6422,  6165,  5908,  5651,  5394,  5137,  4880,  4623,  4365,  4108,
    3916,  3787,  3659,  3530,  3402,  3273,  3144,  3016,  2887,  2759,  2630,  2502,  2373,  2245,  2116,  1988,
    1891,  1827,  1763,  1698,  1634,  1570,  1506,  1441,  1377,  1313,  1249,  1184,  1120,  1056,  992,   927,
    879,   847,   815,   783,   751,   718,   686,   654,   622,   590,   558,   526,   494,   461,   429,   397,
    373,   357,   341,   325,   309,   293,   277,   261,   245,   228,   212,   196,   180,   164,   148,   132,
    120,   112,   104,   96,    88,    80,    72,    64,    56,    48,    40,    32,    24,    16,    8,     0,
};
constexpr std::array<int, 128> kPositiveFrom = {
    0,     8,     16,    24,    32,    40,    48,    56,    64,    72,    80,    88,    96,    104,   112,   120,
    128,   144,   160,   176,   192,   208,   224,   240,   256,   272,   288,   304,   320,   336,   352,   368,
    384,   416,   448,   480,   512,   544,   576,   608,   640,   672,   704,   736,   768,   800,   832,   864,
    896,   960,   1024,  1088,  1152,  1216,  1280,  1344,  1408,  1472,  1536,  1600,  1664,  1736,  1800,  1864,
    1928,  2056,  2184,  2312,  2440,  2568,  2696,  2824,  2952,  3080,  3208,  3336,  3464,  3592,  3728,  3856,
    3984,  4240,  4496,  4752,  5008,  5264,  5520,  5784,  6040,  6296,  6552,  6808,  7064,  7320,  7584,  7840,
    8096,  8608,  9120,  9640,  10152, 10664, 11176, 11696, 12208, 12720, 13232, 13752, 14264, 14776, 15288, 15808,
    16320, 17352, 18376, 19408, 20432, 21464, 22488, 23520, 24544, 25576, 26600, 27632, 28656, 29688, 30712, 31744,
};
constexpr std::array<int, 127> kNegativeFrom = {
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

// The code whose range holds `s`: the last listed lower bound not above s (or not above n = -1 - s when s is
// negative).
int ExpectedCode(int s) {
    if (s >= 0) {
        const auto from = std::upper_bound(kPositiveFrom.begin(), kPositiveFrom.end(), s) - 1;
        return 0xFF - static_cast<int>(from - kPositiveFrom.begin());
    }
    const auto from = std::upper_bound(kNegativeFrom.begin(), kNegativeFrom.end(), -1 - s) - 1;
    return 0x7E - static_cast<int>(from - kNegativeFrom.begin());
}

int ExpectedValue(int code) {
    return code >= 0x80 ? kValues[static_cast<size_t>(code - 0x80)] : -kValues[static_cast<size_t>(code)];
}

Bytes Encode16(SoundCodec& codec, const Samples& in) {
    ByteBuffer out;
    const int written = codec.Encode16(in.data(), static_cast<int>(in.size()), out, false);
    EXPECT_EQ(written, out.Length());
    return Contents(out);
}

Samples Decode16(SoundCodec& codec, const Bytes& in) {
    SampleBuffer out;
    const int produced = codec.Decode16(in.data(), static_cast<int>(in.size()), out, false);
    EXPECT_EQ(produced, out.Length());
    return Contents(out);
}

Bytes Encode8(SoundCodec& codec, const Bytes& in) {
    ByteBuffer out;
    const int written = codec.Encode8(in.data(), static_cast<int>(in.size()), out, false);
    EXPECT_EQ(written, out.Length());
    return Contents(out);
}

Bytes Decode8(SoundCodec& codec, const Bytes& in) {
    ByteBuffer out;
    const int produced = codec.Decode8(in.data(), static_cast<int>(in.size()), out, false);
    EXPECT_EQ(produced, out.Length());
    return Contents(out);
}

Samples Widen(const Bytes& in) {
    Samples out;
    for (uint8_t u : in)
        out.push_back(Sample8To16(u));
    return out;
}

Bytes Narrow(const Samples& in) {
    Bytes out;
    for (int16_t s : in)
        out.push_back(Sample16To8(s));
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// What both codecs promise through the SoundCodec interface.

template <typename Codec>
class SoundCodecContractTest : public ::testing::Test {
protected:
    Codec codec_;
    std::mt19937 rng_{7};
};

using Codecs = ::testing::Types<G711Codec, DeltaCodec>;
TYPED_TEST_SUITE(SoundCodecContractTest, Codecs);

TYPED_TEST(SoundCodecContractTest, EmptyAndNegativeLengthsProduceNothing) {
    const uint8_t marker[] = {1, 2, 3};
    const int16_t wideMarker[] = {-1, -2, -3};
    for (int length : {0, -1, -1000}) {
        ByteBuffer bytes;
        SampleBuffer samples;
        bytes.Write(marker, 3, false);
        EXPECT_EQ(this->codec_.Encode8(nullptr, length, bytes, false), 0);
        EXPECT_EQ(bytes.Length(), 0);
        bytes.Write(marker, 3, false);
        EXPECT_EQ(this->codec_.Decode8(nullptr, length, bytes, false), 0);
        EXPECT_EQ(bytes.Length(), 0);
        bytes.Write(marker, 3, false);
        EXPECT_EQ(this->codec_.Encode16(nullptr, length, bytes, false), 0);
        EXPECT_EQ(bytes.Length(), 0);
        samples.Write(wideMarker, 3, false);
        EXPECT_EQ(this->codec_.Decode16(nullptr, length, samples, false), 0);
        EXPECT_EQ(samples.Length(), 0);

        // Appending nothing leaves what was there.
        bytes.Write(marker, 3, false);
        EXPECT_EQ(this->codec_.Encode8(nullptr, length, bytes, true), 0);
        EXPECT_EQ(this->codec_.Decode8(nullptr, length, bytes, true), 0);
        EXPECT_EQ(this->codec_.Encode16(nullptr, length, bytes, true), 0);
        EXPECT_EQ(Contents(bytes), (Bytes{1, 2, 3}));
        samples.Write(wideMarker, 3, false);
        EXPECT_EQ(this->codec_.Decode16(nullptr, length, samples, true), 0);
        EXPECT_EQ(Contents(samples), (Samples{-1, -2, -3}));
    }
}

TYPED_TEST(SoundCodecContractTest, AppendAddsAfterTheOutputAndOtherwiseReplacesIt) {
    const Bytes narrow = RandomWalk(this->rng_, 1500);
    const Samples wide = Widen(narrow);
    const Bytes payload = Encode8(this->codec_, narrow);
    const Bytes prefix = RandomBytes(this->rng_, 37);
    const Samples widePrefix = RandomSamples(this->rng_, 37);

    // Each operation against its output on a fresh buffer.
    const Bytes encoded8 = Encode8(this->codec_, narrow);
    const Bytes encoded16 = Encode16(this->codec_, wide);
    const Bytes decoded8 = Decode8(this->codec_, payload);
    const Samples decoded16 = Decode16(this->codec_, payload);

    auto checkBytes = [&](auto operation, const Bytes& expected) {
        ByteBuffer out;
        out.Write(prefix.data(), static_cast<int>(prefix.size()), false);
        EXPECT_EQ(operation(out, true), static_cast<int>(expected.size()));
        Bytes joined = prefix;
        joined.insert(joined.end(), expected.begin(), expected.end());
        EXPECT_EQ(Contents(out), joined);
        EXPECT_EQ(operation(out, false), static_cast<int>(expected.size()));
        EXPECT_EQ(Contents(out), expected);
    };
    checkBytes(
        [&](ByteBuffer& out, bool append) { return this->codec_.Encode8(narrow.data(), 1500, out, append); },
        encoded8);
    checkBytes(
        [&](ByteBuffer& out, bool append) { return this->codec_.Encode16(wide.data(), 1500, out, append); },
        encoded16);
    checkBytes(
        [&](ByteBuffer& out, bool append) {
            return this->codec_.Decode8(payload.data(), static_cast<int>(payload.size()), out, append);
        },
        decoded8);

    SampleBuffer out;
    out.Write(widePrefix.data(), static_cast<int>(widePrefix.size()), false);
    EXPECT_EQ(this->codec_.Decode16(payload.data(), static_cast<int>(payload.size()), out, true),
              static_cast<int>(decoded16.size()));
    Samples joined = widePrefix;
    joined.insert(joined.end(), decoded16.begin(), decoded16.end());
    EXPECT_EQ(Contents(out), joined);
    EXPECT_EQ(this->codec_.Decode16(payload.data(), static_cast<int>(payload.size()), out, false),
              static_cast<int>(decoded16.size()));
    EXPECT_EQ(Contents(out), decoded16);
}

// The recorder thread encodes while the link's worker decodes on the same object; shared scratch space
// would corrupt one side's output.
TYPED_TEST(SoundCodecContractTest, EncodingAndDecodingOnTwoThreadsDoNotDisturbEachOther) {
    const Bytes narrow = RandomWalk(this->rng_, 2500);
    const Samples wide = RandomSamples(this->rng_, 2500);
    const Bytes payload = Encode8(this->codec_, RandomWalk(this->rng_, 2300));
    const Bytes encoded8 = Encode8(this->codec_, narrow);
    const Bytes encoded16 = Encode16(this->codec_, wide);
    const Bytes decoded8 = Decode8(this->codec_, payload);
    const Samples decoded16 = Decode16(this->codec_, payload);

    std::atomic<int> encodeMismatches{0};
    std::atomic<int> decodeMismatches{0};
    constexpr int kRounds = 200;
    std::thread encoder([&] {
        ByteBuffer out;
        for (int i = 0; i < kRounds; ++i) {
            this->codec_.Encode8(narrow.data(), 2500, out, false);
            if (Contents(out) != encoded8)
                ++encodeMismatches;
            this->codec_.Encode16(wide.data(), 2500, out, false);
            if (Contents(out) != encoded16)
                ++encodeMismatches;
        }
    });
    std::thread decoder([&] {
        ByteBuffer bytes;
        SampleBuffer samples;
        for (int i = 0; i < kRounds; ++i) {
            this->codec_.Decode8(payload.data(), static_cast<int>(payload.size()), bytes, false);
            if (Contents(bytes) != decoded8)
                ++decodeMismatches;
            this->codec_.Decode16(payload.data(), static_cast<int>(payload.size()), samples, false);
            if (Contents(samples) != decoded16)
                ++decodeMismatches;
        }
    });
    encoder.join();
    decoder.join();
    EXPECT_EQ(encodeMismatches.load(), 0);
    EXPECT_EQ(decodeMismatches.load(), 0);
}

// ---------------------------------------------------------------------------------------------------------
// G.711

TEST(G711CodecTest, EncodesTheBoundarySamples) {
    G711Codec codec;
    const Samples in = {0, 7, 8, 15, 32767, 31744, 31743, -1, -8, -9, -16, -32768};
    EXPECT_EQ(Encode16(codec, in),
              (Bytes{0xFF, 0xFF, 0xFE, 0xFE, 0x80, 0x80, 0x81, 0x7E, 0x7E, 0x7D, 0x7D, 0x00}));
}

TEST(G711CodecTest, DecodesTheBoundaryCodes) {
    G711Codec codec;
    EXPECT_EQ(Decode16(codec, {0xFF, 0x7F, 0x80, 0x00, 0xEF, 0x6F}),
              (Samples{0, 0, 32256, -32256, 132, -132}));
}

TEST(G711CodecTest, PlusAndMinusOneThousandComeBackAsNineHundredNinetyTwo) {
    G711Codec codec;
    const Bytes codes = Encode16(codec, {1000, -1000});
    EXPECT_EQ(codes, (Bytes{0xCE, 0x4E}));
    EXPECT_EQ(Decode16(codec, codes), (Samples{992, -992}));
}

TEST(G711CodecTest, EverySixteenBitSampleGetsTheCodeOfItsThresholdRange) {
    G711Codec codec;
    Samples all;
    for (int s = -32768; s <= 32767; ++s)
        all.push_back(static_cast<int16_t>(s));
    const Bytes codes = Encode16(codec, all);
    ASSERT_EQ(codes.size(), all.size());
    int wrong = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (codes[i] != ExpectedCode(all[i]) && ++wrong <= 10) {
            ADD_FAILURE() << "sample " << all[i] << " gave 0x" << std::hex << int{codes[i]} << ", expected 0x"
                          << ExpectedCode(all[i]);
        }
        if (G711Codec::EncodeSample(all[i]) != codes[i])
            ++wrong;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x7F), 0);
}

TEST(G711CodecTest, EveryCodeDecodesToItsListedValue) {
    G711Codec codec;
    Bytes codes;
    for (int k = 0; k < 256; ++k)
        codes.push_back(static_cast<uint8_t>(k));
    const Samples values = Decode16(codec, codes);
    ASSERT_EQ(values.size(), 256u);
    for (int k = 0; k < 256; ++k) {
        EXPECT_EQ(values[static_cast<size_t>(k)], ExpectedValue(k)) << "code " << k;
        EXPECT_EQ(G711Codec::DecodeSample(static_cast<uint8_t>(k)), ExpectedValue(k)) << "code " << k;
    }
}

// A reconstruction value outside its own decision range would drift on every re-encoding.
TEST(G711CodecTest, EveryDecodedValueEncodesBackToItsCode) {
    for (int k = 0; k < 256; ++k) {
        if (k == 0x7F)
            continue;  // the second zero, which encodes as 0xFF
        const uint8_t code = static_cast<uint8_t>(k);
        EXPECT_EQ(G711Codec::EncodeSample(G711Codec::DecodeSample(code)), code) << "code " << k;
    }
    EXPECT_EQ(G711Codec::EncodeSample(G711Codec::DecodeSample(0x7F)), 0xFF);
}

TEST(G711CodecTest, Decode16GivesOneSamplePerPayloadByteForAnyLength) {
    G711Codec codec;
    std::mt19937 rng(11);
    for (int length : {1, 2, 799, 800, 801, 1000, 1001, 4096, 65507}) {
        const Bytes payload = RandomBytes(rng, length);
        const Samples out = Decode16(codec, payload);
        ASSERT_EQ(out.size(), payload.size());
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], ExpectedValue(payload[i]));
    }
}

// The 8-bit forms go through a scratch buffer of 1000 samples; longer input must neither overrun it nor be
// cut short.
TEST(G711CodecTest, EightBitFormsMatchTheSixteenBitFormsAtEveryLength) {
    G711Codec codec;
    std::mt19937 rng(5);
    for (int length : {1, 999, 1000, 1001, 1100, 1101, 2500, 10000}) {
        const Bytes narrow = RandomBytes(rng, length);
        const Bytes codes = Encode8(codec, narrow);
        ASSERT_EQ(codes.size(), narrow.size());
        EXPECT_EQ(codes, Encode16(codec, Widen(narrow))) << "length " << length;

        const Bytes payload = RandomBytes(rng, length);
        const Bytes decoded = Decode8(codec, payload);
        ASSERT_EQ(decoded.size(), payload.size());
        EXPECT_EQ(decoded, Narrow(Decode16(codec, payload))) << "length " << length;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Delta code

TEST(DeltaCodecTest, EncodesTheWorkedBitPatterns) {
    DeltaCodec codec;
    EXPECT_EQ(Encode8(codec, {128, 130, 129}), (Bytes{0xC9}));
    EXPECT_EQ(Encode8(codec, {128, 128, 131, 127}), (Bytes{0x23, 0x18}));
}

TEST(DeltaCodecTest, DecodesTheWorkedPayloadsAndStopsAtThePadding) {
    DeltaCodec codec;
    EXPECT_EQ(Decode8(codec, {0xC9}), (Bytes{128, 130, 129}));
    EXPECT_EQ(Decode8(codec, {0x23, 0x18}), (Bytes{128, 128, 131, 127}));
}

TEST(DeltaCodecTest, TheFirstSampleIsCodedAgainst128AtEveryCall) {
    DeltaCodec codec;
    EXPECT_EQ(Encode8(codec, {200}), Encode8(codec, {200}));
    EXPECT_EQ(Decode8(codec, {0x01}), (Bytes{128}));
    EXPECT_EQ(Decode8(codec, {0x01}), (Bytes{128}));
}

TEST(DeltaCodecTest, RandomAudioRoundTripsLosslessly) {
    DeltaCodec codec;
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 rng(seed);
        std::vector<int> lengths = {0, 1, 2, 7, 8, 9, 799, 800, 801, 1000, 1001, 2000};
        for (int i = 0; i < 8; ++i)
            lengths.push_back(std::uniform_int_distribution<int>(0, 2000)(rng));
        for (int length : lengths) {
            for (const Bytes& audio : {RandomWalk(rng, length), RandomBytes(rng, length)}) {
                const Bytes payload = Encode8(codec, audio);
                ASSERT_EQ(Decode8(codec, payload), audio) << "seed " << seed << ", length " << length;
            }
        }
    }
}

// 128 to 0 takes 130 bits and each full-scale swing 257, the longest a sample can take.
TEST(DeltaCodecTest, FullScaleSwingsTakeTheLongestCodes) {
    DeltaCodec codec;
    Bytes swings;
    for (int i = 0; i < 100; ++i)
        swings.push_back(i % 2 == 0 ? 0 : 255);
    const Bytes payload = Encode8(codec, swings);
    EXPECT_EQ(payload.size(), static_cast<size_t>((130 + 99 * 257 + 7) / 8));
    EXPECT_EQ(Decode8(codec, payload), swings);
}

TEST(DeltaCodecTest, SixteenBitFormsCodeTheTopByteOfEachSample) {
    DeltaCodec codec;
    std::mt19937 rng(3);
    for (int length : {1, 800, 1000, 1101, 2000}) {
        const Samples wide = RandomSamples(rng, length);
        const Bytes payload = Encode16(codec, wide);
        EXPECT_EQ(payload, Encode8(codec, Narrow(wide)));
        EXPECT_EQ(Decode16(codec, payload), Widen(Narrow(wide)));
    }
}

TEST(DeltaCodecTest, GarbagePayloadsDecodeToAtMostOneSamplePerBit) {
    DeltaCodec codec;
    std::mt19937 rng(17);
    for (int length = 0; length <= 300; ++length) {
        for (const Bytes& payload : {RandomBytes(rng, length), SparseBytes(rng, length, 4)}) {
            const Bytes narrow = Decode8(codec, payload);
            ASSERT_LE(narrow.size(), 8 * payload.size());
            ASSERT_EQ(Decode16(codec, payload), Widen(narrow));
        }
    }
    // Datagram-sized garbage; the sparse kind asks for distances far beyond one byte.
    for (int length : {1000, 4096, 65507}) {
        for (const Bytes& payload : {RandomBytes(rng, length), SparseBytes(rng, length, 50)}) {
            const Bytes narrow = Decode8(codec, payload);
            ASSERT_LE(narrow.size(), 8 * payload.size());
            ASSERT_EQ(Decode16(codec, payload), Widen(narrow));
        }
    }
}

TEST(DeltaCodecTest, APayloadOfOneBitsYieldsTheMostSamples) {
    DeltaCodec codec;
    const Bytes payload(1000, 0xFF);
    EXPECT_EQ(Decode8(codec, payload), Bytes(8000, 128));
    EXPECT_EQ(Decode16(codec, payload), Samples(8000, 0));
}

TEST(DeltaCodecTest, PayloadsWithoutACompleteCodeYieldNothingMore) {
    DeltaCodec codec;
    EXPECT_TRUE(Decode8(codec, Bytes(100, 0)).empty());
    // Seven zeros and a 1 bit in the last position: the sign bit is missing.
    EXPECT_TRUE(Decode8(codec, {0x80}).empty());
    // One repeat, then six zeros and a 1 bit with no sign bit after it.
    EXPECT_EQ(Decode8(codec, {0x81}), (Bytes{128}));
}

TEST(DeltaCodecTest, DistancesBeyondOneByteWrapThePredictorToEightBits) {
    DeltaCodec codec;
    std::vector<int> up(300, 0);
    up.insert(up.end(), {1, 0});
    EXPECT_EQ(Decode8(codec, PackBits(up)), (Bytes{(128 + 300) & 0xFF}));
    std::vector<int> down(300, 0);
    down.insert(down.end(), {1, 1, 1});
    EXPECT_EQ(Decode8(codec, PackBits(down)), (Bytes{(128 - 300) & 0xFF, (128 - 300) & 0xFF}));
}

// The iLBC coder against the conformance vectors of the RFC 3951 distribution: decoding the distributed
// bit streams (clean and with 5 % loss), encoding the distributed input, and decoding our own stream.
// The vectors are not part of the repository: they are read from $QPARLIN_ILBC_VECTORS, or from the
// shared folder beside the source tree, and the tests skip when neither has them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "IlbcVectors.h"
#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcMode.h"

namespace {

using ilbc::Mode;
using namespace ilbc_test;

struct Comparison {
    size_t samples = 0;
    size_t differing = 0;
    size_t beyond = 0;  // differing by more than the tolerance
    int worst = 0;
    double snr = 0.0;
};

Comparison Compare(const std::vector<int16_t>& ours, const std::vector<int16_t>& reference, int tolerance) {
    Comparison c;
    c.samples = std::min(ours.size(), reference.size());
    double signal = 0.0;
    double noise = 0.0;
    for (size_t i = 0; i < c.samples; ++i) {
        const int diff = std::abs(ours[i] - reference[i]);
        c.differing += diff != 0;
        c.beyond += diff > tolerance;
        c.worst = std::max(c.worst, diff);
        signal += static_cast<double>(reference[i]) * reference[i];
        noise += static_cast<double>(diff) * diff;
    }
    c.snr = noise == 0.0 ? 200.0 : 10.0 * std::log10(signal / noise);
    return c;
}

class IlbcConformance : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        if (!HaveVectors())
            GTEST_SKIP() << MissingVectorsMessage();
        dir_ = VectorDir();
    }

    std::filesystem::path File(const std::string& name) const { return dir_ / name; }

    std::vector<int16_t> Output(Mode mode, const std::string& channel) const {
        return ReadSamples(File(std::string("iLBC_") + ModeName(mode) + "_" + channel + ".OUT"));
    }

    // Decodes a stream as the RFC's test program does: frame n is received when the channel file's
    // value n is 1 and lost when it is 0.
    static std::vector<int16_t> Decode(Mode mode, const std::vector<uint8_t>& bits,
                                       const std::vector<int16_t>& channel) {
        ilbc::Decoder decoder(mode, true);
        const auto frameBytes = static_cast<size_t>(decoder.FrameBytes());
        const auto block = static_cast<size_t>(decoder.BlockSamples());
        const size_t frames = bits.size() / frameBytes;
        std::vector<int16_t> out(frames * block);
        for (size_t f = 0; f < frames && f < channel.size(); ++f) {
            if (channel[f] == 1)
                decoder.Decode(bits.data() + f * frameBytes, out.data() + f * block);
            else
                decoder.DecodeLost(out.data() + f * block);
        }
        return out;
    }

    std::vector<uint8_t> Encode(Mode mode) const { return EncodeAll(mode, ReadSamples(File("iLBC.INP"))); }

    std::filesystem::path dir_;
};

void Report(const std::string& what, const Comparison& c) {
    std::cout << "[ figures  ] " << what << ": " << c.samples - c.beyond << "/" << c.samples
              << " samples within tolerance, " << c.differing << " differ, worst " << c.worst << ", SNR "
              << c.snr << " dB\n";
}

TEST_P(IlbcConformance, DecodesCleanChannelWithinFourOfReference) {
    const Mode mode = GetParam();
    const auto ours = Decode(mode, VectorBits(mode), ReadSamples(File("clean.chn")));
    const auto reference = Output(mode, "clean");
    ASSERT_EQ(ours.size(), reference.size());
    const Comparison c = Compare(ours, reference, 4);
    Report(std::string("decode ") + ModeName(mode) + " clean", c);
    EXPECT_EQ(c.beyond, 0u);
    EXPECT_GE(c.snr, 60.0);
}

TEST_P(IlbcConformance, DecodesLossyChannelWithinFourOfReference) {
    const Mode mode = GetParam();
    const auto ours = Decode(mode, VectorBits(mode), ReadSamples(File("tlm05.chn")));
    const auto reference = Output(mode, "tlm05");
    ASSERT_EQ(ours.size(), reference.size());
    const Comparison c = Compare(ours, reference, 4);
    Report(std::string("decode ") + ModeName(mode) + " tlm05", c);
    EXPECT_EQ(c.beyond, 0u);
    EXPECT_GE(c.snr, 60.0);
}

TEST_P(IlbcConformance, EncodesNearlyEveryFrameAsTheReference) {
    const Mode mode = GetParam();
    const auto ours = Encode(mode);
    const auto reference = VectorBits(mode);
    ASSERT_EQ(ours.size(), reference.size());
    const auto frameBytes = static_cast<size_t>(ilbc::Params(mode).frameBytes);
    const size_t frames = reference.size() / frameBytes;
    size_t same = 0;
    std::string differing;
    for (size_t f = 0; f < frames; ++f) {
        if (std::equal(ours.begin() + static_cast<std::ptrdiff_t>(f * frameBytes),
                       ours.begin() + static_cast<std::ptrdiff_t>((f + 1) * frameBytes),
                       reference.begin() + static_cast<std::ptrdiff_t>(f * frameBytes)))
            ++same;
        else
            differing += " " + std::to_string(f);
    }
    std::cout << "[ figures  ] encode " << ModeName(mode) << ": " << same << "/" << frames
              << " frames identical (" << 100.0 * static_cast<double>(same) / static_cast<double>(frames)
              << " %); differing:" << differing << "\n";
    EXPECT_GE(static_cast<double>(same), 0.95 * static_cast<double>(frames));
}

TEST_P(IlbcConformance, DecodingOurOwnStreamMatchesReferenceOutput) {
    const Mode mode = GetParam();
    const auto ours = Decode(mode, Encode(mode), ReadSamples(File("clean.chn")));
    const auto reference = Output(mode, "clean");
    ASSERT_EQ(ours.size(), reference.size());
    const Comparison c = Compare(ours, reference, 3);
    Report(std::string("own stream ") + ModeName(mode) + " clean", c);
    EXPECT_GE(c.snr, 30.0);
    // Where the two streams agree the output must agree closely too: most 20 ms blocks stay within 3.
    size_t blocks = 0;
    size_t close = 0;
    for (size_t b = 0; b + 160 <= ours.size(); b += 160) {
        ++blocks;
        bool within = true;
        for (size_t i = b; i < b + 160; ++i)
            within = within && std::abs(ours[i] - reference[i]) <= 3;
        close += within;
    }
    EXPECT_GE(static_cast<double>(close), 0.9 * static_cast<double>(blocks));
}

INSTANTIATE_TEST_SUITE_P(BothModes, IlbcConformance, ::testing::Values(Mode::k20ms, Mode::k30ms),
                         [](const ::testing::TestParamInfo<Mode>& param) {
                             return std::string(ModeName(param.param));
                         });

}  // namespace

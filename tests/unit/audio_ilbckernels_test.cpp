// The iLBC coder's faster kernels against the plain arithmetic they replace: every result must be the
// same float, because the coder's decisions (and so its bit stream) depend on exact values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "IlbcVectors.h"
#include "audio/ilbc/IlbcCodebook.h"
#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcEncoder.h"
#include "audio/ilbc/IlbcTables.h"

namespace {

using ilbc::Mode;

std::vector<float> Noise(size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1000.0f, 1000.0f);
    std::vector<float> v(count);
    for (float& x : v)
        x = d(rng);
    return v;
}

// A stable weighting filter: a speech-like polynomial, bandwidth-expanded.
void Weight(float chirp, float* a) {
    const float lsf[ilbc::kOrder] = {0.3f, 0.5f, 0.9f, 1.2f, 1.5f, 1.8f, 2.1f, 2.4f, 2.7f, 2.9f};
    float poly[ilbc::kLpc];
    ilbc::LsfToPoly(lsf, poly);
    ilbc::BandwidthExpand(poly, a, chirp);
}

TEST(IlbcKernels, LaggedCorrelationsEqualInOrderSumsAcrossBlockEdges) {
    const std::vector<float> x = Noise(400, 1);
    const std::vector<float> t = Noise(80, 2);
    for (int len : {40, 80}) {
        for (int lags : {1, 3, 4, 5, 15, 16, 17, 31, 32, 33, 48, 49, 100, 128}) {
            const int lo = 10;
            const int hi = lo + lags - 1;
            std::vector<float> corr(lags), energy(lags);
            ilbc::LaggedCorrelations(t.data(), x.data() + 200, len, lo, hi, corr.data(), energy.data());
            for (int lag = lo; lag <= hi; ++lag) {
                float c = 0.0f, e = 0.0f;
                for (int i = 0; i < len; ++i) {
                    c += t[i] * x[200 + i - lag];
                    e += x[200 + i - lag] * x[200 + i - lag];
                }
                ASSERT_EQ(corr[lag - lo], c) << "len " << len << " lags " << lags << " lag " << lag;
                ASSERT_EQ(energy[lag - lo], e) << "len " << len << " lags " << lags << " lag " << lag;
            }
        }
    }
}

TEST(IlbcKernels, TwoAllPoleFiltersSideBySideEqualEachAlone) {
    float a[ilbc::kLpc], b[ilbc::kLpc];
    Weight(0.9f, a);
    Weight(0.5f, b);
    for (auto [len, ulen] : {std::pair{0, 0}, {1, 0}, {0, 7}, {107, 187}, {187, 107}, {40, 40}}) {
        std::vector<float> x = Noise(10 + len, 3), u = Noise(10 + ulen, 4);
        std::vector<float> x2 = x, u2 = u;
        ilbc::AllPoleTwo(x.data() + 10, len, a, u.data() + 10, ulen, b);
        ilbc::AllPole(x2.data() + 10, len, a);
        ilbc::AllPole(u2.data() + 10, ulen, b);
        EXPECT_EQ(x, x2) << len << " and " << ulen;
        EXPECT_EQ(u, u2) << len << " and " << ulen;
    }
}

// Sub-frame searches that begin each other's weighted memory choose what searches on their own choose,
// also when the shared part starts with zeros or is nothing but zeros.
TEST(IlbcKernels, ChainedSubframeSearchesChooseAsSearchesAlone) {
    float weights[4][ilbc::kLpc];
    for (int j = 0; j < 4; ++j)
        Weight(0.4f + 0.1f * static_cast<float>(j), weights[j]);
    for (bool silentStart : {false, true}) {
        std::vector<float> start = Noise(2 * ilbc::kSubL, 5);
        if (silentStart)
            start.assign(start.size(), 0.0f);
        float alone[ilbc::kCbMem], chained[ilbc::kCbMem];
        ilbc::ForwardMemory(alone, start.data());
        ilbc::ForwardMemory(chained, start.data());
        ilbc::WeightedAhead ahead;
        for (int k = 0; k < 4; ++k) {
            const std::vector<float> target = Noise(ilbc::kSubL, 10 + static_cast<unsigned>(k));
            ilbc::CbIndices a, c;
            ilbc::CodebookSearch(target.data(), ilbc::kSubL, alone, ilbc::kCbMem, weights[k], k + 1, a);
            ilbc::CodebookSearch(target.data(), ilbc::kSubL, chained, ilbc::kCbMem, weights[k], k + 1, c,
                                 &ahead, k < 3 ? weights[k + 1] : nullptr);
            for (int s = 0; s < 3; ++s) {
                EXPECT_EQ(a.cb[s], c.cb[s]) << "search " << k << " stage " << s;
                EXPECT_EQ(a.gain[s], c.gain[s]) << "search " << k << " stage " << s;
            }
            float coded[ilbc::kSubL];
            ilbc::CodebookDecode(a, alone, ilbc::kCbMem, ilbc::kSubL, coded);
            ilbc::PushSubframe(alone, coded);
            ilbc::PushSubframe(chained, coded);
        }
    }
}

// After a click, silence drives the input filter down to subnormal numbers, where it would circle for
// good; cleared, it gives exact zeros. A state that still holds a normal number is left alone.
TEST(IlbcKernels, InputHighPassSettlesToZeroInSilenceAndOnlyThen) {
    ilbc::HighPass settled, plain;
    float x[240] = {}, y[240] = {};
    x[5] = y[5] = 3000.0f;
    for (int frame = 0; frame < 40; ++frame) {
        settled.Run(x, 240, ilbc::tbl::hpi_zero_coefsTbl, ilbc::tbl::hpi_pole_coefsTbl);
        plain.Run(y, 240, ilbc::tbl::hpi_zero_coefsTbl, ilbc::tbl::hpi_pole_coefsTbl);
        const bool normal = std::fabs(y[238]) >= 1.17549435e-38f || std::fabs(y[239]) >= 1.17549435e-38f;
        settled.SettleSubnormal();
        if (normal) {
            // Nothing was cleared yet: both filters gave the same samples.
            for (int i = 0; i < 240; ++i)
                ASSERT_EQ(x[i], y[i]) << "frame " << frame;
        }
        std::fill(std::begin(x), std::end(x), 0.0f);
        std::fill(std::begin(y), std::end(y), 0.0f);
    }
    settled.Run(x, 240, ilbc::tbl::hpi_zero_coefsTbl, ilbc::tbl::hpi_pole_coefsTbl);
    plain.Run(y, 240, ilbc::tbl::hpi_zero_coefsTbl, ilbc::tbl::hpi_pole_coefsTbl);
    for (int i = 0; i < 240; ++i)
        ASSERT_EQ(x[i], 0.0f) << i;
    EXPECT_NE(y[239], 0.0f);  // the filter left alone still circles
}

uint64_t Fnv(const void* data, size_t size, uint64_t h = 1469598103934665603ull) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        h = (h ^ bytes[i]) * 1099511628211ull;
    return h;
}

// Speech, digital silence (which leaves the input filter with subnormal numbers, and then the encoder in a
// state that silence keeps), quiet speech, long silence with one sample of 1 in it.
std::vector<int16_t> SpeechAndSilence() {
    std::vector<int16_t> in = ilbc_test::SpeechLike(8000, 7);
    in.resize(12000, 0);
    for (int16_t v : ilbc_test::SpeechLike(2400, 8))
        in.push_back(static_cast<int16_t>(v / 100));
    in.resize(24000, 0);
    in[24000 - 2000] = 1;  // one step off the silent state
    in.resize(28800, 0);
    return in;
}

// The digests were taken before the kernels were made faster; a change means that the coder's arithmetic
// changed, which must be on purpose.
TEST(IlbcKernels, BitStreamAndDecodedSoundStayAsBefore) {
    const std::vector<int16_t> in = SpeechAndSilence();
    for (auto [mode, bitsDigest, soundDigest] :
         {std::tuple{Mode::k20ms, 0x85f9361631bcb46eull, 0xee9ae1529ca86632ull},
          std::tuple{Mode::k30ms, 0x38bef270baffca1full, 0x6ad226e54bc6a637ull}}) {
        const std::vector<uint8_t> bits = ilbc_test::EncodeAll(mode, in);
        ilbc::Decoder decoder(mode, true);
        const auto frameBytes = static_cast<size_t>(decoder.FrameBytes());
        std::vector<int16_t> out(static_cast<size_t>(decoder.BlockSamples()));
        uint64_t sound = Fnv(nullptr, 0);
        for (size_t f = 0; f < bits.size() / frameBytes; ++f) {
            decoder.Decode(bits.data() + f * frameBytes, out.data());
            sound = Fnv(out.data(), out.size() * sizeof(int16_t), sound);
        }
        EXPECT_EQ(Fnv(bits.data(), bits.size()), bitsDigest) << ilbc_test::ModeName(mode);
        EXPECT_EQ(sound, soundDigest) << ilbc_test::ModeName(mode);
    }
}

}  // namespace

// The iLBC coder against an independent implementation: ffmpeg's native iLBC decoder (which has no
// enhancer). Our storage files must decode in ffmpeg like the distributed bit streams, and ffmpeg's and
// our decoding of one stream must agree once our enhancer's delay is taken out. Skips without ffmpeg or
// without the conformance vectors.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "IlbcVectors.h"
#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcMode.h"
#include "audio/ilbc/IlbcStorage.h"

namespace {

using ilbc::Mode;
using namespace ilbc_test;

bool HaveFfmpeg() {
    return std::system("ffmpeg -hide_banner -version >/dev/null 2>&1") == 0;
}

// Normalised correlation of a[i + delay] with b[i], for i from `first` on.
double Correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t delay, size_t first) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (size_t i = first; i + delay < a.size() && i < b.size(); ++i) {
        const double x = a[i + delay];
        const double y = b[i];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
}

class IlbcInterop : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        if (!HaveVectors())
            GTEST_SKIP() << MissingVectorsMessage();
        if (!HaveFfmpeg())
            GTEST_SKIP() << "ffmpeg not found: the interoperability checks need its iLBC decoder";
        std::string pattern = (std::filesystem::temp_directory_path() / "qparlin-ilbc-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    // ffmpeg's decoding of a bit stream written as a storage file.
    std::vector<int16_t> FfmpegDecode(const std::vector<uint8_t>& bits, const std::string& name) const {
        const size_t frameBytes = static_cast<size_t>(ilbc::Params(GetParam()).frameBytes);
        const std::vector<uint8_t> file =
            ilbc::MakeStorage(GetParam(), bits.data(), bits.size() / frameBytes);
        const auto input = dir_ / (name + ".lbc");
        const auto output = dir_ / (name + ".raw");
        std::ofstream(input, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        const std::string command = "ffmpeg -hide_banner -loglevel error -y -i '" + input.string() +
                                    "' -f s16le -ar 8000 -ac 1 '" + output.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return ReadSamples(output);
    }

    std::filesystem::path dir_;
};

TEST_P(IlbcInterop, FfmpegDecodesOurStorageFileLikeTheDistributedStream) {
    const Mode mode = GetParam();
    const auto ours = FfmpegDecode(EncodeAll(mode, ReadSamples(VectorDir() / "iLBC.INP")), "ours");
    const auto reference = FfmpegDecode(VectorBits(mode), "reference");
    ASSERT_EQ(ours.size(), 75840u);
    ASSERT_EQ(reference.size(), ours.size());
    const double snr = Snr(ours, reference);
    std::cout << "[ figures  ] ffmpeg, our stream vs distributed stream, " << ModeName(mode) << ": SNR "
              << snr << " dB\n";
    EXPECT_GE(snr, 30.0);
}

TEST_P(IlbcInterop, FfmpegAndWeDecodeOneStreamAlikeOnceAligned) {
    const Mode mode = GetParam();
    const auto bits = VectorBits(mode);
    const auto theirs = FfmpegDecode(bits, "stream");
    ilbc::Decoder decoder(mode, true);
    const auto block = static_cast<size_t>(decoder.BlockSamples());
    const auto frameBytes = static_cast<size_t>(decoder.FrameBytes());
    std::vector<int16_t> ours(bits.size() / frameBytes * block);
    for (size_t f = 0; f < bits.size() / frameBytes; ++f)
        decoder.Decode(bits.data() + f * frameBytes, ours.data() + f * block);
    ASSERT_EQ(theirs.size(), ours.size());
    // ffmpeg's 20 ms decoder starts with two frames of full-scale noise whatever the stream (the RFC's
    // own output files compare the same way), so the comparison begins with the third frame.
    const size_t first = 2 * block;
    const size_t delay = mode == Mode::k20ms ? 40 : 80;
    const double aligned = Correlation(ours, theirs, delay, first);
    std::cout << "[ figures  ] ffmpeg vs our decoding, " << ModeName(mode) << ": correlation " << aligned
              << " at our delay of " << delay << " samples, " << Correlation(ours, theirs, 0, first)
              << " unaligned\n";
    EXPECT_GE(aligned, 0.98);
}

INSTANTIATE_TEST_SUITE_P(BothModes, IlbcInterop, ::testing::Values(Mode::k20ms, Mode::k30ms),
                         [](const ::testing::TestParamInfo<Mode>& param) {
                             return std::string(ModeName(param.param));
                         });

}  // namespace

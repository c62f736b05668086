// The capture-path stage's split band: where the library runs below the codec's rate, the band above its
// rate follows the gain the library gave the band below, and a library that changes nothing gives back the
// capture sample for sample. Engines of the test's own stand in for the library where exact outcomes are
// wanted; the real one shows that echo above 4 kHz goes with the echo below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/VoiceProcessor.h"

namespace {

// A library at 8000 Hz in 10 ms chunks that multiplies what it hears by `factor`.
class ScalingEngine final : public VoiceEngine {
public:
    explicit ScalingEngine(double factor, int rate = 8000, int chunk = 80)
        : factor_(factor), rate_(rate), chunk_(chunk) {}
    int Rate() const override { return rate_; }
    int ChunkSamples() const override { return chunk_; }
    void Process(const int16_t*, int16_t* near) override {
        for (int i = 0; i < chunk_; ++i)
            near[i] = ClipSample(near[i] * factor_);
    }
    bool Cancelling() const override { return false; }
    const char* Name() const override { return "scaling"; }

private:
    double factor_;
    int rate_;
    int chunk_;
};

constexpr int kRate = 11025;

// `low` at 1000 Hz and `high` at 5000 Hz (above what 8000 Hz holds), for `seconds`.
std::vector<int16_t> Tones(double low, double high, double seconds) {
    std::vector<int16_t> out(static_cast<size_t>(kRate * seconds));
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        out[i] = ClipSample(low * std::sin(2 * M_PI * 1000 * t) + high * std::sin(2 * M_PI * 5000 * t));
    }
    return out;
}

std::vector<int16_t> Capture(VoiceProcessor& stage, std::vector<int16_t> mic) {
    const size_t frame = static_cast<size_t>(kRate / 50);
    for (size_t at = 0; at + frame <= mic.size(); at += frame)
        stage.Process(mic.data() + at, static_cast<int>(frame));
    return mic;
}

// The amplitude of the `hz` component over [from, to) (a Goertzel filter).
double Amplitude(const std::vector<int16_t>& s, double hz, size_t from, size_t to) {
    const double w = 2 * M_PI * hz / kRate;
    double re = 0, im = 0;
    for (size_t i = from; i < to; ++i) {
        re += s[i] * std::cos(w * static_cast<double>(i));
        im += s[i] * std::sin(w * static_cast<double>(i));
    }
    return 2 * std::hypot(re, im) / static_cast<double>(to - from);
}

}  // namespace

TEST(VoiceProcessorBandTest, EachLibraryRateForEachCodecRate) {
    // Split: webrtc's highest rate at or below the codec's; whole: one that holds the codec's band.
    const std::pair<int, int> split[] = {{8000, 8000},   {11025, 8000},  {15999, 8000}, {16000, 16000},
                                         {22050, 16000}, {44100, 32000}, {48000, 48000}};
    for (const auto& [codec, engine] : split) {
        SCOPED_TRACE(codec);
        VoiceProcessor stage(codec, VoiceProcessor::Mode::kEcho, VoiceProcessor::Library::kWebrtc,
                             VoiceProcessor::Band::kSplit);
        EXPECT_EQ(stage.EngineRate(), engine);
    }
    const std::pair<int, int> whole[] = {
        {8000, 8000}, {8001, 16000}, {11025, 16000}, {22050, 32000}, {48000, 48000}};
    for (const auto& [codec, engine] : whole) {
        SCOPED_TRACE(codec);
        VoiceProcessor stage(codec, VoiceProcessor::Mode::kEcho, VoiceProcessor::Library::kWebrtc,
                             VoiceProcessor::Band::kWhole);
        EXPECT_EQ(stage.EngineRate(), engine);
    }
    EXPECT_EQ(VoiceProcessor(11025, VoiceProcessor::Mode::kOff).EngineRate(), 0);
}

TEST(VoiceProcessorBandTest, TheEnvironmentChoosesTheBandOnlyByItsExactNames) {
    const char* before = std::getenv("QPARLIN_VOICE_BAND");
    const std::string saved = before != nullptr ? before : "";
    const std::pair<const char*, VoiceProcessor::Band> cases[] = {{"whole", VoiceProcessor::Band::kWhole},
                                                                  {"split", VoiceProcessor::Band::kSplit},
                                                                  {"Split", VoiceProcessor::Band::kWhole},
                                                                  {"split ", VoiceProcessor::Band::kWhole},
                                                                  {"", VoiceProcessor::Band::kWhole}};
    for (const auto& [value, band] : cases) {
        SCOPED_TRACE(value);
        setenv("QPARLIN_VOICE_BAND", value, 1);
        EXPECT_EQ(VoiceProcessor::ConfiguredBand(), band);
    }
    setenv("QPARLIN_VOICE_BAND", "split", 1);
    EXPECT_EQ(VoiceProcessor(11025, VoiceProcessor::Mode::kAll).EngineRate(), 8000);
    unsetenv("QPARLIN_VOICE_BAND");
    EXPECT_EQ(VoiceProcessor::ConfiguredBand(), VoiceProcessor::Band::kWhole);
    EXPECT_EQ(VoiceProcessor(11025, VoiceProcessor::Mode::kAll).EngineRate(), 16000);
    if (before != nullptr)
        setenv("QPARLIN_VOICE_BAND", saved.c_str(), 1);
}

TEST(VoiceProcessorBandTest, ALibraryThatChangesNothingGivesBackTheCaptureSampleForSample) {
    // Both bands add up to the capture again, a constant delay later: a wrong delay between them would
    // leave a comb of notches instead. Buffers of 20 ms and of an odd length, as a device may hand over.
    for (size_t length : {size_t{220}, size_t{333}}) {
        SCOPED_TRACE(length);
        VoiceProcessor stage(kRate, VoiceProcessor::Mode::kAll, std::make_unique<ScalingEngine>(1.0));
        const std::vector<int16_t> in = Tones(6000, 6000, 2.0);
        std::vector<int16_t> out = in;
        size_t at = 0;
        for (; at + length <= out.size(); at += length)
            stage.Process(out.data() + at, static_cast<int>(length));
        // At the delay that fits best (well under 60 ms), every sample is the capture's.
        int worst = 1 << 30;
        for (size_t lag = 0; lag < static_cast<size_t>(kRate * 60 / 1000); ++lag) {
            int off = 0;
            for (size_t i = static_cast<size_t>(kRate / 2); i < at && off < worst; ++i)
                off = std::max(off, std::abs(out[i] - in[i - lag]));
            worst = std::min(worst, off);
        }
        EXPECT_LE(worst, 2);
    }
}

TEST(VoiceProcessorBandTest, TheUpperBandFollowsTheLibrarysGainUpToFourTimes) {
    struct Case {
        double factor;
        double upper;  // the 5000 Hz tone's expected gain
    };
    // Silenced, halved, raised just under the cap, at it, and beyond it.
    for (const Case& c : {Case{0.0, 0.0}, Case{0.5, 0.5}, Case{3.0, 3.0}, Case{4.0, 4.0}, Case{5.0, 4.0}}) {
        SCOPED_TRACE(c.factor);
        VoiceProcessor stage(kRate, VoiceProcessor::Mode::kAll, std::make_unique<ScalingEngine>(c.factor));
        const std::vector<int16_t> out = Capture(stage, Tones(1000, 1000, 1.0));
        const size_t from = static_cast<size_t>(kRate / 2);
        EXPECT_NEAR(Amplitude(out, 5000, from, out.size()), 1000 * c.upper, 1000 * 0.02 + 1);
        EXPECT_NEAR(Amplitude(out, 1000, from, out.size()), 1000 * c.factor, 1000 * 0.02 + 1);
    }
}

TEST(VoiceProcessorBandTest, AnUpperBandAloneIsNotTakenForSilenceTheLibraryMade) {
    // A library that hears next to nothing tells nothing of its gain: a hiss above 4 kHz alone comes through.
    VoiceProcessor stage(kRate, VoiceProcessor::Mode::kAll, std::make_unique<ScalingEngine>(0.0));
    const std::vector<int16_t> out = Capture(stage, Tones(0, 2000, 1.0));
    EXPECT_GT(Amplitude(out, 5000, static_cast<size_t>(kRate / 2), out.size()), 2000 * 0.9);
}

TEST(VoiceProcessorBandTest, AFlushLeavesNothingOfTheUpperBandBehind) {
    VoiceProcessor stage(kRate, VoiceProcessor::Mode::kAll, std::make_unique<ScalingEngine>(1.0));
    Capture(stage, Tones(8000, 8000, 0.5));
    stage.Flush();
    const std::vector<int16_t> silence(static_cast<size_t>(kRate / 5), 0);
    EXPECT_EQ(Capture(stage, silence), silence);
}

TEST(VoiceProcessorBandTest, AnEngineWithoutARateOrChunkLeavesTheStageOff) {
    const std::vector<int16_t> in = Tones(3000, 3000, 0.2);
    for (const auto& [rate, chunk] : {std::pair{0, 80}, std::pair{8000, 0}, std::pair{-8000, 80}}) {
        VoiceProcessor stage(kRate, VoiceProcessor::Mode::kAll,
                             std::make_unique<ScalingEngine>(0.0, rate, chunk));
        EXPECT_EQ(stage.EngineRate(), 0);
        EXPECT_EQ(Capture(stage, in), in);
    }
    VoiceProcessor none(kRate, VoiceProcessor::Mode::kAll, nullptr);
    EXPECT_EQ(Capture(none, in), in);
}

TEST(VoiceProcessorBandTest, EchoAbove4KHzIsReducedWithTheEchoBelowIt) {
    // The real library at 8000 Hz for 11025: a far end with as much sound at 5000 Hz as at 1000 Hz, its echo
    // 60 ms late; once the canceller has learnt the room, both tones of the echo are at least 20 dB down.
    VoiceProcessor stage(kRate, VoiceProcessor::Mode::kAll, VoiceProcessor::Library::kWebrtc,
                         VoiceProcessor::Band::kSplit);
    ASSERT_EQ(stage.EngineRate(), 8000);
    stage.SetDeviceDelayMs(60);
    std::vector<int16_t> far = Tones(4000, 4000, 5.0);
    // Talk in bursts (a canceller wants the far end to start and stop), with a little noise under it.
    for (size_t i = 0; i < far.size(); ++i) {
        if ((i * 10 / static_cast<size_t>(kRate)) % 4 == 3)
            far[i] = 0;
        far[i] = ClipSample(far[i] + static_cast<double>((i * 7919) % 401) - 200);
    }
    const size_t delay = static_cast<size_t>(kRate * 60 / 1000);
    std::vector<int16_t> mic(far.size(), 0);
    for (size_t i = delay; i < far.size(); ++i)
        mic[i] = static_cast<int16_t>(far[i - delay] / 2);
    std::vector<int16_t> out = mic;
    const size_t frame = static_cast<size_t>(kRate / 50);
    for (size_t at = 0; at + frame <= out.size(); at += frame) {
        stage.Played(0, far.data() + at, static_cast<int>(frame));
        stage.Process(out.data() + at, static_cast<int>(frame));
    }
    const size_t from = static_cast<size_t>(kRate * 3);
    for (double hz : {1000.0, 5000.0}) {
        SCOPED_TRACE(hz);
        EXPECT_LT(Amplitude(out, hz, from, out.size()), Amplitude(mic, hz, from, out.size()) / 10);
    }
}

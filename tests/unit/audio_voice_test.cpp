// The capture-path stage: echo reduced on a synthetic path, silence kept silent, every codec rate served
// with the same number of samples out as in, off as an exact passthrough, hostile lengths bounded, and the
// pipeline sending what the stage made.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "audio/AudioPipeline.h"
#include "audio/CodecRegistry.h"
#include "audio/VoiceProcessor.h"
#include "fake_wave.h"

namespace {

// Speech-like far-end sound: noise bursts of 300 ms with 100 ms pauses, low-passed, seeded.
std::vector<int16_t> Talk(int rate, double seconds, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> white(0.0, 4000.0);
    std::vector<int16_t> out(static_cast<size_t>(rate * seconds));
    double state = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        state = 0.7 * state + 0.3 * white(random);
        const bool talking = (i * 10 / static_cast<size_t>(rate)) % 4 != 3;
        out[i] = talking ? static_cast<int16_t>(std::lround(state)) : 0;
    }
    return out;
}

// The echo: a direct path `delayMs` late at half level and two reflections.
std::vector<int16_t> Echo(const std::vector<int16_t>& far, int rate, int delayMs) {
    std::vector<int16_t> echo(far.size(), 0);
    const size_t d = static_cast<size_t>(rate * delayMs / 1000);
    for (size_t i = 0; i < far.size(); ++i) {
        double v = 0;
        if (i >= d)
            v += 0.5 * far[i - d];
        if (i >= d + static_cast<size_t>(rate / 100))
            v -= 0.2 * far[i - d - static_cast<size_t>(rate / 100)];
        if (i >= d + static_cast<size_t>(rate / 40))
            v += 0.1 * far[i - d - static_cast<size_t>(rate / 40)];
        echo[i] = static_cast<int16_t>(std::lround(v));
    }
    return echo;
}

double Energy(const std::vector<int16_t>& s, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < to && i < s.size(); ++i)
        e += static_cast<double>(s[i]) * s[i];
    return e;
}

// Runs the stage as the pipeline does: a 20 ms buffer played, then one captured.
std::vector<int16_t> RunStage(VoiceProcessor& stage, const std::vector<int16_t>& far,
                              std::vector<int16_t> mic, int rate) {
    const size_t frame = static_cast<size_t>(rate / 50);
    for (size_t at = 0; at + frame <= mic.size(); at += frame) {
        if (!far.empty())
            stage.Played(0, far.data() + at, static_cast<int>(frame));
        stage.Process(mic.data() + at, static_cast<int>(frame));
    }
    return mic;
}

}  // namespace

TEST(VoiceProcessorTest, APureEchoIsReducedByAtLeast15DbAfterConvergence) {
    for (int rate : {8000, 11025}) {
        for (VoiceProcessor::Mode mode : {VoiceProcessor::Mode::kEcho, VoiceProcessor::Mode::kAll}) {
            SCOPED_TRACE(rate);
            VoiceProcessor stage(rate, mode);
            stage.SetDeviceDelayMs(60);
            const std::vector<int16_t> far = Talk(rate, 6.0, 3);
            const std::vector<int16_t> echo = Echo(far, rate, 60);
            const std::vector<int16_t> out = RunStage(stage, far, echo, rate);
            const size_t from = static_cast<size_t>(rate) * 4;
            const double erleDb =
                10 * std::log10(Energy(echo, from, echo.size()) / (Energy(out, from, out.size()) + 1));
            EXPECT_GE(erleDb, 15.0);
            EXPECT_TRUE(stage.Cancelling());
        }
    }
}

TEST(VoiceProcessorTest, SilenceStaysSilenceAndNoEchoMeansNotCancelling) {
    for (int rate : {8000, 11025, 22050, 48000}) {
        SCOPED_TRACE(rate);
        VoiceProcessor stage(rate, VoiceProcessor::Mode::kAll);
        const std::vector<int16_t> silence(static_cast<size_t>(rate), 0);
        const std::vector<int16_t> out = RunStage(stage, silence, silence, rate);
        EXPECT_EQ(out, silence);
        EXPECT_FALSE(stage.Cancelling());
    }
}

TEST(VoiceProcessorTest, EveryCodecRateGivesAsManySamplesAsItTakesAndPassesSpeech) {
    for (int rate : {8000, 11025, 22050, 44100, 48000}) {
        SCOPED_TRACE(rate);
        VoiceProcessor stage(rate, VoiceProcessor::Mode::kAll);
        // Odd buffer lengths, as a device may hand over, with nothing played.
        const std::vector<int16_t> near = Talk(rate, 2.0, 9);
        std::vector<int16_t> out = near;
        const int lengths[] = {1, 333, 7, 1000, 160};
        size_t at = 0;
        for (int turn = 0; at + 1000 <= out.size(); ++turn) {
            const int length = lengths[turn % 5];
            stage.Process(out.data() + at, length);
            at += static_cast<size_t>(length);
        }
        // Near-end sound with no echo comes through: not more than 20 dB quieter in its second half.
        const size_t half = near.size() / 2;
        EXPECT_GT(Energy(out, half, at), Energy(near, half, at) / 100);
    }
}

TEST(VoiceProcessorTest, OffLeavesEveryBufferExactlyAsCaptured) {
    VoiceProcessor stage(11025, VoiceProcessor::Mode::kOff);
    const std::vector<int16_t> far = Talk(11025, 1.0, 4);
    const std::vector<int16_t> near = Talk(11025, 1.0, 5);
    EXPECT_EQ(RunStage(stage, far, near, 11025), near);
    EXPECT_FALSE(stage.Cancelling());
}

TEST(VoiceProcessorTest, HostileLengthsAndStreamsAreBounded) {
    VoiceProcessor stage(8000, VoiceProcessor::Mode::kEcho);
    std::vector<int16_t> buffer(160, 100);
    stage.Played(-1, buffer.data(), 160);
    stage.Played(0, nullptr, 160);
    stage.Played(0, buffer.data(), -5);
    stage.Process(nullptr, 160);
    stage.Process(buffer.data(), 0);
    stage.Process(buffer.data(), -1);
    // A player that runs on while nothing is captured keeps at most a second: 8000 samples, 8001 cut.
    const std::vector<int16_t> loud(8001, 20000);
    for (int i = 0; i < 50; ++i)
        stage.Played(3, loud.data(), static_cast<int>(loud.size()));
    stage.SetDeviceDelayMs(1 << 30);
    stage.SetDeviceDelayMs(-100);
    std::vector<int16_t> captured(160, 0);
    stage.Process(captured.data(), 160);
    SUCCEED();
}

TEST(VoiceProcessorTest, TwoStreamsPlayedAreSummedIntoOneReference) {
    // Each stream's half-level echo cancels only against the sum of both: the echo of the sum is reduced.
    const int rate = 8000;
    VoiceProcessor stage(rate, VoiceProcessor::Mode::kEcho);
    const std::vector<int16_t> a = Talk(rate, 6.0, 21);
    const std::vector<int16_t> b = Talk(rate, 6.0, 22);
    std::vector<int16_t> sum(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        sum[i] = static_cast<int16_t>((a[i] + b[i]) / 2);
    std::vector<int16_t> halfA(a.size()), halfB(b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        halfA[i] = static_cast<int16_t>(a[i] / 2);
        halfB[i] = static_cast<int16_t>(b[i] / 2);
    }
    std::vector<int16_t> mic = Echo(sum, rate, 40);
    const std::vector<int16_t> echo = mic;
    const size_t frame = static_cast<size_t>(rate / 50);
    for (size_t at = 0; at + frame <= mic.size(); at += frame) {
        stage.Played(0, halfA.data() + at, static_cast<int>(frame));
        stage.Played(1, halfB.data() + at, static_cast<int>(frame));
        stage.Process(mic.data() + at, static_cast<int>(frame));
    }
    const size_t from = static_cast<size_t>(rate) * 4;
    EXPECT_GE(10 * std::log10(Energy(echo, from, echo.size()) / (Energy(mic, from, mic.size()) + 1)), 15.0);
}

namespace {

class FrameCollector final : public FrameSink {
public:
    void OnFrame(const uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(lock);
        frames.emplace_back(data, data + length);
    }
    void OnPlayed(int) override {}
    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;
};

}  // namespace

TEST(VoiceProcessorTest, ThePipelineSendsTheStageOutputAndOffSendsTheCaptureBitExact) {
    FakeWave fake;
    SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
    for (VoiceProcessor::Mode mode : {VoiceProcessor::Mode::kOff, VoiceProcessor::Mode::kAll}) {
        AudioPipeline pipeline;
        FrameCollector sink;
        pipeline.SetVoiceProcessing(mode);
        pipeline.SetFormat(0xA0);  // raw 16-bit PCM at 8000 Hz: the payload is the audio
        pipeline.SetFrameSink(&sink);
        const std::vector<int16_t> near = Talk(8000, 0.5, 8);
        std::vector<uint8_t> bytes(near.size() * 2);
        std::memcpy(bytes.data(), near.data(), bytes.size());
        pipeline.OnCaptured(bytes.data(), static_cast<int>(bytes.size()));
        ASSERT_EQ(sink.frames.size(), 1u);
        ASSERT_EQ(sink.frames[0].size(), bytes.size());
        if (mode == VoiceProcessor::Mode::kOff)
            EXPECT_EQ(sink.frames[0], bytes);
        else
            EXPECT_NE(sink.frames[0], bytes);  // delayed by the stage's chunk, and processed
        pipeline.Shutdown();
    }
    SetWaveBackend(nullptr);
}

TEST(VoiceProcessorTest, TheDevicesDelayHoldsTheReferenceBackSoALateEchoIsCancelled) {
    // An echo 600 ms late is beyond what the canceller searches by itself; told the delay, it cancels it.
    const int rate = 8000;
    const std::vector<int16_t> far = Talk(rate, 6.0, 31);
    const std::vector<int16_t> echo = Echo(far, rate, 600);
    const size_t from = static_cast<size_t>(rate) * 4;
    VoiceProcessor told(rate, VoiceProcessor::Mode::kEcho);
    told.SetDeviceDelayMs(600);
    const std::vector<int16_t> out = RunStage(told, far, echo, rate);
    EXPECT_GE(10 * std::log10(Energy(echo, from, echo.size()) / (Energy(out, from, out.size()) + 1)), 15.0);
    // A delay reported too long would hold the reference back past the echo: told 300 ms more than the
    // echo's, it no longer cancels, which is why the stage keeps a margin and trusts only full reports.
    VoiceProcessor late(rate, VoiceProcessor::Mode::kEcho);
    late.SetDeviceDelayMs(900);
    const std::vector<int16_t> wrong = RunStage(late, far, echo, rate);
    EXPECT_LT(10 * std::log10(Energy(echo, from, echo.size()) / (Energy(wrong, from, wrong.size()) + 1)),
              10.0);
}

TEST(VoiceProcessorTest, NothingOfOneCaptureComesOutInTheNextAfterAFlush) {
    // At 11025 Hz the stage holds audio back (resampling, 16 kHz chunks): a new capture's first buffer must
    // not carry the end of the previous one.
    const int rate = 11025;
    for (bool flush : {false, true}) {
        for (VoiceProcessor::Mode mode : {VoiceProcessor::Mode::kEcho, VoiceProcessor::Mode::kAll}) {
            VoiceProcessor stage(rate, mode);
            const std::vector<int16_t> loud = Talk(rate, 0.3, 12);  // sounding to its end
            for (size_t at = 0; at + 220 <= loud.size(); at += 220) {
                std::vector<int16_t> buffer(loud.begin() + static_cast<ptrdiff_t>(at),
                                            loud.begin() + static_cast<ptrdiff_t>(at + 220));
                stage.Process(buffer.data(), 220);
            }
            if (flush)
                stage.Flush();
            std::vector<int16_t> quiet(220, 0);
            stage.Process(quiet.data(), 220);
            // Without the flush the held-back end of the loud capture is there: the case shows it would be.
            EXPECT_EQ(quiet == std::vector<int16_t>(220, 0), flush)
                << (mode == VoiceProcessor::Mode::kAll ? "all" : "echo");
        }
    }
}

TEST(VoiceProcessorTest, WhileStreamsPlayTheMeterMeasuresWhatIsSent) {
    // The players hand the stage what they played on their threads while the recorder's thread captures;
    // the microphone's meter shows the level of the processed audio that goes out, not of the capture.
    FakeWave fake;
    fake.autoFinishPlayback = true;
    SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
    {
        AudioPipeline pipeline;
        FrameCollector sink;
        pipeline.SetPlayout(AudioPipeline::Playout::kDirect);
        pipeline.SetVoiceProcessing(VoiceProcessor::Mode::kAll);
        pipeline.SetFormat(0xA0);  // raw 16-bit PCM at 8000 Hz
        pipeline.SetFrameSink(&sink);
        const int stream = pipeline.AddStream(-1);
        const std::vector<int16_t> far = Talk(8000, 1.0, 41);
        const std::vector<int16_t> near = Talk(8000, 1.0, 42);
        std::thread player([&] {
            for (size_t at = 0; at + 160 <= far.size(); at += 160) {
                std::vector<uint8_t> bytes(320);
                std::memcpy(bytes.data(), far.data() + at, 320);
                pipeline.Deliver(stream, bytes.data(), 320);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        for (size_t at = 0; at + 160 <= near.size(); at += 160) {
            std::vector<uint8_t> bytes(320);
            std::memcpy(bytes.data(), near.data() + at, 320);
            pipeline.OnCaptured(bytes.data(), 320);
            std::lock_guard<std::mutex> guard(sink.lock);
            ASSERT_FALSE(sink.frames.empty());
            EXPECT_EQ(pipeline.InputLevel(), AudioPipeline::Level16(sink.frames.back().data(), 160));
        }
        player.join();
        pipeline.Shutdown();
    }
    SetWaveBackend(nullptr);
}

TEST(VoiceProcessorTest, ASilentMicrophoneSendsExactSilenceWhileTheFarEndPlays) {
    // A microphone muted at the device captures zeros: no comfort noise, no echo estimate may replace them.
    for (int rate : {8000, 11025, 48000}) {
        SCOPED_TRACE(rate);
        VoiceProcessor stage(rate, VoiceProcessor::Mode::kAll);
        const std::vector<int16_t> far = Talk(rate, 2.0, 51);
        const std::vector<int16_t> silence(far.size(), 0);
        EXPECT_EQ(RunStage(stage, far, silence, rate), silence);
    }
}

namespace {

// One pipeline in a format, fed a tone or silence a buffer at a time as the recorder would feed it, and
// asked whether what it sent since the last look is silence as the peer would hear it.
class CaptureCheck {
public:
    CaptureCheck(int format, VoiceProcessor::Mode mode)
        : format_(format), eightBit_((format & 0x80) == 0), coded_((format & 0x1F) != 0) {
        pipeline.SetVoiceProcessing(mode);
        pipeline.SetFormat(format);
        pipeline.SetFrameSink(&sink);
        frame_ = static_cast<size_t>(pipeline.FrameLength());
        // A tone sounding through every buffer: speech could pause just where the stage holds audio back.
        tone_.resize(static_cast<size_t>(pipeline.Rate()));
        for (size_t s = 0; s < tone_.size(); ++s)
            tone_[s] = static_cast<int16_t>(
                12000 * std::sin(2 * M_PI * 440 * static_cast<double>(s) / pipeline.Rate()));
    }
    ~CaptureCheck() { pipeline.Shutdown(); }
    // Buffers enough for 200 ms, and at least 4.
    int Buffers200Ms() const { return std::max(4, pipeline.Rate() / 5 / static_cast<int>(frame_)); }
    void Capture(bool tone, int buffers) {
        for (int i = 0; i < buffers; ++i) {
            std::vector<uint8_t> bytes(eightBit_ ? frame_ : frame_ * 2, eightBit_ ? 0x80 : 0);
            for (size_t s = 0; tone && s < frame_; ++s) {
                const int16_t sample = tone_[(static_cast<size_t>(i) * frame_ + s) % tone_.size()];
                if (eightBit_)
                    bytes[s] = static_cast<uint8_t>(128 + sample / 256);
                else
                    std::memcpy(bytes.data() + 2 * s, &sample, 2);
            }
            pipeline.OnCaptured(bytes.data(), static_cast<int>(bytes.size()));
        }
    }
    // The loudest sample the frames sent since the last call decode to, by a decoder of their own as a peer's
    // after a gap of markers or at a new call.
    int LoudestSent() {
        int peak = 0;
        std::unique_ptr<SoundCodec> decoder = coded_ ? CreateCodec(format_) : nullptr;
        for (const std::vector<uint8_t>& payload : sink.frames) {
            if (!coded_) {
                for (size_t i = 0; eightBit_ && i < payload.size(); ++i)
                    peak = std::max(peak, std::abs(payload[i] - 128) * 256);
                for (size_t i = 0; !eightBit_ && i + 1 < payload.size(); i += 2) {
                    int16_t sample = 0;
                    std::memcpy(&sample, payload.data() + i, 2);
                    peak = std::max(peak, std::abs(static_cast<int>(sample)));
                }
                continue;
            }
            SampleBuffer decoded;
            decoder->Decode16(payload.data(), static_cast<int>(payload.size()), decoded, false);
            for (int s = 0; s < decoded.Length(); ++s)
                peak = std::max(peak, std::abs(static_cast<int>(decoded.Data()[s])));
        }
        sink.frames.clear();
        return peak;
    }

    AudioPipeline pipeline;
    FrameCollector sink;

private:
    int format_;
    bool eightBit_;
    bool coded_;
    size_t frame_ = 0;
    std::vector<int16_t> tone_;
};

// Raw samples at every rate (and 8-bit), the delta code, GSM, iLBC (20 and 30 ms) and LPC-10, Opus at
// every rate.
constexpr int kEveryRate[] = {0x80, 0xA0, 0xC0, 0xE0, 0x20, 0xA1, 0x82,
                              0xA3, 0xA4, 0x86, 0x87, 0xA7, 0xC7, 0xE7};
// Decoded silence stays below this; the tone peaks at 12000.
constexpr int kSilentPeak = 100;

}  // namespace

TEST(VoiceProcessorTest, AMutedCaptureLeavesNothingInTheStageOrTheEncoderAtAnyRate) {
    // Muted buffers enter the stage and the encoder as silence: after the mute ends, the first frames carry
    // silence, never the end of what was captured muted (the stage holds up to ~12 ms back at 11025 and
    // 22050 Hz, Opus's encoder 6.5 ms at every rate).
    FakeWave fake;
    SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
    for (int format : kEveryRate) {
        SCOPED_TRACE(format);
        CaptureCheck check(format, VoiceProcessor::Mode::kAll);
        check.Capture(true, check.Buffers200Ms());
        EXPECT_GT(check.LoudestSent(), 1000) << "the tone is sent while the microphone is open";
        check.pipeline.SetCaptureMuted(true);
        check.Capture(true, check.Buffers200Ms());
        check.pipeline.SetCaptureMuted(false);
        check.sink.frames.clear();  // the link sends markers for these
        check.Capture(false, 4);
        EXPECT_LT(check.LoudestSent(), kSilentPeak) << "muted audio after the mute ended";
    }
    SetWaveBackend(nullptr);
}

TEST(VoiceProcessorTest, ANewCaptureBeginsWithNothingOfThePreviousOneWithOrWithoutTheStage) {
    // A call's capture starts anew: neither the stage nor the encoder's look-ahead may carry the end of the
    // previous call's audio into its first frame. (Each start opens the recorder, which takes a while: the
    // rates where the stage holds audio back and every codec with a memory, and two without the stage.)
    FakeWave fake;
    SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
    const VoiceProcessor::Mode all = VoiceProcessor::Mode::kAll;
    const VoiceProcessor::Mode off = VoiceProcessor::Mode::kOff;
    const std::pair<int, VoiceProcessor::Mode> cases[] = {{0xA0, all}, {0x20, all}, {0xC0, all}, {0x82, all},
                                                          {0xA3, all}, {0xA4, all}, {0x86, all}, {0x87, all},
                                                          {0xC7, all}, {0xA4, off}, {0x87, off}};
    for (const auto& [format, mode] : cases) {
        SCOPED_TRACE(format);
        SCOPED_TRACE(mode == all ? "all" : "off");
        CaptureCheck check(format, mode);
        check.Capture(true, check.Buffers200Ms());
        EXPECT_GT(check.LoudestSent(), 1000) << "the tone is sent";
        check.pipeline.StartCapture();
        check.Capture(false, 2);
        EXPECT_LT(check.LoudestSent(), kSilentPeak) << "the previous capture's end in the next";
    }
    SetWaveBackend(nullptr);
}

namespace {

// Counts what the players handed the stage, so that each buffer is captured after its piece was played.
class PlayedCounter final : public FrameSink {
public:
    void OnFrame(const uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(lock);
        frames.emplace_back(data, data + length);
    }
    void OnPlayed(int) override {
        std::lock_guard<std::mutex> guard(lock);
        ++played;
    }
    bool WaitForPlayed(int count) {
        for (int i = 0; i < 2000; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (played >= count)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;
    int played = 0;
};

}  // namespace

TEST(VoiceProcessorTest, TheCancellerKeepsTheRoomThroughAMuteAndCancelsAtOnceAfterIt) {
    // While muted the stage still hears the microphone: had it been fed silence instead, the canceller
    // would unlearn the echo path over the mute and let the echo through when it ends.
    FakeWave fake;
    fake.autoFinishPlayback = true;
    SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
    {
        const int rate = 8000;
        AudioPipeline pipeline;
        PlayedCounter sink;
        pipeline.SetPlayout(AudioPipeline::Playout::kDirect);
        pipeline.SetVoiceProcessing(VoiceProcessor::Mode::kEcho);
        pipeline.SetFormat(0x80);  // raw 16-bit samples at 8000 Hz
        pipeline.SetFrameSink(&sink);
        const int stream = pipeline.AddStream(-1);
        const size_t frame = static_cast<size_t>(pipeline.FrameLength());  // a player's whole buffer
        const std::vector<int16_t> far = Talk(rate, 10.0, 71);
        const std::vector<int16_t> echo = Echo(far, rate, 40);
        const size_t muteAt = static_cast<size_t>(rate) * 4, unmuteAt = static_cast<size_t>(rate) * 9;
        std::vector<int16_t> sent;
        for (size_t at = 0, k = 1; at + frame <= far.size(); at += frame, ++k) {
            pipeline.Deliver(stream, reinterpret_cast<const uint8_t*>(far.data() + at), 2 * frame);
            ASSERT_TRUE(sink.WaitForPlayed(static_cast<int>(k)));
            pipeline.SetCaptureMuted(at >= muteAt && at < unmuteAt);
            pipeline.OnCaptured(reinterpret_cast<const uint8_t*>(echo.data() + at), 2 * frame);
            std::lock_guard<std::mutex> guard(sink.lock);
            const auto* samples = reinterpret_cast<const int16_t*>(sink.frames.back().data());
            sent.insert(sent.end(), samples, samples + frame);
        }
        // The second after the mute: the echo is as far down as before it.
        const double before =
            10 * std::log10(Energy(echo, muteAt - rate, muteAt) / (Energy(sent, muteAt - rate, muteAt) + 1));
        const double after = 10 * std::log10(Energy(echo, unmuteAt, unmuteAt + rate) /
                                             (Energy(sent, unmuteAt, unmuteAt + rate) + 1));
        EXPECT_GE(before, 15.0);
        EXPECT_GE(after, 15.0) << "before the mute " << before << " dB";
        pipeline.Shutdown();
    }
    SetWaveBackend(nullptr);
}

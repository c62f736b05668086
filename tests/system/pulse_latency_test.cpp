// The sound-server backend's latencies reaching the echo canceller, against a private PulseAudio
// (scripts/pulse-server start, with its environment): a call's recorder and player report the latencies
// the server gives for their streams once sound flows, near what pactl shows for the same streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioPipeline.h"
#include "platform/wave/Wave.h"
#include "shell_output.h"

namespace {

// The microseconds after `label` in pactl's listing, in milliseconds; -1 when there is none.
double MsAfter(const std::string& output, const char* label) {
    const size_t at = output.find(label);
    if (at == std::string::npos)
        return -1;
    return std::strtod(output.c_str() + at + std::string(label).size(), nullptr) / 1000.0;
}

class PulseLatencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string problem;
        std::unique_ptr<WaveBackend> backend = MakePulseWaveBackend(WaveDeviceOptions(), problem);
        ASSERT_TRUE(backend) << "no private sound server: " << problem;
        SetWaveBackend(std::move(backend));
    }
    void TearDown() override { SetWaveBackend(nullptr); }
};

TEST_F(PulseLatencyTest, TheRecorderAndThePlayerReportTheServersLatenciesWhileSoundFlows) {
    AudioPipeline pipeline;
    pipeline.SetFormat(0xA0);  // raw 16-bit samples at 11025 Hz: what is delivered is what plays
    pipeline.SetVoiceProcessing(VoiceProcessor::Mode::kAll);
    const int stream = pipeline.AddStream(-1);
    pipeline.StartCapture();
    // A second of the far end's frames (90 ms each) at their pace, so that the player asks the server for
    // more.
    const std::vector<uint8_t> frame(static_cast<size_t>(pipeline.FrameLength()) * 2, 0);
    const auto frameTime = std::chrono::microseconds(1'000'000LL * pipeline.FrameLength() / 11025);
    auto next = std::chrono::steady_clock::now();
    int recorded = -1;
    int played = -1;
    // The null sink renders ahead in blocks, so its latency is a saw-tooth: pactl is asked several times,
    // and the most it showed bounds what the streams may report.
    double mostSourceMs = -1;
    double mostSinkMs = -1;
    for (int i = 0; i < 100 && (i < 28 || recorded < 0 || played < 0); ++i) {
        pipeline.Deliver(stream, frame.data(), static_cast<int>(frame.size()));
        next += frameTime;
        std::this_thread::sleep_until(next);
        recorded = pipeline.Recorder().DeviceLatencyMs();
        played = pipeline.StreamPlayer(stream)->DeviceLatencyMs();
        if (i >= 16 && i % 3 == 0) {
            mostSourceMs =
                std::max(mostSourceMs, MsAfter(Shell("pactl list source-outputs"), "Source Latency: "));
            mostSinkMs = std::max(mostSinkMs, MsAfter(Shell("pactl list sink-inputs"), "Sink Latency: "));
        }
    }
    std::printf("recording %d ms (pactl: source up to %.1f ms), playback %d ms (pactl: sink up to %.1f ms)\n",
                recorded, mostSourceMs, played, mostSinkMs);
    // Both are known while sound flows: a device that reports none leaves alignment to the canceller.
    ASSERT_GE(recorded, 0);
    ASSERT_GE(played, 0);
    // In milliseconds, not microseconds or bytes: within what the server's own figures reach, the
    // capture's side above the source's by at most a few fragments that waited in the stream.
    ASSERT_GE(mostSinkMs, 0) << "pactl shows no sink input";
    ASSERT_GE(mostSourceMs, 0) << "pactl shows no source output";
    EXPECT_LE(played, mostSinkMs + 20.0);
    EXPECT_LE(recorded, mostSourceMs + 40.0);
    pipeline.StopCapture();
    pipeline.Shutdown();
}

}  // namespace

// The whole capture path of one frame (level, encoding, hand-over to the sink) and the delivery path
// (decoding, level, copy into a playback buffer), per frame and as a real-time factor: seconds of audio
// handled per second of processor time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "audio/AudioPipeline.h"
#include "audio/FormatCode.h"
#include "platform/wave/Wave.h"

namespace {

// Copies each payload, as the voice link's OnFrame does.
class CopyingSink final : public FrameSink {
public:
    void OnFrame(const uint8_t* data, int length) override {
        last_.assign(data, data + length);
        benchmark::DoNotOptimize(last_.data());
    }
    void OnPlayed(int) override {}

private:
    std::vector<uint8_t> last_;
};

std::vector<uint8_t> ToneFrame(int samples) {
    std::vector<int16_t> pcm(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i)
        pcm[static_cast<size_t>(i)] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * i / 37.0));
    std::vector<uint8_t> bytes(pcm.size() * 2);
    std::memcpy(bytes.data(), pcm.data(), bytes.size());
    return bytes;
}

void ReportRealTime(benchmark::State& state, int formatCode, int frame) {
    const double audioSeconds =
        static_cast<double>(state.iterations()) * frame / format_code::Rate(formatCode);
    state.counters["realtime_x"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}

void BM_CapturePath(benchmark::State& state) {
    const int code = static_cast<int>(state.range(0));
    SetWaveBackend(MakeNullWaveBackend());
    AudioPipeline pipeline;
    pipeline.SetFormat(code);
    CopyingSink sink;
    pipeline.SetFrameSink(&sink);
    const std::vector<uint8_t> frame = ToneFrame(pipeline.FrameLength());
    for (auto _ : state)
        pipeline.OnCaptured(frame.data(), static_cast<int>(frame.size()));
    ReportRealTime(state, code, pipeline.FrameLength());
}
BENCHMARK(BM_CapturePath)->Arg(0x85)->Arg(0xA5)->Arg(0xA0)->ArgName("format");

void BM_DeliveryPath(benchmark::State& state) {
    const int code = static_cast<int>(state.range(0));
    SetWaveBackend(MakeNullWaveBackend());
    AudioPipeline pipeline;
    pipeline.SetFormat(code);
    const int stream = pipeline.AddStream(WAVE_MAPPER);
    const int payloadSize = code == 0xA0 ? 2000 : 800;
    std::vector<uint8_t> payload(static_cast<size_t>(payloadSize));
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13);
    for (auto _ : state)
        pipeline.Deliver(stream, payload.data(), payloadSize);
    ReportRealTime(state, code, pipeline.FrameLength());
    // Most frames find their buffer still playing and are dropped after decoding; the cost measured is
    // the decode and level, which every frame pays.
    state.counters["dropped"] = static_cast<double>(pipeline.StreamPlayer(stream)->Drops());
}
BENCHMARK(BM_DeliveryPath)->Arg(0x85)->Arg(0xA0)->ArgName("format");

}  // namespace

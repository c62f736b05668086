// Per-frame cost of the table and bit codecs on one 800-sample frame, with the real-time factor at 8000 Hz
// (how many seconds of audio one second of processor time codes).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "audio/DeltaCodec.h"
#include "audio/G711Codec.h"
#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

namespace {

constexpr int kFrame = 800;
constexpr double kRate = 8000.0;
constexpr double kFrameSeconds = kFrame / kRate;

// A voiced-sounding frame: a 140 Hz fundamental with a few formant-like partials and a little noise.
std::vector<int16_t> SpeechLikeFrame() {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 300.0);
    std::vector<int16_t> frame(kFrame);
    for (int i = 0; i < kFrame; ++i) {
        const double t = i / kRate;
        const double v = 6000 * std::sin(2 * std::numbers::pi * 140 * t) +
                         3000 * std::sin(2 * std::numbers::pi * 560 * t) +
                         1500 * std::sin(2 * std::numbers::pi * 1120 * t) +
                         700 * std::sin(2 * std::numbers::pi * 2400 * t) + noise(rng);
        frame[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(v));
    }
    return frame;
}

std::vector<uint8_t> SpeechLikeFrame8() {
    std::vector<uint8_t> frame;
    for (int16_t s : SpeechLikeFrame())
        frame.push_back(Sample16To8(s));
    return frame;
}

void ReportFrames(benchmark::State& state, int64_t bytesPerFrame) {
    state.SetItemsProcessed(state.iterations() * kFrame);
    state.SetBytesProcessed(state.iterations() * bytesPerFrame);
    state.counters["realtime_x"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrameSeconds,
                                                      benchmark::Counter::kIsRate);
}

void BM_G711Encode16(benchmark::State& state) {
    G711Codec codec;
    const auto frame = SpeechLikeFrame();
    ByteBuffer out;
    for (auto _ : state) {
        codec.Encode16(frame.data(), kFrame, out, false);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
    }
    ReportFrames(state, kFrame * 2);
}
BENCHMARK(BM_G711Encode16);

void BM_G711Decode16(benchmark::State& state) {
    G711Codec codec;
    const auto frame = SpeechLikeFrame();
    ByteBuffer payload;
    codec.Encode16(frame.data(), kFrame, payload, false);
    SampleBuffer out;
    for (auto _ : state) {
        codec.Decode16(payload.Data(), payload.Length(), out, false);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
    }
    ReportFrames(state, payload.Length());
}
BENCHMARK(BM_G711Decode16);

void BM_DeltaEncode8(benchmark::State& state) {
    DeltaCodec codec;
    const auto frame = SpeechLikeFrame8();
    ByteBuffer out;
    for (auto _ : state) {
        codec.Encode8(frame.data(), kFrame, out, false);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
    }
    ReportFrames(state, kFrame);
    state.counters["payload_bytes"] = out.Length();
}
BENCHMARK(BM_DeltaEncode8);

void BM_DeltaDecode8(benchmark::State& state) {
    DeltaCodec codec;
    const auto frame = SpeechLikeFrame8();
    ByteBuffer payload;
    codec.Encode8(frame.data(), kFrame, payload, false);
    ByteBuffer out;
    for (auto _ : state) {
        codec.Decode8(payload.Data(), payload.Length(), out, false);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
    }
    ReportFrames(state, payload.Length());
    state.counters["payload_bytes"] = payload.Length();
}
BENCHMARK(BM_DeltaDecode8);

}  // namespace

// Per-frame cost of the library-backed vocoders, GSM 06.10 (160 samples) and LPC-10 (180 samples), with the
// real-time factor at 8000 Hz (how many seconds of audio one second of processor time codes). The input is a
// second of voice-like sound, coded frame after frame so that the coders' state evolves as in a call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/Lpc10Codec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

namespace {

constexpr double kRate = 8000.0;
constexpr int kSeconds = 1;

// A glottal pulse train at 100 to 150 Hz through two formants, with a little breath noise.
std::vector<int16_t> VoiceLike(int count) {
    std::mt19937 rng(1);
    std::normal_distribution<double> breath(0.0, 0.02);
    auto resonator = [](double frequency, double bandwidth) {
        const double r = std::exp(-std::numbers::pi * bandwidth / kRate);
        return std::pair{2 * r * std::cos(2 * std::numbers::pi * frequency / kRate), -r * r};
    };
    const auto [a1, a2] = resonator(700, 90);
    const auto [b1, b2] = resonator(1220, 110);
    double y1 = 0, y2 = 0, z1 = 0, z2 = 0, phase = 0;
    std::vector<int16_t> out(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n) {
        phase += (125 + 25 * std::sin(2 * std::numbers::pi * 0.7 * n / kRate)) / kRate;
        double excitation = breath(rng);
        if (phase >= 1) {
            phase -= 1;
            excitation += 1;
        }
        const double y = excitation + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        const double z = y + b1 * z1 + b2 * z2;
        z2 = z1;
        z1 = z;
        out[static_cast<size_t>(n)] =
            static_cast<int16_t>(std::lround(std::clamp(z * 800, -32768.0, 32767.0)));
    }
    return out;
}

void ReportFrames(benchmark::State& state, int frameSamples) {
    state.SetItemsProcessed(state.iterations() * frameSamples);
    state.counters["realtime_x"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * frameSamples / kRate, benchmark::Counter::kIsRate);
}

template <typename Codec>
void BM_Encode16(benchmark::State& state) {
    constexpr int kFrame = Codec::kFrameSamples;
    const int frames = static_cast<int>(kSeconds * kRate) / kFrame;
    const std::vector<int16_t> voice = VoiceLike(frames * kFrame);
    Codec codec;
    ByteBuffer out;
    int frame = 0;
    for (auto _ : state) {
        codec.Encode16(voice.data() + static_cast<size_t>(frame) * kFrame, kFrame, out, false);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
        frame = (frame + 1) % frames;
    }
    ReportFrames(state, kFrame);
}

template <typename Codec>
void BM_Decode16(benchmark::State& state) {
    constexpr int kFrame = Codec::kFrameSamples;
    const int frames = static_cast<int>(kSeconds * kRate) / kFrame;
    const std::vector<int16_t> voice = VoiceLike(frames * kFrame);
    std::vector<uint8_t> payloads;
    {
        Codec encoder;
        ByteBuffer out;
        for (int i = 0; i < frames; ++i)
            encoder.Encode16(voice.data() + static_cast<size_t>(i) * kFrame, kFrame, out, true);
        payloads.assign(out.Data(), out.Data() + out.Length());
    }
    Codec codec;
    SampleBuffer out;
    int frame = 0;
    for (auto _ : state) {
        codec.Decode16(payloads.data() + static_cast<size_t>(frame) * Codec::kFrameBytes, Codec::kFrameBytes,
                       out, false);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
        frame = (frame + 1) % frames;
    }
    ReportFrames(state, kFrame);
}

BENCHMARK_TEMPLATE(BM_Encode16, GsmCodec)->Name("BM_GsmEncode16");
BENCHMARK_TEMPLATE(BM_Decode16, GsmCodec)->Name("BM_GsmDecode16");
BENCHMARK_TEMPLATE(BM_Encode16, Lpc10Codec)->Name("BM_Lpc10Encode16");
BENCHMARK_TEMPLATE(BM_Decode16, Lpc10Codec)->Name("BM_Lpc10Decode16");

}  // namespace

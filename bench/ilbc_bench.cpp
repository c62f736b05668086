// Per-frame cost of our iLBC coder in both modes: encoding, decoding (enhancer on, as the pipeline
// decodes), concealment, and a full encode plus decode, with the real-time factor at 8000 Hz (seconds
// of audio coded per second of processor time). The input is two seconds of speech-like sound, run
// through frame after frame so that the coder's state evolves as in a call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcEncoder.h"
#include "audio/ilbc/IlbcMode.h"

namespace {

constexpr double kRate = 8000.0;
constexpr int kSeconds = 2;

// A pulse train with a gliding pitch through two formant resonators, with changing loudness and noise.
std::vector<int16_t> SpeechLike() {
    const int count = kSeconds * static_cast<int>(kRate);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 0.02);
    std::vector<int16_t> out(static_cast<size_t>(count));
    double phase = 0.0;
    double y1[2] = {}, y2[2] = {};
    const double formant[2] = {700.0, 1200.0};
    for (int n = 0; n < count; ++n) {
        const double t = n / kRate;
        phase += (120.0 + 40.0 * std::sin(2 * std::numbers::pi * 0.7 * t)) / kRate;
        double x = noise(rng);
        if (phase >= 1.0) {
            phase -= 1.0;
            x += 1.0;
        }
        double v = 0.0;
        for (int f = 0; f < 2; ++f) {
            const double c = 2 * 0.97 * std::cos(2 * std::numbers::pi * formant[f] / kRate);
            const double y = x + c * y1[f] - 0.97 * 0.97 * y2[f];
            y2[f] = y1[f];
            y1[f] = y;
            v += y;
        }
        const double loudness = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 3.0 * t);
        out[static_cast<size_t>(n)] =
            static_cast<int16_t>(std::clamp(v * 900.0 * loudness, -32000.0, 32000.0));
    }
    return out;
}

ilbc::Mode ModeOf(const benchmark::State& state) {
    return state.range(0) == 20 ? ilbc::Mode::k20ms : ilbc::Mode::k30ms;
}

void ReportFrames(benchmark::State& state, ilbc::Mode mode) {
    const double frameSeconds = ilbc::Params(mode).blockLen / kRate;
    state.SetItemsProcessed(state.iterations());
    state.counters["realtime_x"] = benchmark::Counter(static_cast<double>(state.iterations()) * frameSeconds,
                                                      benchmark::Counter::kIsRate);
}

std::vector<uint8_t> EncodeAll(ilbc::Mode mode, const std::vector<int16_t>& speech) {
    ilbc::Encoder encoder(mode);
    const auto block = static_cast<size_t>(encoder.BlockSamples());
    const auto bytes = static_cast<size_t>(encoder.FrameBytes());
    std::vector<uint8_t> bits(speech.size() / block * bytes);
    for (size_t f = 0; f < speech.size() / block; ++f)
        encoder.Encode(speech.data() + f * block, bits.data() + f * bytes);
    return bits;
}

void BM_IlbcEncode(benchmark::State& state) {
    const ilbc::Mode mode = ModeOf(state);
    const auto speech = SpeechLike();
    ilbc::Encoder encoder(mode);
    const auto block = static_cast<size_t>(encoder.BlockSamples());
    const size_t frames = speech.size() / block;
    uint8_t frame[ilbc::kMaxFrameBytes];
    size_t f = 0;
    for (auto _ : state) {
        encoder.Encode(speech.data() + f * block, frame);
        benchmark::DoNotOptimize(frame);
        f = f + 1 == frames ? 0 : f + 1;
    }
    ReportFrames(state, mode);
}
BENCHMARK(BM_IlbcEncode)->Arg(20)->Arg(30);

// The second argument loses every n-th frame (0: none; 5 is a bad line).
void BM_IlbcDecode(benchmark::State& state) {
    const ilbc::Mode mode = ModeOf(state);
    const auto lossEvery = static_cast<size_t>(state.range(1));
    const auto bits = EncodeAll(mode, SpeechLike());
    ilbc::Decoder decoder(mode, true);
    const auto bytes = static_cast<size_t>(decoder.FrameBytes());
    const size_t frames = bits.size() / bytes;
    int16_t out[ilbc::kMaxBlock];
    size_t f = 0;
    for (auto _ : state) {
        if (lossEvery != 0 && f % lossEvery == lossEvery - 1)
            decoder.DecodeLost(out);
        else
            decoder.Decode(bits.data() + f * bytes, out);
        benchmark::DoNotOptimize(out);
        f = f + 1 == frames ? 0 : f + 1;
    }
    ReportFrames(state, mode);
}
BENCHMARK(BM_IlbcDecode)->Args({20, 0})->Args({30, 0})->Args({20, 5})->Args({30, 5});

// One frame each way, what a call costs per frame.
void BM_IlbcEncodeDecode(benchmark::State& state) {
    const ilbc::Mode mode = ModeOf(state);
    const auto speech = SpeechLike();
    ilbc::Encoder encoder(mode);
    ilbc::Decoder decoder(mode, true);
    const auto block = static_cast<size_t>(encoder.BlockSamples());
    const size_t frames = speech.size() / block;
    uint8_t frame[ilbc::kMaxFrameBytes];
    int16_t out[ilbc::kMaxBlock];
    size_t f = 0;
    for (auto _ : state) {
        encoder.Encode(speech.data() + f * block, frame);
        decoder.Decode(frame, out);
        benchmark::DoNotOptimize(out);
        f = f + 1 == frames ? 0 : f + 1;
    }
    ReportFrames(state, mode);
}
BENCHMARK(BM_IlbcEncodeDecode)->Arg(20)->Arg(30);

}  // namespace

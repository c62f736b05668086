// Per-frame cost of our iLBC coder in both modes: encoding, encoding digital silence after sound,
// decoding (enhancer on, as the pipeline decodes), concealment, and a full encode plus decode, with the
// real-time factor at 8000 Hz (seconds of audio coded per second of processor time). The input is two seconds
// of speech-like sound, run through frame after frame so that the coder's state evolves as in a call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "IlbcVectors.h"
#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcEncoder.h"
#include "audio/ilbc/IlbcMode.h"

namespace {

constexpr double kRate = 8000.0;
constexpr int kSeconds = 2;

// Two seconds of the tests' speech-like sound.
std::vector<int16_t> SpeechLike() {
    return ilbc_test::SpeechLike(kSeconds * static_cast<int>(kRate));
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

using ilbc_test::EncodeAll;

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

// Digital silence after sound (a muted microphone, a file's pauses): the input filter's decay reaches
// subnormal numbers, which cost many times the usual arithmetic on x86 wherever they go.
void BM_IlbcEncodeSilenceAfterSound(benchmark::State& state) {
    const ilbc::Mode mode = ModeOf(state);
    const auto speech = SpeechLike();
    ilbc::Encoder encoder(mode);
    const auto block = static_cast<size_t>(encoder.BlockSamples());
    uint8_t frame[ilbc::kMaxFrameBytes];
    for (size_t f = 0; f + block <= speech.size(); f += block)
        encoder.Encode(speech.data() + f, frame);
    const std::vector<int16_t> silence(block, 0);
    for (auto _ : state) {
        encoder.Encode(silence.data(), frame);
        benchmark::DoNotOptimize(frame);
    }
    ReportFrames(state, mode);
}
BENCHMARK(BM_IlbcEncodeSilenceAfterSound)->Arg(20)->Arg(30);

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

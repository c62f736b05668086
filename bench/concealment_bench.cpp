// Cost of the general concealment per 20 ms frame at each rate: a frame played through it (kept as
// history), the first concealed frame of a loss (which finds the pitch period), a later one, and the frame
// after a loss (cross-faded). The real-time factor counts the frame's audio per second of processor time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "audio/SpeechConcealment.h"

namespace {

// A voice at 110 to 150 Hz with three harmonics, at `rate`.
std::vector<int16_t> Voice(int rate, int count) {
    std::vector<int16_t> out(static_cast<size_t>(count));
    double phase = 0;
    for (int i = 0; i < count; ++i) {
        phase += 2 * std::numbers::pi * (130 + 20 * std::sin(2 * std::numbers::pi * i / rate)) / rate;
        const double v = std::sin(phase) + 0.5 * std::sin(2 * phase + 0.7) + 0.25 * std::sin(3 * phase + 2.1);
        out[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(4000 * v));
    }
    return out;
}

enum class Step { kPlayed, kFirstConcealed, kLaterConcealed, kAfterLoss };

void Concealment(benchmark::State& state, Step step) {
    const int rate = static_cast<int>(state.range(0));
    const int frame = rate / 50;
    const std::vector<int16_t> voice = Voice(rate, rate);
    SpeechConcealment concealment(rate);
    std::vector<int16_t> played(voice.begin(), voice.end());
    concealment.Received(played.data(), static_cast<int>(played.size()));
    std::vector<int16_t> out(static_cast<size_t>(frame));
    std::vector<int16_t> next(voice.begin(), voice.begin() + frame);
    for (auto _ : state) {
        switch (step) {
            case Step::kPlayed:
                concealment.Received(next.data(), frame);
                break;
            case Step::kFirstConcealed:
                concealment.Conceal(out.data(), frame);
                state.PauseTiming();
                concealment.Received(next.data(), frame);
                state.ResumeTiming();
                break;
            case Step::kLaterConcealed:
                state.PauseTiming();
                concealment.Received(next.data(), frame);
                concealment.Conceal(out.data(), frame);
                state.ResumeTiming();
                concealment.Conceal(out.data(), frame);
                break;
            case Step::kAfterLoss:
                state.PauseTiming();
                concealment.Conceal(out.data(), frame);
                next.assign(voice.begin(), voice.begin() + frame);
                state.ResumeTiming();
                concealment.Received(next.data(), frame);
                break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(next.data());
    }
    state.counters["realtime_x"] = benchmark::Counter(static_cast<double>(state.iterations()) * frame / rate,
                                                      benchmark::Counter::kIsRate);
}

void BM_PlayedFrame(benchmark::State& state) {
    Concealment(state, Step::kPlayed);
}
void BM_FirstConcealedFrame(benchmark::State& state) {
    Concealment(state, Step::kFirstConcealed);
}
void BM_LaterConcealedFrame(benchmark::State& state) {
    Concealment(state, Step::kLaterConcealed);
}
void BM_FrameAfterLoss(benchmark::State& state) {
    Concealment(state, Step::kAfterLoss);
}

}  // namespace

BENCHMARK(BM_PlayedFrame)->Arg(8000)->Arg(11025)->Arg(22050);
BENCHMARK(BM_FirstConcealedFrame)->Arg(8000)->Arg(11025)->Arg(22050);
BENCHMARK(BM_LaterConcealedFrame)->Arg(8000)->Arg(11025)->Arg(22050);
BENCHMARK(BM_FrameAfterLoss)->Arg(8000)->Arg(11025)->Arg(22050);

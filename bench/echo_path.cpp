// The deterministic echo bench for the capture-path stage (VoiceProcessor), for bench/measure_echo.sh.
// The listener's playback (FAR) goes through a synthetic room: a direct path after DELAY ms and 40 sparse
// reflections over the next 120 ms decaying exponentially (a 250 ms reverberation time), drawn from a fixed
// seed; the result is the echo in the listener's microphone, with near-end speech (NEAR) and fan-like
// noise (low-passed white noise, stationary) added in the scenarios that want them. The stage gets the
// playback in 20 ms pieces as a player hands it over, and the microphone in 20 ms buffers as the recorder
// does, each piece of playback just before the buffer that holds its direct echo's start.
//
//   echo_path FAR.wav NEAR.wav   (both mono 16-bit at the rate to measure; at least 20 s of FAR)
//
// For each library (and "off", the figures before), it prints:
//   erle@D    echo return loss enhancement (dB) from 2 s on, while the far end plays, echo alone, D ms delay;
//             the canceller is told the delay minus 15 ms, as a device's report would roughly tell it
//   blind@D   the same with no delay reported at all
//   jump      the same from 1 s to 2 s after the delay jumps by 30 ms (from 80 ms to 110 ms) at 10 s
//   dt-corr   during double talk (near-end speech over the echo from 8 s on), the correlation of what is
//             sent with the clean near-end speech, where the near end speaks
//   noise     how far stationary noise at 15 dB below the near-end speech is reduced in speech pauses (dB)
//   cpu       processor time per second of audio for everything (echo, noise, level, high-pass), ms: the
//             median of five runs, since other work on the machine moves a single run by a tenth or more
//
// webrtc-s runs the library below the codec's rate where that is not one of its own (8 kHz for 11025 Hz),
// the band above following its gain; webrtc-w at a rate that holds the codec's whole band (16 kHz for 11025
// Hz), the stage's default.
#include <sndfile.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "audio/VoiceProcessor.h"

namespace {

using Signal = std::vector<double>;

struct Room {
    std::vector<int> taps;  // in samples after the direct path
    std::vector<double> gains;
};

Room MakeRoom(int rate) {
    Room room;
    room.taps.push_back(0);
    room.gains.push_back(0.5);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> when(0.005, 0.120);
    std::uniform_real_distribution<double> sign(-1.0, 1.0);
    for (int i = 0; i < 40; ++i) {
        const double t = when(random);
        room.taps.push_back(static_cast<int>(t * rate));
        room.gains.push_back(0.25 * (sign(random) < 0 ? -1 : 1) * std::exp(-6.9 * t / 0.25));
    }
    return room;
}

// The echo of `far`, with the direct path `delayMs` late, or `jumpMs` late from `jumpAt` samples on.
Signal Echo(const Signal& far, const Room& room, int rate, int delayMs, size_t jumpAt = SIZE_MAX,
            int jumpMs = 0) {
    Signal echo(far.size(), 0.0);
    for (size_t n = 0; n < far.size(); ++n) {
        const int delay = (n >= jumpAt ? jumpMs : delayMs) * rate / 1000;
        for (size_t k = 0; k < room.taps.size(); ++k) {
            const long at = static_cast<long>(n) - delay - room.taps[k];
            if (at >= 0)
                echo[n] += room.gains[k] * far[static_cast<size_t>(at)];
        }
    }
    return echo;
}

Signal FanNoise(size_t length, int rate, double rms) {
    std::mt19937 random(11);
    std::normal_distribution<double> white(0.0, 1.0);
    Signal noise(length);
    const double a = std::exp(-2.0 * M_PI * 600.0 / rate);
    double state = 0, energy = 0;
    for (double& value : noise) {
        state = a * state + (1 - a) * white(random);
        value = state;
        energy += state * state;
    }
    const double scale = rms / std::sqrt(energy / static_cast<double>(length));
    for (double& value : noise)
        value *= scale;
    return noise;
}

double Rms(const Signal& s) {
    double e = 0;
    for (double v : s)
        e += v * v;
    return std::sqrt(e / std::max<size_t>(1, s.size()));
}

std::vector<int16_t> ToPcm(const Signal& s) {
    std::vector<int16_t> pcm(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::clamp(std::lround(s[i]), -32768L, 32767L));
    return pcm;
}

bool Read(const char* path, int& rate, Signal& out) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr || info.channels != 1) {
        std::fprintf(stderr, "echo_path: %s: not a mono sound file\n", path);
        if (file != nullptr)
            sf_close(file);
        return false;
    }
    std::vector<double> samples(static_cast<size_t>(info.frames));
    sf_read_double(file, samples.data(), info.frames);
    sf_close(file);
    out.resize(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        out[i] = samples[i] * 32767.0;
    rate = info.samplerate;
    return true;
}

struct Run {
    Signal out;
    double cpuMs = 0;
    int lag = 0;  // the stage's own delay, in samples
};

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

Run Process(const Signal& far, const Signal& mic, int rate, VoiceProcessor::Mode mode,
            VoiceProcessor::Library library, VoiceProcessor::Band band, int reportedDelayMs) {
    VoiceProcessor stage(rate, mode, library, band);
    if (reportedDelayMs > 0)
        stage.SetDeviceDelayMs(reportedDelayMs);
    const std::vector<int16_t> farPcm = ToPcm(far);
    std::vector<int16_t> micPcm = ToPcm(mic);
    const size_t frame = static_cast<size_t>(rate / 50);
    Run run;
    const double start = ThreadCpuMs();
    for (size_t at = 0; at + frame <= micPcm.size(); at += frame) {
        stage.Played(0, farPcm.data() + at, static_cast<int>(frame));
        stage.Process(micPcm.data() + at, static_cast<int>(frame));
    }
    run.cpuMs = ThreadCpuMs() - start;
    run.out.assign(micPcm.begin(), micPcm.end());
    // The stage's delay (a chunk and the resamplers'): a burst of noise through a fresh stage that only
    // cancels echo, with nothing played, comes out that much later.
    VoiceProcessor probe(rate, mode == VoiceProcessor::Mode::kOff ? mode : VoiceProcessor::Mode::kEcho,
                         library, band);
    std::mt19937 random(5);
    std::uniform_int_distribution<int> noise(-8000, 8000);
    std::vector<int16_t> burst(frame * 12, 0);
    for (size_t i = frame * 2; i < frame * 6; ++i)
        burst[i] = static_cast<int16_t>(noise(random));
    const std::vector<int16_t> sent = burst;
    std::vector<int16_t> silent(frame, 0);
    for (size_t at = 0; at < burst.size(); at += frame) {
        probe.Played(0, silent.data(), static_cast<int>(frame));
        probe.Process(burst.data() + at, static_cast<int>(frame));
    }
    double best = -1;
    for (int lag = 0; lag < static_cast<int>(frame * 5); ++lag) {
        double sum = 0;
        for (size_t i = frame * 2; i < frame * 6; ++i)
            sum += static_cast<double>(sent[i]) * burst[i + static_cast<size_t>(lag)];
        if (sum > best) {
            best = sum;
            run.lag = lag;
        }
    }
    return run;
}

// 10 ms blocks in [from, to) seconds where `active` is louder than -45 dB below its loudest block.
std::vector<size_t> ActiveBlocks(const Signal& active, int rate, double from, double to, bool wantActive) {
    const size_t block = static_cast<size_t>(rate / 100);
    std::vector<double> energy;
    double loudest = 0;
    for (size_t at = 0; at + block <= active.size(); at += block) {
        double e = 0;
        for (size_t i = at; i < at + block; ++i)
            e += active[i] * active[i];
        energy.push_back(e);
        loudest = std::max(loudest, e);
    }
    std::vector<size_t> blocks;
    for (size_t b = 0; b < energy.size(); ++b) {
        const double t = static_cast<double>(b * block) / rate;
        if (t < from || t >= to)
            continue;
        if ((energy[b] > loudest * 3.2e-5) == wantActive)
            blocks.push_back(b * block);
    }
    return blocks;
}

double RatioDb(const Signal& a, const Signal& b, const std::vector<size_t>& blocks, int rate, int lag) {
    const size_t block = static_cast<size_t>(rate / 100);
    double ea = 1e-9, eb = 1e-9;
    for (size_t at : blocks) {
        for (size_t i = at; i < at + block && i + static_cast<size_t>(lag) < b.size(); ++i) {
            ea += a[i] * a[i];
            eb += b[i + static_cast<size_t>(lag)] * b[i + static_cast<size_t>(lag)];
        }
    }
    return 10.0 * std::log10(ea / eb);
}

double CorrelationAt(const Signal& clean, const Signal& out, const std::vector<size_t>& blocks, int rate,
                     int lag) {
    const size_t block = static_cast<size_t>(rate / 100);
    double xy = 0, xx = 1e-9, yy = 1e-9;
    for (size_t at : blocks) {
        for (size_t i = at; i < at + block && i + static_cast<size_t>(lag) < out.size(); ++i) {
            const double y = out[i + static_cast<size_t>(lag)];
            xy += clean[i] * y;
            xx += clean[i] * clean[i];
            yy += y * y;
        }
    }
    return xy / std::sqrt(xx * yy);
}

// The correlation at the best lag near the stage's own delay: a constant delay is no damage.
double Correlation(const Signal& clean, const Signal& out, const std::vector<size_t>& blocks, int rate,
                   int lag) {
    double best = -1;
    const int reach = rate / 100;
    for (int at = std::max(0, lag - reach); at <= lag + reach; ++at)
        best = std::max(best, CorrelationAt(clean, out, blocks, rate, at));
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: echo_path FAR.wav NEAR.wav\n");
        return 2;
    }
    int rate = 0, nearRate = 0;
    Signal far, near;
    if (!Read(argv[1], rate, far) || !Read(argv[2], nearRate, near))
        return 1;
    if (rate != nearRate || far.size() < static_cast<size_t>(rate) * 20) {
        std::fprintf(stderr, "echo_path: want two files at one rate, at least 20 s of far-end speech\n");
        return 1;
    }
    far.resize(static_cast<size_t>(rate) * 20);
    const size_t length = far.size();
    // Near-end speech from 8 s on only, for the double talk.
    Signal nearLate(length, 0.0);
    for (size_t i = static_cast<size_t>(rate) * 8, j = 0; i < length && j < near.size(); ++i, ++j)
        nearLate[i] = near[j];
    Signal nearAll(length, 0.0);
    for (size_t i = 0; i < length; ++i)
        nearAll[i] = near[i % near.size()];
    const Room room = MakeRoom(rate);
    const double seconds = static_cast<double>(length) / rate;
    const Signal fan = FanNoise(length, rate, Rms(nearAll) * std::pow(10.0, -15.0 / 20.0));
    const std::vector<int> delays{40, 80, 150};
    std::vector<Signal> echoes;
    for (int delay : delays)
        echoes.push_back(Echo(far, room, rate, delay));
    const Signal jumped = Echo(far, room, rate, 80, static_cast<size_t>(rate) * 10, 110);
    Signal doubleTalk = Echo(far, room, rate, 80);
    for (size_t i = 0; i < length; ++i)
        doubleTalk[i] += nearLate[i];
    Signal noisy(length);
    Signal everything(length);
    for (size_t i = 0; i < length; ++i) {
        noisy[i] = nearAll[i] + fan[i];
        everything[i] = doubleTalk[i] + fan[i];
    }
    const Signal silence(length, 0.0);

    std::printf("rate %d Hz, %.0f s; echo %.1f dBFS rms, near %.1f dBFS rms\n", rate, seconds,
                20 * std::log10(Rms(echoes[1]) / 32768), 20 * std::log10(Rms(nearAll) / 32768));
    std::printf("%-9s", "library");
    for (int delay : delays)
        std::printf(" erle@%-4d", delay);
    for (int delay : delays)
        std::printf(" blind@%-3d", delay);
    std::printf(" %-9s %-9s %-9s %-9s\n", "jump", "dt-corr", "noise", "cpu ms/s");
    struct Candidate {
        const char* name;
        VoiceProcessor::Library library;
        bool on;
        VoiceProcessor::Band band = VoiceProcessor::kDefaultBand;
    };
    for (const Candidate& candidate :
         {Candidate{"off", VoiceProcessor::kDefaultLibrary, false},
          Candidate{"speexdsp", VoiceProcessor::Library::kSpeex, true},
          Candidate{"webrtc-s", VoiceProcessor::Library::kWebrtc, true, VoiceProcessor::Band::kSplit},
          Candidate{"webrtc-w", VoiceProcessor::Library::kWebrtc, true, VoiceProcessor::Band::kWhole}}) {
        const VoiceProcessor::Mode echoMode =
            candidate.on ? VoiceProcessor::Mode::kEcho : VoiceProcessor::Mode::kOff;
        const VoiceProcessor::Mode allMode =
            candidate.on ? VoiceProcessor::Mode::kAll : VoiceProcessor::Mode::kOff;
        std::printf("%-9s", candidate.name);
        for (int reported : {1, 0}) {
            for (size_t d = 0; d < delays.size(); ++d) {
                const Run run = Process(far, echoes[d], rate, echoMode, candidate.library, candidate.band,
                                        reported ? delays[d] - 15 : 0);
                const auto blocks = ActiveBlocks(echoes[d], rate, 2.0, seconds, true);
                std::printf(" %9.1f", RatioDb(echoes[d], run.out, blocks, rate, run.lag));
            }
        }
        {
            const Run run = Process(far, jumped, rate, echoMode, candidate.library, candidate.band, 80 - 15);
            const auto blocks = ActiveBlocks(jumped, rate, 11.0, 12.0, true);
            std::printf(" %9.1f", RatioDb(jumped, run.out, blocks, rate, run.lag));
        }
        {
            const Run run =
                Process(far, doubleTalk, rate, allMode, candidate.library, candidate.band, 80 - 15);
            const auto blocks = ActiveBlocks(nearLate, rate, 8.0, seconds, true);
            std::printf(" %9.2f", Correlation(nearLate, run.out, blocks, rate, run.lag));
            if (std::getenv("ECHO_DEBUG") != nullptr) {
                const Run echoOnly =
                    Process(far, doubleTalk, rate, echoMode, candidate.library, candidate.band, 80 - 15);
                std::printf(" [lag %d, echo-only %.2f]", run.lag,
                            Correlation(nearLate, echoOnly.out, blocks, rate, echoOnly.lag));
            }
        }
        {
            const Run run = Process(silence, noisy, rate, allMode, candidate.library, candidate.band, 0);
            const auto pauses = ActiveBlocks(nearAll, rate, 2.0, seconds, false);
            std::printf(" %9.1f", RatioDb(noisy, run.out, pauses, rate, run.lag));
        }
        {
            std::vector<double> cpu;
            for (int i = 0; i < 5; ++i)
                cpu.push_back(
                    Process(far, everything, rate, allMode, candidate.library, candidate.band, 80 - 15)
                        .cpuMs);
            std::sort(cpu.begin(), cpu.end());
            std::printf(" %9.2f\n", cpu[2] / seconds);
        }
    }
    return 0;
}

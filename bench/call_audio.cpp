// Reads what a measured call played, for bench/measure_pulse_call.sh.
//
//   call_audio clicks REC.wav [PERIOD_MS]
//       REC holds every click of a click train twice: straight, and after its trip through both copies of
//       the program; in one channel one after the other, or (a stereo file) straight on the left and
//       after the trip on the right. Prints the delay between each pair, one "delay t_s ms" line per
//       click, then a summary line: count, median, 95th percentile, and the medians of the first and the
//       last sixth of the call.
//   call_audio codec IN.wav DECODED.wav
//       IN is what a codec was given, DECODED what its decoder made of it, at one rate. Finds the codec's
//       delay (the lag, up to 60 ms, at which DECODED matches IN best) and prints it with the correlation
//       at that lag and the segmental SNR (20 ms segments that hold speech, each held to -10..35 dB). Both
//       compare waveforms: compare them between the rates of one codec, not across codecs that reshape
//       the waveform on purpose (iLBC's enhancer).
//   call_audio damage CLEAN.wav DAMAGED.wav
//       Both files hold what the listener played of the same speech, once over a clean path and once over
//       a damaged one. Each 1-second window of CLEAN that holds speech is found in DAMAGED near its expected
//       place; prints the windows' correlation (median, 10th percentile), the share of 10 ms blocks that
//       hold speech in CLEAN but are silent in DAMAGED, the runs of exact zeros longer than 2 ms in DAMAGED
//       where CLEAN holds speech, and the stretches longer than 5 ms where DAMAGED, after sounding speech
//       (its last 10 ms within 20 dB of CLEAN's local speech level), falls more than 30 dB below that
//       level while CLEAN sounds (count and longest of each); stretches after only a breath or a word's
//       quiet lead-in (a lost word start, which no concealment can know) are counted apart as
//       onset_stretches. Before that, one "window t_s correlation lag_ms" line per window and one
//       "zeros t_s ms", "quiet t_s ms" or "onset t_s ms" line per gap.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Audio {
    std::vector<float> samples;
    int rate = 0;
};

bool Load(const char* path, Audio& audio, int channel = 0, int* channels = nullptr) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "call_audio: %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    audio.rate = info.samplerate;
    if (channels != nullptr)
        *channels = info.channels;
    channel = std::min(channel, info.channels - 1);
    audio.samples.resize(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; ++i)
        audio.samples[static_cast<size_t>(i)] = frames[static_cast<size_t>(i * info.channels + channel)];
    return true;
}

double Quantile(std::vector<double> values, double q) {
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const size_t low = static_cast<size_t>(position);
    const size_t high = std::min(low + 1, values.size() - 1);
    const double fraction = position - static_cast<double>(low);
    return values[low] * (1 - fraction) + values[high] * fraction;
}

// Onsets: the first sample above the threshold after at least `quietMs` below it.
std::vector<double> Onsets(const Audio& audio, float threshold, double quietMs) {
    std::vector<double> onsets;
    const size_t quiet = static_cast<size_t>(quietMs * audio.rate / 1000);
    size_t lastLoud = 0;
    bool any = false;
    for (size_t i = 0; i < audio.samples.size(); ++i) {
        if (std::fabs(audio.samples[i]) < threshold)
            continue;
        if (!any || i - lastLoud > quiet)
            onsets.push_back(static_cast<double>(i) * 1000.0 / audio.rate);
        lastLoud = i;
        any = true;
    }
    return onsets;
}

float Peak(const Audio& audio) {
    float peak = 0;
    for (float s : audio.samples)
        peak = std::max(peak, std::fabs(s));
    return peak;
}

void Summarise(const std::vector<double>& times, const std::vector<double>& delays) {
    for (size_t i = 0; i < delays.size(); ++i)
        std::printf("delay %.2f %.1f\n", times[i], delays[i]);
    const size_t sixth = delays.size() / 6;
    const std::vector<double> first(delays.begin(), delays.begin() + static_cast<long>(sixth));
    const std::vector<double> last(delays.end() - static_cast<long>(sixth), delays.end());
    std::printf("clicks=%zu median_ms=%.1f p95_ms=%.1f first_sixth_ms=%.1f last_sixth_ms=%.1f\n",
                delays.size(), Quantile(delays, 0.5), Quantile(delays, 0.95), Quantile(first, 0.5),
                Quantile(last, 0.5));
}

// Stereo: each straight click on the left, its echo the first onset on the right after it.
int StereoClicks(const char* path, double periodMs) {
    Audio left, right;
    if (!Load(path, left, 0) || !Load(path, right, 1))
        return 2;
    if (Peak(left) < 0.01f || Peak(right) < 0.01f) {
        std::fprintf(stderr, "call_audio: a channel of %s is silent\n", path);
        return 1;
    }
    const std::vector<double> straight = Onsets(left, Peak(left) * 0.25f, 12);
    const std::vector<double> echoes = Onsets(right, Peak(right) * 0.25f, 12);
    std::vector<double> times, delays;
    size_t e = 0;
    for (double t : straight) {
        while (e < echoes.size() && echoes[e] <= t)
            ++e;
        if (e < echoes.size() && echoes[e] - t < periodMs * 0.9) {
            times.push_back(t / 1000);
            delays.push_back(echoes[e] - t);
        }
    }
    if (delays.size() < 6) {
        std::fprintf(stderr, "call_audio: only %zu click pairs found in %s\n", delays.size(), path);
        return 1;
    }
    Summarise(times, delays);
    return 0;
}

int Clicks(const char* path, double periodMs) {
    Audio audio;
    int channels = 1;
    if (!Load(path, audio, 0, &channels))
        return 2;
    if (channels >= 2)
        return StereoClicks(path, periodMs);
    float peak = 0;
    for (float s : audio.samples)
        peak = std::max(peak, std::fabs(s));
    if (peak < 0.01f) {
        std::fprintf(stderr, "call_audio: %s is silent\n", path);
        return 1;
    }
    const std::vector<double> onsets = Onsets(audio, peak * 0.25f, 12);
    // The straight clicks sit on a grid of one period; the first onset is a straight one, since the trip
    // through the program takes time. Each grid point takes the next onset after it as its echo.
    std::vector<double> times, delays;
    size_t next = 0;
    double grid = onsets.empty() ? 0 : onsets[0];
    while (next < onsets.size()) {
        // Find the straight click nearest the grid point (the grid drifts with the sink's clock).
        size_t straight = next;
        while (straight < onsets.size() && onsets[straight] < grid - periodMs * 0.1)
            ++straight;
        if (straight >= onsets.size())
            break;
        if (std::fabs(onsets[straight] - grid) < periodMs * 0.1) {
            grid = onsets[straight];
            size_t echo = straight + 1;
            if (echo < onsets.size() && onsets[echo] - grid > 5 && onsets[echo] - grid < periodMs * 0.9) {
                times.push_back(grid / 1000);
                delays.push_back(onsets[echo] - grid);
            }
        }
        next = straight + 1;
        grid += periodMs;
    }
    if (delays.size() < 6) {
        std::fprintf(stderr, "call_audio: only %zu click pairs found in %s\n", delays.size(), path);
        return 1;
    }
    Summarise(times, delays);
    return 0;
}

// Decimates to about 8 kHz with a box filter: enough for speech and for finding lags to a sample's width.
Audio Decimate(const Audio& in) {
    const int factor = std::max(1, in.rate / 8000);
    Audio out;
    out.rate = in.rate / factor;
    out.samples.resize(in.samples.size() / static_cast<size_t>(factor));
    for (size_t i = 0; i < out.samples.size(); ++i) {
        float sum = 0;
        for (int k = 0; k < factor; ++k)
            sum += in.samples[i * static_cast<size_t>(factor) + static_cast<size_t>(k)];
        out.samples[i] = sum / static_cast<float>(factor);
    }
    return out;
}

double Energy(const float* x, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return sum;
}

// Gaps a listener hears inside speech, found in DAMAGED's samples put at CLEAN's times (`matched` marks the
// samples that have a counterpart).
struct Gaps {
    int zeroRuns = 0;  // runs of exact zeros longer than 2 ms where CLEAN holds speech
    double zeroLongestMs = 0;
    int quietStretches = 0;  // stretches longer than 5 ms that fell 30 dB below CLEAN's local level
    double quietLongestMs = 0;
    int onsetStretches = 0;  // such stretches after only a breath or a word's quiet lead-in (excused)
};

Gaps FindGaps(const Audio& clean, const std::vector<float>& aligned, const std::vector<uint8_t>& matched,
              double speechRms) {
    Gaps gaps;
    const size_t n = std::min(clean.samples.size(), aligned.size());
    const double msPerSample = 1000.0 / clean.rate;
    // Levels in 1 ms frames; CLEAN's local level is its RMS over the 21 ms around each frame.
    const size_t frame = static_cast<size_t>(std::max(1, clean.rate / 1000));
    const size_t frames = n / frame;
    std::vector<double> cleanRms(frames), damagedRms(frames), local(frames);
    std::vector<uint8_t> frameMatched(frames);
    for (size_t f = 0; f < frames; ++f) {
        cleanRms[f] = std::sqrt(Energy(clean.samples.data() + f * frame, frame) / static_cast<double>(frame));
        damagedRms[f] = std::sqrt(Energy(aligned.data() + f * frame, frame) / static_cast<double>(frame));
        frameMatched[f] = matched[f * frame] != 0 && matched[f * frame + frame - 1] != 0;
    }
    constexpr size_t kLocalFrames = 10;
    for (size_t f = 0; f < frames; ++f) {
        const size_t lo = f >= kLocalFrames ? f - kLocalFrames : 0;
        const size_t hi = std::min(frames, f + kLocalFrames + 1);
        double sum = 0;
        for (size_t g = lo; g < hi; ++g)
            sum += cleanRms[g] * cleanRms[g];
        local[f] = std::sqrt(sum / static_cast<double>(hi - lo));
    }
    const double below30dB = std::pow(10.0, -30.0 / 20);
    // Dither and the last bits of a fade are not sound: below 4 steps of 16 bits a frame is quiet.
    const double ditherRms = 4.0 / 32768;
    auto cleanSounds = [&](size_t f) { return local[f] >= speechRms && cleanRms[f] >= local[f] * below30dB; };
    auto damagedQuiet = [&](size_t f) { return damagedRms[f] < std::max(local[f] * below30dB, ditherRms); };

    for (size_t f = 0; f < frames;) {
        if (!frameMatched[f] || !cleanSounds(f) || !damagedQuiet(f)) {
            ++f;
            continue;
        }
        size_t end = f;
        while (end < frames && frameMatched[end] && cleanSounds(end) && damagedQuiet(end))
            ++end;
        const double ms = static_cast<double>((end - f) * frame) * msPerSample;
        // Speech that was sounding: the damaged call played speech just before, its last 10 ms within
        // 20 dB of the local speech level. A concealment that had only a breath or the quiet lead-in of a
        // word to go on (the word's start was lost) cannot know the word: such a stretch is counted apart.
        const bool heardBefore = f > 0 && frameMatched[f - 1] && !damagedQuiet(f - 1);
        double before = 0;
        size_t beforeFrames = 0;
        for (size_t g = f >= kLocalFrames ? f - kLocalFrames : 0; g < f; ++g, ++beforeFrames)
            before += damagedRms[g] * damagedRms[g];
        const bool speechBefore = beforeFrames > 0 && std::sqrt(before / static_cast<double>(beforeFrames)) >=
                                                          local[f] * std::pow(10.0, -20.0 / 20);
        if (ms > 5.0 && heardBefore && speechBefore) {
            ++gaps.quietStretches;
            gaps.quietLongestMs = std::max(gaps.quietLongestMs, ms);
            std::printf("quiet %.3f %.1f\n", static_cast<double>(f * frame) / clean.rate, ms);
        } else if (ms > 5.0 && heardBefore) {
            ++gaps.onsetStretches;
            std::printf("onset %.3f %.1f\n", static_cast<double>(f * frame) / clean.rate, ms);
        }
        f = end;
    }

    const size_t minZeros = static_cast<size_t>(clean.rate * 2 / 1000);
    for (size_t i = 0; i < n;) {
        if (!matched[i] || aligned[i] != 0.0f) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < n && matched[end] && aligned[end] == 0.0f)
            ++end;
        const size_t middle = std::min((i + end) / 2 / frame, frames - 1);
        if (end - i > minZeros && frames > 0 && local[middle] >= speechRms) {
            const double ms = static_cast<double>(end - i) * msPerSample;
            ++gaps.zeroRuns;
            gaps.zeroLongestMs = std::max(gaps.zeroLongestMs, ms);
            std::printf("zeros %.3f %.1f\n", static_cast<double>(i) / clean.rate, ms);
        }
        i = end;
    }
    return gaps;
}

int Damage(const char* cleanPath, const char* damagedPath) {
    Audio cleanFull, damagedFull;
    if (!Load(cleanPath, cleanFull) || !Load(damagedPath, damagedFull))
        return 2;
    const Audio clean = Decimate(cleanFull);
    const Audio damaged = Decimate(damagedFull);
    if (clean.rate != damaged.rate) {
        std::fprintf(stderr, "call_audio: the two files have different rates\n");
        return 2;
    }
    const size_t window = static_cast<size_t>(clean.rate);
    const size_t block = static_cast<size_t>(clean.rate / 100);
    // The damaged call runs later by its larger delay; its offset is found once over the whole file
    // (coarse), then each window looks for its own lag around it.
    const long maxLag = clean.rate * 2;
    double cleanPeak = 0;
    for (float s : clean.samples)
        cleanPeak = std::max(cleanPeak, static_cast<double>(std::fabs(s)));
    const double speechBlockEnergy = std::pow(cleanPeak * 0.03, 2) * static_cast<double>(block);
    std::vector<double> correlations;
    std::vector<float> aligned(clean.samples.size(), 0.0f);
    std::vector<uint8_t> matched(clean.samples.size(), 0);
    size_t speechBlocks = 0, silentBlocks = 0;
    long previousLag = 0;
    bool havePrevious = false;
    for (size_t start = 0; start + window <= clean.samples.size(); start += window) {
        const float* ref = clean.samples.data() + start;
        const double refEnergy = Energy(ref, window);
        if (refEnergy < speechBlockEnergy * 100 / 4)
            continue;  // a window without much speech says nothing
        const long lo = havePrevious ? previousLag - clean.rate / 5 : -maxLag;
        const long hi = havePrevious ? previousLag + clean.rate / 5 : maxLag;
        double best = -2;
        long bestLag = 0;
        for (long lag = lo; lag <= hi; ++lag) {
            const long from = static_cast<long>(start) + lag;
            if (from < 0 || from + static_cast<long>(window) > static_cast<long>(damaged.samples.size()))
                continue;
            const float* out = damaged.samples.data() + from;
            double dot = 0;
            for (size_t i = 0; i < window; ++i)
                dot += static_cast<double>(ref[i]) * out[i];
            const double outEnergy = Energy(out, window);
            const double r = outEnergy > 0 ? dot / std::sqrt(refEnergy * outEnergy) : 0;
            if (r > best) {
                best = r;
                bestLag = lag;
            }
        }
        if (best < -1)
            continue;
        correlations.push_back(best);
        std::printf("window %.0f %.3f %.1f\n", static_cast<double>(start) / clean.rate, best,
                    1000.0 * static_cast<double>(bestLag) / clean.rate);
        // A window the lag search could not lock onto (the timeline moved inside it) is read around the
        // lag the windows before it ended at.
        const long windowLag = best >= 0.5 || !havePrevious ? bestLag : previousLag;
        // Within the window the damaged call's timeline may move (a frame taken for late, a stretch): each
        // 100 ms piece is matched again near the window's lag before its gaps are looked for.
        // A piece that matches nothing well (correlation under 0.5) is damage, not a move: it stays at
        // the lag of the last piece that did match.
        const size_t piece = static_cast<size_t>(clean.rate / 10);
        const long reach = clean.rate * 30 / 1000;
        long matchedLag = windowLag;
        for (size_t p = 0; p + piece <= window; p += piece) {
            const float* part = ref + p;
            const double partEnergy = Energy(part, piece);
            long pieceLag = windowLag;
            double pieceBest = -2;
            for (long lag = windowLag - reach; lag <= windowLag + reach && partEnergy > 0; ++lag) {
                const long from = static_cast<long>(start + p) + lag;
                if (from < 0 || from + static_cast<long>(piece) > static_cast<long>(damaged.samples.size()))
                    continue;
                const float* out = damaged.samples.data() + from;
                double dot = 0;
                for (size_t i = 0; i < piece; ++i)
                    dot += static_cast<double>(part[i]) * out[i];
                const double outEnergy = Energy(out, piece);
                const double r = outEnergy > 0 ? dot / std::sqrt(partEnergy * outEnergy) : 0;
                if (r > pieceBest) {
                    pieceBest = r;
                    pieceLag = lag;
                }
            }
            if (pieceBest >= 0.5)
                matchedLag = pieceLag;
            else
                pieceLag = matchedLag;
            for (size_t i = p; i < p + piece; ++i) {
                aligned[start + i] =
                    damaged.samples[static_cast<size_t>(static_cast<long>(start + i) + pieceLag)];
                matched[start + i] = 1;
            }
        }
        for (size_t b = 0; b + block <= window; b += block) {
            if (Energy(ref + b, block) < speechBlockEnergy)
                continue;
            ++speechBlocks;
            if (Energy(aligned.data() + start + b, block) < speechBlockEnergy * 0.01)
                ++silentBlocks;
        }
        previousLag = matchedLag;
        havePrevious = havePrevious || best > 0.3;
    }
    if (correlations.empty()) {
        std::fprintf(stderr, "call_audio: no speech found in %s\n", cleanPath);
        return 1;
    }
    const Gaps gaps = FindGaps(clean, aligned, matched, cleanPeak * 0.03);
    std::printf(
        "windows=%zu correlation_median=%.3f correlation_p10=%.3f silent_gaps_pct=%.2f zero_runs=%d "
        "zero_longest_ms=%.1f quiet_stretches=%d quiet_longest_ms=%.1f onset_stretches=%d\n",
        correlations.size(), Quantile(correlations, 0.5), Quantile(correlations, 0.1),
        speechBlocks == 0 ? 0.0
                          : 100.0 * static_cast<double>(silentBlocks) / static_cast<double>(speechBlocks),
        gaps.zeroRuns, gaps.zeroLongestMs, gaps.quietStretches, gaps.quietLongestMs, gaps.onsetStretches);
    return 0;
}

int Codec(const char* inPath, const char* decodedPath) {
    Audio in, decoded;
    if (!Load(inPath, in) || !Load(decodedPath, decoded))
        return 2;
    if (in.rate != decoded.rate || in.rate <= 0) {
        std::fprintf(stderr, "call_audio: the two files have different rates\n");
        return 2;
    }
    const size_t maxLag = static_cast<size_t>(in.rate * 60 / 1000);
    if (in.samples.size() < maxLag * 2 || decoded.samples.size() < maxLag * 2) {
        std::fprintf(stderr, "call_audio: too little audio\n");
        return 1;
    }
    const size_t n = std::min(in.samples.size(), decoded.samples.size()) - maxLag;
    double bestDot = -1e300;
    size_t lag = 0;
    for (size_t l = 0; l < maxLag; ++l) {
        double dot = 0;
        for (size_t i = 0; i < n; ++i)
            dot += static_cast<double>(in.samples[i]) * decoded.samples[i + l];
        if (dot > bestDot) {
            bestDot = dot;
            lag = l;
        }
    }
    const float* out = decoded.samples.data() + lag;
    const double correlation = bestDot / std::sqrt(Energy(in.samples.data(), n) * Energy(out, n));
    float peak = 0;
    for (size_t i = 0; i < n; ++i)
        peak = std::max(peak, std::fabs(in.samples[i]));
    const size_t segment = static_cast<size_t>(in.rate / 50);
    const double speechEnergy = std::pow(peak * 0.03, 2) * static_cast<double>(segment);
    std::vector<double> snrs;
    for (size_t at = 0; at + segment <= n; at += segment) {
        const double energy = Energy(in.samples.data() + at, segment);
        if (energy < speechEnergy)
            continue;
        double error = 0;
        for (size_t i = at; i < at + segment; ++i)
            error += std::pow(static_cast<double>(in.samples[i]) - out[i], 2);
        snrs.push_back(std::clamp(10 * std::log10(energy / std::max(error, 1e-12)), -10.0, 35.0));
    }
    if (snrs.empty()) {
        std::fprintf(stderr, "call_audio: no speech found in %s\n", inPath);
        return 1;
    }
    double sum = 0;
    for (double snr : snrs)
        sum += snr;
    std::printf("segments=%zu delay_ms=%.2f correlation=%.3f segmental_snr_db=%.2f\n", snrs.size(),
                1000.0 * static_cast<double>(lag) / in.rate, correlation,
                sum / static_cast<double>(snrs.size()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "clicks") == 0)
        return Clicks(argv[2], argc >= 4 ? std::atof(argv[3]) : 500.0);
    if (argc == 4 && std::strcmp(argv[1], "damage") == 0)
        return Damage(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "codec") == 0)
        return Codec(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: call_audio clicks REC.wav [PERIOD_MS] | call_audio damage CLEAN.wav DAMAGED.wav | "
                 "call_audio codec IN.wav DECODED.wav\n");
    return 2;
}

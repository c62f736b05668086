// Compares what one side of a call played with what the other side recorded: each 1-second window of the
// reference that holds sound is found in the output by cross-correlation, on its own (the delay through
// two processes drifts a little), and the window's correlation, SNR and delay are collected.
//
//   wav_compare REF OUT [--min-corr=X] [--skip=SECONDS]   prints the medians; exit 1 below X
//   wav_compare --loud OUT                                exit 0 when OUT is not silent
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Audio {
    std::vector<float> samples;
    int rate = 0;
};

bool Load(const char* path, Audio& audio) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "wav_compare: %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    audio.rate = info.samplerate;
    audio.samples.resize(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; ++i)
        audio.samples[static_cast<size_t>(i)] = frames[static_cast<size_t>(i * info.channels)];
    return true;
}

double Rms(const float* x, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return n == 0 ? 0 : std::sqrt(sum / static_cast<double>(n));
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return 0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--loud") {
        Audio out;
        if (!Load(argv[2], out))
            return 2;
        const double rms = Rms(out.samples.data(), out.samples.size());
        std::printf("rms=%.4f\n", rms);
        return rms > 0.005 ? 0 : 1;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: wav_compare REF OUT [--min-corr=X] [--skip=SECONDS]\n       wav_compare --loud OUT\n");
        return 2;
    }
    double minCorr = -1;
    double skip = 0;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--min-corr=", 0) == 0)
            minCorr = std::atof(arg.c_str() + 11);
        else if (arg.rfind("--skip=", 0) == 0)
            skip = std::atof(arg.c_str() + 7);
    }
    Audio ref;
    Audio out;
    if (!Load(argv[1], ref) || !Load(argv[2], out))
        return 2;
    if (ref.rate != out.rate || ref.rate <= 0) {
        std::fprintf(stderr, "wav_compare: rates differ (%d, %d)\n", ref.rate, out.rate);
        return 2;
    }
    const size_t window = static_cast<size_t>(ref.rate);
    const long search = ref.rate / 4;  // later windows look within 250 ms of the previous delay
    std::vector<double> corrs;
    std::vector<double> snrs;
    std::vector<double> lags;
    long previous = -1;
    for (size_t start = static_cast<size_t>(skip * ref.rate); start + window <= ref.samples.size(); start += window) {
        const float* r = ref.samples.data() + start;
        if (Rms(r, window) < 0.01)
            continue;
        double rEnergy = 0;
        for (size_t i = 0; i < window; ++i)
            rEnergy += static_cast<double>(r[i]) * r[i];
        const long lastLag = static_cast<long>(out.samples.size()) - static_cast<long>(window) - static_cast<long>(start);
        long from = previous < 0 ? -static_cast<long>(start) : std::max(previous - search, -static_cast<long>(start));
        long to = previous < 0 ? lastLag : std::min(previous + search, lastLag);
        double best = -2;
        long bestLag = 0;
        for (long lag = from; lag <= to; ++lag) {
            const float* o = out.samples.data() + static_cast<long>(start) + lag;
            double dot = 0;
            double oEnergy = 0;
            for (size_t i = 0; i < window; ++i) {
                dot += static_cast<double>(r[i]) * o[i];
                oEnergy += static_cast<double>(o[i]) * o[i];
            }
            const double c = oEnergy > 0 ? dot / std::sqrt(rEnergy * oEnergy) : 0;
            if (c > best) {
                best = c;
                bestLag = lag;
            }
        }
        if (best < -1)
            continue;
        const float* o = out.samples.data() + static_cast<long>(start) + bestLag;
        double noise = 0;
        for (size_t i = 0; i < window; ++i)
            noise += (static_cast<double>(r[i]) - o[i]) * (static_cast<double>(r[i]) - o[i]);
        corrs.push_back(best);
        snrs.push_back(10 * std::log10(rEnergy / std::max(noise, 1e-12)));
        lags.push_back(1000.0 * static_cast<double>(bestLag) / ref.rate);
        previous = bestLag;
    }
    const double corr = Median(corrs);
    std::printf("windows=%zu median_corr=%.3f median_snr_db=%.1f median_lag_ms=%.1f p95_lag_ms=%.1f\n", corrs.size(),
                corr, Median(snrs), Median(lags), Percentile(lags, 0.95));
    if (corrs.empty())
        return 1;
    return corr >= minCorr ? 0 : 1;
}

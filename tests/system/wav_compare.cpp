// Compares what one side of a call played with what the other side recorded: each 1-second window of the
// reference that holds sound is found anywhere in the output by normalised cross-correlation (computed with
// an FFT), on its own, since the delay through two processes drifts; the window's correlation, SNR and
// delay are collected.
//
//   wav_compare REF OUT [--min-corr=X] [--skip=SECONDS]   prints the medians; exit 1 below X
//   wav_compare --loud OUT                                exit 0 when OUT is not silent
//   wav_compare --longest-gap OUT [--max-ms=X]            the longest silence between OUT's first and last
//                                                         sound; exit 1 when longer than X ms
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <numbers>
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

using Complex = std::complex<double>;

// In-place radix-2 FFT; `inverse` computes the unscaled inverse.
void Fft(std::vector<Complex>& a, bool inverse) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const double angle = 2 * std::numbers::pi / static_cast<double>(length) * (inverse ? 1 : -1);
        const Complex step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += length) {
            Complex w(1);
            for (size_t k = 0; k < length / 2; ++k) {
                const Complex u = a[i + k];
                const Complex v = a[i + k + length / 2] * w;
                a[i + k] = u + v;
                a[i + k + length / 2] = u - v;
                w *= step;
            }
        }
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return 0;
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
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
    if (argc >= 3 && std::string(argv[1]) == "--longest-gap") {
        Audio audio;
        if (!Load(argv[2], audio) || audio.rate <= 0)
            return 2;
        const double maxMs =
            argc >= 4 && std::string(argv[3]).rfind("--max-ms=", 0) == 0 ? std::atof(argv[3] + 9) : 1e9;
        // 5 ms blocks; a block is silent below a hundredth of the loudest block's level.
        const size_t block = static_cast<size_t>(audio.rate / 200);
        std::vector<double> levels;
        for (size_t at = 0; at + block <= audio.samples.size(); at += block)
            levels.push_back(Rms(audio.samples.data() + at, block));
        const double loudest = levels.empty() ? 0 : *std::max_element(levels.begin(), levels.end());
        const auto loud = [&](double level) { return level > loudest * 0.01; };
        const auto first = std::find_if(levels.begin(), levels.end(), loud);
        const auto last = std::find_if(levels.rbegin(), levels.rend(), loud).base();
        size_t longest = 0, run = 0;
        for (auto it = first; it < last; ++it) {
            run = loud(*it) ? 0 : run + 1;
            longest = std::max(longest, run);
        }
        const double longestMs = 5.0 * static_cast<double>(longest);
        std::printf("longest_gap_ms=%.0f\n", longestMs);
        return loudest > 0 && longestMs <= maxMs ? 0 : 1;
    }
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: wav_compare REF OUT [--min-corr=X] [--skip=SECONDS]\n       wav_compare --loud OUT\n"
            "       wav_compare --longest-gap OUT [--max-ms=X]\n");
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
    const size_t outLength = out.samples.size();
    if (outLength < window) {
        std::fprintf(stderr, "wav_compare: the output is shorter than one window\n");
        return 1;
    }
    size_t fftSize = 1;
    while (fftSize < outLength + window)
        fftSize <<= 1;
    std::vector<Complex> outSpectrum(fftSize);
    for (size_t i = 0; i < outLength; ++i)
        outSpectrum[i] = out.samples[i];
    Fft(outSpectrum, false);
    // energy[p] = sum of o^2 over [p, p + window)
    std::vector<double> prefix(outLength + 1, 0);
    for (size_t i = 0; i < outLength; ++i)
        prefix[i + 1] = prefix[i] + static_cast<double>(out.samples[i]) * out.samples[i];

    std::vector<double> corrs;
    std::vector<double> snrs;
    std::vector<double> lags;
    std::vector<Complex> product(fftSize);
    for (size_t start = static_cast<size_t>(skip * ref.rate); start + window <= ref.samples.size();
         start += window) {
        const float* r = ref.samples.data() + start;
        if (Rms(r, window) < 0.01)
            continue;
        double rEnergy = 0;
        for (size_t i = 0; i < window; ++i)
            rEnergy += static_cast<double>(r[i]) * r[i];
        // Cross-correlation dot[p] = sum r[i] o[p + i], from the product with the conjugate spectrum.
        std::fill(product.begin(), product.end(), Complex(0));
        for (size_t i = 0; i < window; ++i)
            product[i] = r[i];
        Fft(product, false);
        for (size_t i = 0; i < fftSize; ++i)
            product[i] = outSpectrum[i] * std::conj(product[i]);
        Fft(product, true);
        double best = -2;
        size_t bestPosition = 0;
        for (size_t position = 0; position + window <= outLength; ++position) {
            const double oEnergy = prefix[position + window] - prefix[position];
            if (oEnergy <= 0)
                continue;
            const double c =
                product[position].real() / static_cast<double>(fftSize) / std::sqrt(rEnergy * oEnergy);
            if (c > best) {
                best = c;
                bestPosition = position;
            }
        }
        if (best < -1)
            continue;
        const float* o = out.samples.data() + bestPosition;
        double noise = 0;
        for (size_t i = 0; i < window; ++i)
            noise += (static_cast<double>(r[i]) - o[i]) * (static_cast<double>(r[i]) - o[i]);
        corrs.push_back(best);
        snrs.push_back(10 * std::log10(rEnergy / std::max(noise, 1e-12)));
        lags.push_back(1000.0 * (static_cast<double>(bestPosition) - static_cast<double>(start)) / ref.rate);
    }
    const double corr = Median(corrs);
    std::printf("windows=%zu median_corr=%.3f median_snr_db=%.1f median_lag_ms=%.1f p95_lag_ms=%.1f\n",
                corrs.size(), corr, Median(snrs), Median(lags), Percentile(lags, 0.95));
    if (corrs.empty())
        return 1;
    return corr >= minCorr ? 0 : 1;
}

// Enhancer of the iLBC decoder: pitch estimation on a down-sampled history, quarter-sample alignment of
// seven pitch-synchronous segments around each 80-sample block, and a weighted average of them held to
// an energy constraint.
#include "audio/ilbc/IlbcEnhancer.h"

#include <array>
#include <cmath>
#include <cstring>

#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcTables.h"

namespace ilbc {
namespace {

constexpr int kSegments = 7;  // three periods before the block, the block, three after
constexpr int kVecLen = Enhancer::kBlock + 6;

// Tap k of the four fractional-delay filters' middle five taps, phase by phase: entry 4k + phase.
constexpr std::array<float, 20> kPhaseTaps = [] {
    std::array<float, 20> taps{};
    for (int k = 0; k < 5; ++k) {
        for (int phase = 0; phase < 4; ++phase)
            taps[static_cast<size_t>(4 * k + phase)] = tbl::polyphaserTbl[7 * phase + 1 + k];
    }
    return taps;
}();

// Normalised correlation c^2 / e of t with v over k samples, 0 unless c is positive.
float CrossCorr(const float* t, const float* v, int k) {
    float c = 0.0f;
    float e = 0.0f;
    for (int i = 0; i < k; ++i)
        c += t[i] * v[i];
    for (int i = 0; i < k; ++i)
        e += v[i] * v[i];
    return c > 0.0f ? c * c / e : 0.0f;
}

// The lag lo..hi at which the len samples from t correlate best (normalised, positive correlations
// only) with the samples that lag before them; the first one on a tie.
int BestLag(const float* t, int len, int lo, int hi) {
    float corr[128];
    float energy[128];
    LaggedCorrelations(t, t, len, lo, hi, corr, energy);
    int best = lo;
    float bestValue = corr[0] > 0.0f ? corr[0] * corr[0] / energy[0] : 0.0f;
    for (int lag = lo + 1; lag <= hi; ++lag) {
        const float c = corr[lag - lo];
        const float v = c > 0.0f ? c * c / energy[lag - lo] : 0.0f;
        if (v > bestValue) {
            bestValue = v;
            best = lag;
        }
    }
    return best;
}

// Index of the entry of a[0..7] nearest to v (first one on a tie).
int Nearest(const float* a, float v) {
    int best = 0;
    float d = a[0] - v;
    float bestDist = d * d;
    for (int k = 1; k < Enhancer::kPeriods; ++k) {
        d = a[k] - v;
        const float dist = d * d;
        if (dist < bestDist) {
            bestDist = dist;
            best = k;
        }
    }
    return best;
}

struct SmoothingWeights {
    float w[kSegments];
    SmoothingWeights() {
        for (int k = 0; k < kSegments; ++k)
            w[k] = 0.5f * (1.0f - std::cos(2.0f * kPi * static_cast<float>(k + 1) / 8.0f));
    }
};

// Replaces the block by a weighted average of the surrounding segments, unless that changes its
// energy too much, in which case the average is mixed with the block under an energy constraint.
void Smooth(const float (*seg)[Enhancer::kBlock], float* out) {
    static const SmoothingWeights weights;
    const float* wt = weights.w;
    const float* cur = seg[3];
    float sur[Enhancer::kBlock];
    for (int i = 0; i < Enhancer::kBlock; ++i) {
        float v = seg[0][i] * wt[0];
        v += seg[1][i] * wt[1];
        v += seg[2][i] * wt[2];
        v += seg[4][i] * wt[4];
        v += seg[5][i] * wt[5];
        v += seg[6][i] * wt[6];
        sur[i] = v;
    }
    float w00 = 0.0f;
    float w11 = 0.0f;
    float w10 = 0.0f;
    for (int i = 0; i < Enhancer::kBlock; ++i)
        w00 += cur[i] * cur[i];
    for (int i = 0; i < Enhancer::kBlock; ++i)
        w11 += sur[i] * sur[i];
    for (int i = 0; i < Enhancer::kBlock; ++i)
        w10 += sur[i] * cur[i];
    if (std::fabs(w11) < 1.0f)
        w11 = 1.0f;
    const float scale = std::sqrt(w00 / w11);
    float err = 0.0f;
    for (int i = 0; i < Enhancer::kBlock; ++i) {
        out[i] = scale * sur[i];
        const float d = cur[i] - out[i];
        err += d * d;
    }
    constexpr float kAlpha = 0.05f;
    if (err > kAlpha * w00) {
        if (w00 < 1.0f)
            w00 = 1.0f;
        const float denom = (w11 * w00 - w10 * w10) / (w00 * w00);
        float a = 0.0f;
        float b = 1.0f;
        if (denom > 0.0001f) {
            a = std::sqrt((kAlpha - kAlpha * kAlpha / 4.0f) / denom);
            b = -kAlpha / 2.0f - a * w10 / w00 + 1.0f;
        }
        for (int i = 0; i < Enhancer::kBlock; ++i)
            out[i] = a * sur[i] + b * cur[i];
    }
}

}  // namespace

Enhancer::Enhancer(Mode mode) : mode_(mode) {
    Reset(mode);
}

void Enhancer::Reset(Mode mode) {
    mode_ = mode;
    std::memset(x_, 0, sizeof x_);
    for (float& p : periods_)
        p = 40.0f;
}

int Enhancer::Record(const float* d) {
    const int n = Params(mode_).blockLen;
    std::memmove(x_, x_ + n, sizeof(float) * static_cast<unsigned>(kBufferLen - n));
    std::memcpy(x_ + kBufferLen - n, d, sizeof(float) * static_cast<unsigned>(n));
    // The frame's last 80 samples against the history; in 20 ms mode the longer lags reach into the
    // previous frame.
    return BestLag(x_ + kBufferLen - kBlock, kBlock, 20, 119);
}

int Enhancer::Process(const float* d, bool previousConcealed, float* e) {
    const int n = Params(mode_).blockLen;
    const int iota = mode_ == Mode::k20ms ? 1 : 0;
    std::memmove(x_, x_ + n, sizeof(float) * static_cast<unsigned>(kBufferLen - n));
    std::memcpy(x_ + kBufferLen - n, d, sizeof(float) * static_cast<unsigned>(n));
    const int shift = 3 - iota;
    for (int i = 0; i < kPeriods - shift; ++i)
        periods_[i] = periods_[i + shift];

    // Pitch of each new block, on the history low-passed and down-sampled by two.
    const int q0 = kBlock * (5 + iota) - 120;
    const int half = (360 - kBlock * iota) / 2;
    float down[180] = {};
    for (int j = 0; j < 7; ++j) {
        const float h = tbl::lpFilt_coefsTbl[j];
        const float* from = x_ + q0 + 3 - j;
        // The last output's newest taps lie past the buffer, where the signal counts as zero.
        const int count = q0 + 3 + 2 * (half - 1) - j < kBufferLen ? half : half - 1;
        for (int m = 0; m < count; ++m)
            down[m] += h * from[2 * m];
        if (count < half)
            down[half - 1] += h * 0.0f;
    }
    int lastLag = 0;
    for (int beta = 0; beta <= 2 - iota; ++beta) {
        const int best = BestLag(down + 60 + 40 * beta, 40, 10, 59);
        periods_[5 + iota + beta] = static_cast<float>(2 * best);
        lastLag = 2 * best;
    }

    if (previousConcealed)
        lastLag = 2 * SmoothJunction(d);

    const int blocks = 3 - iota;
    const int first = mode_ == Mode::k20ms ? 440 : 320;
    for (int b = 0; b < blocks; ++b)
        EnhanceBlock(first + kBlock * b, e + kBlock * b);
    return lastLag;
}

// After a concealed frame, the end of the concealed signal is blended into a backward prediction
// from the new frame so that the enhancer does not average across a discontinuity. Returns the lag
// used.
int Enhancer::SmoothJunction(const float* d) {
    const int n = Params(mode_).blockLen;
    const int iota = mode_ == Mode::k20ms ? 1 : 0;
    const int len = mode_ == Mode::k20ms ? 40 : 80;
    const int junction = kBufferLen - n;

    const int theta = TruncToInt(periods_[5 + iota]);
    int lag = theta - 1;
    float bestValue = CrossCorr(d, d + lag, len);
    for (int candidate = theta; candidate <= theta + 1; ++candidate) {
        const float v = CrossCorr(d, d + candidate, len);
        if (v > bestValue) {
            bestValue = v;
            lag = candidate;
        }
    }
    periods_[4 + iota] = static_cast<float>(lag);

    float pred[80];
    for (int k = 0; k < len; ++k)
        pred[k] = x_[junction - len + lag + k];
    float sumPred = 0.0f;
    for (int k = 0; k < len; ++k)
        sumPred += pred[k] * pred[k];
    float sumOld = 0.0f;
    for (int k = 0; k < len; ++k)
        sumOld += x_[junction - 1 - k] * x_[junction - 1 - k];
    const float a = std::sqrt(sumPred / static_cast<float>(len));
    const float b = std::sqrt(sumOld / static_cast<float>(len));
    if (a > 2.0f * b && a > 0.0f) {
        const float ratio = 2.0f * b / a;
        for (int k = 0; k < len - 10; ++k)
            pred[k] *= ratio;
        for (int k = len - 10; k < len; ++k)
            pred[k] *= static_cast<float>(k - len + 10) * (1.0f - ratio) / 10.0f + ratio;
    }
    for (int i = 0; i < len; ++i) {
        const int q = junction - 1 - i;
        const float w = static_cast<float>(i + 1) / static_cast<float>(len + 1);
        x_[q] *= w;
        x_[q] += (1.0f - w) * pred[len - 1 - i];
    }
    return lag;
}

void Enhancer::EnhanceBlock(int c0, float* out) const {
    const float* locs = tbl::enh_plocsTbl;
    float seg[kSegments][kBlock];
    float pos[kSegments];
    int loc[kSegments];

    std::memcpy(seg[3], x_ + c0, sizeof seg[3]);
    pos[3] = static_cast<float>(c0);
    loc[3] = Nearest(locs, 0.5f * static_cast<float>(2 * c0 + 79));
    for (int q = 2; q >= 0; --q) {
        pos[q] = pos[q + 1] - periods_[loc[q + 1]];
        loc[q] = Nearest(locs, pos[q] + 40.0f - periods_[loc[q + 1]]);
        if (pos[q] - 2.0f >= 0.0f)
            pos[q] = Refine(pos[q], c0, seg[q]);
        else
            std::memset(seg[q], 0, sizeof seg[q]);
    }
    float future[kPeriods];
    for (int k = 0; k < kPeriods; ++k)
        future[k] = locs[k] - periods_[k];
    for (int q = 4; q < kSegments; ++q) {
        loc[q] = Nearest(future, pos[q - 1] + 40.0f);
        pos[q] = pos[q - 1] + periods_[loc[q]];
        if (pos[q] + 80.0f + 2.0f < static_cast<float>(kBufferLen))
            pos[q] = Refine(pos[q], c0, seg[q]);
        else
            std::memset(seg[q], 0, sizeof seg[q]);
    }
    Smooth(seg, out);
}

// Finds the segment most like the block near the estimated start, at quarter-sample resolution, and
// returns its refined start (one sample late for whole-sample positions, as the reference has it).
float Enhancer::Refine(float estimate, int c0, float* segment) const {
    const int r = TruncToInt(estimate - 0.5f);
    int lo = r - 2;
    if (lo < 0)
        lo = 0;
    int hi = r + 2;
    if (hi + kBlock >= kBufferLen)
        hi = kBufferLen - kBlock - 1;
    // The callers keep segments inside the buffer; this only guards the correlation reads below.
    if (lo > kBufferLen - kBlock - 5)
        lo = kBufferLen - kBlock - 5;
    int count = hi - lo + 1;
    if (count > 5)
        count = 5;
    if (count < 1)
        count = 1;

    // Five candidate offsets side by side (the fifth is dropped when only four exist; lo is at most
    // 557, so it stays inside the buffer).
    Vec4 acc4 = Splat4(0.0f);
    float acc5 = 0.0f;
    for (int j = 0; j < kBlock; ++j) {
        const float b = x_[c0 + j];
        acc4 += Load4(x_ + lo + j) * Splat4(b);
        acc5 += x_[lo + 4 + j] * b;
    }
    float corr[5] = {acc4[0], acc4[1], acc4[2], acc4[3], acc5};
    for (int k = count; k < 5; ++k)
        corr[k] = 0.0f;
    // Up-sampling by four with the middle five taps of each fractional-delay filter, the four phases
    // side by side. Correlations outside 0..4 count as zeros: a zero product added to a sum that
    // started from +0 leaves it unchanged. With four correlations only the first three output groups
    // are distinct.
    const int groups = count == 5 ? 5 : (count > 1 ? count - 1 : 1);
    const float padded[9] = {0.0f, 0.0f, corr[0], corr[1], corr[2], corr[3], corr[4], 0.0f, 0.0f};
    float up[20];
    for (int t = 0; t < groups; ++t) {
        const int i = t + 2;
        Vec4 v = Splat4(0.0f);
        for (int k = 0; k < 5; ++k)
            v += Splat4(padded[i - k + 2]) * Load4(kPhaseTaps.data() + 4 * k);
        Store4(up + 4 * t, v);
    }
    int best = 0;
    for (int k = 1; k < 4 * groups; ++k) {
        if (up[k] > up[best])
            best = k;
    }
    const float refined = static_cast<float>(lo) + static_cast<float>(best) / 4.0f + 1.0f;

    const int whole = (best + 3) / 4;
    const int st = lo + whole - 3;
    float v[kVecLen];
    for (int i = 0; i < kVecLen; ++i) {
        const int at = st + i;
        v[i] = (at >= 0 && at < kBufferLen) ? x_[at] : 0.0f;
    }
    const float* filter = tbl::polyphaserTbl + 7 * (4 * whole - best);
    for (int i = 0; i < kBlock; i += 4) {
        Vec4 s = Splat4(0.0f);
        for (int j = 0; j < 7; ++j)
            s += Load4(v + i + j) * Splat4(filter[j]);
        Store4(segment + i, s);
    }
    return refined;
}

}  // namespace ilbc

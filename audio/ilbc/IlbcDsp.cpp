// Shared iLBC building blocks; the order of every float operation is part of the coder's definition.
#include "audio/ilbc/IlbcDsp.h"

#include <cfloat>
#include <climits>
#include <cmath>

#include "audio/ilbc/IlbcTables.h"

namespace ilbc {

void HighPass::Run(float* x, int len, const float* b, const float* a) {
    // The state lives in locals for the loop: stores to x could otherwise alias the members and force
    // them back to memory on every sample, lengthening the filter's dependency chain.
    const float b0 = b[0], b1 = b[1], b2 = b[2], a1 = a[1], a2 = a[2];
    float x1 = x1_, x2 = x2_, y1 = y1_, y2 = y2_;
    for (int n = 0; n < len; ++n) {
        const float in = x[n];
        const float v = b0 * in + b1 * x1 + b2 * x2;
        const float y = v - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = in;
        y2 = y1;
        y1 = y;
        x[n] = y;
    }
    x1_ = x1;
    x2_ = x2;
    y1_ = y1;
    y2_ = y2;
}

bool HighPass::Finite() const {
    return std::isfinite(x1_) && std::isfinite(x2_) && std::isfinite(y1_) && std::isfinite(y2_);
}

void HighPass::SettleSubnormal() {
    const auto tiny = [](float v) { return std::fabs(v) < FLT_MIN; };
    if (tiny(x1_) && tiny(x2_) && tiny(y1_) && tiny(y2_))
        Reset();
}

namespace {

// Lags lo .. lo+WQ-1 with W lanes per vector V: lane j works on lag lo+WQ-1-j, whose lagged samples start
// at base + j, so every lane reads forward through memory. Always inlined, so that it is compiled for
// the instruction set of its caller.
template <typename V, int Q>
[[gnu::always_inline]] inline void LaggedBlock(const float* t, const float* x, int len, int lo, float* corr,
                                               float* energy) {
    constexpr int W = static_cast<int>(sizeof(V) / sizeof(float));
    const float* base = x - (lo + W * Q - 1);
    V c[Q] = {};
    for (int i = 0; i < len; ++i) {
        V ti;
        for (int k = 0; k < W; ++k)
            ti[k] = t[i];
#pragma GCC unroll 4
        for (int q = 0; q < Q; ++q) {
            V v;
            std::memcpy(&v, base + i + W * q, sizeof v);
            c[q] += ti * v;
        }
    }
    for (int j = 0; j < W * Q; ++j)
        corr[W * Q - 1 - j] = c[j / W][j % W];
    if (energy != nullptr) {
        V e[Q] = {};
        for (int i = 0; i < len; ++i) {
#pragma GCC unroll 4
            for (int q = 0; q < Q; ++q) {
                V v;
                std::memcpy(&v, base + i + W * q, sizeof v);
                e[q] += v * v;
            }
        }
        for (int j = 0; j < W * Q; ++j)
            energy[W * Q - 1 - j] = e[j / W][j % W];
    }
}

void LaggedSingle(const float* t, const float* x, int len, int lag, float* corr, float* energy) {
    float c = 0.0f;
    float e = 0.0f;
    for (int i = 0; i < len; ++i) {
        c += t[i] * x[i - lag];
        e += x[i - lag] * x[i - lag];
    }
    *corr = c;
    if (energy != nullptr)
        *energy = e;
}

// Lags from `lag` to hi in blocks of 16, 4 and 1 on four-lane vectors.
[[gnu::always_inline]] inline void LaggedRest(const float* t, const float* x, int len, int lo, int lag,
                                              int hi, float* corr, float* energy) {
    for (; lag + 16 <= hi + 1; lag += 16)
        LaggedBlock<Vec4, 4>(t, x, len, lag, corr + (lag - lo),
                             energy != nullptr ? energy + (lag - lo) : nullptr);
    for (; lag + 4 <= hi + 1; lag += 4)
        LaggedBlock<Vec4, 1>(t, x, len, lag, corr + (lag - lo),
                             energy != nullptr ? energy + (lag - lo) : nullptr);
    for (; lag <= hi; ++lag)
        LaggedSingle(t, x, len, lag, corr + (lag - lo), energy != nullptr ? energy + (lag - lo) : nullptr);
}

#if defined(__x86_64__)
// Processors with AVX2 take eight lags per register: the same lane-by-lane arithmetic, twice as wide.
using Vec8 = float __attribute__((vector_size(32)));

[[gnu::target("avx2")]] void LaggedCorrelationsAvx2(const float* t, const float* x, int len, int lo, int hi,
                                                    float* corr, float* energy) {
    // Four sums per block, so that each addition's latency is hidden behind the other three.
    int lag = lo;
    for (; lag + 32 <= hi + 1; lag += 32)
        LaggedBlock<Vec8, 4>(t, x, len, lag, corr + (lag - lo),
                             energy != nullptr ? energy + (lag - lo) : nullptr);
    for (; lag + 16 <= hi + 1; lag += 16)
        LaggedBlock<Vec8, 2>(t, x, len, lag, corr + (lag - lo),
                             energy != nullptr ? energy + (lag - lo) : nullptr);
    LaggedRest(t, x, len, lo, lag, hi, corr, energy);
}

const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

void LaggedCorrelations(const float* t, const float* x, int len, int lo, int hi, float* corr, float* energy) {
#if defined(__x86_64__)
    if (kHaveAvx2) {
        LaggedCorrelationsAvx2(t, x, len, lo, hi, corr, energy);
        return;
    }
#endif
    LaggedRest(t, x, len, lo, lo, hi, corr, energy);
}

void AllPoleTwo(float* x, int len, const float* a, float* u, int ulen, const float* b) {
    const int both = len < ulen ? len : ulen;
    if (both > 0) {
        Vec4 c[kLpc];
        for (int k = 1; k <= kOrder; ++k)
            c[k] = Vec4{a[k], b[k], 0.0f, 0.0f};
        Vec4 y[kLpc];
        for (int k = 1; k <= kOrder; ++k)
            y[k] = Vec4{x[-k], u[-k], 0.0f, 0.0f};
        for (int n = 0; n < both; ++n) {
            Vec4 v = Vec4{x[n], u[n], 0.0f, 0.0f};
#pragma GCC unroll 10
            for (int k = 1; k <= kOrder; ++k)
                v -= c[k] * y[k];
#pragma GCC unroll 10
            for (int k = kOrder; k > 1; --k)
                y[k] = y[k - 1];
            y[1] = v;
            x[n] = v[0];
            u[n] = v[1];
        }
    }
    // The longer one goes on alone; its history is in place before it.
    AllPole(x + both, len - both, a);
    AllPole(u + both, ulen - both, b);
}

void BandwidthExpand(const float* a, float* out, float c) {
    out[0] = a[0];
    float gamma = c;
    for (int k = 1; k <= kOrder; ++k) {
        out[k] = a[k] * gamma;
        gamma *= c;
    }
}

void Interpolate(const float* u, const float* v, float c, int len, float* out) {
    const float complement = 1.0f - c;
    for (int i = 0; i < len; ++i)
        out[i] = c * u[i] + complement * v[i];
}

void LsfToPoly(const float* lsf, float* a) {
    float f[kOrder];
    for (int i = 0; i < kOrder; ++i)
        f[i] = lsf[i] * kPi2;
    // An ill-conditioned set is replaced by evenly spaced frequencies between its (repaired) ends.
    if (f[0] <= 0.0f || f[kOrder - 1] >= 0.5f) {
        if (f[0] <= 0.0f)
            f[0] = 0.022f;
        if (f[kOrder - 1] >= 0.5f)
            f[kOrder - 1] = 0.499f;
        const float step = (f[kOrder - 1] - f[0]) / 9.0f;
        for (int i = 1; i < kOrder; ++i)
            f[i] = f[i - 1] + step;
    }
    float p[5];
    float q[5];
    for (int i = 0; i < 5; ++i) {
        p[i] = std::cos(kTwoPi * f[2 * i]);
        q[i] = std::cos(kTwoPi * f[2 * i + 1]);
    }
    // The impulse responses of the two cascades of second-order sections, sample by sample.
    float pMem1[5] = {}, pMem2[5] = {}, qMem1[5] = {}, qMem2[5] = {};
    a[0] = 1.0f;
    for (int t = 0; t <= kOrder; ++t) {
        float xp = t <= 1 ? 0.25f : 0.0f;
        float xq = t == 0 ? 0.25f : (t == 1 ? -0.25f : 0.0f);
        for (int i = 0; i < 5; ++i) {
            const float yp = xp - (2.0f * p[i]) * pMem1[i] + pMem2[i];
            pMem2[i] = pMem1[i];
            pMem1[i] = xp;
            xp = yp;
            const float yq = xq - (2.0f * q[i]) * qMem1[i] + qMem2[i];
            qMem2[i] = qMem1[i];
            qMem1[i] = xq;
            xq = yq;
        }
        if (t >= 1)
            a[t] = 2.0f * (xp + xq);
    }
}

void LsfCheck(float* lsf, int count) {
    constexpr float kMinDistance = 0.039f;
    constexpr float kHalfPush = 0.0195f;
    constexpr float kMinLsf = 0.01f;
    constexpr float kMaxLsf = 3.14f;
    for (int pass = 0; pass < 2; ++pass) {
        for (int v = 0; v < count; ++v) {
            float* w = lsf + v * kOrder;
            for (int k = 0; k < kOrder - 1; ++k) {
                if (w[k + 1] - w[k] < kMinDistance) {
                    if (w[k + 1] < w[k]) {
                        w[k + 1] = w[k] + kHalfPush;
                        w[k] = w[k + 1] - kHalfPush;
                    } else {
                        w[k] -= kHalfPush;
                        w[k + 1] += kHalfPush;
                    }
                }
                if (w[k] < kMinLsf)
                    w[k] = kMinLsf;
                if (w[k] > kMaxLsf)
                    w[k] = kMaxLsf;
            }
        }
    }
}

int ScalarQuantise(float x, const float* q, int n) {
    if (x <= q[0])
        return 0;
    int i = 1;
    while (i < n - 1 && !(x <= q[i]))
        ++i;
    const float mid = (q[i] + q[i - 1]) / 2.0f;
    return x > mid ? i : i - 1;
}

void LsfDequantise(const int* index, float* lsf) {
    // Splits of 3, 3 and 4 values from codebooks of 64, 128 and 128 rows, stored one after the other.
    const float* split1 = tbl::lsfCbTbl + (index[0] & 63) * 3;
    const float* split2 = tbl::lsfCbTbl + 64 * 3 + (index[1] & 127) * 3;
    const float* split3 = tbl::lsfCbTbl + 64 * 3 + 128 * 3 + (index[2] & 127) * 4;
    for (int i = 0; i < 3; ++i)
        lsf[i] = split1[i];
    for (int i = 0; i < 3; ++i)
        lsf[3 + i] = split2[i];
    for (int i = 0; i < 4; ++i)
        lsf[6 + i] = split3[i];
}

void SubframePolynomials(Mode mode, const float* previous, const float* sets, float chirp, float* polys) {
    const ModeParams& p = Params(mode);
    float lsf[kOrder];
    float poly[kLpc];
    for (int j = 0; j < p.nsub; ++j) {
        if (mode == Mode::k20ms)
            Interpolate(previous, sets, tbl::lsf_weightTbl_20ms[j], kOrder, lsf);
        else if (j == 0)
            Interpolate(previous, sets, tbl::lsf_weightTbl_30ms[0], kOrder, lsf);
        else
            Interpolate(sets, sets + kOrder, tbl::lsf_weightTbl_30ms[j], kOrder, lsf);
        float* out = polys + j * kLpc;
        if (chirp > 0.0f) {
            LsfToPoly(lsf, poly);
            BandwidthExpand(poly, out, chirp);
        } else {
            LsfToPoly(lsf, out);
        }
    }
}

float GainDequantise(int index, float previousGain, int stage) {
    float scale = std::fabs(previousGain);
    if (scale < 0.1f)
        scale = 0.1f;
    switch (stage) {
        case 0:
            return scale * tbl::gain_sq5Tbl[index & 31];
        case 1:
            return scale * tbl::gain_sq4Tbl[index & 15];
        default:
            return scale * tbl::gain_sq3Tbl[index & 7];
    }
}

int CbIndexToWire(int index) {
    if (index >= 108 && index < 172)
        return index - 64;
    if (index >= 236)
        return index - 128;
    return index;
}

int CbIndexFromWire(int wire) {
    if (wire >= 108)
        return wire + 128;
    if (wire >= 44)
        return wire + 64;
    return wire;
}

void StateReconstruct(int idxForMax, const int* idxVec, int stateLen, const float* a, float* out) {
    const float amplitude = std::pow(10.0f, tbl::state_frgqTbl[idxForMax & 63]) / 4.5f;
    // The samples come time-reversed; the all-pass filter with the reversed polynomial as numerator
    // undoes the encoder's circular convolution once the two halves of its output are folded.
    float in[kOrder + 2 * kMaxState] = {};
    float y[kOrder + 2 * kMaxState] = {};
    for (int k = 0; k < stateLen; ++k)
        in[kOrder + k] = amplitude * tbl::state_sq3Tbl[idxVec[stateLen - 1 - k] & 7];
    float reversed[kLpc];
    for (int k = 0; k <= kOrder; ++k)
        reversed[k] = a[kOrder - k];
    AllZero(in + kOrder, 2 * stateLen, reversed, y + kOrder);
    AllPole(y + kOrder, 2 * stateLen, a);
    const float* filtered = y + kOrder;
    for (int k = 0; k < stateLen; ++k)
        out[k] = filtered[stateLen - 1 - k] + filtered[2 * stateLen - 1 - k];
}

int TruncToInt(float v) {
    if (v >= -2147483648.0f && v < 2147483648.0f)
        return static_cast<int>(v);
    return INT_MIN;
}

}  // namespace ilbc

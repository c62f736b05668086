// iLBC encoder: high-pass, LPC analysis and LSF quantisation, the LPC residual, the choice and scalar
// quantisation of the start state, and the codebook coding of the rest of the frame.
#include "audio/ilbc/IlbcEncoder.h"

#include <cmath>
#include <cstring>

#include "audio/ilbc/IlbcCodebook.h"
#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcTables.h"

namespace ilbc {
namespace {

constexpr float kChirpSynt = 0.9025f;
constexpr float kChirpWeight = 0.4222f;
constexpr int kWindow = 240;

void Levinson(const float* r, float* a) {
    a[0] = 1.0f;
    if (r[0] < kEps) {
        for (int i = 1; i <= kOrder; ++i)
            a[i] = 0.0f;
        return;
    }
    float k = -r[1] / r[0];
    a[1] = k;
    float alpha = r[0] + r[1] * k;
    for (int m = 1; m < kOrder; ++m) {
        float sum = r[m + 1];
        for (int i = 0; i < m; ++i)
            sum += a[i + 1] * r[m - i];
        k = -sum / alpha;
        alpha += k * sum;
        for (int i = 0; i < (m + 1) / 2; ++i) {
            const float u = a[i + 1];
            const float v = a[m - i];
            a[i + 1] = u + k * v;
            a[m - i] = v + k * u;
        }
        a[m + 1] = k;
    }
}

// One of the two Chebyshev-like sums whose zeros are the LSFs, at the normalised frequency whose
// cos(2 pi w) is x.
float LsfPolyValue(const float* c, float x) {
    const float x2 = 2.0f * x;
    const float h1 = x2 + c[0];
    const float h2 = x2 * h1 - 1.0f + c[1];
    const float h3 = x2 * h2 - h1 + c[2];
    const float h4 = x2 * h3 - h2 + c[3];
    return x * h4 - h3 + c[4];
}

// cos(2 pi w) at the points of the search's coarse grid, w = 0, s, s + s, ... (float sums) up to the
// first one past 0.5: every search visits them, so they are worked out once, by the same calls.
struct CoarseGrid {
    static constexpr int kPoints = 100;
    float cosine[kPoints];
    int count = 0;

    CoarseGrid() {
        // Read at run time, so that the compiler cannot fold the cosines at its own precision.
        const volatile float step = tbl::lsf_search_steps[0];
        float w = 0.0f;
        for (count = 0; count < kPoints; ++count) {
            cosine[count] = std::cos(w * kTwoPi);
            if (w >= 0.5f) {
                ++count;
                break;
            }
            w += step;
        }
    }
};

// The zeros of the two sums, found on a grid and refined three times by halving the step; they
// alternate between the two sums and come out in ascending order.
void PolyToLsf(const float* a, float* lsf) {
    float p[5];
    float q[5];
    for (int i = 0; i < 5; ++i) {
        p[i] = -(a[i + 1] + a[kOrder - i]);
        q[i] = a[kOrder - i] - a[i + 1];
    }
    float cp[5];
    float cq[5];
    cp[0] = -1.0f - p[0];
    cq[0] = 1.0f - q[0];
    for (int i = 1; i < 5; ++i) {
        cp[i] = -cp[i - 1] - p[i];
        cq[i] = cq[i - 1] - q[i];
    }
    cp[4] = cp[4] / 2.0f;
    cq[4] = cq[4] / 2.0f;

    static const CoarseGrid grid;
    const float* steps = tbl::lsf_search_steps;
    float w = 0.0f;
    float wBack = 0.0f;
    int point = 0;  // w's place on the coarse grid while the level is 0
    int pointBack = 0;
    float oldP = kFloatMax;
    float oldQ = kFloatMax;
    for (int root = 0; root < kOrder; ++root) {
        const float* c = (root % 2 == 0) ? cp : cq;
        float& old = (root % 2 == 0) ? oldP : oldQ;
        int level = 0;
        float step = steps[0];
        float found = 0.0f;
        for (;;) {
            const float x = level == 0 && point < grid.count ? grid.cosine[point] : std::cos(w * kTwoPi);
            const float f = LsfPolyValue(c, x);
            if (f * old <= 0.0f || w >= 0.5f) {
                if (level == 3) {
                    found = std::fabs(f) >= std::fabs(old) ? w - step : w;
                    old = old >= 0.0f ? -kFloatMax : kFloatMax;
                    w = wBack;
                    point = pointBack;
                    break;
                }
                if (level == 0) {
                    wBack = w;
                    pointBack = point;
                }
                ++level;
                w -= steps[level];
                step = steps[level];
            } else {
                old = f;
                w += step;
                if (level == 0)
                    ++point;
            }
        }
        lsf[root] = found * kTwoPi;
    }
}

}  // namespace

Encoder::Encoder(Mode mode) : mode_(mode) {
    Reset();
}

void Encoder::Reset(Mode mode) {
    mode_ = mode;
    Reset();
}

void Encoder::Reset() {
    silentValid_ = false;
    state_.highPass.Reset();
    std::memset(state_.analysis, 0, sizeof state_.analysis);
    std::memset(state_.residualMem, 0, sizeof state_.residualMem);
    Copy(state_.lsfOld, tbl::lsfmeanTbl, kOrder);
    Copy(state_.lsfDeqOld, tbl::lsfmeanTbl, kOrder);
}

void Encoder::AnalyseLpc(const float* x, float* lsf) {
    const ModeParams& m = Params(mode_);
    Copy(state_.analysis + kAnalysisLen - m.blockLen, x, m.blockLen);
    for (int k = 0; k < m.lpcN; ++k) {
        // Every analysis but the last uses the symmetric window on the buffer's start; the last uses
        // the asymmetric window on the newest 240 samples.
        // Zeros after the window let the eleven lag sums run side by side over one index.
        float w[kWindow + 12] = {};
        if (k < m.lpcN - 1) {
            for (int n = 0; n < kWindow; ++n)
                w[n] = state_.analysis[n] * tbl::lpc_winTbl[n];
        } else {
            for (int n = 0; n < kWindow; ++n)
                w[n] = state_.analysis[kLookback + n] * tbl::lpc_asymwinTbl[n];
        }
        // Products with the zeros past the window add nothing to a sum (a running sum from +0 is never
        // -0), so each lag's sum is the plain one over n = 0..239-lag.
        Vec4 acc[3] = {};
        for (int n = 0; n < kWindow; ++n) {
            const Vec4 wn = Splat4(w[n]);
            acc[0] += wn * Load4(w + n);
            acc[1] += wn * Load4(w + n + 4);
            acc[2] += wn * Load4(w + n + 8);
        }
        float r[kLpc];
        for (int lag = 0; lag <= kOrder; ++lag)
            r[lag] = acc[lag / 4][lag % 4] * tbl::lpc_lagwinTbl[lag];
        float a[kLpc];
        float expanded[kLpc];
        Levinson(r, a);
        BandwidthExpand(a, expanded, kChirpSynt);
        PolyToLsf(expanded, lsf + k * kOrder);
    }
    std::memmove(state_.analysis, state_.analysis + m.blockLen,
                 sizeof(float) * static_cast<unsigned>(kAnalysisLen - m.blockLen));
}

void Encoder::QuantiseLsf(const float* lsf, int* index, float* quantised) const {
    const float* codebook = tbl::lsfCbTbl;
    for (int split = 0; split < 3; ++split) {
        const int dim = tbl::dim_lsfCbTbl[split];
        const int size = tbl::size_lsfCbTbl[split];
        int best = 0;
        float minDist = 1.0e37f;
        for (int j = 0; j < size; ++j) {
            const float* row = codebook + j * dim;
            const float d0 = lsf[0] - row[0];
            float dist = d0 * d0;
            for (int i = 1; i < dim; ++i) {
                const float d = lsf[i] - row[i];
                dist += d * d;
            }
            if (dist < minDist) {
                minDist = dist;
                best = j;
            }
        }
        index[split] = best;
        Copy(quantised, codebook + best * dim, dim);
        codebook += size * dim;
        lsf += dim;
        quantised += dim;
    }
}

void Encoder::Encode(const int16_t* samples, uint8_t* frame) {
    FrameParams params;
    Encode(samples, params);
    PackFrame(mode_, params, frame);
}

namespace {

// Bit for bit: a state that differs only in the sign of a zero could code differently.
bool Same(const void* a, const void* b, size_t size) {
    return std::memcmp(a, b, size) == 0;
}

}  // namespace

void Encoder::Encode(const int16_t* samples, FrameParams& params) {
    const int n = Params(mode_).blockLen;
    bool silent = true;
    for (int i = 0; i < n && silent; ++i)
        silent = samples[i] == 0;
    if (!silent) {
        EncodeBlock(samples, params);
        return;
    }
    // The coder is a function of its state and the block: the same state and a silent block again give
    // the same frame and leave the state as it was.
    if (silentValid_ && Same(&state_, &silentState_, sizeof state_)) {
        params = silentParams_;
        return;
    }
    silentState_ = state_;
    EncodeBlock(samples, params);
    silentValid_ = Same(&state_, &silentState_, sizeof state_);
    if (silentValid_)
        silentParams_ = params;
}

void Encoder::EncodeBlock(const int16_t* samples, FrameParams& params) {
    const ModeParams& m = Params(mode_);
    params = FrameParams{};

    float x[kMaxBlock];
    for (int n = 0; n < m.blockLen; ++n)
        x[n] = samples[n];
    state_.highPass.Run(x, m.blockLen, tbl::hpi_zero_coefsTbl, tbl::hpi_pole_coefsTbl);
    // After sound, digital silence leaves the filter circling among subnormal numbers for good, and
    // every later stage would then pay the processor's slow path for them; its output is already
    // far below anything the coder can resolve, so the state is cleared instead.
    state_.highPass.SettleSubnormal();

    float lsf[kMaxLsfSets * kOrder];
    AnalyseLpc(x, lsf);
    float lsfQ[kMaxLsfSets * kOrder];
    for (int k = 0; k < m.lpcN; ++k)
        QuantiseLsf(lsf + k * kOrder, params.lsf + 3 * k, lsfQ + k * kOrder);
    LsfCheck(lsfQ, m.lpcN);

    float synt[kMaxSub * kLpc];
    float weight[kMaxSub * kLpc];
    SubframePolynomials(mode_, state_.lsfDeqOld, lsfQ, 0.0f, synt);
    SubframePolynomials(mode_, state_.lsfOld, lsf, kChirpWeight, weight);
    Copy(state_.lsfOld, lsf + (m.lpcN - 1) * kOrder, kOrder);
    Copy(state_.lsfDeqOld, lsfQ + (m.lpcN - 1) * kOrder, kOrder);

    // LPC residual, the analysis filter's memory running on through sub-frames and frames.
    float input[kOrder + kMaxBlock];
    Copy(input, state_.residualMem, kOrder);
    Copy(input + kOrder, x, m.blockLen);
    float r[kMaxBlock];
    for (int j = 0; j < m.nsub; ++j)
        AllZero(input + kOrder + kSubL * j, kSubL, synt + kLpc * j, r + kSubL * j);
    Copy(state_.residualMem, input + m.blockLen, kOrder);

    EncodeResidual(r, synt, weight, params);
}

void Encoder::EncodeResidual(const float* r, const float* synt, const float* weight,
                             FrameParams& params) const {
    const ModeParams& m = Params(mode_);
    const int stateLen = m.stateLen;
    const int extLen = 2 * kSubL - stateLen;

    // The start region is the pair of sub-frames with the most energy, its outer edges tapered.
    const float* taper = tbl::classify_sampEn_win;
    float front[kMaxSub] = {};
    float back[kMaxSub] = {};
    for (int j = 0; j < m.nsub; ++j) {
        const float* e = r + kSubL * j;
        if (j < m.nsub - 1) {
            float sum = 0.0f;
            for (int l = 0; l < kSubL; ++l)
                sum += l < 5 ? taper[l] * e[l] * e[l] : e[l] * e[l];
            front[j] = sum;
        }
        if (j > 0) {
            float sum = 0.0f;
            for (int l = 0; l < kSubL; ++l)
                sum += l < kSubL - 5 ? e[l] * e[l] : taper[kSubL - 1 - l] * e[l] * e[l];
            back[j] = sum;
        }
    }
    const int windowOffset = mode_ == Mode::k20ms ? 0 : -1;
    int start = 1;
    float bestScore = (front[0] + back[1]) * tbl::classify_ssqEn_win[1 + windowOffset];
    for (int s = 2; s < m.nsub; ++s) {
        const float score = (front[s - 1] + back[s]) * tbl::classify_ssqEn_win[s + windowOffset];
        if (score > bestScore) {
            bestScore = score;
            start = s;
        }
    }
    const int p1 = kSubL * (start - 1);

    // The scalar-quantised samples go to the end of the start region with more energy. The second
    // energy is accumulated in an int, truncated at every step, as the reference coder does.
    float e1 = 0.0f;
    for (int i = 0; i < stateLen; ++i)
        e1 += r[p1 + i] * r[p1 + i];
    int e2 = 0;
    for (int i = 0; i < stateLen; ++i) {
        const float v = r[p1 + extLen + i];
        e2 = TruncToInt(static_cast<float>(e2) + v * v);
    }
    const int stateFirst = e1 > static_cast<float>(e2) ? 1 : 0;
    const int p = stateFirst ? p1 : p1 + extLen;
    params.start = start;
    params.stateFirst = stateFirst;

    // Start state: all-pass filtered ("circular convolution") so that its reconstruction by the
    // synthesis filter is exact, scaled by the quantised maximum, then quantised sample by sample
    // with noise shaping through the weighting filters of its two sub-frames.
    const float* a = synt + kLpc * (start - 1);
    const float* wA = weight + kLpc * (start - 1);
    const float* wB = weight + kLpc * start;
    float in[kOrder + 2 * kMaxState] = {};
    float y[kOrder + 2 * kMaxState] = {};
    Copy(in + kOrder, r + p, stateLen);
    float reversed[kLpc];
    for (int k = 0; k <= kOrder; ++k)
        reversed[k] = a[kOrder - k];
    AllZero(in + kOrder, 2 * stateLen, reversed, y + kOrder);
    AllPole(y + kOrder, 2 * stateLen, a);
    float u[kOrder + kMaxState] = {};
    float* target = u + kOrder;
    for (int k = 0; k < stateLen; ++k)
        target[k] = y[kOrder + k] + y[kOrder + k + stateLen];

    float peak = target[0];
    for (int k = 0; k < stateLen; ++k) {
        if (target[k] * target[k] > peak * peak)
            peak = target[k];
    }
    float level = std::fabs(peak);
    if (level < 10.0f)
        level = 10.0f;
    params.idxForMax = ScalarQuantise(std::log10(level), tbl::state_frgqTbl, 64);
    const float scale = 4.5f / std::pow(10.0f, tbl::state_frgqTbl[params.idxForMax]);
    for (int k = 0; k < stateLen; ++k)
        target[k] *= scale;

    const int boundary = stateFirst ? kSubL : stateLen - kSubL;
    AllPole(target, boundary, wA);
    AllPole(target + boundary, stateLen - boundary, wB);
    float shaped[kOrder + kMaxState] = {};
    float* s = shaped + kOrder;
    for (int n = 0; n < stateLen; ++n) {
        const float* w = n < boundary ? wA : wB;
        float prediction = 0.0f;
        for (int k = 1; k <= kOrder; ++k)
            prediction -= w[k] * s[n - k];
        const int index = ScalarQuantise(target[n] - prediction, tbl::state_sq3Tbl, 8);
        params.idxVec[n] = index;
        float v = tbl::state_sq3Tbl[index];
        for (int k = 1; k <= kOrder; ++k)
            v -= w[k] * s[n - k];
        s[n] = v;
    }

    // From here on the encoder works with what the decoder will have: the reconstructed residual.
    float d[kMaxBlock] = {};
    StateReconstruct(params.idxForMax, params.idxVec, stateLen, a, d + p);

    float mem[kCbMem];
    float part[kSubL];
    float coded[kSubL];
    // Extension of the start state to the full 80-sample start region.
    std::memset(mem, 0, sizeof(float) * static_cast<unsigned>(kStateMem - stateLen));
    if (stateFirst) {
        Copy(mem + kStateMem - stateLen, d + p, stateLen);
        CodebookSearch(r + p + stateLen, extLen, mem, kStateMem, wB, 0, params.extension);
        CodebookDecode(params.extension, mem, kStateMem, extLen, d + p + stateLen);
    } else {
        // Before the state the extension is coded backwards in time.
        for (int k = 0; k < stateLen; ++k)
            mem[kStateMem - 1 - k] = d[p + k];
        for (int k = 0; k < extLen; ++k)
            part[k] = r[p - 1 - k];
        CodebookSearch(part, extLen, mem, kStateMem, wA, 0, params.extension);
        CodebookDecode(params.extension, mem, kStateMem, extLen, coded);
        for (int k = 0; k < extLen; ++k)
            d[p - 1 - k] = coded[k];
    }

    // Sub-frames after the start region, forward in time.
    // Each search also begins the next one's weighted memory (WeightedAhead).
    const int forward = m.nsub - 1 - start;
    WeightedAhead ahead;
    ForwardMemory(mem, d + p1);
    for (int k = 0; k < forward; ++k) {
        const int j = start + 1 + k;
        const float* nextWeight = k + 1 < forward ? weight + kLpc * (j + 1) : nullptr;
        CodebookSearch(r + kSubL * j, kSubL, mem, kCbMem, weight + kLpc * j, k + 1, params.sub[k], &ahead,
                       nextWeight);
        CodebookDecode(params.sub[k], mem, kCbMem, kSubL, d + kSubL * j);
        PushSubframe(mem, d + kSubL * j);
    }

    // Sub-frames before the start region, backward in time from the start region on.
    const int backward = start - 1;
    if (backward > 0) {
        BackwardMemory(mem, d + p1, kSubL * (m.nsub + 1 - start));
        ahead.ready = false;
        for (int k = 0; k < backward; ++k) {
            const int j = start - 2 - k;
            const int order = forward + k;
            for (int n = 0; n < kSubL; ++n)
                part[n] = r[kSubL * j + kSubL - 1 - n];
            const float* nextWeight = k + 1 < backward ? weight + kLpc * (j - 1) : nullptr;
            CodebookSearch(part, kSubL, mem, kCbMem, weight + kLpc * j, order + 1, params.sub[order], &ahead,
                           nextWeight);
            CodebookDecode(params.sub[order], mem, kCbMem, kSubL, coded);
            PushSubframe(mem, coded);
            for (int n = 0; n < kSubL; ++n)
                d[kSubL * j + kSubL - 1 - n] = coded[n];
        }
    }

    // Stages 2 and 3 of the first coded sub-frame travel in 7 bits.
    params.sub[0].cb[1] = CbIndexToWire(params.sub[0].cb[1]);
    params.sub[0].cb[2] = CbIndexToWire(params.sub[0].cb[2]);
}

}  // namespace ilbc

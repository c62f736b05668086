// Codebook construction, decoding and search. The search compares float scores exactly, so every sum
// runs in the order the coder defines: a different order would change which vector wins.
#include "audio/ilbc/IlbcCodebook.h"

#include <cmath>
#include <cstring>

#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcMode.h"
#include "audio/ilbc/IlbcTables.h"

namespace ilbc {
namespace {

constexpr int kAugLags = 20;  // lags 20..39 of the augmented sections
constexpr float kMinScore = -1.0e7f;
constexpr float kMaxGain = 1.3f;

// Index of the first sample of v[from..count-1] that is not zero (count if none).
int FirstNonZero(const float* v, int from, int count) {
    while (from < count && v[from] == 0.0f)
        ++from;
    return from;
}

int PlainCount(int memLen, int len) {
    return memLen - len + 1;
}

int SectionSize(int memLen, int len) {
    return len == kSubL ? PlainCount(memLen, len) + kAugLags : PlainCount(memLen, len);
}

// The last a = k/2 samples of v followed by samples from k back, with a 5-sample cross-fade between.
void Augmented(const float* v, int memLen, int len, int k, float* out) {
    const int a = k / 2;
    for (int n = 0; n < a - 5; ++n)
        out[n] = v[memLen - a + n];
    float alpha = 0.0f;
    for (int n = a - 5; n < a; ++n) {
        out[n] = (1.0f - alpha) * v[memLen - a + n] + alpha * v[memLen - k + n];
        alpha += 0.2f;
    }
    for (int n = a; n < len; ++n)
        out[n] = v[memLen - k + n];
}

// Energies of plain vectors 0..count-1 on two bases v and u, each from the previous by one sample in and
// one out. The two recursions are independent and run in the same loop, one hiding the other's latency.
void PlainEnergies(const float* v, const float* u, int memLen, int len, int count, float* energyV,
                   float* energyU) {
    float e = 0.0f;
    float f = 0.0f;
    for (int n = 0; n < len; ++n) {
        e += v[memLen - len + n] * v[memLen - len + n];
        f += u[memLen - len + n] * u[memLen - len + n];
    }
    energyV[0] = e;
    energyU[0] = f;
    for (int i = 1; i < count; ++i) {
        const float in = v[memLen - len - i];
        const float out = v[memLen - i];
        e = e + in * in - out * out;
        energyV[i] = e;
        const float uIn = u[memLen - len - i];
        const float uOut = u[memLen - i];
        f = f + uIn * uIn - uOut * uOut;
        energyU[i] = f;
    }
}

float InverseEnergy(float e) {
    return e > 0.0f ? 1.0f / (e + kEps) : 0.0f;
}

// InverseEnergy of energy[0..count-1], four at a time (a lane with no energy may divide by zero; its
// quotient is discarded).
void InverseEnergies(const float* energy, int count, float* inverse) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const Vec4 e = Load4(energy + i);
        const Vec4 q = Splat4(1.0f) / (e + Splat4(kEps));
        Store4(inverse + i, e > Splat4(0.0f) ? q : Splat4(0.0f));
    }
    for (; i < count; ++i)
        inverse[i] = InverseEnergy(energy[i]);
}

// Plain vectors i = first..last-1 of base v: corr[i - first] = sum over n of t[n] v[memLen - len - i + n].
void PlainCorrelations(const float* t, const float* v, int memLen, int len, int first, int last,
                       float* corr) {
    if (last > first)
        LaggedCorrelations(t, v + memLen - len, len, first, last - 1, corr, nullptr);
}

// The augmented vectors of lags 20..39 on one base (weighted memory or its filtered copy), built once per
// coded part and scored against each stage's target. They are laid out lag by lag across each row so
// that the lags' sums run side by side, each still adding its terms in increasing n.
class AugmentedSection {
public:
    void Build(const float* v, int memLen) {
        v_ = v;
        memLen_ = memLen;
        for (int lane = 0; lane < kAugLags; ++lane) {
            const int lag = 20 + lane;
            for (int n = 0; n <= lag - 5; ++n)
                vec_[n][lane] = v[memLen - lag + n];
            float alpha = 0.2f;
            for (int n = lag - 4; n < lag; ++n) {
                vec_[n][lane] = (1.0f - alpha) * v[memLen - lag + n] + alpha * v[memLen - 2 * lag + n];
                alpha += 0.2f;
            }
            for (int n = lag; n < kSubL; ++n)
                vec_[n][lane] = v[memLen - 2 * lag + n];
        }
    }

    // Inverse energies of lags lo..hi (into inverse[lag - lo]). The energy common to consecutive lags is
    // carried from one lag to the next, so its rounding depends on where the scan starts.
    void InverseEnergies(int lo, int hi, float* inverse) const {
        float energy[kAugLags] = {};
        float shared = 0.0f;
        for (int q = -(lo - 1); q <= -5; ++q)
            shared += v_[memLen_ + q] * v_[memLen_ + q];
        for (int lag = lo; lag <= hi; ++lag) {
            shared += v_[memLen_ - lag] * v_[memLen_ - lag];
            energy[lag - 20] = shared;
        }
        // A lag's own terms are the squares from its cross-fade on (n >= lag - 4); the lanes before theirs
        // add +0, which leaves a non-negative sum unchanged.
        using Lanes = int __attribute__((vector_size(16)));
        Vec4 e[kQuads];
        for (int q = 0; q < kQuads; ++q)
            e[q] = Load4(energy + 4 * q);
        for (int n = kFirstOwn; n < kSubL; ++n) {
            const Lanes reached = Lanes{n - 16, n - 16, n - 16, n - 16};
#pragma GCC unroll 5
            for (int q = 0; q < kQuads; ++q) {
                const Lanes lane = Lanes{4 * q, 4 * q + 1, 4 * q + 2, 4 * q + 3};
                const Vec4 x = Load4(vec_[n] + 4 * q);
                e[q] += lane <= reached ? x * x : Splat4(0.0f);
            }
        }
        for (int q = 0; q < kQuads; ++q)
            Store4(energy + 4 * q, e[q]);
        for (int lag = lo; lag <= hi; ++lag)
            inverse[lag - lo] = InverseEnergy(energy[lag - 20]);
    }

    // corr[lag - 20] for all lags 20..39.
    void Correlations(const float* t, float* corr) const {
        Vec4 acc[kQuads] = {};
        for (int n = 0; n < kSubL; ++n) {
            const Vec4 tn = Splat4(t[n]);
#pragma GCC unroll 5
            for (int q = 0; q < kQuads; ++q)
                acc[q] += tn * Load4(vec_[n] + 4 * q);
        }
        for (int q = 0; q < kQuads; ++q)
            Store4(corr + 4 * q, acc[q]);
    }

private:
    static constexpr int kFirstOwn = 16;  // no lag's own energy terms start before n = 20 - 4
    static constexpr int kQuads = kAugLags / 4;

    const float* v_ = nullptr;
    int memLen_ = 0;
    float vec_[kSubL][kAugLags];
};

// Quantises one stage's gain against the table of that stage scaled by the previous quantised gain.
int QuantiseGain(float gain, float previous, int stage, float* quantised) {
    float scale = std::fabs(previous);
    if (scale < 0.1f)
        scale = 0.1f;
    const float* table = tbl::gain_sq5Tbl;
    int size = 32;
    if (stage == 0) {
        if (gain < 0.0f)
            gain = 0.0f;
        if (gain > kMaxGain)
            gain = kMaxGain;
    } else if (stage == 1) {
        table = tbl::gain_sq4Tbl;
        size = 16;
    } else {
        table = tbl::gain_sq3Tbl;
        size = 8;
    }
    int best = 0;
    float minError = 1.0e7f;
    for (int k = 0; k < size; ++k) {
        const float diff = gain - scale * table[k];
        const float error = diff * diff;
        if (error < minError) {
            minError = error;
            best = k;
        }
    }
    *quantised = scale * table[best];
    return best;
}

// The running best of one stage: strictly better scores replace it, so ties keep the earliest index.
struct Best {
    float score = kMinScore;
    float gain = 0.0f;
    int index = 0;
    bool firstStage = false;

    void Test(float corr, float inverse, int candidate) {
        float measure = corr * corr * inverse;
        if (firstStage && corr <= 0.0f)
            measure = kMinScore;
        const float candidateGain = corr * inverse;
        if (measure > score && std::fabs(candidateGain) < kMaxGain) {
            score = measure;
            gain = candidateGain;
            index = candidate;
        }
    }
};

}  // namespace

void FilterCodebookMemory(const float* mem, int memLen, float* filtered) {
    // Zeros around the memory stand for the samples outside it. Four outputs are summed side by side,
    // each over the taps in order.
    const float* h = tbl::cbfiltersTbl;
    float padded[3 + kCbMem + 4] = {};
    std::memcpy(padded + 3, mem, sizeof(float) * static_cast<unsigned>(memLen));
    int q = 0;
    for (; q + 4 <= memLen; q += 4) {
        Vec4 acc = Splat4(0.0f);
        for (int t = 0; t < 8; ++t)
            acc += Load4(padded + q + t) * Splat4(h[7 - t]);
        Store4(filtered + q, acc);
    }
    for (; q < memLen; ++q) {
        float acc = 0.0f;
        for (int t = 0; t < 8; ++t)
            acc += padded[q + t] * h[7 - t];
        filtered[q] = acc;
    }
}

void CodebookVector(int index, const float* mem, const float* filtered, int memLen, int len, float* out) {
    const int plain = PlainCount(memLen, len);
    const int section = SectionSize(memLen, len);
    // Sub-frame indices have 8 bits and extension indices 7; each of those selects a vector inside the
    // memory (the two highest 20 ms extension indices reach an augmented filtered vector).
    index &= len == kSubL ? 255 : 127;
    if (index < plain) {
        std::memcpy(out, mem + memLen - len - index, sizeof(float) * static_cast<unsigned>(len));
    } else if (index < section) {
        Augmented(mem, memLen, len, 2 * (index - plain) + len, out);
    } else {
        const int j = index - section;
        if (j < plain)
            std::memcpy(out, filtered + memLen - len - j, sizeof(float) * static_cast<unsigned>(len));
        else
            Augmented(filtered, memLen, len, 2 * (j - plain) + len, out);
    }
}

void CodebookDecode(const CbIndices& indices, const float* mem, int memLen, int len, float* out) {
    float filtered[kCbMem];
    const int section = SectionSize(memLen, len);
    if (indices.cb[0] >= section || indices.cb[1] >= section || indices.cb[2] >= section)
        FilterCodebookMemory(mem, memLen, filtered);
    const float g0 = GainDequantise(indices.gain[0], 1.0f, 0);
    const float g1 = GainDequantise(indices.gain[1], g0, 1);
    const float g2 = GainDequantise(indices.gain[2], g1, 2);
    float c[kSubL];
    CodebookVector(indices.cb[0], mem, filtered, memLen, len, c);
    for (int n = 0; n < len; ++n)
        out[n] = g0 * c[n];
    CodebookVector(indices.cb[1], mem, filtered, memLen, len, c);
    for (int n = 0; n < len; ++n)
        out[n] = out[n] + g1 * c[n];
    CodebookVector(indices.cb[2], mem, filtered, memLen, len, c);
    for (int n = 0; n < len; ++n)
        out[n] = out[n] + g2 * c[n];
}

void CodebookSearch(const float* target, int len, const float* mem, int memLen, const float* weight, int row,
                    CbIndices& result, WeightedAhead* ahead, const float* nextWeight) {
    constexpr int kShared = kCbMem - kSubL;
    const bool chained = ahead != nullptr && len == kSubL && memLen == kCbMem;
    // Memory and target go through the weighting filter together, from a zero state.
    float weighted[kOrder + kCbMem + kSubL] = {};
    float* mw = weighted + kOrder;
    std::memcpy(mw, mem, sizeof(float) * static_cast<unsigned>(memLen));
    std::memcpy(mw + memLen, target, sizeof(float) * static_cast<unsigned>(len));
    // Leading zeros of the memory stay zeros through the filter from a zero state.
    int first = 0;
    if (chained && ahead->ready) {
        // The shared part is weighted already; the filter goes on from its end.
        std::memcpy(mw, ahead->mw + kOrder, sizeof(float) * kShared);
        first = ahead->first < kShared ? kShared : FirstNonZero(mw, kShared, memLen);
    } else {
        first = FirstNonZero(mw, 0, memLen);
    }
    if (chained && nextWeight != nullptr) {
        // The next memory begins with this one's samples from kSubL on.
        float* next = ahead->mw + kOrder;
        std::memset(ahead->mw, 0, sizeof(float) * kOrder);
        std::memcpy(next, mem + kSubL, sizeof(float) * kShared);
        const int nextFirst = FirstNonZero(next, 0, kShared);
        AllPoleTwo(mw + first, memLen + len - first, weight, next + nextFirst, kShared - nextFirst,
                   nextWeight);
        ahead->first = nextFirst;
        ahead->ready = true;
    } else {
        AllPole(mw + first, memLen + len - first, weight);
        if (ahead != nullptr)
            ahead->ready = false;
    }
    float t[kSubL];
    std::memcpy(t, mw + memLen, sizeof(float) * static_cast<unsigned>(len));
    float targetEnergy = 0.0f;
    for (int n = 0; n < len; ++n)
        targetEnergy += t[n] * t[n];

    float fw[kCbMem];
    FilterCodebookMemory(mw, memLen, fw);

    const int plain = PlainCount(memLen, len);
    const int section = SectionSize(memLen, len);
    const int* ranges = tbl::search_rangeTbl + 3 * row;
    const int firstRange = ranges[0];

    float energy1[kCbMem];
    float energy2[kCbMem];
    float inverse1[kCbMem];
    float inverse2[kCbMem];
    PlainEnergies(mw, fw, memLen, len, firstRange, energy1, energy2);
    InverseEnergies(energy1, firstRange, inverse1);
    InverseEnergies(energy2, firstRange, inverse2);

    float acc[kSubL] = {};
    float quantised[kStages] = {};
    float corr[kCbMem];
    float augCorr[kAugLags];
    float augInverse1[kAugLags];
    float augInverse2[kAugLags];
    float c[kSubL];
    AugmentedSection aug1;
    AugmentedSection aug2;
    bool aug2Built = false;
    if (len == kSubL) {
        aug1.Build(mw, memLen);
        aug1.InverseEnergies(20, 39, augInverse1);
    }
    for (int stage = 0; stage < kStages; ++stage) {
        const int range = ranges[stage];
        Best best;
        best.firstStage = stage == 0;

        PlainCorrelations(t, mw, memLen, len, 0, range, corr);
        for (int i = 0; i < range; ++i)
            best.Test(corr[i], inverse1[i], i);
        if (len == kSubL) {
            aug1.Correlations(t, augCorr);
            for (int lag = 20; lag <= 39; ++lag)
                best.Test(augCorr[lag - 20], augInverse1[lag - 20], plain + lag - 20);
        }

        // The filtered section is searched only in a window around the best index so far.
        const int b = best.index;
        int lo = b - 17;
        int hi = lo + 34;
        int augLo = 0;
        int augHi = 0;
        if (len == kSubL) {
            if (lo < 0) {
                augLo = 40 + lo;
                augHi = 39;
                lo = 0;
            } else if (b < plain) {
                if (hi > range) {
                    lo -= hi - range;
                    hi = range;
                }
            } else if (lo < plain) {
                augLo = 20;
                augHi = 39;
                lo = 0;
                hi = 14;
            } else {
                augLo = 20 + lo - plain;
                augHi = 39;
                lo = 0;
                hi = 34 - (40 - augLo);
            }
        } else {
            if (lo < 0) {
                hi -= lo;
                lo = 0;
            }
            if (hi > range) {
                lo -= hi - range;
                hi = range;
            }
        }
        PlainCorrelations(t, fw, memLen, len, lo, hi, corr);
        for (int j = lo; j < hi; ++j)
            best.Test(corr[j - lo], inverse2[j], section + j);
        if (len == kSubL && augLo != 0) {
            if (!aug2Built) {
                aug2.Build(fw, memLen);
                aug2Built = true;
            }
            aug2.InverseEnergies(augLo, augHi, augInverse2);
            aug2.Correlations(t, augCorr);
            for (int lag = augLo; lag <= augHi; ++lag)
                best.Test(augCorr[lag - 20], augInverse2[lag - augLo], 2 * section - 40 + lag);
        }

        result.cb[stage] = best.index;
        result.gain[stage] =
            QuantiseGain(best.gain, stage == 0 ? 1.0f : quantised[stage - 1], stage, &quantised[stage]);
        CodebookVector(best.index, mw, fw, memLen, len, c);
        for (int n = 0; n < len; ++n) {
            acc[n] += quantised[stage] * c[n];
            t[n] -= quantised[stage] * c[n];
        }
    }

    // A larger first gain is sent when it brings the coded energy closer to the target's.
    float codedEnergy = 0.0f;
    for (int n = 0; n < len; ++n)
        codedEnergy += acc[n] * acc[n];
    const float g0 = quantised[0];
    const int k0 = result.gain[0];
    int j = k0;
    for (int i = k0; i < 32; ++i) {
        if (codedEnergy * tbl::gain_sq5Tbl[i] * tbl::gain_sq5Tbl[i] < targetEnergy * g0 * g0 &&
            tbl::gain_sq5Tbl[j] < 2.0f * g0)
            j = i;
    }
    result.gain[0] = j;
}

void ForwardMemory(float* mem, const float* startRegion) {
    std::memset(mem, 0, sizeof(float) * (kCbMem - 2 * kSubL));
    Copy(mem + kCbMem - 2 * kSubL, startRegion, 2 * kSubL);
}

void BackwardMemory(float* mem, const float* from, int available) {
    const int known = available > kCbMem ? kCbMem : available;
    std::memset(mem, 0, sizeof(float) * static_cast<unsigned>(kCbMem - known));
    for (int k = 0; k < known; ++k)
        mem[kCbMem - 1 - k] = from[k];
}

void PushSubframe(float* mem, const float* coded) {
    std::memmove(mem, mem + kSubL, sizeof(float) * (kCbMem - kSubL));
    Copy(mem + kCbMem - kSubL, coded, kSubL);
}

}  // namespace ilbc

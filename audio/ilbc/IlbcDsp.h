// Building blocks the iLBC encoder and decoder share: filters, LPC/LSF conversions, the LSF stability
// check, the scalar and gain quantisers, codebook index conversion and the start-state reconstruction.
// Every routine keeps the evaluation order of the float arithmetic fixed, because the coder's decisions
// (and so the bit stream) depend on exact float results.
#pragma once

#include <cstring>

#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

// count samples from `from` to `to` (the areas do not overlap).
template <typename T>
void Copy(T* to, const T* from, int count) {
    std::memcpy(to, from, sizeof(T) * static_cast<unsigned>(count));
}

// Constants of the coder written as the floats it uses.
inline constexpr float kTwoPi = 6.283185307f;
inline constexpr float kPi = 3.14159265358979323846f;
inline constexpr float kPi2 = 0.159154943f;  // 1 / (2 pi)
inline constexpr float kEps = 2.220446049250313e-16f;
inline constexpr float kFloatMax = 1.0e37f;

// Four floats worked on lane by lane. Each lane's arithmetic is exactly the scalar float arithmetic, so
// independent sums kept in separate lanes come out as the scalar loops would make them, four at a time.
using Vec4 = float __attribute__((vector_size(16)));

inline Vec4 Load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void Store4(float* p, Vec4 v) {
    std::memcpy(p, &v, sizeof v);
}

inline Vec4 Splat4(float x) {
    return Vec4{x, x, x, x};
}

// y[n] = x[n] - a[1] y[n-1] - ... - a[10] y[n-10], in place. x[-10..-1] hold the past outputs. The
// recursion is a chain of dependent subtractions in a fixed order; the past outputs are kept in
// registers so that the chain does not also wait for memory.
inline void AllPole(float* x, int len, const float* a) {
    float y1 = x[-1], y2 = x[-2], y3 = x[-3], y4 = x[-4], y5 = x[-5];
    float y6 = x[-6], y7 = x[-7], y8 = x[-8], y9 = x[-9], y10 = x[-10];
    for (int n = 0; n < len; ++n) {
        float v = x[n];
        v -= a[1] * y1;
        v -= a[2] * y2;
        v -= a[3] * y3;
        v -= a[4] * y4;
        v -= a[5] * y5;
        v -= a[6] * y6;
        v -= a[7] * y7;
        v -= a[8] * y8;
        v -= a[9] * y9;
        v -= a[10] * y10;
        y10 = y9;
        y9 = y8;
        y8 = y7;
        y7 = y6;
        y6 = y5;
        y5 = y4;
        y4 = y3;
        y3 = y2;
        y2 = y1;
        y1 = v;
        x[n] = v;
    }
}

// AllPole on two independent signals at once: x with a over len samples and u with b over ulen. Each
// output is exactly what AllPole gives; the two recursions run in two lanes of one register, so the
// second costs little while the first waits for its chain of subtractions.
void AllPoleTwo(float* x, int len, const float* a, float* u, int ulen, const float* b);

// out[n] = b[0] s[n] + b[1] s[n-1] + ... + b[10] s[n-10]. s[-10..-1] hold the past inputs; out must not
// overlap s. All outputs are summed side by side, each over k in order.
inline void AllZero(const float* s, int len, const float* b, float* out) {
    for (int n = 0; n < len; ++n)
        out[n] = b[0] * s[n];
    for (int k = 1; k <= kOrder; ++k) {
        const float bk = b[k];
        for (int n = 0; n < len; ++n)
            out[n] += bk * s[n - k];
    }
}

// For every lag from lo to hi: corr[lag - lo] = sum of t[i] x[i - lag] and, when energy is not null,
// energy[lag - lo] = sum of x[i - lag]^2, over i = 0..len-1 in increasing order. x[-hi .. len-1-lo] must
// be readable. The lags' sums run side by side so that they can share vector registers.
void LaggedCorrelations(const float* t, const float* x, int len, int lo, int hi, float* corr, float* energy);

// Second-order pole-zero high-pass with its state carried from call to call.
class HighPass {
public:
    void Reset() { x1_ = x2_ = y1_ = y2_ = 0.0f; }
    // b: numerator b0 b1 b2; a: denominator 1 a1 a2. In place on x[0..len-1].
    void Run(float* x, int len, const float* b, const float* a);
    // True when a non-finite value got into the state (only corrupt input can do that).
    bool Finite() const;
    // Clears a state that holds nothing but subnormal numbers and zeros.
    void SettleSubnormal();

private:
    float x1_ = 0.0f, x2_ = 0.0f, y1_ = 0.0f, y2_ = 0.0f;
};

// out[k] = a[k] c^k for k = 0..10, the powers formed by repeated multiplication.
void BandwidthExpand(const float* a, float* out, float c);

// out[i] = c u[i] + (1 - c) v[i].
void Interpolate(const float* u, const float* v, float c, int len, float* out);

// 10 LSFs (radians) to the polynomial a[0..10].
void LsfToPoly(const float* lsf, float* a);

// Pushes apart LSFs closer than the minimum distance and keeps them in range; `count` vectors of 10.
void LsfCheck(float* lsf, int count);

// Index of the level of the ascending table q[0..n-1] nearest to x (upper level on a tie above the
// midpoint rule of the coder).
int ScalarQuantise(float x, const float* q, int n);

// One LSF set from its three split indices.
void LsfDequantise(const int* index, float* lsf);

// Polynomials of every sub-frame, interpolated between the previous frame's last LSF set and this
// frame's set(s) (`sets`: lpcN x 10). When chirp > 0 each polynomial is bandwidth-expanded by it.
void SubframePolynomials(Mode mode, const float* previous, const float* sets, float chirp, float* polys);

// Gain of a stage from its index and the previous stage's gain (1.0 for the first stage).
float GainDequantise(int index, float previousGain, int stage);

// Stages 2 and 3 of the first coded sub-frame travel as 7-bit numbers; these map codebook indices
// to and from them.
int CbIndexToWire(int index);
int CbIndexFromWire(int wire);

// Rebuilds the S start-state samples from the quantiser indices, using the sub-frame's polynomial a.
void StateReconstruct(int idxForMax, const int* idxVec, int stateLen, const float* a, float* out);

// Float to int with truncation toward zero, defined for every input: values outside the int range
// (and NaN) give INT_MIN, which is what x86 conversion instructions produce.
int TruncToInt(float v);

}  // namespace ilbc

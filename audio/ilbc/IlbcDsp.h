// Building blocks the iLBC encoder and decoder share: filters, LPC/LSF conversions, the LSF stability
// check, the scalar and gain quantisers, codebook index conversion and the start-state reconstruction.
// Every routine keeps the evaluation order of the float arithmetic fixed, because the coder's decisions
// (and so the bit stream) depend on exact float results.
#pragma once

#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

// Constants of the coder written as the floats it uses.
inline constexpr float kTwoPi = 6.283185307f;
inline constexpr float kPi = 3.14159265358979323846f;
inline constexpr float kPi2 = 0.159154943f;  // 1 / (2 pi)
inline constexpr float kEps = 2.220446049250313e-16f;
inline constexpr float kFloatMax = 1.0e37f;

// y[n] = x[n] - a[1] y[n-1] - ... - a[10] y[n-10], in place. x[-10..-1] hold the past outputs.
inline void AllPole(float* x, int len, const float* a) {
    for (int n = 0; n < len; ++n) {
        float v = x[n];
        for (int k = 1; k <= kOrder; ++k)
            v -= a[k] * x[n - k];
        x[n] = v;
    }
}

// out[n] = b[0] s[n] + b[1] s[n-1] + ... + b[10] s[n-10]. s[-10..-1] hold the past inputs.
inline void AllZero(const float* s, int len, const float* b, float* out) {
    for (int n = 0; n < len; ++n) {
        float v = b[0] * s[n];
        for (int k = 1; k <= kOrder; ++k)
            v += b[k] * s[n - k];
        out[n] = v;
    }
}

// Second-order pole-zero high-pass with its state carried from call to call.
class HighPass {
public:
    void Reset() { x1_ = x2_ = y1_ = y2_ = 0.0f; }
    // b: numerator b0 b1 b2; a: denominator 1 a1 a2. In place on x[0..len-1].
    void Run(float* x, int len, const float* b, const float* a);
    // True when a non-finite value got into the state (only corrupt input can do that).
    bool Finite() const;

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

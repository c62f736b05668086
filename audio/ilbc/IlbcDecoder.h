// The iLBC decoder (RFC 3951): one 38- or 50-byte frame in, one block of 160 or 240 samples out, with
// the enhancer on or off, and packet-loss concealment for frames that are lost or invalid. Its state is
// its own; it allocates nothing after construction.
#pragma once

#include <cstdint>

#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcEnhancer.h"
#include "audio/ilbc/IlbcFrame.h"
#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

class Decoder {
public:
    // How the float output becomes 16-bit samples after clamping: truncation toward zero (the RFC's test
    // program, and its conformance files) or rounding to nearest, ties to even.
    enum class Rounding { kTruncate, kNearest };

    explicit Decoder(Mode mode = Mode::k30ms, bool enhancer = true);

    // Back to the initial state, keeping or changing mode and enhancer.
    void Reset();
    void Reset(Mode mode, bool enhancer);

    void SetRounding(Rounding rounding) { rounding_ = rounding; }

    Mode GetMode() const { return mode_; }
    int BlockSamples() const { return Params(mode_).blockLen; }
    int FrameBytes() const { return Params(mode_).frameBytes; }

    // Decodes FrameBytes() bytes into BlockSamples() samples. A frame whose start-state position is out
    // of range or whose empty-frame flag is set is concealed like a lost one; returns false then.
    bool Decode(const uint8_t* frame, int16_t* out);
    // Produces BlockSamples() samples of concealment for a frame that did not arrive.
    void DecodeLost(int16_t* out);

    // The same two with the float output (before conversion to 16 bits).
    bool Decode(const uint8_t* frame, float* out);
    void DecodeLost(float* out);

private:
    void DecodeFrame(FrameParams* params, float* out);
    void DecodeResidual(const FrameParams& params, const float* synt, float* d) const;
    void Conceal(float* d);
    void Synthesise(const float* residual, const float* synt, float* out);
    void Convert(const float* in, int16_t* out) const;

    Mode mode_;
    bool enhancer_;
    Rounding rounding_ = Rounding::kTruncate;

    float synthMem_[kOrder];         // last outputs of the synthesis filter
    float lsfDeqOld_[kOrder];        // last LSF set of the last good frame
    float oldSynt_[kMaxSub * kLpc];  // previous frame's sub-frame polynomials
    HighPass highPass_;
    Enhancer enhancerState_;
    bool previousConcealed_ = false;

    // Concealment state.
    int lastLag_ = 20;
    int prevLag_ = 120;
    float per_ = 0.0f;
    int consecutiveLost_ = 0;
    bool prevLost_ = false;
    float prevLpc_[kLpc];
    float prevResidual_[kMaxBlock];
    uint32_t seed_ = 777;
};

}  // namespace ilbc

// The iLBC encoder (RFC 3951): one block of 160 or 240 samples in, one 38- or 50-byte frame out. Its
// state (filters, analysis buffer, previous LSF sets) is its own; it allocates nothing after construction.
#pragma once

#include <cstdint>

#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcFrame.h"
#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

class Encoder {
public:
    explicit Encoder(Mode mode = Mode::k30ms);

    // Back to the initial state, keeping or changing the mode.
    void Reset();
    void Reset(Mode mode);

    Mode GetMode() const { return mode_; }
    int BlockSamples() const { return Params(mode_).blockLen; }
    int FrameBytes() const { return Params(mode_).frameBytes; }

    // Codes BlockSamples() samples into FrameBytes() bytes.
    void Encode(const int16_t* samples, uint8_t* frame);
    // The same, leaving the frame's parameters unpacked.
    void Encode(const int16_t* samples, FrameParams& params);

private:
    static constexpr int kLookback = 60;
    static constexpr int kAnalysisLen = kLookback + kMaxBlock;  // 300

    void AnalyseLpc(const float* x, float* lsf);
    void QuantiseLsf(const float* lsf, int* index, float* quantised) const;
    void EncodeResidual(const float* r, const float* synt, const float* weight, FrameParams& params) const;

    // Everything a frame's coding depends on besides the mode and its samples.
    struct State {
        HighPass highPass;
        float analysis[kAnalysisLen];  // high-passed input, newest at the end
        float residualMem[kOrder];     // last high-passed samples of the previous frame
        float lsfOld[kOrder];          // previous frame's last unquantised LSF set
        float lsfDeqOld[kOrder];       // previous frame's last quantised (checked) LSF set
    };

    void EncodeBlock(const int16_t* samples, FrameParams& params);

    Mode mode_;
    State state_;
    // Digital silence soon leaves the state as it found it; from then on a silent block codes to the frame
    // remembered here, as long as the state is still, bit for bit, the one it was coded from.
    bool silentValid_ = false;
    State silentState_;
    FrameParams silentParams_;
};

}  // namespace ilbc

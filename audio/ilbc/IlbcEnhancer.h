// The iLBC decoder's enhancer: it smooths the decoded residual towards a pitch-synchronous average of
// neighbouring periods, from a 640-sample history, delaying the output by 40 (20 ms) or 80 (30 ms)
// samples. It also estimates the pitch lag that packet-loss concealment starts from.
#pragma once

#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

class Enhancer {
public:
    static constexpr int kBufferLen = 640;
    static constexpr int kBlock = 80;
    static constexpr int kPeriods = 8;

    explicit Enhancer(Mode mode = Mode::k30ms);
    void Reset(Mode mode);

    // Takes a frame's residual d (decoded or concealed) and writes the enhanced, delayed residual to e.
    // `previousConcealed` smooths the junction when the last frame was concealed. Returns the lag the
    // concealment of a following lost frame should start from.
    int Process(const float* d, bool previousConcealed, float* e);

    // Without enhancement: only records d in the history and returns the concealment lag.
    int Record(const float* d);

private:
    int SmoothJunction(const float* d);
    void EnhanceBlock(int c0, float* out) const;
    float Refine(float estimate, int c0, float* segment) const;

    Mode mode_;
    float x_[kBufferLen];
    float periods_[kPeriods];
};

}  // namespace ilbc

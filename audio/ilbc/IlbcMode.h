// The two frame modes of the iLBC coder and the frame geometry each implies.
#pragma once

namespace ilbc {

// 20 ms frames (160 samples, 38 bytes) or 30 ms frames (240 samples, 50 bytes) at 8000 Hz.
enum class Mode { k20ms = 20, k30ms = 30 };

inline constexpr int kOrder = 10;        // LPC order
inline constexpr int kLpc = kOrder + 1;  // coefficients of one polynomial, a[0] = 1
inline constexpr int kSubL = 40;         // samples per sub-frame
inline constexpr int kMaxBlock = 240;    // samples in the longest frame
inline constexpr int kMaxSub = 6;        // sub-frames in the longest frame
inline constexpr int kMaxLsfSets = 2;    // LSF sets in the longest frame
inline constexpr int kMaxState = 58;     // scalar-quantised start-state samples, longest
inline constexpr int kMaxFrameBytes = 50;
inline constexpr int kCbMem = 147;    // codebook memory for 40-sample sub-frames
inline constexpr int kStateMem = 85;  // codebook memory for the start-state extension
inline constexpr int kStages = 3;     // codebook stages per coded part

struct ModeParams {
    int blockLen;    // samples per frame
    int nsub;        // 40-sample sub-frames
    int nasub;       // sub-frames coded with the codebook (all but the two of the start region)
    int lpcN;        // LPC analyses and LSF sets per frame
    int stateLen;    // scalar-quantised start-state samples
    int frameBytes;  // bytes per coded frame
    int maxStart;    // highest valid start-state position (positions begin at 1)
};

inline constexpr ModeParams kParams20{160, 4, 2, 1, 57, 38, 3};
inline constexpr ModeParams kParams30{240, 6, 4, 2, 58, 50, 5};

constexpr const ModeParams& Params(Mode mode) {
    return mode == Mode::k20ms ? kParams20 : kParams30;
}

}  // namespace ilbc

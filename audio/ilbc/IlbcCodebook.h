// The adaptive codebook of the iLBC coder: vectors built from past residual (plain, "augmented" with a
// short lag repeated, and the same two from a filtered copy of the memory), the three-stage decoding of
// one coded part, and the encoder's three-stage search with gain quantisation.
#pragma once

#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

// Codebook and gain indices of one coded part (a 40-sample sub-frame or the start-state extension).
struct CbIndices {
    int cb[3] = {};
    int gain[3] = {};
};

// The codebook's second half is built from the memory through an 8-tap filter: f[q] for q = 0..M-1.
void FilterCodebookMemory(const float* mem, int memLen, float* filtered);

// Vector `index` of the codebook on memory `mem` (and its filtered copy) for a target of `len` samples.
// Every index that fits the part's bit width selects a vector inside the memory.
void CodebookVector(int index, const float* mem, const float* filtered, int memLen, int len, float* out);

// Rebuilds one coded part from its indices: the sum of three gain-scaled codebook vectors.
void CodebookDecode(const CbIndices& indices, const float* mem, int memLen, int len, float* out);

// The weighted memory of the next sub-frame search, begun during this one. Consecutive sub-frames share
// most of their memory (PushSubframe), so the next search's weighting filter can run over that shared
// part side by side with this search's filter instead of after it.
struct WeightedAhead {
    bool ready = false;  // mw holds the first kCbMem - kSubL samples of the next weighted memory
    int first = 0;       // where the next memory's leading zeros end (kCbMem - kSubL if they fill mw)
    float mw[kOrder + kCbMem - kSubL];
};

// Finds the indices that best code `target` (len samples of residual) from the reconstructed residual
// `mem` (memLen samples), measured through the perceptual weighting filter `weight`. `row` selects the
// search ranges (0 for the start-state extension, 1 + coding order for sub-frames).
// With `ahead`, a 40-sample sub-frame search on kCbMem samples takes the start of its weighted memory
// from it when ready, and, when `nextWeight` is given, prepares it for the next sub-frame's search.
void CodebookSearch(const float* target, int len, const float* mem, int memLen, const float* weight, int row,
                    CbIndices& result, WeightedAhead* ahead = nullptr, const float* nextWeight = nullptr);

// The codebook memory of the sub-frames (kCbMem samples) as the coder moves through a frame.
// Forward in time from the start region: zeros, then the start region's two decoded sub-frames.
void ForwardMemory(float* mem, const float* startRegion);
// Backward in time from the start region: the decoded samples from `from` on, as many as the memory holds
// of the `available`, in reverse order at its end; zeros before them.
void BackwardMemory(float* mem, const float* from, int available);
// One more sub-frame coded: the oldest kSubL samples leave the memory and `coded` comes in at its end.
void PushSubframe(float* mem, const float* coded);

}  // namespace ilbc

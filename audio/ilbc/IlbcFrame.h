// The parameters of one iLBC frame and their packing into the RFC 3951 bit stream (38 or 50 bytes): each
// value is split over three protection classes, written class by class, most significant bit first, with
// the empty-frame flag as the last bit.
#pragma once

#include <cstdint>

#include "audio/ilbc/IlbcCodebook.h"
#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

struct FrameParams {
    int lsf[3 * kMaxLsfSets] = {};  // split indices of each LSF set
    int start = 0;                  // start-state position, 1..3 (20 ms) or 1..5 (30 ms) when valid
    int stateFirst = 0;             // 1: the scalar-quantised samples open the start region
    int idxForMax = 0;              // start-state amplitude
    int idxVec[kMaxState] = {};     // start-state samples
    CbIndices extension;            // start-state extension
    CbIndices sub[kMaxSub - 2];     // coded sub-frames in coding order, stages 2 and 3 of the first as sent
    int emptyFrame = 0;             // set by a sender that has nothing to send; never by the encoder
};

// Writes Params(mode).frameBytes bytes.
void PackFrame(Mode mode, const FrameParams& params, uint8_t* frame);
// Reads Params(mode).frameBytes bytes. Every bit pattern gives values within each field's width.
void UnpackFrame(Mode mode, const uint8_t* frame, FrameParams& params);

}  // namespace ilbc

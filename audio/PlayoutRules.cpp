#include "audio/PlayoutRules.h"

#include <algorithm>

namespace playout_rules {

namespace {

constexpr int kQuietStretchDivisor = 2;
constexpr int kHeardStretchDivisor = 8;

}  // namespace

ArrivalKind ClassifyArrival(uint64_t sequence, const SlotView& view) {
    if (sequence < view.nextSlot)
        return view.slotConcealed ? ArrivalKind::kLate : ArrivalKind::kDuplicate;
    if (view.alreadyWaiting)
        return ArrivalKind::kDuplicate;
    if (sequence - view.nextSlot >= std::max<uint64_t>(view.maxAheadSlots, 1))
        return ArrivalKind::kJump;
    if (view.highestWaiting && sequence < *view.highestWaiting)
        return ArrivalKind::kRefill;
    if (sequence == view.nextSlot && !view.highestWaiting)
        return ArrivalKind::kNext;
    return ArrivalKind::kGap;
}

bool PlayLateFrame(const LateFrameView& view) {
    return view.sequence + 1 == view.nextSlot && view.lastSlotConcealed && !view.framesWaiting &&
           view.waitingSamples + view.frameSamples <= view.ceilingSamples;
}

bool ContinuesSender(uint64_t sequence, std::optional<uint64_t> lastHeard, uint64_t maxAheadSlots) {
    return lastHeard && sequence > *lastHeard && sequence - *lastHeard <= maxAheadSlots;
}

bool IsLateForConcealedSlot(int64_t sinceUs, int64_t frameUs, int64_t typicalSlackUs) {
    const int64_t threshold = std::max<int64_t>(0, (frameUs - typicalSlackUs) / 2);
    return sinceUs < threshold;
}

int64_t ShrinkAboveUs(int64_t spreadUs) {
    return std::clamp(spreadUs, kMinShrinkAboveUs, kShrinkAboveUs);
}

bool Moved(const SlackView& slacks) {
    return slacks.movedLowUs > slacks.shrinkLowUs + std::max(kMovedUs, slacks.frameUs / 2);
}

int64_t WantedStretchUs(const SlackView& slacks) {
    const int64_t shrinkLow = Moved(slacks) ? slacks.movedLowUs : slacks.shrinkLowUs;
    const int64_t above = ShrinkAboveUs(slacks.spreadUs);
    if (slacks.growLowUs < kMarginUs - kGrowBelowUs)
        return -(kMarginUs + std::min(kGrowHeadroomUs, above) - slacks.growLowUs);
    if (shrinkLow > kMarginUs + above)
        return shrinkLow - kMarginUs - std::min(kGrowHeadroomUs, above) / 2;
    return 0;
}

int64_t ClampToCeiling(int64_t wantedSamples, int64_t waitingSamples, int64_t ceilingSamples) {
    const int64_t over = waitingSamples - ceilingSamples;
    if (over > 0)
        return std::max(wantedSamples, over);
    // Below the ceiling a growth may take the buffer up to it, not past.
    if (wantedSamples < 0)
        return std::max(wantedSamples, over);
    return wantedSamples;
}

int64_t StretchStep(const StretchPiece& piece) {
    if (piece.wantedSamples == 0 || piece.pieceSamples <= 0 || !(piece.forced || piece.quiet))
        return 0;
    const int most =
        piece.overCeiling
            ? piece.pieceSamples
            : std::max(1, piece.pieceSamples / (piece.quiet ? kQuietStretchDivisor : kHeardStretchDivisor));
    const int64_t step = std::clamp<int64_t>(piece.wantedSamples, -most, most);
    return std::min(step, piece.spareSamples);
}

bool StretchForced(int64_t wantedSamples, int64_t waitedUs, bool overCeiling) {
    if (overCeiling)
        return true;
    return waitedUs > (wantedSamples < 0 ? kMaxQuietWaitGrowUs : kMaxQuietWaitUs);
}

}  // namespace playout_rules

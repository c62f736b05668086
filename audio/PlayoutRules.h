// The playout buffer's decisions, apart from its mechanics: what an arriving frame is, whether a frame after
// a concealed slot is that slot's frame come late, and when and by how much the timeline is stretched.
// Each is a pure function of the figures the buffer passes in, so that each rule is tested at its edges.
//
// Sign convention for stretches: positive takes audio out (the delay comes down), negative puts audio in
// (the delay grows). Times are microseconds, lengths samples, as the names say.
#pragma once

#include <cstdint>
#include <optional>

namespace playout_rules {

// What a numbered frame is when it arrives, against the slot the buffer will fill next.
enum class ArrivalKind {
    kNext,       // the next slot's frame, with nothing waiting behind a gap: decoded and stored now
    kGap,        // later than the next slot: the slots before it are missing so far; it waits, still encoded
    kRefill,     // fills a missing slot before a frame that already waits, before the slot plays
    kLate,       // its slot was concealed already (or has played): dropped
    kDuplicate,  // its slot holds its frame already, or it waits already: dropped
    kJump,       // too far ahead to wait for: the sender skipped or restarted, so the stream starts again
};

// What the buffer knows of its numbered slots when a frame arrives.
struct SlotView {
    uint64_t nextSlot = 0;                   // the slot the buffer fills next
    std::optional<uint64_t> highestWaiting;  // the highest number waiting behind a gap, if any
    bool alreadyWaiting = false;             // this very number waits already
    bool slotConcealed = false;              // for a number below nextSlot: its slot was concealed
    uint64_t maxAheadSlots = 1;              // how far past nextSlot a frame may wait (at least 1)
};

ArrivalKind ClassifyArrival(uint64_t sequence, const SlotView& view);

// A numbered frame whose slot was concealed while it was on its way: is it played right after that
// concealment, the delay growing by the frame, instead of dropped? Only when its slot is the last one
// filled, was filled by concealment (not rebuilt from a later frame's redundancy), nothing waits behind
// it, and the buffer stays under its ceiling with it. The speech it carries is kept, and the delay grows
// where concealment already stands instead of by a stretch of heard speech.
struct LateFrameView {
    uint64_t sequence = 0;
    uint64_t nextSlot = 0;
    bool lastSlotConcealed = false;  // the slot before nextSlot was filled by concealment
    bool framesWaiting = false;      // numbered frames wait behind a gap
    int64_t waitingSamples = 0;      // decoded and encoded audio waiting
    int64_t frameSamples = 0;
    int64_t ceilingSamples = 0;
};
bool PlayLateFrame(const LateFrameView& view);

// A numbered frame that begins the sender's numbering anew (`restart`): does it open a talk spurt of the
// same sender after a pause, whose numbering went on from the last frame heard (so the depth learned of its
// path still holds), or does it come from a new sender? Only a number past the last one heard, by at most
// `maxAheadSlots`, continues the sender.
bool ContinuesSender(uint64_t sequence, std::optional<uint64_t> lastHeard, uint64_t maxAheadSlots);

// An unnumbered frame after concealed slots: is it the first concealed slot's own frame, late, or the
// next frame (the slot's own was lost)? The next one is due about its usual slack before the slot after;
// a late one comes soon after its slot began. `sinceUs` is how long ago that slot began to play,
// `typicalSlackUs` the median slack of recent arrivals.
bool IsLateForConcealedSlot(int64_t sinceUs, int64_t frameUs, int64_t typicalSlackUs);

// The low slacks of recent arrivals (the second smallest of each span), by which the buffer judges its
// depth: over the last two seconds (growing), four seconds (shrinking) and one second (a moved stream);
// and the spread, how far the four seconds' typical (median) slack lies above their low one.
struct SlackView {
    int64_t growLowUs = 0;
    int64_t shrinkLowUs = 0;
    int64_t movedLowUs = 0;
    int64_t frameUs = 0;
    int64_t spreadUs = 0;
};

// The slack the buffer aims for, how far below it the slack may fall before the buffer grows (and then by
// how much more), and how far above before it shrinks: every change of the timeline is heard a little.
// The band above scales with the spread, between its bounds: a path that delivers evenly settles a few
// milliseconds above the margin, while a jittery one is left 12 ms of room so that it is not chased.
// Growth never aims above the band, so that it is not undone at once.
constexpr int64_t kMarginUs = 3000;
constexpr int64_t kGrowBelowUs = 1000;
constexpr int64_t kGrowHeadroomUs = 6000;
constexpr int64_t kShrinkAboveUs = 12000;
constexpr int64_t kMinShrinkAboveUs = 3000;
// The last second's arrivals count for shrinking when they all found this much more audio waiting than
// the four seconds' worst (or half a frame, if more): a burst after a stall, a fast peer, or a device that
// started late. The arrivals before them then no longer describe the stream.
constexpr int64_t kMovedUs = 10'000;

// How far above the margin the low slack may rise before the buffer shrinks.
int64_t ShrinkAboveUs(int64_t spreadUs);

// Whether the last second's arrivals have moved away from the four seconds' low (see kMovedUs).
bool Moved(const SlackView& slacks);

// The stretch wanted from the slacks alone, in microseconds (positive: shorten).
int64_t WantedStretchUs(const SlackView& slacks);

// The wanted stretch in samples, held to the ceiling: never deeper than it (what waits beyond it goes),
// never grown past it.
int64_t ClampToCeiling(int64_t wantedSamples, int64_t waitingSamples, int64_t ceilingSamples);

// What one piece of `pieceSamples` makes of the wanted stretch: a quiet piece is played up to half as fast
// or slow, a heard one by at most an eighth, and a piece when the buffer is over its ceiling by up to its
// whole length. Nothing unless the piece is quiet or the stretch is forced. `spareSamples` is what waits
// beyond the piece (a piece never takes more than that).
struct StretchPiece {
    int64_t wantedSamples = 0;
    int pieceSamples = 0;
    int64_t spareSamples = 0;
    bool quiet = false;
    bool forced = false;
    bool overCeiling = false;
};
int64_t StretchStep(const StretchPiece& piece);

// Whether a stretch that has waited `waitedUs` for a quiet piece is made now anyway: a growth (frames are
// about to come late) waits at most 100 ms, a shrink two seconds.
constexpr int64_t kMaxQuietWaitGrowUs = 100'000;
constexpr int64_t kMaxQuietWaitUs = 2'000'000;
bool StretchForced(int64_t wantedSamples, int64_t waitedUs, bool overCeiling);

}  // namespace playout_rules

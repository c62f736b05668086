// The playout buffer's decisions at their edges: tables of inputs with the exact outcome of each.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "audio/PlayoutRules.h"

using namespace playout_rules;

namespace {

struct ArrivalCase {
    const char* what;
    uint64_t sequence;
    uint64_t nextSlot;
    std::optional<uint64_t> highestWaiting;
    bool alreadyWaiting;
    bool slotConcealed;
    uint64_t maxAhead;
    ArrivalKind expected;
};

}  // namespace

TEST(PlayoutRulesTest, ArrivalsAreClassifiedAtEachEdge) {
    const std::vector<ArrivalCase> cases = {
        {"the next slot, nothing waiting", 10, 10, {}, false, false, 14, ArrivalKind::kNext},
        {"one past the next slot", 11, 10, {}, false, false, 14, ArrivalKind::kGap},
        {"the last slot that may wait", 23, 10, {}, false, false, 14, ArrivalKind::kGap},
        {"one slot further: a jump", 24, 10, {}, false, false, 14, ArrivalKind::kJump},
        {"a buffer that lets nothing wait", 11, 10, {}, false, false, 1, ArrivalKind::kJump},
        {"a limit of 0 is taken as 1", 10, 10, {}, false, false, 0, ArrivalKind::kNext},
        {"the next slot while a later frame waits", 10, 10, 12, false, false, 14, ArrivalKind::kRefill},
        {"between the next slot and a waiting frame", 11, 10, 12, false, false, 14, ArrivalKind::kRefill},
        {"just past the highest waiting", 13, 10, 12, false, false, 14, ArrivalKind::kGap},
        {"a waiting frame again", 12, 10, 12, true, false, 14, ArrivalKind::kDuplicate},
        {"one below the next slot, concealed", 9, 10, {}, false, true, 14, ArrivalKind::kLate},
        {"one below the next slot, played", 9, 10, {}, false, false, 14, ArrivalKind::kDuplicate},
        {"number 0 after the numbering moved on", 0, 70000, {}, false, true, 14, ArrivalKind::kLate},
        {"far ahead of a huge next slot", UINT64_MAX, 0, {}, false, false, 14, ArrivalKind::kJump},
    };
    for (const ArrivalCase& c : cases) {
        SlotView view;
        view.nextSlot = c.nextSlot;
        view.highestWaiting = c.highestWaiting;
        view.alreadyWaiting = c.alreadyWaiting;
        view.slotConcealed = c.slotConcealed;
        view.maxAheadSlots = c.maxAhead;
        EXPECT_EQ(ClassifyArrival(c.sequence, view), c.expected) << c.what;
    }
}

TEST(PlayoutRulesTest, ARestartContinuesTheSenderOnlyJustPastTheLastNumberHeard) {
    EXPECT_TRUE(ContinuesSender(101, 100, 14)) << "the very next number";
    EXPECT_TRUE(ContinuesSender(114, 100, 14)) << "as far on as a frame may wait";
    EXPECT_FALSE(ContinuesSender(115, 100, 14)) << "one further: a new sender";
    EXPECT_FALSE(ContinuesSender(100, 100, 14)) << "the last number again";
    EXPECT_FALSE(ContinuesSender(0, 100, 14)) << "a counter that began again at 0";
    EXPECT_FALSE(ContinuesSender(1, std::nullopt, 14)) << "nothing heard before";
    EXPECT_FALSE(ContinuesSender(0, UINT64_MAX - 1, 14)) << "no wrap past the largest number";
}

TEST(PlayoutRulesTest, AFrameAfterAConcealedSlotIsLateOnlyWithinHalfItsDistanceToTheNextSlot) {
    // A 20 ms frame with frames usually 4 ms ahead: the next frame is due 16 ms after the slot began, so
    // anything within 8 ms is the slot's own frame, late.
    EXPECT_TRUE(IsLateForConcealedSlot(7999, 20000, 4000));
    EXPECT_FALSE(IsLateForConcealedSlot(8000, 20000, 4000));
    EXPECT_TRUE(IsLateForConcealedSlot(-500, 20000, 4000));
    // Frames that usually come a whole frame ahead or more leave no room for a late one.
    EXPECT_FALSE(IsLateForConcealedSlot(0, 20000, 20000));
    EXPECT_FALSE(IsLateForConcealedSlot(0, 20000, 30000));
    EXPECT_TRUE(IsLateForConcealedSlot(0, 20000, 19998));
    // A frame that came before its slot began (its slack was negative) is late whatever the slack says.
    EXPECT_TRUE(IsLateForConcealedSlot(-1, 20000, 30000));
}

TEST(PlayoutRulesTest, ALateFrameIsPlayedOnlyBehindItsOwnConcealmentAsTheLastSlotWithRoomUnderTheCeiling) {
    // Slot 9 was the last filled, by concealment; nothing waits; 3307 samples of ceiling, 240 a frame.
    const auto view = [] {
        LateFrameView late;
        late.sequence = 9;
        late.nextSlot = 10;
        late.lastSlotConcealed = true;
        late.waitingSamples = 3307 - 240;
        late.frameSamples = 240;
        late.ceilingSamples = 3307;
        return late;
    };
    EXPECT_TRUE(PlayLateFrame(view()));
    LateFrameView older = view();
    older.sequence = 8;  // a slot further back: slot 9 stands between
    EXPECT_FALSE(PlayLateFrame(older));
    LateFrameView played = view();
    played.lastSlotConcealed = false;  // rebuilt from redundancy, or its own frame played
    EXPECT_FALSE(PlayLateFrame(played));
    LateFrameView behind = view();
    behind.framesWaiting = true;
    EXPECT_FALSE(PlayLateFrame(behind));
    LateFrameView full = view();
    full.waitingSamples = 3307 - 240 + 1;
    EXPECT_FALSE(PlayLateFrame(full));
}

TEST(PlayoutRulesTest, TheWantedStretchFollowsTheLowSlacksAtTheirThresholds) {
    // A jittery path: its spread (12 ms or more) gives the widest band.
    const auto wanted = [](int64_t grow, int64_t shrink, int64_t moved, int64_t spread = 12000) {
        SlackView slacks;
        slacks.growLowUs = grow;
        slacks.shrinkLowUs = shrink;
        slacks.movedLowUs = moved;
        slacks.frameUs = 20000;
        slacks.spreadUs = spread;
        return WantedStretchUs(slacks);
    };
    // The margin is 3 ms: growth once the low slack is under 2 ms, to 9 ms above it.
    EXPECT_EQ(wanted(2000, 2000, 2000), 0);
    EXPECT_EQ(wanted(1999, 1999, 1999), -(3000 + 6000 - 1999));
    EXPECT_EQ(wanted(-5000, 9000, 9000), -(3000 + 6000 + 5000));
    // Shrinking once the four seconds' low slack is above 15 ms, down to 6 ms.
    EXPECT_EQ(wanted(15000, 15000, 15000), 0);
    EXPECT_EQ(wanted(15001, 15001, 15001), 15001 - 3000 - 3000);
    // Growing wins over shrinking.
    EXPECT_EQ(wanted(1000, 40000, 40000), -(3000 + 6000 - 1000));
    // The last second counts for shrinking when it lies more than max(10 ms, half a frame) above.
    EXPECT_EQ(wanted(2000, 6000, 16000), 0);
    EXPECT_EQ(wanted(2000, 6000, 16001), 16001 - 6000);
    SlackView longFrames;
    longFrames.growLowUs = longFrames.shrinkLowUs = 2000;
    longFrames.movedLowUs = 2000 + 50000;
    longFrames.frameUs = 100000;  // half a frame is 50 ms: exactly that is not enough
    longFrames.spreadUs = 20000;
    EXPECT_EQ(WantedStretchUs(longFrames), 0);
    EXPECT_FALSE(Moved(longFrames));
    longFrames.movedLowUs = 2000 + 50001;
    EXPECT_EQ(WantedStretchUs(longFrames), 2000 + 50001 - 6000);
    EXPECT_TRUE(Moved(longFrames));

    // An even path (a spread of 3 ms or less) settles in the narrowest band: shrinking above 6 ms, to
    // 4.5 ms; growth to 6 ms, where it stays.
    EXPECT_EQ(wanted(6000, 6000, 6000, 2500), 0);
    EXPECT_EQ(wanted(6001, 6001, 6001, 2500), 6001 - 3000 - 1500);
    EXPECT_EQ(wanted(1999, 1999, 1999, 0), -(3000 + 3000 - 1999));
    EXPECT_EQ(wanted(6000, 6000, 6000, 0), 0) << "a growth is not undone";
    // Between, the band follows the spread: 8 ms of it shrinks above 11 ms, to 6 ms.
    EXPECT_EQ(wanted(11000, 11000, 11000, 8000), 0);
    EXPECT_EQ(wanted(11001, 11001, 11001, 8000), 11001 - 3000 - 3000);
    EXPECT_EQ(wanted(1999, 1999, 1999, 8000), -(3000 + 6000 - 1999));
}

TEST(PlayoutRulesTest, TheShrinkBandFollowsTheSpreadWithinItsBounds) {
    EXPECT_EQ(ShrinkAboveUs(-1), 3000);
    EXPECT_EQ(ShrinkAboveUs(2999), 3000);
    EXPECT_EQ(ShrinkAboveUs(3000), 3000);
    EXPECT_EQ(ShrinkAboveUs(3001), 3001);
    EXPECT_EQ(ShrinkAboveUs(11999), 11999);
    EXPECT_EQ(ShrinkAboveUs(12000), 12000);
    EXPECT_EQ(ShrinkAboveUs(12001), 12000);
}

TEST(PlayoutRulesTest, TheCeilingBoundsTheStretchBothWays) {
    // Over the ceiling, at least the excess goes; a larger shrink stays.
    EXPECT_EQ(ClampToCeiling(0, 3308, 3307), 1);
    EXPECT_EQ(ClampToCeiling(-500, 3308, 3307), 1);
    EXPECT_EQ(ClampToCeiling(40, 3308, 3307), 40);
    // At the ceiling exactly nothing is forced, and a growth is held at 0.
    EXPECT_EQ(ClampToCeiling(0, 3307, 3307), 0);
    EXPECT_EQ(ClampToCeiling(-10, 3307, 3307), 0);
    // Below it a growth may go up to it, not past.
    EXPECT_EQ(ClampToCeiling(-10, 3300, 3307), -7);
    EXPECT_EQ(ClampToCeiling(-7, 3300, 3307), -7);
    EXPECT_EQ(ClampToCeiling(-6, 3300, 3307), -6);
    EXPECT_EQ(ClampToCeiling(25, 100, 3307), 25);
}

TEST(PlayoutRulesTest, OnePieceMakesABoundedStepOfTheStretchOnlyWhenQuietOrForced) {
    const auto step = [](int64_t wanted, int64_t spare, bool quiet, bool forced, bool over) {
        StretchPiece piece;
        piece.wantedSamples = wanted;
        piece.pieceSamples = 55;
        piece.spareSamples = spare;
        piece.quiet = quiet;
        piece.forced = forced;
        piece.overCeiling = over;
        return StretchStep(piece);
    };
    EXPECT_EQ(step(100, 1000, false, false, false), 0) << "a heard piece waits for a quiet one";
    EXPECT_EQ(step(100, 1000, true, false, false), 27) << "a quiet piece: half of 55";
    EXPECT_EQ(step(-100, 1000, true, false, false), -27);
    EXPECT_EQ(step(100, 1000, false, true, false), 6) << "a heard piece, forced: an eighth of 55";
    EXPECT_EQ(step(-100, 1000, false, true, false), -6);
    EXPECT_EQ(step(5, 1000, true, false, false), 5) << "no more than wanted";
    EXPECT_EQ(step(100, 1000, false, true, true), 55) << "over the ceiling: up to the whole piece";
    EXPECT_EQ(step(100, 12, true, false, false), 12) << "never more than waits beyond the piece";
    EXPECT_EQ(step(0, 1000, true, true, true), 0);
    StretchPiece tiny;
    tiny.wantedSamples = 3;
    tiny.pieceSamples = 4;
    tiny.spareSamples = 100;
    tiny.forced = true;
    EXPECT_EQ(StretchStep(tiny), 1) << "a step of at least one sample";
}

TEST(PlayoutRulesTest, AStretchIsForcedAfterItsWait) {
    EXPECT_FALSE(StretchForced(-1, 100000, false));
    EXPECT_TRUE(StretchForced(-1, 100001, false));
    EXPECT_FALSE(StretchForced(1, 2000000, false));
    EXPECT_TRUE(StretchForced(1, 2000001, false));
    EXPECT_TRUE(StretchForced(1, 0, true));
}

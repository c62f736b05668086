// The playout buffer on a fake clock: a device that takes a piece every piece's time, and frames that
// arrive steadily, with jitter, late, lost, in bursts, or from a peer whose clock runs fast or slow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "audio/IlbcCodec.h"
#include "audio/PlayoutBuffer.h"
#include "audio/StreamConcealment.h"

namespace {

constexpr int kRate = 11025;
constexpr int kFrame = 240;  // 21.77 ms
constexpr int kPiece = 55;   // 5 ms
constexpr int kAhead = 2 * kPiece;
constexpr int16_t kConcealed = -7;

// Frame n holds the value 100 + n throughout, so that what was played tells which frame it came from.
int16_t FrameValue(int n) {
    return static_cast<int16_t>(100 + n);
}

class MarkingConcealer final : public PlayoutBuffer::Concealer {
public:
    void Received(int16_t*, int count) override { received += count; }
    void Conceal(int16_t* out, int count) override { std::fill(out, out + count, kConcealed); }
    int64_t received = 0;
};

// Runs a call: `arrivalUs(n)` says when frame n arrives (negative: it is lost), the device takes a piece
// every piece's time, starting when the first frame arrives, and every piece played is kept.
struct Simulation {
    PlayoutBuffer buffer{kRate, kFrame, kAhead};
    MarkingConcealer concealer;
    std::vector<int16_t> played;
    std::vector<double> depthMs;  // after each arrival

    Simulation() { buffer.SetConcealer(&concealer); }

    void Run(int frames, const std::function<int64_t(int)>& arrivalUs, int64_t untilUs) {
        std::vector<std::pair<int64_t, int>> arrivals;
        for (int n = 0; n < frames; ++n) {
            const int64_t at = arrivalUs(n);
            if (at >= 0)
                arrivals.emplace_back(at, n);
        }
        std::stable_sort(arrivals.begin(), arrivals.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const double pieceUs = 1e6 * kPiece / kRate;
        double nextTakeUs = -1;
        size_t next = 0;
        std::vector<int16_t> frame(kFrame), piece(kPiece);
        for (;;) {
            const bool arrivalFirst =
                next < arrivals.size() &&
                (nextTakeUs < 0 || static_cast<double>(arrivals[next].first) <= nextTakeUs);
            if (arrivalFirst) {
                const int64_t at = arrivals[next].first;
                std::fill(frame.begin(), frame.end(), FrameValue(arrivals[next].second));
                const bool wasActive = buffer.Active();
                buffer.Arrive(frame.data(), kFrame, at);
                depthMs.push_back(buffer.GetStatistics().depthMs);
                if (!wasActive && buffer.Active()) {
                    // A new start hands the device its share at once.
                    for (int i = 0; i < kAhead / kPiece; ++i)
                        Take(piece, at);
                    nextTakeUs = static_cast<double>(at) + pieceUs;
                }
                ++next;
                continue;
            }
            if (nextTakeUs < 0 || nextTakeUs > static_cast<double>(untilUs))
                break;
            if (!Take(piece, static_cast<int64_t>(nextTakeUs)))
                nextTakeUs = -1;  // idle until the next arrival
            else
                nextTakeUs += pieceUs;
        }
    }

    bool Take(std::vector<int16_t>& piece, int64_t nowUs) {
        if (!buffer.Take(piece.data(), kPiece, nowUs))
            return false;
        played.insert(played.end(), piece.begin(), piece.end());
        return true;
    }

    // The frames heard, in order, each once, and concealment as kConcealed.
    std::vector<int> Heard() const {
        std::vector<int> heard;
        for (int16_t s : played) {
            const int value = s == kConcealed ? kConcealed : (s >= 100 ? s - 100 : -1000);
            if (value == -1000)
                continue;  // silence before the first frame
            if (heard.empty() || heard.back() != value)
                heard.push_back(value);
        }
        return heard;
    }
};

constexpr double kFrameUs = 1e6 * kFrame / kRate;

int64_t Steady(int n) {
    return static_cast<int64_t>(1'000'000 + n * kFrameUs);
}

}  // namespace

TEST(PlayoutBufferTest, ASteadyStreamSettlesAtAboutOneFrameAndConcealsNothing) {
    Simulation sim;
    const int frames = 10 * 46;  // 10 s
    sim.Run(frames, Steady, Steady(frames - 1));
    const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
    EXPECT_EQ(stats.framesConcealed, 0);
    EXPECT_EQ(stats.framesLate, 0);
    EXPECT_NEAR(stats.jitterMs, 0, 0.1);
    // One frame, what the device holds, and a slack the buffer lets be up to 15 ms before it shortens
    // itself (the device takes 5 ms pieces, so the slack an arrival finds varies by that much more).
    const double oneFrameMs = kFrameUs / 1000;
    EXPECT_LE(sim.depthMs.back(), oneFrameMs + 10 + 20);
    EXPECT_GE(sim.depthMs.back(), oneFrameMs + 10);
    // Every frame is heard, in order.
    const std::vector<int> heard = sim.Heard();
    ASSERT_FALSE(heard.empty());
    for (size_t i = 0; i < heard.size(); ++i)
        ASSERT_EQ(heard[i], static_cast<int>(i));
}

TEST(PlayoutBufferTest, EvenDeliverySettlesAFewMillisecondsAboveTheMarginSoonAfterAnyStart) {
    // Frames a frame apart from a sound server's capture: from the first frame on, after a burst of the
    // first four captured frames, and after a device that took nothing for its first 60 ms (the same to the
    // buffer as a burst). The device's 5 ms pieces make the slack an arrival finds vary by 5 ms, so the
    // settled depth is a frame, the device's 10 ms and 3 to 11 ms of slack.
    const double oneFrameMs = kFrameUs / 1000;
    const int frames = 4 * 46;
    for (int burst : {0, 4, 3}) {
        SCOPED_TRACE(burst);
        Simulation sim;
        sim.Run(
            frames, [&](int n) { return Steady(std::max(n, burst)); }, Steady(frames - 1));
        // Within 56 frames (1.2 s) of the start it holds what even delivery needs, and keeps to it: the
        // burst's frames found less slack than all after them, and only a second of arrivals that all
        // found more tells a moved stream from jitter that comes back.
        const auto settled = sim.depthMs.begin() + 56;
        EXPECT_LE(*std::max_element(settled, sim.depthMs.end()), oneFrameMs + 10 + 11);
        EXPECT_GE(*std::min_element(settled, sim.depthMs.end()), oneFrameMs + 10);
        const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
        EXPECT_EQ(stats.framesConcealed, 0);
        EXPECT_EQ(stats.samplesLengthened, 0) << "a shrink is never undone";
    }
}

TEST(PlayoutBufferTest, JitterGrowsTheDepthAndItShrinksBackWhenTheJitterGoes) {
    Simulation sim;
    std::mt19937 random(5);
    std::uniform_real_distribution<double> hold(0, 40'000);
    const int jittery = 20 * 46, frames = 40 * 46;
    std::vector<int64_t> at(frames);
    for (int n = 0; n < frames; ++n) {
        // Held 0-40 ms, never overtaking the one before.
        at[static_cast<size_t>(n)] = Steady(n) + (n < jittery ? static_cast<int64_t>(hold(random)) : 0);
        if (n > 0)
            at[static_cast<size_t>(n)] = std::max(at[static_cast<size_t>(n)], at[static_cast<size_t>(n) - 1]);
    }
    sim.Run(
        frames, [&](int n) { return at[static_cast<size_t>(n)]; }, at.back());
    const double oneFrameMs = kFrameUs / 1000;
    // During the jitter the buffer holds its spread; after it, about one frame again.
    const double duringJitter = sim.depthMs[static_cast<size_t>(jittery - 10)];
    EXPECT_GT(duringJitter, oneFrameMs + 10 + 20);
    EXPECT_LT(duringJitter, oneFrameMs + 10 + 80);
    EXPECT_LT(sim.depthMs.back(), oneFrameMs + 10 + 20);
    // Once it has found the jitter, few slots go without their frame.
    const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
    EXPECT_LT(stats.framesConcealed, jittery / 20);
    EXPECT_GT(stats.samplesShortened, 0);
    EXPECT_GT(stats.samplesLengthened, 0);
}

TEST(PlayoutBufferTest, LostFramesAreConcealedInTheirSlots) {
    for (int lost : {1, 8}) {
        SCOPED_TRACE(lost);
        Simulation sim;
        const int frames = 200;
        sim.Run(
            frames, [&](int n) { return n >= 100 && n < 100 + lost ? -1 : Steady(n); }, Steady(frames - 1));
        const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
        EXPECT_EQ(stats.framesConcealed, lost);
        EXPECT_EQ(stats.framesLate, 0);
        // 99, then the concealment where the lost frames were, then 100 + lost and on.
        const std::vector<int> heard = sim.Heard();
        const auto at = std::find(heard.begin(), heard.end(), 99);
        ASSERT_NE(at, heard.end());
        ASSERT_GE(heard.end() - at, 3);
        EXPECT_EQ(at[1], kConcealed);
        EXPECT_EQ(at[2], 100 + lost);
        EXPECT_TRUE(sim.buffer.Active());
    }
}

TEST(PlayoutBufferTest, AFrameAfterItsConcealedSlotIsDroppedSoTheTimelineHolds) {
    Simulation sim;
    const int frames = 200;
    // Frame 100 comes a few milliseconds after the moment the device needed it (the steady slack is
    // half a frame, 10.9 ms).
    sim.Run(
        frames, [&](int n) { return n == 100 ? Steady(n) + 14'000 : Steady(n); }, Steady(frames - 1));
    const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
    EXPECT_EQ(stats.framesConcealed, 1);
    EXPECT_EQ(stats.framesLate, 1);
    const std::vector<int> heard = sim.Heard();
    EXPECT_EQ(std::find(heard.begin(), heard.end(), 100), heard.end());
    const auto at = std::find(heard.begin(), heard.end(), 99);
    ASSERT_GE(heard.end() - at, 3);
    EXPECT_EQ(at[1], kConcealed);
    EXPECT_EQ(at[2], 101);
}

TEST(PlayoutBufferTest, ABurstOfLateFramesLeavesTheDepthBoundedAndItComesBack) {
    Simulation sim;
    const int frames = 30 * 46;
    // Frames 100 to 109 are held and come together with frame 110.
    sim.Run(
        frames, [&](int n) { return n >= 100 && n < 110 ? Steady(110) : Steady(n); }, Steady(frames - 1));
    const double maxDepth = *std::max_element(sim.depthMs.begin(), sim.depthMs.end());
    EXPECT_LE(maxDepth, PlayoutBuffer::kCeilingMs + 10 + kFrameUs / 1000);
    EXPECT_LT(sim.depthMs.back(), kFrameUs / 1000 + 10 + 20);
}

TEST(PlayoutBufferTest, APeerClockHalfAPercentFastOrSlowKeepsTheDepthBoundedForTenMinutes) {
    for (double ratio : {0.995, 1.005}) {
        SCOPED_TRACE(ratio);
        Simulation sim;
        const int frames = 10 * 60 * 46;
        const auto at = [&](int n) { return static_cast<int64_t>(1'000'000 + n * kFrameUs * ratio); };
        sim.Run(frames, at, at(frames - 1));
        const std::vector<double> lastMinute(sim.depthMs.end() - 46 * 60, sim.depthMs.end());
        const double maxDepth = *std::max_element(lastMinute.begin(), lastMinute.end());
        // Bounded, not creeping: in a signal that is never quiet, as here, a fast peer's extra audio waits
        // a while for a quiet stretch before it is taken out anyway.
        EXPECT_LT(maxDepth, kFrameUs / 1000 + 10 + 50);
        // A slow peer is caught up with by stretching quiet stretches; lost slots stay rare.
        EXPECT_LT(sim.buffer.GetStatistics().framesConcealed, frames / 100);
    }
}

TEST(PlayoutBufferTest, APeerThatFallsSilentIsConcealedForAWhileThenTheStreamGoesIdleAndStartsAgain) {
    Simulation sim;
    sim.Run(
        150, [&](int n) { return n < 50 || n >= 100 ? Steady(n) : -1; }, Steady(149));
    // 50 lost frames (1.1 s): the buffer conceals at most its limit, falls silent, and the first frame
    // after starts it again.
    const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
    EXPECT_GE(stats.framesConcealed, PlayoutBuffer::kMinConcealFrames);
    EXPECT_LE(stats.framesConcealed, 12);
    EXPECT_TRUE(sim.buffer.Active());
    const std::vector<int> heard = sim.Heard();
    EXPECT_NE(std::find(heard.begin(), heard.end(), 120), heard.end());
}

// Numbered frames as the link delivers them, still encoded: payload byte n decodes to a frame of
// FrameValue(n); the byte 0xFF decodes to nothing.
class ValueDecoder final : public PlayoutBuffer::Decoder {
public:
    const int16_t* Decode(const uint8_t* payload, int length, int& count) override {
        order.push_back(length > 0 ? payload[0] : -1);
        count = 0;
        if (length != 1 || payload[0] == 0xFF)
            return nullptr;
        std::fill(frame.begin(), frame.end(), FrameValue(payload[0]));
        count = kFrame;
        return frame.data();
    }
    // With `recovers`, a frame carries its predecessor as Opus's in-band FEC does: the missing frame n is
    // rebuilt from frame n + 1 exactly, so that what was heard tells a recovery from a concealment.
    const int16_t* RecoverFromNext(const uint8_t* next, int length, int& count) override {
        count = 0;
        if (!recovers || length != 1 || next[0] == 0xFF)
            return nullptr;
        recoveredFrom.push_back(next[0]);
        std::fill(frame.begin(), frame.end(), FrameValue(next[0] - 1));
        count = kFrame;
        return frame.data();
    }
    std::vector<int16_t> frame = std::vector<int16_t>(kFrame);
    std::vector<int> order;  // payloads in the order they were decoded
    bool recovers = false;
    std::vector<int> recoveredFrom;  // the next frames missing ones were rebuilt from
};

// A script of numbered arrivals and device takes, on a fake clock, with what was heard slot by slot.
struct NumberedScript {
    PlayoutBuffer buffer{kRate, kFrame, 0};
    MarkingConcealer concealer;
    ValueDecoder decoder;
    std::vector<int16_t> played;
    int64_t nowUs = 0;
    int lead = -1;        // the silence a start puts before the first frame
    int slotsPlayed = 0;  // slots TakeSlots has played

    NumberedScript() {
        buffer.SetConcealer(&concealer);
        buffer.SetDecoder(&decoder);
        buffer.SetTimeStretch(false);
    }
    void Arrive(int n, bool restart = false) {
        ArriveAs(static_cast<uint64_t>(n), static_cast<uint8_t>(n), restart);
    }
    void ArriveAs(uint64_t sequence, uint8_t value, bool restart = false) {
        buffer.ArriveNumbered(&value, 1, nowUs, sequence, restart);
        if (lead < 0)
            lead = buffer.Level() - kFrame;
    }
    // The device takes `pieces` pieces (or until the buffer goes idle).
    void Take(int pieces) {
        std::vector<int16_t> piece(kPiece);
        for (int i = 0; i < pieces; ++i) {
            nowUs += 5000;
            if (!buffer.Take(piece.data(), kPiece, nowUs))
                return;
            played.insert(played.end(), piece.begin(), piece.end());
        }
    }
    // Takes the pieces that lie wholly within the next `frames` slots (the piece that would reach into the
    // slot after them stays, so that the slot is not yet due).
    void TakeSlots(int frames) {
        slotsPlayed += frames;
        const size_t until = static_cast<size_t>(lead + slotsPlayed * kFrame);
        std::vector<int16_t> piece(kPiece);
        while (played.size() + kPiece <= until) {
            nowUs += 5000;
            if (!buffer.Take(piece.data(), kPiece, nowUs))
                return;
            played.insert(played.end(), piece.begin(), piece.end());
        }
    }
    // What was heard, a value per run: the frame number, kConcealed, or nothing for the lead's silence.
    std::vector<int> Heard() const {
        std::vector<int> heard;
        for (int16_t s : played) {
            if (s == 0)
                continue;
            const int value = s == kConcealed ? kConcealed : s - 100;
            if (heard.empty() || heard.back() != value)
                heard.push_back(value);
        }
        return heard;
    }
    PlayoutBuffer::Statistics Counts() const { return buffer.GetStatistics(); }
};

constexpr int C = kConcealed;

TEST(NumberedPlayoutTest, EachArrivalIsTakenAsTheRulesSayAndPlaysInItsSlot) {
    NumberedScript script;
    script.Arrive(10);
    EXPECT_EQ(script.buffer.WaitingFrames(), 0) << "the next frame is decoded at once";
    // 11 and 12 missing: 13 waits, encoded, and nothing is concealed before slot 11 is due.
    script.Arrive(13);
    EXPECT_EQ(script.buffer.WaitingFrames(), 1);
    EXPECT_EQ(script.Counts().framesConcealed, 0);
    // 12 turns up while slot 12 still waits: a refill; 13 again: a duplicate of a waiting frame.
    script.Arrive(12);
    script.Arrive(13);
    EXPECT_EQ(script.Counts().framesReordered, 1);
    EXPECT_EQ(script.Counts().framesDuplicated, 1);
    script.TakeSlots(4);
    EXPECT_EQ(script.Heard(), (std::vector<int>{10, C, 12, 13}));
    EXPECT_EQ(script.Counts().framesConcealed, 1);
    // Slot 11 was concealed: its frame now is late; 12 again played already: a duplicate.
    script.Arrive(11);
    script.Arrive(12);
    EXPECT_EQ(script.Counts().framesLate, 1);
    EXPECT_EQ(script.Counts().framesDuplicated, 2);
    EXPECT_EQ(script.Counts().framesArrived, 6);
    // The decoder saw every frame once, in slot order.
    EXPECT_EQ(script.decoder.order, (std::vector<int>{10, 12, 13}));
}

TEST(NumberedPlayoutTest, AMissingSlotIsConcealedWhenItIsDueAndNotBefore) {
    NumberedScript script;
    script.Arrive(0);
    script.Arrive(2);
    // The device plays frame 0 up to one piece before slot 1: still nothing concealed, so 1 can come.
    const int lead = script.buffer.Level() - kFrame;
    const int piecesBeforeSlot1 = (lead + kFrame) / kPiece;
    script.Take(piecesBeforeSlot1);
    EXPECT_EQ(script.Counts().framesConcealed, 0);
    EXPECT_EQ(script.buffer.WaitingFrames(), 1);
    // One piece more reaches into slot 1: now it is concealed and 2 decoded behind it.
    script.Take(1);
    EXPECT_EQ(script.Counts().framesConcealed, 1);
    EXPECT_EQ(script.buffer.WaitingFrames(), 0);
    script.Arrive(1);
    EXPECT_EQ(script.Counts().framesLate, 1);
    script.TakeSlots(3);
    EXPECT_EQ(script.Heard(), (std::vector<int>{0, C, 2}));

    // The same, with 1 coming one piece earlier: it takes its slot.
    NumberedScript inTime;
    inTime.Arrive(0);
    inTime.Arrive(2);
    inTime.Take(piecesBeforeSlot1);
    inTime.Arrive(1);
    inTime.TakeSlots(3);
    EXPECT_EQ(inTime.Heard(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(inTime.Counts().framesConcealed, 0);
    EXPECT_EQ(inTime.Counts().framesReordered, 1);
}

TEST(NumberedPlayoutTest, AFrameLateForTheLastConcealedSlotPlaysBehindItsConcealment) {
    // Slot 1 concealed while 1 was on its way, nothing behind it: 1 plays after the concealment, the
    // timeline one frame later, and nothing of the speech is lost.
    NumberedScript script;
    script.Arrive(0);
    script.TakeSlots(2);
    EXPECT_EQ(script.Counts().framesConcealed, 1);
    script.Arrive(1);
    script.Arrive(2);
    script.TakeSlots(2);  // the two slots' worth after the concealment: 1 and 2
    EXPECT_EQ(script.Heard(), (std::vector<int>{0, C, 1, 2}));
    EXPECT_EQ(script.Counts().framesLate, 1);
    EXPECT_EQ(script.Counts().framesLatePlayed, 1);
    EXPECT_EQ(script.decoder.order, (std::vector<int>{0, 1, 2}));

    // Two slots concealed: 1 is a slot too far back and goes; 2, behind the last concealment, plays.
    NumberedScript twoBack;
    twoBack.Arrive(0);
    twoBack.TakeSlots(3);
    twoBack.Arrive(1);
    twoBack.Arrive(2);
    twoBack.Arrive(3);
    twoBack.TakeSlots(2);
    EXPECT_EQ(twoBack.Heard(), (std::vector<int>{0, C, 2, 3}));
    EXPECT_EQ(twoBack.Counts().framesLate, 2);
    EXPECT_EQ(twoBack.Counts().framesLatePlayed, 1);

    // A later frame already waits behind the gap: the late one would play out of order, so it goes.
    NumberedScript waiting;
    waiting.Arrive(0);
    waiting.TakeSlots(2);
    waiting.Arrive(3);
    waiting.Arrive(1);
    waiting.TakeSlots(2);
    EXPECT_EQ(waiting.Heard(), (std::vector<int>{0, C, 3}));
    EXPECT_EQ(waiting.Counts().framesLatePlayed, 0);

    // A slot rebuilt from the next frame's redundancy holds that frame's speech already.
    NumberedScript rebuilt;
    rebuilt.decoder.recovers = true;
    rebuilt.Arrive(0);
    rebuilt.Arrive(2);
    rebuilt.TakeSlots(2);
    rebuilt.Arrive(1);
    rebuilt.TakeSlots(1);
    EXPECT_EQ(rebuilt.Heard(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(rebuilt.Counts().framesLatePlayed, 0);
    // ...also when the slot before the rebuilt one was concealed: the rebuilt slot is the last one filled.
    NumberedScript afterConcealment;
    afterConcealment.decoder.recovers = true;
    afterConcealment.Arrive(0);
    afterConcealment.TakeSlots(2);
    afterConcealment.Arrive(3);
    afterConcealment.TakeSlots(1);
    afterConcealment.Arrive(2);
    afterConcealment.TakeSlots(1);
    EXPECT_EQ(afterConcealment.Heard(), (std::vector<int>{0, C, 2, 3}));
    EXPECT_EQ(afterConcealment.Counts().framesLatePlayed, 0);
}

TEST(NumberedPlayoutTest, FarJumpsRestartsAndUndecodableFramesHaveExactOutcomes) {
    // At 11025 Hz the ceiling is 300 ms: 3307 samples, 13 whole frames, so a frame may wait up to 13 slots
    // past the next one; 14 is a jump and the stream goes on from it.
    NumberedScript wait;
    wait.Arrive(0);
    wait.Arrive(1 + 13);
    EXPECT_EQ(wait.buffer.WaitingFrames(), 1);
    NumberedScript jump;
    jump.Arrive(0);
    jump.Arrive(1 + 14);
    EXPECT_EQ(jump.buffer.WaitingFrames(), 0);
    jump.Arrive(16);
    jump.TakeSlots(3);
    EXPECT_EQ(jump.Heard(), (std::vector<int>{0, 15, 16}));
    EXPECT_EQ(jump.Counts().framesConcealed, 0);

    // A sender that starts its numbering again is followed at once when the link says so...
    NumberedScript restart;
    restart.ArriveAs(500, 1);
    restart.ArriveAs(501, 2);
    restart.ArriveAs(0, 3, true);
    restart.ArriveAs(1, 4);
    restart.TakeSlots(4);
    EXPECT_EQ(restart.Heard(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(restart.Counts().framesLate, 0);
    // ...and without the word, its low numbers are late frames of the old numbering.
    NumberedScript unnoticed;
    unnoticed.ArriveAs(500, 1);
    unnoticed.ArriveAs(0, 3);
    EXPECT_EQ(unnoticed.Counts().framesLate, 1);

    // A payload that decodes to nothing is concealed in its slot, and the slot counts as concealed.
    NumberedScript bad;
    bad.ArriveAs(0, 1);
    bad.ArriveAs(1, 0xFF);
    bad.ArriveAs(2, 3);
    bad.TakeSlots(3);
    EXPECT_EQ(bad.Heard(), (std::vector<int>{1, C, 3}));
    bad.ArriveAs(1, 2);
    EXPECT_EQ(bad.Counts().framesLate, 1);
}

TEST(NumberedPlayoutTest, ALongSilenceIsConcealedForAWhileThenTheStreamGoesIdle) {
    // 200 ms at 21.77 ms frames is 10 slots of concealment, then silence and an idle buffer.
    NumberedScript script;
    script.Arrive(0);
    script.TakeSlots(1 + 10 + 1);
    EXPECT_FALSE(script.buffer.Active());
    EXPECT_EQ(script.Counts().framesConcealed, 10);
    // The next frame starts the stream anew, whatever its number.
    script.Arrive(40);
    EXPECT_TRUE(script.buffer.Active());
    EXPECT_EQ(script.Counts().framesLate, 0);
}

TEST(NumberedPlayoutTest, ATalkSpurtAfterAPauseStartsAsDeepAsThePathNeededAndANewSenderStartsAfresh) {
    // Frames come in threes, so the path needs about a frame of slack, not the half frame a first start
    // assumes. The slack each frame found is what waits beyond it when it has been stored.
    NumberedScript script;
    std::vector<int> slacks;
    for (int n = 0; n + 2 <= 30; n += 3) {
        if (n > 0)
            script.TakeSlots(3);
        for (int k : {n, n + 1, n + 2}) {
            script.Arrive(k);
            slacks.push_back(script.buffer.Level() - kFrame);
        }
    }
    ASSERT_EQ(script.Counts().framesConcealed, 0);
    std::vector<int> sorted = slacks;
    std::sort(sorted.begin(), sorted.end());
    const int learned = sorted[sorted.size() / 2];
    ASSERT_GT(learned, kFrame / 2 + kPiece);

    // A pause long enough for the stream to go idle; the sender's next spurt goes on from number 30.
    script.Take(100);
    ASSERT_FALSE(script.buffer.Active());
    script.Arrive(30, true);
    EXPECT_EQ(script.buffer.Level() - kFrame, learned);

    // A restart from a number that does not follow (a new sender): half a frame, as on a first start.
    script.Take(100);
    ASSERT_FALSE(script.buffer.Active());
    script.ArriveAs(5000, 50, true);
    EXPECT_EQ(script.buffer.Level() - kFrame, kFrame / 2);
    // Its first arrivals are all it knows: 16 more before it judges, then it follows its own.
    script.Take(100);
    script.ArriveAs(5001, 51, true);
    EXPECT_EQ(script.buffer.Level() - kFrame, kFrame / 2);
}

TEST(NumberedPlayoutTest, AShortPauseWhileTheStreamPlaysOnIsNeitherJitterNorADepthToStartFrom) {
    // Spurts of 10 frames with pauses of about five frames that the stream conceals and plays through.
    // Without its pause counted, the arrivals deviate from a frame apart only by the device's 5 ms pieces.
    NumberedScript script;
    std::vector<int> slacks;
    int n = 0;
    for (int spurt = 0; spurt < 4; ++spurt) {
        // The first spurt is long enough (16 frames) for the buffer to judge the path by.
        for (int i = 0; i < (spurt == 0 ? 16 : 10); ++i, ++n) {
            script.Arrive(n, spurt > 0 && i == 0);
            const int slack = script.buffer.Level() - kFrame;
            if (spurt > 0 && i == 0) {
                // The spurt's first frame starts where the frames before the pause typically were.
                std::vector<int> sorted = slacks;
                std::sort(sorted.begin(), sorted.end());
                EXPECT_EQ(slack, sorted[sorted.size() / 2]) << "spurt " << spurt;
            } else {
                slacks.push_back(slack);
            }
            script.Take(i % 3 == 0 ? 5 : 4);
        }
        script.Take(22);
        ASSERT_TRUE(script.buffer.Active());
    }
    EXPECT_GE(script.Counts().framesConcealed, 3 * 4);
    EXPECT_LT(script.Counts().jitterMs, 5.0);
}

TEST(NumberedPlayoutTest, SlotsTheSenderLeftUnsentOrTheNetworkLostAreNotJitter) {
    // A sender that sends nothing for 20 slots at a time (Opus's DTX between comfort-noise updates), and
    // loses one frame in each run of ten, on time otherwise: every frame is due as many frames after the
    // last one as its number is past it, so the jitter stays within the device's 5 ms pieces. Counting each
    // arrival a frame after the last, the gaps alone read as 435 ms and the losses as 22.
    NumberedScript script;
    script.buffer.SetMaxConcealMs(1000);
    int n = 0;
    for (int run = 0; run < 8; ++run) {
        for (int i = 0; i < 10; ++i, ++n) {
            if (i != 5)
                script.Arrive(n);
            script.TakeSlots(1);
        }
        script.TakeSlots(20);
        n += 20;
        ASSERT_TRUE(script.buffer.Active()) << "run " << run;
    }
    EXPECT_LT(script.Counts().jitterMs, 6.0);
    EXPECT_GE(script.Counts().framesConcealed, 8 * 21);
}

// The whole point of decoding at the slot: a numbered iLBC stream with lost frames plays exactly what the
// decoder gives when it is told of each loss in its place.
TEST(NumberedPlayoutTest, AnIlbcStreamWithLossesPlaysExactlyTheDecodersOwnLostFrameRun) {
    IlbcCodec sender, reference, receiver;
    for (IlbcCodec* codec : {&sender, &reference, &receiver})
        codec->SetMode(30);
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<int16_t> speech(kFrame);
    ByteBuffer payload;
    constexpr int kFrames = 60;
    for (int f = 0; f < kFrames; ++f) {
        for (int i = 0; i < kFrame; ++i) {
            const double t = f * kFrame + i;
            speech[static_cast<size_t>(i)] = static_cast<int16_t>(
                (5000 + 3000 * std::sin(t * 0.002)) * std::sin(t * 0.06 + std::sin(t * 0.001)) +
                1500 * std::sin(t * 0.23));
        }
        sender.Encode16(speech.data(), kFrame, payload, false);
        payloads.emplace_back(payload.Data(), payload.Data() + payload.Length());
    }
    const std::vector<bool> lost = [] {
        std::vector<bool> l(kFrames, false);
        for (int n : {5, 17, 18, 19, 30, 41, 43})
            l[static_cast<size_t>(n)] = true;
        return l;
    }();
    // The reference: the decoder run over the frames, each lost one marked lost (a payload too short).
    std::vector<int16_t> expected;
    SampleBuffer out;
    for (int f = 0; f < kFrames; ++f) {
        const bool gone = lost[static_cast<size_t>(f)];
        const std::vector<uint8_t>& bytes = payloads[static_cast<size_t>(f)];
        reference.Decode16(bytes.data(), gone ? 1 : static_cast<int>(bytes.size()), out, false);
        expected.insert(expected.end(), out.Data(), out.Data() + out.Length());
    }

    struct CodecDecoder final : PlayoutBuffer::Decoder {
        explicit CodecDecoder(IlbcCodec& c) : codec(c) {}
        const int16_t* Decode(const uint8_t* p, int length, int& count) override {
            count = codec.Decode16(p, length, samples, false);
            return samples.Data();
        }
        IlbcCodec& codec;
        SampleBuffer samples;
    } decoder(receiver);
    StreamConcealment concealment(&receiver);
    PlayoutBuffer buffer(kRate, kFrame, 0);
    buffer.SetDecoder(&decoder);
    buffer.SetConcealer(&concealment);
    buffer.SetTimeStretch(false);
    // Frames arrive a frame apart with a few milliseconds of jitter; the device takes a piece every 5 ms.
    std::vector<int16_t> played, piece(kPiece);
    int64_t nowUs = 0;
    int64_t nextTakeUs = -1;
    int lead = -1;
    for (int f = 0; f < kFrames; ++f) {
        const int64_t arriveUs = static_cast<int64_t>(f * kFrameUs) + (f % 3) * 2000;
        while (nextTakeUs >= 0 && nextTakeUs <= arriveUs) {
            ASSERT_TRUE(buffer.Take(piece.data(), kPiece, nextTakeUs));
            played.insert(played.end(), piece.begin(), piece.end());
            nextTakeUs += static_cast<int64_t>(1e6 * kPiece / kRate);
        }
        nowUs = arriveUs;
        if (!lost[static_cast<size_t>(f)])
            buffer.ArriveNumbered(payloads[static_cast<size_t>(f)].data(),
                                  static_cast<int>(payloads[static_cast<size_t>(f)].size()), nowUs,
                                  static_cast<uint64_t>(1000 + f));
        if (lead < 0) {
            // The device starts two frames late, so that each frame waits a while: the frame after a lost
            // one arrives before the lost one's slot is due, and has to wait for it.
            lead = buffer.Level() - kFrame;
            nextTakeUs = nowUs + static_cast<int64_t>(2 * kFrameUs);
        }
    }
    ASSERT_GE(lead, 0);
    for (int i = 0; i < 8 * kFrame / kPiece && played.size() < static_cast<size_t>(lead) + expected.size();
         ++i) {
        ASSERT_TRUE(buffer.Take(piece.data(), kPiece, nextTakeUs));
        played.insert(played.end(), piece.begin(), piece.end());
    }
    ASSERT_GE(played.size(), static_cast<size_t>(lead) + expected.size());
    const auto heard = played.begin() + lead;
    EXPECT_EQ(std::count(played.begin(), heard, int16_t{0}), lead) << "the lead is silence";
    int firstDifference = -1;
    for (size_t i = 0; i < expected.size() && firstDifference < 0; ++i)
        if (heard[static_cast<ptrdiff_t>(i)] != expected[i])
            firstDifference = static_cast<int>(i);
    EXPECT_EQ(firstDifference, -1) << "first differs in frame " << firstDifference / kFrame;
}

TEST(PlayoutBufferTest, ADeviceSlowerThanRealTimeNeverTakesTheDepthPastTheCeiling) {
    // The device takes a piece for every second frame's worth of time: half speed.
    PlayoutBuffer buffer(kRate, kFrame, kAhead);
    std::vector<int16_t> frame(kFrame, 1000), piece(kPiece);
    double maxDepth = 0;
    for (int n = 0; n < 2000; ++n) {
        buffer.Arrive(frame.data(), kFrame, Steady(n));
        maxDepth = std::max(maxDepth, buffer.GetStatistics().depthMs);
        for (int i = 0; i < 2; ++i)
            buffer.Take(piece.data(), kPiece, Steady(n) + i * 5000);
    }
    EXPECT_LE(maxDepth, 300 + kFrameUs / 1000 + 10 + 1);
}

TEST(PlayoutBufferTest, AnOversizedFrameNeverOverrunsTheBuffer) {
    PlayoutBuffer buffer(kRate, kFrame, kAhead);
    std::vector<int16_t> huge(200'000, 3);
    for (int i = 0; i < 5; ++i)
        buffer.Arrive(huge.data(), static_cast<int>(huge.size()), i * 1000);
    std::vector<int16_t> piece(kPiece);
    for (int i = 0; i < 10'000 && buffer.Take(piece.data(), kPiece, 10'000 + i * 5000); ++i) {
    }
    EXPECT_GE(buffer.Level(), 0);
    buffer.Arrive(nullptr, 100, 0);
    buffer.Arrive(huge.data(), -5, 0);
    EXPECT_FALSE(buffer.Take(nullptr, kPiece, 0));
}

TEST(StreamConcealmentTest, IlbcIsConcealedByTheDecodersOwnLostFrameMode) {
    // Two decoders fed the same frames: one conceals through the stream's concealment, the other is
    // asked for a lost frame directly (a payload too short to decode). Both give the same samples.
    IlbcCodec sender, a, b;
    sender.SetMode(30);
    a.SetMode(30);
    b.SetMode(30);
    std::vector<int16_t> speech(240);
    ByteBuffer payload;
    SampleBuffer out;
    for (int frame = 0; frame < 6; ++frame) {
        for (int i = 0; i < 240; ++i)
            speech[static_cast<size_t>(i)] =
                static_cast<int16_t>(6000 * std::sin((frame * 240 + i) * 0.07) + 2000 * std::sin(i * 0.31));
        sender.Encode16(speech.data(), 240, payload, false);
        a.Decode16(payload.Data(), payload.Length(), out, false);
        b.Decode16(payload.Data(), payload.Length(), out, false);
    }
    StreamConcealment concealment(&a);
    for (int lost = 0; lost < 3; ++lost) {
        std::vector<int16_t> concealed(240);
        concealment.Conceal(concealed.data(), 240);
        b.Decode16(payload.Data(), 1, out, false);
        ASSERT_EQ(out.Length(), 240);
        EXPECT_TRUE(std::equal(concealed.begin(), concealed.end(), out.Data())) << "lost frame " << lost;
    }
}

TEST(StreamConcealmentTest, OtherCodecsGetAConcealmentThatContinuesTheSignal) {
    // Raw samples: the general concealment repeats the last pitch period, fading, instead of silence.
    StreamConcealment concealment(nullptr);
    std::vector<int16_t> tone(900);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 2 * 3.14159265 / 80));
    // Received in pieces that leave the library's circular history part-way round, where its own way of
    // lining the history up would copy it onto itself (the sanitizer build catches that).
    for (size_t at = 0; at < tone.size(); at += 100)
        concealment.Received(tone.data() + at, 100);
    std::vector<int16_t> filled(160);
    concealment.Conceal(filled.data(), 160);
    int peak = 0;
    for (int16_t s : filled)
        peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_GT(peak, 4000);
}

TEST(NumberedPlayoutTest, AMissingFrameIsRebuiltFromTheNextOneOnlyWhenThatOneIsAlreadyWaiting) {
    NumberedScript script;
    script.decoder.recovers = true;
    // 1 is missing and 2 waits: slot 1 is rebuilt from 2. 4 and 5 are missing and 6 waits: slot 4 has no
    // next frame waiting and is concealed, slot 5 is rebuilt from 6.
    script.Arrive(0);
    script.Arrive(2);
    script.Arrive(3);
    script.Arrive(6);
    script.TakeSlots(7);
    EXPECT_EQ(script.Heard(), (std::vector<int>{0, 1, 2, 3, C, 5, 6}));
    EXPECT_EQ(script.decoder.recoveredFrom, (std::vector<int>{2, 6}));
    EXPECT_EQ(script.Counts().framesConcealed, 3);
    EXPECT_EQ(script.Counts().framesRecovered, 2);
    // The frames rebuilt from were decoded once each in their own slots afterwards, in order.
    EXPECT_EQ(script.decoder.order, (std::vector<int>{0, 2, 3, 6}));

    // A next frame the codec cannot rebuild from leaves the ordinary concealment.
    NumberedScript undecodable;
    undecodable.decoder.recovers = true;
    undecodable.Arrive(0);
    undecodable.ArriveAs(2, 0xFF);
    undecodable.Arrive(3);
    undecodable.TakeSlots(4);
    EXPECT_EQ(undecodable.Heard(), (std::vector<int>{0, C, 3}));
    EXPECT_EQ(undecodable.Counts().framesRecovered, 0);
    EXPECT_EQ(undecodable.Counts().framesConcealed, 2);
}

TEST(PlayoutBufferTest, APathThatGetsShorterLateInACallIsFollowedDownOnceAndNoFurther) {
    // 13 s of even delivery (more arrivals than the buffer keeps a record of), 3 s of a path 60 ms
    // longer, then the path as before: its frames come 60 ms early all at once, the stream has moved, and
    // the buffer takes out what it grew. Each step out lowers the slacks it recorded since the move by as
    // much, so that it stops where even delivery needs it rather than a step or two above.
    Simulation sim;
    const int longer = 13 * 46, shorter = 16 * 46, frames = 24 * 46;
    sim.Run(
        frames, [&](int n) { return Steady(n) + (n >= longer && n < shorter ? 60'000 : 0); },
        Steady(frames - 1));
    const double oneFrameMs = kFrameUs / 1000;
    EXPECT_GT(sim.depthMs[static_cast<size_t>(shorter) + 23], oneFrameMs + 10 + 60)
        << "the early frames wait";
    const auto settled = sim.depthMs.begin() + shorter + 4 * 46;
    EXPECT_LE(*std::max_element(settled, sim.depthMs.end()), oneFrameMs + 10 + 11);
    EXPECT_GE(*std::min_element(settled, sim.depthMs.end()), oneFrameMs + 10);
    const PlayoutBuffer::Statistics stats = sim.buffer.GetStatistics();
    EXPECT_EQ(stats.framesConcealed, 3) << "60 ms is three frames' slots when the path gets longer";
    EXPECT_EQ(stats.framesLate, 0);
    EXPECT_EQ(stats.samplesLengthened, 0) << "a shrink is never undone";
}

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

TEST(PlayoutBufferTest, SequenceNumbersConcealExactlyTheMissingFramesAndDropOldOnes) {
    PlayoutBuffer buffer(kRate, kFrame, kAhead);
    MarkingConcealer concealer;
    buffer.SetConcealer(&concealer);
    std::vector<int16_t> frame(kFrame, 1);
    buffer.Arrive(frame.data(), kFrame, 0, 10);
    const int before = buffer.Level();
    // 11 and 12 are missing: their concealment goes in ahead of 13.
    buffer.Arrive(frame.data(), kFrame, 1000, 13);
    EXPECT_EQ(buffer.Level(), before + 3 * kFrame);
    EXPECT_EQ(buffer.GetStatistics().framesConcealed, 2);
    // 12 turns up after all, while its slot still waits: it takes the slot back, and nothing grows.
    buffer.Arrive(frame.data(), kFrame, 2000, 12);
    EXPECT_EQ(buffer.Level(), before + 3 * kFrame);
    EXPECT_EQ(buffer.GetStatistics().framesConcealed, 1);
    EXPECT_EQ(buffer.GetStatistics().framesReordered, 1);
    EXPECT_EQ(buffer.GetStatistics().framesLate, 0);
    // 12 again, and 13 again: they came twice, and are dropped.
    buffer.Arrive(frame.data(), kFrame, 3000, 12);
    buffer.Arrive(frame.data(), kFrame, 3000, 13);
    EXPECT_EQ(buffer.Level(), before + 3 * kFrame);
    EXPECT_EQ(buffer.GetStatistics().framesLate, 2);
}

TEST(PlayoutBufferTest, ReorderedFramesPlayInOrderWhileTheirSlotsWaitAndAreDroppedOnceTheyPlay) {
    PlayoutBuffer buffer(kRate, kFrame, kAhead);
    MarkingConcealer concealer;
    buffer.SetConcealer(&concealer);
    std::vector<int16_t> frame(kFrame);
    const auto arrive = [&](int n, int64_t atUs) {
        std::fill(frame.begin(), frame.end(), FrameValue(n));
        buffer.Arrive(frame.data(), kFrame, atUs, static_cast<uint64_t>(n));
    };
    // 0, then 3 before 1 and 2: 1 comes in time, 2 never.
    arrive(0, 0);
    arrive(3, 1000);
    arrive(1, 2000);
    std::vector<int16_t> played;
    std::vector<int16_t> piece(kPiece);
    int64_t now = 3000;
    while (buffer.Take(piece.data(), kPiece, now)) {
        played.insert(played.end(), piece.begin(), piece.end());
        now += 5000;
        if (played.size() > static_cast<size_t>(8 * kFrame))
            break;
    }
    std::vector<int> heard;
    for (int16_t sample : played) {
        const int value = sample == kConcealed ? kConcealed : sample - 100;
        if (sample != 0 && (heard.empty() || heard.back() != value))
            heard.push_back(value);
    }
    // After 3 the stream conceals on its own until it falls silent.
    ASSERT_GE(heard.size(), 4u);
    EXPECT_EQ(std::vector<int>(heard.begin(), heard.begin() + 4), (std::vector<int>{0, 1, kConcealed, 3}));
    EXPECT_EQ(buffer.GetStatistics().framesReordered, 1);

    // A slot that has begun to play is not taken back: 11 comes once the device is in its slot.
    PlayoutBuffer late(kRate, kFrame, 0);
    std::fill(frame.begin(), frame.end(), FrameValue(10));
    late.Arrive(frame.data(), kFrame, 0, 10);
    late.Arrive(frame.data(), kFrame, 100, 12);
    // Everything before slot 11, and one piece of it.
    while (late.Level() > 2 * kFrame - kPiece)
        ASSERT_TRUE(late.Take(piece.data(), kPiece, 200));
    ASSERT_GT(late.Level(), kFrame) << "slot 11 is playing, 12 waits";
    late.Arrive(frame.data(), kFrame, 300, 11);
    EXPECT_EQ(late.GetStatistics().framesReordered, 0);
    EXPECT_EQ(late.GetStatistics().framesLate, 1);
    EXPECT_EQ(late.GetStatistics().framesConcealed, 1);
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

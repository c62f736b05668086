// Opus's discontinuous transmission between two session copies: what is sent in a pause, where the
// receiver places the frames after it, and what the listener hears through the real coder, the session
// and the playout buffer on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "audio/AudioPipeline.h"
#include "audio/OpusCodec.h"
#include "audio/PlayoutBuffer.h"
#include "audio/StreamConcealment.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"
#include "link/CallSession.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Action = CallSession::Incoming::Action;

constexpr int kRate = 48000;
constexpr int kFrame = 960;
constexpr int kPiece = 240;

CallSession::Config OpusConfig(bool listener, uint64_t id) {
    CallSession::Config config;
    config.listener = listener;
    config.sessionId = id;
    config.formatCode = 0xA4;
    config.opusFormat = 0x87;
    config.firstSequence = 0xFFFE;
    config.firstTimestamp = 0xFFFFF000u;  // the timestamps wrap a few frames in
    return config;
}

Bytes Due(CallSession& session, int64_t nowMs) {
    Bytes out(10000);
    out.resize(static_cast<size_t>(session.ComposeDue(out, nowMs)));
    return out;
}

Bytes AudioOut(CallSession& session, std::span<const uint8_t> frame, int64_t nowMs) {
    Bytes out(10000);
    out.resize(static_cast<size_t>(session.ComposeAudio(frame, false, out, nowMs)));
    return out;
}

// Two copies that both offer Opus at 48000 Hz, in session.
struct OpusPair {
    CallSession caller, listener;

    OpusPair() {
        caller.Start(OpusConfig(false, 0x1111), 0);
        listener.Start(OpusConfig(true, 0x2222), 0);
        listener.SetPeerKnown(true);
        for (int i = 0; i < 4; ++i) {
            const Bytes fromCaller = Due(caller, 0);
            const Bytes fromListener = Due(listener, 0);
            if (!fromCaller.empty())
                listener.Receive(fromCaller, true, 0);
            if (!fromListener.empty())
                caller.Receive(fromListener, true, 0);
        }
    }
};

// A voiced buzz (pitch gliding around 120 Hz, loudest in its third to sixth partials) over `hissLevel` of
// noise; with `voiced` false, the noise alone: the room between two talk spurts.
void AppendSound(std::vector<int16_t>& samples, int frames, bool voiced, uint32_t& noise) {
    const size_t from = samples.size();
    samples.resize(from + static_cast<size_t>(frames * kFrame));
    double phase = 0;
    for (size_t i = from; i < samples.size(); ++i) {
        const double t = static_cast<double>(i - from) / kRate;
        phase += 2 * M_PI * (120 + 40 * std::sin(2 * M_PI * 2 * t)) / kRate;
        double v = 0;
        for (int h = 1; h <= 20; ++h)
            v += std::sin(h * phase) / h * (h >= 3 && h <= 6 ? 3.0 : 1.0);
        noise = noise * 1664525u + 1013904223u;
        const double hiss = static_cast<double>(noise >> 16) / 65536.0 * 60 - 30;
        samples[i] =
            static_cast<int16_t>((voiced ? 3000 * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) * v : 0) + hiss);
    }
}

double Rms(const int16_t* samples, int count) {
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return count > 0 ? std::sqrt(sum / count) : 0;
}

// Decodes numbered frames when their slots come, as the pipeline's stream decoder does.
class Decoder final : public PlayoutBuffer::Decoder {
public:
    explicit Decoder(OpusCodec& codec) : codec_(codec) {}
    const int16_t* Decode(const uint8_t* payload, int length, int& count) override {
        count = codec_.Decode16(payload, length, samples_, false);
        return count > 0 ? samples_.Data() : nullptr;
    }
    const int16_t* RecoverFromNext(const uint8_t* next, int length, int& count) override {
        count = codec_.ConcealFromNext16(next, length, samples_, false);
        return count > 0 ? samples_.Data() : nullptr;
    }

private:
    OpusCodec& codec_;
    SampleBuffer samples_;
};

}  // namespace

TEST(SessionDtxTest, OpusFramesArePlacedByTheirTimestampsAndAMarkerDoesNotRestartTheTimeline) {
    OpusPair pair;
    ASSERT_TRUE(pair.listener.OpusAgreed());
    const Bytes speech(40, 0x42);
    const Bytes nothing(1, 0x08);
    std::vector<std::optional<uint64_t>> slots;
    std::vector<bool> restarts, markers;
    const auto send = [&](const Bytes& frame, int64_t nowMs) {
        const Bytes datagram = AudioOut(pair.caller, frame, nowMs);
        if (datagram.empty())
            return;
        markers.push_back((datagram[1] & 0x80) != 0);
        const CallSession::Incoming in = pair.listener.Receive(datagram, true, nowMs);
        ASSERT_EQ(in.action, Action::kPlay);
        slots.push_back(in.sequence);
        restarts.push_back(in.restart);
    };
    // Frames 0-2 speech, 3-22 DTX with nothing to say (not sent), 23 speech again: slot 23, not 3.
    int64_t nowMs = 100;
    for (int k = 0; k < 24; ++k, nowMs += 20)
        send(k >= 3 && k < 23 ? nothing : speech, nowMs);
    ASSERT_EQ(slots.size(), 4u);
    EXPECT_EQ(slots[0], 0u);
    EXPECT_EQ(slots[1], 1u);
    EXPECT_EQ(slots[2], 2u);
    EXPECT_EQ(slots[3], 23u);
    EXPECT_EQ(markers, (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(restarts, (std::vector<bool>{true, false, false, false}));
    // The RTP numbers stay consecutive: four sent, none lost.
    EXPECT_EQ(pair.listener.GetQuality().received, 4);
    EXPECT_EQ(pair.listener.GetQuality().lost, 0);
}

TEST(SessionDtxTest, AFrameFromBeforeTheFirstOneHeardIsNotPlayedAndAForeignGridRoundsToTheNearestSlot) {
    OpusPair pair;
    const Bytes speech(40, 0x42);
    const Bytes first = AudioOut(pair.caller, speech, 100);
    const Bytes second = AudioOut(pair.caller, speech, 120);
    const Bytes third = AudioOut(pair.caller, speech, 140);
    ASSERT_EQ(third.size(), 52u);
    // Reordered: the second frame comes first, so the first one is older than anything played.
    EXPECT_EQ(pair.listener.Receive(second, true, 120).sequence, 0u);
    EXPECT_EQ(pair.listener.Receive(first, true, 121).action, Action::kNone);
    EXPECT_EQ(pair.listener.Receive(third, true, 140).sequence, 1u);
    // A timestamp 479 past a frame's start rounds down, 480 up (half of 960).
    const auto retimed = [&](const Bytes& packet, uint32_t delta, uint16_t sequence) {
        Bytes copy = packet;
        uint32_t timestamp = static_cast<uint32_t>(copy[4] << 24 | copy[5] << 16 | copy[6] << 8 | copy[7]);
        timestamp += delta;
        copy[2] = static_cast<uint8_t>(sequence >> 8);
        copy[3] = static_cast<uint8_t>(sequence);
        for (int i = 0; i < 4; ++i)
            copy[static_cast<size_t>(4 + i)] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        return copy;
    };
    const uint16_t next = static_cast<uint16_t>((third[2] << 8 | third[3]) + 1);
    EXPECT_EQ(pair.listener.Receive(retimed(third, 960 + 479, next), true, 160).sequence, 2u);
    EXPECT_EQ(pair.listener.Receive(retimed(third, 960 + 480, next + 1), true, 161).sequence, 3u);
}

TEST(SessionDtxTest, APlayoutBufferConcealsAsLongAsItWasToldBeforeItFallsSilent) {
    // Milliseconds asked for, and the frames of concealment before the stream goes idle: rounded up to
    // whole frames, and never fewer than eight.
    const std::pair<int, int> cases[] = {{200, 10}, {1000, 50}, {1001, 51}, {980, 49}, {0, 8}};
    for (const auto& [ms, concealed] : cases) {
        PlayoutBuffer buffer(kRate, kFrame, 0);
        buffer.SetMaxConcealMs(ms);
        const std::vector<int16_t> frame(kFrame, 1000);
        buffer.Arrive(frame.data(), kFrame, 0);
        std::vector<int16_t> out(kFrame);
        int64_t nowUs = 0;
        int takes = 0;
        while (buffer.Take(out.data(), kFrame, nowUs) && takes < 1000) {
            ++takes;
            nowUs += 20000;
        }
        EXPECT_EQ(buffer.GetStatistics().framesConcealed, concealed) << ms;
        EXPECT_FALSE(buffer.Active()) << ms;
    }
}

TEST(SessionDtxTest, APauseBetweenTwoTalkSpurtsPlaysAsLowComfortNoiseAndTheSecondSpurtKeepsItsTime) {
    OpusPair pair;
    ASSERT_TRUE(pair.listener.OpusAgreed());
    OpusCodec sender(kRate), receiver(kRate);
    StreamConcealment concealment(&receiver, kRate);
    Decoder decoder(receiver);
    PlayoutBuffer buffer(kRate, kFrame, 2 * kPiece);
    buffer.SetConcealer(&concealment);
    buffer.SetDecoder(&decoder);
    buffer.SetMaxConcealMs(AudioPipeline::kDtxConcealMs);

    // One second of speech, 1.6 s of the room's noise, one second of speech.
    constexpr int kSpurtFrames = 50, kPauseFrames = 80;
    std::vector<int16_t> in;
    uint32_t noise = 7;
    AppendSound(in, kSpurtFrames, true, noise);
    AppendSound(in, kPauseFrames, false, noise);
    AppendSound(in, kSpurtFrames, true, noise);
    const int frames = static_cast<int>(in.size()) / kFrame;

    // Each frame leaves at its capture time and arrives 5 ms later; the device takes a piece every 5 ms
    // from the first arrival on.
    ByteBuffer packet;
    std::vector<int16_t> played;
    std::vector<int16_t> piece(kPiece);
    int sentInPause = 0;
    int64_t nextTakeUs = -1;
    const int64_t endUs = static_cast<int64_t>(frames) * 20000 + 200000;
    for (int64_t nowUs = 0; nowUs <= endUs; nowUs += 5000) {
        if (nowUs % 20000 == 5000 && (nowUs - 5000) / 20000 < frames) {
            const int k = static_cast<int>((nowUs - 5000) / 20000);
            sender.Encode16(in.data() + static_cast<size_t>(k) * kFrame, kFrame, packet, false);
            const Bytes datagram =
                AudioOut(pair.caller, std::span<const uint8_t>(packet.Data(), packet.Length()), nowUs / 1000);
            if (!datagram.empty()) {
                if (k >= kSpurtFrames + 15 && k < kSpurtFrames + kPauseFrames)
                    ++sentInPause;
                const CallSession::Incoming arrived = pair.listener.Receive(datagram, true, nowUs / 1000);
                ASSERT_EQ(arrived.action, Action::kPlay);
                buffer.ArriveNumbered(arrived.payload.data(), static_cast<int>(arrived.payload.size()), nowUs,
                                      *arrived.sequence, arrived.restart);
                if (nextTakeUs < 0)
                    nextTakeUs = nowUs;
            }
        }
        if (nextTakeUs >= 0 && nowUs >= nextTakeUs) {
            if (!buffer.Take(piece.data(), kPiece, nowUs))
                std::fill(piece.begin(), piece.end(), int16_t{0});
            played.insert(played.end(), piece.begin(), piece.end());
            nextTakeUs += 5000;
        }
    }
    // In the pause, past DTX's onset, the encoder's comfort-noise updates go out now and then.
    EXPECT_GE(sentInPause, 2);
    EXPECT_LE(sentInPause, 5);

    // The played stream starts at frame 0's arrival; the pause is judged where it has surely begun (the
    // playout is a few tens of milliseconds deep) and until before the second spurt.
    const int from = (kSpurtFrames + 10) * kFrame;
    const int to = (kSpurtFrames + kPauseFrames - 5) * kFrame;
    ASSERT_GT(static_cast<int>(played.size()), (2 * kSpurtFrames + kPauseFrames) * kFrame);
    const double speechRms = Rms(played.data() + 10 * kFrame, 30 * kFrame);
    ASSERT_GT(speechRms, 1000);
    double quietest = 1e9, loudest = 0;
    for (int at = from; at + kFrame <= to; at += kFrame) {
        const double rms = Rms(played.data() + at, kFrame);
        quietest = std::min(quietest, rms);
        loudest = std::max(loudest, rms);
    }
    // The room's noise is about 17 RMS: every 20 ms of the pause carries noise of about that level, none is
    // digital silence, and none is speech drawn out over the gap.
    EXPECT_GT(quietest, 3) << "a stretch of the pause fell silent";
    EXPECT_LT(loudest, 100) << "speech was stretched into the pause";
    EXPECT_LT(loudest, speechRms / 30);
    // The second spurt plays where it belongs: loud within 100 ms of its place, not before it.
    const int second = (kSpurtFrames + kPauseFrames) * kFrame;
    EXPECT_LT(Rms(played.data() + second - 3 * kFrame, 2 * kFrame), 100);
    EXPECT_GT(Rms(played.data() + second + 5 * kFrame, 2 * kFrame), 1000);
}

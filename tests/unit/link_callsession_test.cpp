// The session within a call on a fake clock: the offer and its bounds, the plain wire toward a plain peer,
// numbered audio, liveness, codec agreement, the peer's identity and the quality reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "link/CallSession.h"

namespace {

constexpr int kIlbc11 = 0xA4;  // 240 samples, 50 bytes
constexpr int kGsm8 = 0x82;    // 160 samples, 33 bytes
constexpr int kG711At8 = 0x85;

using Bytes = std::vector<uint8_t>;
using Action = CallSession::Incoming::Action;

CallSession::Config Config(bool listener, uint64_t id, int format = kIlbc11, bool chosen = false) {
    CallSession::Config config;
    config.listener = listener;
    config.sessionId = id;
    config.formatCode = format;
    config.formatChosen = chosen;
    config.firstSequence = 0xFFFE;  // the first frames cross the 16-bit wrap
    config.firstTimestamp = 1000;
    return config;
}

// What the session composes due at `nowMs`, or an empty vector.
Bytes Due(CallSession& session, int64_t nowMs) {
    Bytes out(10000);
    out.resize(static_cast<size_t>(session.ComposeDue(out, nowMs)));
    return out;
}

Bytes AudioOut(CallSession& session, size_t frameBytes, bool muted, int64_t nowMs, uint8_t fill = 0x42) {
    const Bytes frame(frameBytes, fill);
    Bytes out(10000);
    out.resize(static_cast<size_t>(session.ComposeAudio(frame, muted, out, nowMs)));
    return out;
}

Bytes Hello(uint64_t sender, uint64_t peer, int format, bool chosen = false) {
    SessionControl hello;
    hello.senderId = sender;
    hello.peerId = peer;
    hello.formatCode = static_cast<uint8_t>(format);
    hello.formatChosen = chosen;
    hello.capabilities = SessionControl::kNumberedAudio | SessionControl::kQualityReports;
    Bytes out(24);
    hello.Compose(out);
    return out;
}

// Two sessions that hand each other everything they compose after `delayMs`.
struct Pair {
    CallSession caller, listener;
    int64_t nowMs = 0;

    void Exchange(int64_t delayMs = 0) {
        for (int i = 0; i < 4; ++i) {
            Bytes fromCaller = Due(caller, nowMs);
            Bytes fromListener = Due(listener, nowMs);
            if (!fromCaller.empty())
                listener.Receive(fromCaller, true, nowMs + delayMs);
            if (!fromListener.empty())
                caller.Receive(fromListener, true, nowMs + delayMs);
        }
    }
};

}  // namespace

TEST(CallSessionTest, HellosGoOutEveryTwoHundredMillisecondsTenTimesAtMostBesideThePlainWire) {
    CallSession session;
    session.Start(Config(false, 0x1111), 0);
    EXPECT_EQ(session.GetMode(), CallSession::Mode::kOffering);
    int hellos = 0;
    std::vector<int64_t> at;
    for (int64_t t = 0; t <= 5000; ++t) {
        const Bytes d = Due(session, t);
        if (!d.empty()) {
            ASSERT_EQ(d.size(), 24u);
            EXPECT_EQ(d[0], 0x04);
            EXPECT_EQ(d[2], 1) << "a hello";
            ++hellos;
            at.push_back(t);
        }
    }
    EXPECT_EQ(hellos, 10);
    EXPECT_EQ(at.front(), 0);
    EXPECT_EQ(at[1], 200);
    EXPECT_EQ(at.back(), 1800);
    // Meanwhile audio is the plain wire, byte for byte.
    EXPECT_EQ(AudioOut(session, 3, false, 10), (Bytes{0x00, 0x42, 0x42, 0x42}));
    EXPECT_EQ(AudioOut(session, 3, true, 10), (Bytes{0x01}));

    // With sessions off, not one hello.
    CallSession off;
    CallSession::Config config = Config(false, 0x1111);
    config.offer = false;
    off.Start(config, 0);
    for (int64_t t = 0; t <= 3000; t += 10)
        EXPECT_TRUE(Due(off, t).empty());
    EXPECT_EQ(AudioOut(off, 2, false, 10), (Bytes{0x00, 0x42, 0x42}));
}

TEST(CallSessionTest, AListenerSendsNothingBeforeItsPeerIsKnownAndAPlainPeerKeepsThePlainWire) {
    CallSession listener;
    listener.Start(Config(true, 0x2222), 0);
    EXPECT_TRUE(Due(listener, 0).empty());
    EXPECT_TRUE(AudioOut(listener, 50, false, 0).empty());
    // A plain peer's audio names it: the listener offers from then on, still on the plain wire.
    Bytes audio(51, 0x11);
    audio[0] = 0x00;
    CallSession::Incoming in = listener.Receive(audio, false, 100);
    EXPECT_EQ(in.action, Action::kPlay);
    EXPECT_TRUE(in.movePeer);
    EXPECT_FALSE(in.sequence);
    EXPECT_EQ(in.payload.size(), 50u);
    // An odd payload while hellos are still offered is dropped but not yet named: the peer may still
    // answer and name its format itself.
    Bytes odd(34, 0x11);
    odd[0] = 0x00;
    EXPECT_EQ(listener.Receive(odd, false, 100).action, Action::kNone);
    EXPECT_FALSE(listener.TakeBadPayload());
    listener.SetPeerKnown(true);
    int hellos = 0;
    for (int64_t t = 100; t < 4000; t += 20) {
        hellos += Due(listener, t).empty() ? 0 : 1;
        listener.Receive(audio, true, t);
    }
    EXPECT_EQ(hellos, 10);
    EXPECT_EQ(listener.GetMode(), CallSession::Mode::kPlain);
    EXPECT_EQ(AudioOut(listener, 1, false, 4000), (Bytes{0x00, 0x42}));
    // The plain wire's rules: another address becomes the peer, an empty datagram ends the call, and
    // nothing ever times out.
    EXPECT_TRUE(listener.Receive(Bytes{0x07}, false, 4000).movePeer);
    EXPECT_EQ(listener.Receive(Bytes{}, false, 4000).action, Action::kEndCall);
    EXPECT_FALSE(listener.PeerTimedOut(4000 + 10'000'000));
    // Once the peer is known to be plain, a payload no frame of the format has is named, once.
    EXPECT_EQ(listener.Receive(odd, true, 4100).action, Action::kNone);
    EXPECT_EQ(listener.TakeBadPayload(), 33);
    listener.Receive(odd, true, 4120);
    EXPECT_FALSE(listener.TakeBadPayload());
}

TEST(CallSessionTest, BothHellosMakeASessionWithNumberedAudioAndNothingWhileMuted) {
    Pair pair;
    pair.caller.Start(Config(false, 0xAAAA000000000001), 0);
    pair.listener.Start(Config(true, 0xBBBB000000000002), 0);
    pair.listener.SetPeerKnown(true);
    pair.Exchange();
    ASSERT_TRUE(pair.caller.InSession());
    ASSERT_TRUE(pair.listener.InSession());
    EXPECT_EQ(pair.caller.PeerSessionId(), 0xBBBB000000000002u);

    // RTP: version 2, the marker on the first frame, PT 113 (iLBC 30 ms at 11025 Hz: 96 + 4 * 4 + 1),
    // sequence from 0xFFFE, timestamp from 1000, SSRC the low 32 bits of the session id.
    const Bytes first = AudioOut(pair.caller, 50, false, 10);
    ASSERT_EQ(first.size(), 62u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 12),
              (Bytes{0x80, 0x80 | 113, 0xFF, 0xFE, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x01}));
    const Bytes second = AudioOut(pair.caller, 50, false, 30);
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 8),
              (Bytes{0x80, 113, 0xFF, 0xFF, 0x00, 0x00, 0x04, 0xD8}));
    // Muted: nothing at all; the timestamp goes on, and the next frame opens a talk spurt.
    EXPECT_TRUE(AudioOut(pair.caller, 50, true, 50).empty());
    const Bytes after = AudioOut(pair.caller, 50, false, 70);
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 8),
              (Bytes{0x80, 0x80 | 113, 0x00, 0x00, 0x00, 0x00, 0x06, 0xB8}));

    // The listener plays them by number across the wrap, restarting on each talk spurt.
    CallSession::Incoming in = pair.listener.Receive(first, true, 15);
    EXPECT_EQ(in.action, Action::kPlay);
    EXPECT_EQ(in.sequence, 0xFFFEu);
    EXPECT_TRUE(in.restart);
    in = pair.listener.Receive(second, true, 35);
    EXPECT_EQ(in.sequence, 0xFFFFu);
    EXPECT_FALSE(in.restart);
    in = pair.listener.Receive(after, true, 75);
    EXPECT_EQ(in.sequence, 0x10000u);
    EXPECT_TRUE(in.restart);
    EXPECT_EQ(in.payload.size(), 50u);
}

TEST(CallSessionTest, AQuietSideKeepsItAliveEverySecondAndASilentPeerEndsTheSessionAtTheTimeout) {
    Pair pair;
    pair.caller.Start(Config(false, 5), 0);
    pair.listener.Start(Config(true, 6), 0);
    pair.listener.SetPeerKnown(true);
    pair.Exchange();
    ASSERT_TRUE(pair.caller.InSession());
    // Reports, a few times a second, to a peer that offered them.
    const Bytes report = Due(pair.caller, 500);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report[0] & 0xC0, 0x80) << "RTCP: version 2";
    EXPECT_EQ(report[1], 201) << "a receiver report: nothing sent yet";
    // A peer that offers no reports: only keep-alives.
    Bytes hello(24);
    SessionControl noReports;
    noReports.senderId = 9;
    noReports.formatCode = kIlbc11;
    noReports.Compose(hello);
    CallSession alive;
    alive.Start(Config(false, 10), 0);
    alive.Receive(hello, true, 0);
    ASSERT_TRUE(alive.InSession());
    EXPECT_EQ(Due(alive, 0).size(), 24u) << "the answer to the hello";
    EXPECT_TRUE(Due(alive, 999).empty());
    const Bytes keepAlive = Due(alive, 1000);
    ASSERT_EQ(keepAlive.size(), 24u);
    EXPECT_EQ(keepAlive[2], 2) << "a keep-alive";
    EXPECT_TRUE(Due(alive, 1999).empty());
    EXPECT_EQ(Due(alive, 2000).size(), 24u);
    // Audio counts as sent: no keep-alive while frames go out.
    AudioOut(alive, 50, false, 2500);
    EXPECT_TRUE(Due(alive, 3499).empty());

    // Liveness: heard at 0; silent 29.999 s is alive, 30 s is gone; anything from the peer resets it.
    EXPECT_FALSE(alive.PeerTimedOut(29'999));
    EXPECT_TRUE(alive.PeerTimedOut(30'000));
    alive.Receive(Hello(9, 10, kIlbc11), true, 20'000);
    EXPECT_FALSE(alive.PeerTimedOut(49'999));
    EXPECT_TRUE(alive.PeerTimedOut(50'000));
    EXPECT_EQ(alive.SilentForMs(50'000), 30'000);
    CallSession never;
    CallSession::Config forever = Config(false, 11);
    forever.peerTimeoutMs = 0;
    never.Start(forever, 0);
    never.Receive(hello, true, 0);
    EXPECT_FALSE(never.PeerTimedOut(1'000'000'000));
}

TEST(CallSessionTest, InASessionOnlyThePeersOwnDatagramsCountAndItsNewAddressIsFollowed) {
    CallSession session;
    session.Start(Config(true, 21), 0);
    session.Receive(Hello(22, 0, kIlbc11), false, 0);
    ASSERT_TRUE(session.InSession());
    session.SetPeerKnown(true);
    // Plain audio, markers, empty datagrams, junk: a stranger's from another address, nothing from the
    // peer's own; none moves the peer or ends the call.
    for (const Bytes& d : {Bytes{0x00, 1, 2}, Bytes{0x01}, Bytes{}, Bytes{0x09, 9}, Bytes{0x80}}) {
        CallSession::Incoming other = session.Receive(d, false, 10);
        EXPECT_TRUE(other.stranger);
        EXPECT_FALSE(other.movePeer);
        EXPECT_EQ(other.action, Action::kNone);
        CallSession::Incoming own = session.Receive(d, true, 10);
        EXPECT_FALSE(own.stranger);
        EXPECT_EQ(own.action, Action::kNone);
    }
    // RTP of another SSRC, or a hello or goodbye of another session, from another address: a stranger's.
    CallSession peerSide;
    peerSide.Start(Config(false, 22), 0);
    peerSide.Receive(Hello(21, 22, kIlbc11), true, 0);
    CallSession thirdSide;
    thirdSide.Start(Config(false, 23), 0);
    thirdSide.Receive(Hello(21, 23, kIlbc11), true, 0);
    const Bytes thirdRtp = AudioOut(thirdSide, 50, false, 20);
    EXPECT_TRUE(session.Receive(thirdRtp, false, 20).stranger);
    EXPECT_FALSE(session.Receive(thirdRtp, true, 20).movePeer);
    EXPECT_TRUE(session.Receive(Hello(23, 21, kIlbc11), false, 20).stranger);
    Bytes goodbye(24);
    SessionControl bye;
    bye.kind = SessionControl::Kind::kGoodbye;
    bye.senderId = 23;
    bye.formatCode = kIlbc11;
    bye.Compose(goodbye);
    EXPECT_NE(session.Receive(goodbye, false, 20).action, Action::kEndCall);
    EXPECT_NE(session.Receive(goodbye, true, 20).action, Action::kEndCall) << "not the peer's session";
    EXPECT_EQ(session.PeerSessionId(), 22u);
    // The peer's own RTP from a new address is followed.
    const Bytes peerRtp = AudioOut(peerSide, 50, false, 20);
    CallSession::Incoming moved = session.Receive(peerRtp, false, 30);
    EXPECT_TRUE(moved.movePeer);
    EXPECT_EQ(moved.action, Action::kPlay);
    // The peer's goodbye ends the call.
    bye.senderId = 22;
    bye.Compose(goodbye);
    EXPECT_EQ(session.Receive(goodbye, true, 40).action, Action::kEndCall);
    // A new session id from the peer's own address is the peer started again: the session begins anew.
    CallSession again;
    again.Start(Config(true, 31), 0);
    again.Receive(Hello(32, 0, kIlbc11), false, 0);
    again.Receive(Hello(33, 0, kIlbc11), true, 10);
    EXPECT_EQ(again.PeerSessionId(), 33u);
}

TEST(CallSessionTest, ThePeersPlainFramesPlayOnlyFromItsAddressAndUntilItsNumberedAudioBegins) {
    // The peer's first hello was lost: it let its frames go plain, then our answer reached it.
    CallSession session;
    session.Start(Config(true, 21), 0);
    session.Receive(Hello(22, 0, kIlbc11), true, 0);
    ASSERT_TRUE(session.InSession());
    session.SetPeerKnown(true);
    Bytes frame(1 + 50, 0x42);
    frame[0] = 0x00;
    const CallSession::Incoming played = session.Receive(frame, true, 10);
    EXPECT_EQ(played.action, Action::kPlay);
    EXPECT_EQ(played.payload.size(), 50u);
    // One byte more or less is no frame of the call's format; another address's is a stranger's.
    for (const size_t length : {size_t{50}, size_t{52}})
        EXPECT_EQ(session.Receive(Bytes(length, 0x00), true, 10).action, Action::kNone) << length;
    EXPECT_TRUE(session.Receive(frame, false, 10).stranger);
    EXPECT_EQ(session.Receive(frame, false, 10).action, Action::kNone);
    // Once the peer's numbered audio has come, plain leftovers are ignored.
    CallSession peerSide;
    peerSide.Start(Config(false, 22), 0);
    peerSide.Receive(Hello(21, 22, kIlbc11), true, 0);
    EXPECT_EQ(session.Receive(AudioOut(peerSide, 50, false, 20), true, 20).action, Action::kPlay);
    EXPECT_EQ(session.Receive(frame, true, 30).action, Action::kNone);
}

TEST(CallSessionTest, CodecsAgreeAsTheTableSays) {
    struct Case {
        int mine;
        bool mineChosen;
        int theirs;
        bool theirsChosen;
        bool listener;
        int expected;
        bool mismatch;
    };
    const Case cases[] = {
        {kIlbc11, false, kIlbc11, true, true, kIlbc11, false},
        {kIlbc11, false, kGsm8, false, true, kGsm8, false},     // a listener takes the caller's
        {kIlbc11, false, kGsm8, false, false, kIlbc11, false},  // a caller keeps its own
        {kIlbc11, true, kGsm8, false, true, kIlbc11, false},    // chosen wins
        {kIlbc11, false, kGsm8, true, false, kGsm8, false},     // theirs chosen wins, caller too
        {kIlbc11, true, kGsm8, true, true, kIlbc11, true},      // both chose: named, nobody switches
    };
    for (const Case& c : cases) {
        const CallSession::Agreement agreed =
            CallSession::AgreeFormat(c.mine, c.mineChosen, c.theirs, c.theirsChosen, c.listener);
        EXPECT_EQ(agreed.formatCode, c.expected);
        EXPECT_EQ(agreed.mismatch, c.mismatch);
    }

    // A listener left at its default takes the caller's GSM for the call; a chosen one names the mismatch
    // and plays none of the peer's frames.
    CallSession taker;
    taker.Start(Config(true, 41), 0);
    taker.Receive(Hello(42, 0, kGsm8), false, 0);
    EXPECT_TRUE(taker.TakeFormatChange());
    EXPECT_FALSE(taker.TakeFormatChange());
    EXPECT_EQ(taker.FormatCode(), kGsm8);
    const Bytes gsmHello = Due(taker, 0);
    ASSERT_EQ(gsmHello.size(), 24u);
    EXPECT_EQ(gsmHello[20], kGsm8) << "its hellos now offer the format it uses";

    CallSession chosen;
    chosen.Start(Config(true, 43, kIlbc11, true), 0);
    chosen.Receive(Hello(44, 0, kG711At8, true), false, 0);
    EXPECT_FALSE(chosen.TakeFormatChange());
    EXPECT_EQ(chosen.TakeMismatch(), kG711At8);
    EXPECT_FALSE(chosen.TakeMismatch()) << "named once";
    CallSession g711;
    g711.Start(Config(false, 44, kG711At8, true), 0);
    g711.Receive(Hello(43, 44, kIlbc11, true), true, 0);
    const Bytes frame = AudioOut(g711, 160, false, 10);
    EXPECT_EQ(frame[1] & 0x7F, 0) << "PCMU";
    EXPECT_EQ(chosen.Receive(frame, true, 20).action, Action::kNone);
}

TEST(CallSessionTest, ReportsCarryTheFiguresBothWaysAndGiveTheRoundTrip) {
    Pair pair;
    pair.caller.Start(Config(false, 51), 0);
    pair.listener.Start(Config(true, 52), 0);
    pair.listener.SetPeerKnown(true);
    pair.Exchange(10);
    ASSERT_TRUE(pair.caller.InSession() && pair.listener.InSession());
    // Frames both ways every 20 ms for 1.5 s (the second report of each side names the other's first),
    // one of the caller's in ten lost, 10 ms each way.
    int lostSent = 0;
    constexpr int kFrames = 75;
    for (int n = 0; n < kFrames; ++n) {
        pair.nowMs = 20 * n;
        const Bytes a = AudioOut(pair.caller, 50, false, pair.nowMs);
        const Bytes b = AudioOut(pair.listener, 50, false, pair.nowMs);
        if (n % 10 != 5)
            pair.listener.Receive(a, true, pair.nowMs + 10);
        else
            ++lostSent;
        pair.caller.Receive(b, true, pair.nowMs + 10);
        RtcpQuality figures;
        figures.framesReceived = static_cast<uint32_t>(n);
        pair.listener.SetPlayoutFigures(figures);
        pair.Exchange(10);
    }
    const CallSession::Quality& listenerSees = pair.listener.GetQuality();
    EXPECT_EQ(listenerSees.received, kFrames - lostSent);
    EXPECT_EQ(listenerSees.lost, lostSent);
    const CallSession::Quality& callerSees = pair.caller.GetQuality();
    ASSERT_TRUE(callerSees.peerBlock);
    EXPECT_GT(callerSees.peerBlock->cumulativeLost, 0);
    // The listener's last report (at 1040 ms) covers the caller's frames 0-51, numbered from 0xFFFE
    // across the wrap, of which 5 were lost.
    EXPECT_EQ(callerSees.peerExpected, 52);
    EXPECT_EQ(callerSees.peerBlock->cumulativeLost, 5);
    ASSERT_TRUE(callerSees.peerQuality);
    EXPECT_GT(callerSees.peerQuality->framesReceived, 0u);
    ASSERT_TRUE(callerSees.roundTripUs);
    // 10 ms each way, in 1/65536 s units: within a unit or two of 20 ms.
    EXPECT_NEAR(static_cast<double>(*callerSees.roundTripUs), 20000, 100);
}

namespace {

constexpr int kOpus48 = 0x87;
constexpr int kOpus16 = 0xA7;

CallSession::Config OpusConfig(bool listener, uint64_t id, int opus, int format = kIlbc11) {
    CallSession::Config config = Config(listener, id, format);
    config.opusFormat = opus;
    return config;
}

}  // namespace

TEST(CallSessionOpusTest, BothOfferingOpusUseItAtTheLowerOfTheTwoRatesWithOpusPayloadTypes) {
    Pair pair;
    pair.caller.Start(OpusConfig(false, 0x1111, kOpus48), 0);
    pair.listener.Start(OpusConfig(true, 0x2222, kOpus16, kGsm8), 0);
    pair.listener.SetPeerKnown(true);
    // The hello offers Opus beside the plain format it names.
    const Bytes hello = Due(pair.caller, 0);
    ASSERT_EQ(hello.size(), 24u);
    EXPECT_EQ(hello[20], kIlbc11);
    EXPECT_EQ(hello[21], 0x07);
    EXPECT_EQ(hello[22], 0x87);
    pair.listener.Receive(hello, true, 0);
    pair.Exchange();
    for (CallSession* side : {&pair.caller, &pair.listener}) {
        ASSERT_TRUE(side->InSession());
        EXPECT_TRUE(side->OpusAgreed());
        EXPECT_EQ(side->FormatCode(), kOpus16);
        EXPECT_TRUE(side->TakeFormatChange());
        EXPECT_FALSE(side->TakeMismatch()) << "the plain formats differ, but Opus settles it";
    }
    // Opus at 16000 Hz goes as payload type 125, its timestamp on RFC 7587's 48000 Hz clock: 960 a frame.
    const Bytes first = AudioOut(pair.caller, 40, false, 1000);
    const Bytes second = AudioOut(pair.caller, 40, false, 1020);
    ASSERT_EQ(first.size(), 52u);
    EXPECT_EQ(first[1], 0x80 | 125);
    EXPECT_EQ(second[1], 125);
    const auto timestamp = [](const Bytes& p) {
        return static_cast<uint32_t>(p[4] << 24 | p[5] << 16 | p[6] << 8 | p[7]);
    };
    EXPECT_EQ(timestamp(second) - timestamp(first), 960u);
    EXPECT_EQ(pair.listener.Receive(first, true, 1000).action, Action::kPlay);
    // Silence the encoder has nothing to say about (one or two bytes) is not sent; a three-byte packet
    // is, and opens a talk spurt.
    EXPECT_TRUE(AudioOut(pair.caller, 1, false, 1040).empty());
    EXPECT_TRUE(AudioOut(pair.caller, 2, false, 1060).empty());
    const Bytes after = AudioOut(pair.caller, 3, false, 1080);
    ASSERT_EQ(after.size(), 15u);
    EXPECT_EQ(after[1], 0x80 | 125);
    EXPECT_EQ(timestamp(after) - timestamp(second), 3 * 960u);
}

TEST(CallSessionOpusTest, APeerWithoutOpusAgreesThePlainFormatAsBefore) {
    Pair pair;
    pair.caller.Start(OpusConfig(false, 0x1111, kOpus48), 0);
    pair.listener.Start(Config(true, 0x2222, kGsm8), 0);
    pair.listener.SetPeerKnown(true);
    pair.Exchange();
    ASSERT_TRUE(pair.caller.InSession());
    EXPECT_FALSE(pair.caller.OpusAgreed());
    EXPECT_EQ(pair.caller.FormatCode(), kIlbc11);
    EXPECT_EQ(pair.listener.FormatCode(), kIlbc11) << "the listener takes the caller's plain format";
    // Said once: a session copy whose hello offers no Opus, and the caller's own format kept.
    const std::optional<CallSession::OpusFallback> fallback = pair.caller.TakeOpusFallback();
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->formatCode, kIlbc11);
    EXPECT_TRUE(fallback->sessionPeer);
    EXPECT_FALSE(fallback->peersFormat);
    EXPECT_FALSE(pair.caller.TakeOpusFallback());
    EXPECT_FALSE(pair.listener.TakeOpusFallback()) << "the listener offered no Opus: nothing to explain";
}

TEST(CallSessionOpusTest,
     APeerWithoutOpusThatChoseItsFormatIsNamedAsTheFormatsSourceAndOpusPeersHearNothing) {
    Pair pair;
    pair.caller.Start(OpusConfig(false, 0x1111, kOpus48), 0);
    pair.listener.Start(Config(true, 0x2222, kGsm8, true), 0);
    pair.listener.SetPeerKnown(true);
    pair.Exchange();
    ASSERT_TRUE(pair.caller.InSession());
    const std::optional<CallSession::OpusFallback> fallback = pair.caller.TakeOpusFallback();
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->formatCode, kGsm8);
    EXPECT_TRUE(fallback->sessionPeer);
    EXPECT_TRUE(fallback->peersFormat);
    // Both offering Opus: no fallback to explain.
    Pair both;
    both.caller.Start(OpusConfig(false, 0x1111, kOpus48), 0);
    both.listener.Start(OpusConfig(true, 0x2222, kOpus16), 0);
    both.listener.SetPeerKnown(true);
    both.Exchange();
    ASSERT_TRUE(both.caller.OpusAgreed());
    EXPECT_FALSE(both.caller.TakeOpusFallback());
    EXPECT_FALSE(both.listener.TakeOpusFallback());
}

TEST(CallSessionOpusTest, OpusSetForTheCallStartsPlainAndFallsBackTowardAPlainPeerSayingSoOnce) {
    CallSession caller;
    caller.Start(OpusConfig(false, 0x1111, 0, kOpus48), 0);
    // The call begins in the default format: the plain wire cannot carry Opus.
    EXPECT_EQ(caller.FormatCode(), 0xA4);
    EXPECT_TRUE(caller.TakeFormatChange());
    const Bytes hello = Due(caller, 0);
    EXPECT_EQ(hello[20], 0xA4);
    EXPECT_EQ(hello[22], 0x87);
    const Bytes plain = AudioOut(caller, 50, false, 0);
    ASSERT_EQ(plain.size(), 51u);
    EXPECT_EQ(plain[0], 0x00);
    Bytes audio(51, 0x42);
    audio[0] = 0x00;
    for (int64_t t = 0; t < 4000; t += 20) {
        Due(caller, t);
        caller.Receive(audio, true, t);
    }
    ASSERT_EQ(caller.GetMode(), CallSession::Mode::kPlain);
    const std::optional<CallSession::OpusFallback> fallback = caller.TakeOpusFallback();
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->formatCode, 0xA4);
    EXPECT_FALSE(fallback->sessionPeer);
    EXPECT_FALSE(fallback->peersFormat);
    EXPECT_FALSE(caller.TakeOpusFallback());
    // Sessions off: no offer, no hello, and still the plain format.
    CallSession off;
    CallSession::Config config = OpusConfig(false, 0x3333, 0, kOpus16);
    config.offer = false;
    off.Start(config, 0);
    EXPECT_EQ(off.FormatCode(), 0xA4);
    EXPECT_TRUE(Due(off, 0).empty());
    EXPECT_EQ(AudioOut(off, 50, false, 0)[0], 0x00);
}

TEST(CallSessionOpusTest, AHelloOfferingSomethingElseThanOpusOffersNothing) {
    for (const uint8_t offered : {0xA4, 0x07, 0x88, 0x00}) {
        Bytes hello = Hello(0x2222, 0, kIlbc11);
        hello[21] |= 0x04;
        hello[22] = offered;
        const std::optional<SessionControl> parsed = SessionControl::Parse(hello);
        ASSERT_TRUE(parsed) << int{offered};
        EXPECT_EQ(parsed->capabilities & 0x04, 0) << int{offered};
        EXPECT_EQ(parsed->opusFormat, 0) << int{offered};
    }
    // Without the capability bit, byte 22 is not read.
    Bytes hello = Hello(0x2222, 0, kIlbc11);
    hello[22] = 0x87;
    EXPECT_EQ(SessionControl::Parse(hello)->opusFormat, 0);
    hello[21] |= 0x04;
    EXPECT_EQ(SessionControl::Parse(hello)->opusFormat, 0x87);
}

TEST(CallSessionOpusTest, TheSenderFollowsThePeersLossAtTheEdgesOfItsRule) {
    using S = CallSession::SenderSettings;
    const auto adapt = [](int fraction, int bitRate) {
        const S s = CallSession::AdaptOpusSender(static_cast<uint8_t>(fraction), bitRate, 48000);
        return std::pair{s.expectedLossPercent, s.bitRate};
    };
    // Fraction lost in 1/256: 26 is just over 10 %, 25 just under; 5 just under 2 %, 6 just over. While
    // loss is expected the rate stays at the FEC's room at least (27500 at 11 %, 28000 at 10 %, 24500 at
    // 30 %), as bench/opus_fec_room measured it at the encoder's complexity 1, where the room is at most
    // 32000: at 2 % and 3 % it would be 43000 and 43500, and the rate is not raised for it.
    EXPECT_EQ(adapt(26, 24000), (std::pair{11, 27500}));
    EXPECT_EQ(adapt(25, 24000), (std::pair{10, 28000}));
    EXPECT_EQ(adapt(6, 18000), (std::pair{3, 18000}));
    EXPECT_EQ(adapt(5, 18000), (std::pair{2, 20000}));
    EXPECT_EQ(adapt(0, 23000), (std::pair{0, 24000}));
    EXPECT_EQ(adapt(0, 24000), (std::pair{0, 24000}));
    // Without loss the rate leaves the room at once, back to the top.
    EXPECT_EQ(adapt(0, 33500), (std::pair{0, 24000}));
    EXPECT_EQ(adapt(255, 14000), (std::pair{30, 24500}));
    EXPECT_EQ(adapt(255, 12000), (std::pair{30, 24500}));
    // At 16000 Hz the band is wideband at most: 2 % needs 32000, exactly the most the rate is raised to.
    EXPECT_EQ(CallSession::AdaptOpusSender(5, 18000, 16000).bitRate, 32000);
}

TEST(CallSessionOpusTest, TheFecRoomFollowsTheLossAndTheCodingRatesWidestBand) {
    // At the encoder's complexity 1 (4/5 of the rate weighed at complexity 2 and above).
    const auto room = CallSession::OpusFecRoomBitRate;
    EXPECT_EQ(room(0, 48000), 0);
    EXPECT_EQ(room(-1, 48000), 0);
    // Up to 5 % the full band's room; from 6 % on wideband's, which the encoder narrows to.
    EXPECT_EQ(room(1, 48000), 42000);
    EXPECT_EQ(room(2, 48000), 43000);
    EXPECT_EQ(room(5, 48000), 43500);
    EXPECT_EQ(room(6, 48000), 28500);
    EXPECT_EQ(room(7, 48000), 28500);
    EXPECT_EQ(room(8, 48000), 28000);
    EXPECT_EQ(room(12, 48000), 27500);
    // The room stops shrinking at 25 %; what the encoder keeps of the rate still falls a little with loss.
    EXPECT_EQ(room(24, 48000), 25000);
    EXPECT_EQ(room(25, 48000), 24500);
    EXPECT_EQ(room(30, 48000), 24500);
    EXPECT_EQ(room(100, 48000), 25000);
    // The widest band each coding rate allows: super-wideband at 24000 Hz, wideband at 16000, mediumband at
    // 12000.
    EXPECT_EQ(room(2, 24000), 39500);
    EXPECT_EQ(room(2, 16000), 32000);
    EXPECT_EQ(room(2, 12000), 28000);
    EXPECT_EQ(room(6, 12000), 24500);
    EXPECT_EQ(room(6, 16000), 28500);
}

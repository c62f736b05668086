// The key agreement over a path that loses, repeats or holds back one hello: two sessions on a fake clock,
// sealing and opening as the link does, must end up with the same keys and hear each other whichever hello
// of the exchange went astray; and a path that loses everything after the commitment ends the call on both
// sides, neither of them taking it for an unencrypted one.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/CallKeys.h"
#include "link/CallSession.h"
#include "link/DatagramSealer.h"
#include "link/SessionControl.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kIlbc11 = 0xA4;
constexpr int kOneWayMs = 5;
constexpr int kFrameMs = 20;

bool IsHello(const Bytes& datagram) {
    return datagram.size() > 2 && datagram[0] == 4 && datagram[2] == 1;
}

// A listener offering keys, with a fresh pair.
CallSession::Config ListenerConfig() {
    CallSession::Config config;
    config.listener = true;
    config.sessionId = 0x1151;
    config.formatCode = kIlbc11;
    config.encrypt = true;
    config.keyPair = CallKeys::MakeKeyPair();
    return config;
}

// What happens to one hello on the path.
enum class Fault { kNone, kDrop, kDuplicate, kHoldBack };

// One side of the call: its session and, once it holds the keys, its sealer, as the link keeps them.
struct Side {
    CallSession session;
    std::unique_ptr<DatagramSealer> sealer;
    int framesPlayed = 0;
    int plainSent = 0;  // audio that left unsealed
    bool failed = false;
};

class KeyLossNetwork {
public:
    KeyLossNetwork() {
        Start(sides_[0], false, 0xC0C0, 0x11);
        Start(sides_[1], true, 0x1151, 0x22);
    }
    // The `index`-th hello sent (either way, counting from 0) meets `fault`.
    void Afflict(int index, Fault fault) {
        faultIndex_ = index;
        fault_ = fault;
    }
    // Every hello from `from` (0 caller, 1 listener) sent at `fromMs` or later is lost.
    void LoseEverythingFrom(int from, int64_t fromMs) {
        cutSide_ = from;
        cutFromMs_ = fromMs;
    }
    void Run(int64_t untilMs) {
        for (; nowMs_ <= untilMs; nowMs_ += 5) {
            Deliver();
            for (int i = 0; i < 2; ++i)
                Step(i);
        }
    }
    Side& Caller() { return sides_[0]; }
    Side& Listener() { return sides_[1]; }
    int HellosSent() const { return hellos_; }

private:
    static void Start(Side& side, bool listener, uint64_t id, uint8_t secretByte) {
        CallSession::Config config;
        config.listener = listener;
        config.sessionId = id;
        config.formatCode = kIlbc11;
        config.encrypt = true;
        CallKeys::Key secret{};
        secret.fill(secretByte);
        config.keyPair = CallKeys::KeyPairOf(secret);
        side.session.Start(config, 0);
    }

    void Step(int i) {
        Side& side = sides_[i];
        if (side.failed)
            return;
        if (side.session.KeyAgreementFailed(nowMs_)) {
            side.failed = true;
            return;
        }
        if (std::optional<CallKeys> keys = side.session.TakeNewKeys())
            side.sealer =
                std::make_unique<DatagramSealer>(keys->sendKey, keys->openKey, side.session.SessionId());
        for (int n = 0; n < 3; ++n) {
            Bytes out(10000);
            out.resize(static_cast<size_t>(side.session.ComposeDue(out, nowMs_)));
            if (out.empty())
                break;
            Send(i, out);
        }
        if (nowMs_ % kFrameMs == 0 && !side.session.HoldsAudio(nowMs_)) {
            const Bytes frame(50, static_cast<uint8_t>(0x40 + i));
            Bytes out(10000);
            out.resize(static_cast<size_t>(side.session.ComposeAudio(frame, false, out, nowMs_)));
            if (!out.empty()) {
                if (side.sealer == nullptr)
                    ++side.plainSent;
                Send(i, out);
            }
        }
    }

    void Send(int from, const Bytes& inner) {
        Bytes datagram = inner;
        const bool hello = IsHello(inner);
        if (sides_[from].sealer != nullptr && !hello) {
            datagram.resize(inner.size() + DatagramSealer::kOverhead);
            datagram.resize(static_cast<size_t>(
                sides_[from].sealer->Seal(inner.data(), static_cast<int>(inner.size()), datagram.data(),
                                          static_cast<int>(datagram.size()))));
        }
        int64_t dueMs = nowMs_ + kOneWayMs;
        if (hello) {
            const int index = hellos_++;
            if (from == cutSide_ && nowMs_ >= cutFromMs_)
                return;
            if (index == faultIndex_) {
                if (fault_ == Fault::kDrop)
                    return;
                if (fault_ == Fault::kDuplicate)
                    inFlight_.push_back({dueMs + 1, 1 - from, datagram});
                if (fault_ == Fault::kHoldBack)
                    dueMs += 300;  // overtaken by everything sent in the next 300 ms
            }
        }
        inFlight_.push_back({dueMs, 1 - from, datagram});
    }

    void Deliver() {
        std::vector<InFlight> due;
        std::vector<InFlight> later;
        for (InFlight& datagram : inFlight_)
            (datagram.dueMs <= nowMs_ ? due : later).push_back(std::move(datagram));
        inFlight_ = std::move(later);
        for (const InFlight& datagram : due)
            Receive(sides_[datagram.to], datagram.bytes);
    }

    void Receive(Side& side, const Bytes& datagram) {
        if (side.failed)
            return;
        std::span<const uint8_t> inner(datagram);
        Bytes opened(datagram.size());
        if (!datagram.empty() && datagram[0] == DatagramSealer::kSealedDatagram) {
            if (side.sealer == nullptr)
                return;  // sealed with keys this side does not hold: nothing it can read
            int length = 0;
            uint64_t counter = 0;
            if (side.sealer->Open(datagram.data(), static_cast<int>(datagram.size()), opened.data(),
                                  static_cast<int>(opened.size()), length,
                                  counter) != DatagramSealer::Result::kOpened)
                return;
            side.session.SetKeysConfirmed();
            inner = std::span<const uint8_t>(opened.data(), static_cast<size_t>(length));
        } else if (side.sealer != nullptr && !IsHello(datagram)) {
            return;  // the link drops what comes unsealed once the keys are agreed
        }
        const CallSession::Incoming in = side.session.Receive(inner, true, nowMs_);
        if (in.movePeer)
            side.session.SetPeerKnown(true);
        if (in.action == CallSession::Incoming::Action::kPlay && in.sequence)
            ++side.framesPlayed;
    }

    struct InFlight {
        int64_t dueMs;
        int to;
        Bytes bytes;
    };
    Side sides_[2];
    std::vector<InFlight> inFlight_;
    int64_t nowMs_ = 0;
    int hellos_ = 0;
    int faultIndex_ = -1;
    Fault fault_ = Fault::kNone;
    int cutSide_ = -1;
    int64_t cutFromMs_ = 0;
};

// Both sides hold mirror keys with one code, the peer has confirmed them, and each hears the other.
void ExpectAgreedAndHeard(KeyLossNetwork& net, const std::string& what) {
    SCOPED_TRACE(what);
    Side& caller = net.Caller();
    Side& listener = net.Listener();
    EXPECT_FALSE(caller.failed || listener.failed);
    ASSERT_TRUE(caller.session.Encrypted() && listener.session.Encrypted());
    ASSERT_TRUE(caller.sealer && listener.sealer);
    EXPECT_FALSE(caller.session.AwaitsKeys() || listener.session.AwaitsKeys());
    // Two seconds of 20 ms frames: all but the first few, held while the keys were agreed, are heard.
    EXPECT_GT(caller.framesPlayed, 80);
    EXPECT_GT(listener.framesPlayed, 80);
    EXPECT_EQ(listener.plainSent, 0) << "a listener that saw a commitment sends nothing in the clear";
}

}  // namespace

TEST(KeyLossTest, WithNothingLostTheExchangeIsThreeHellosAndBothSidesHearEachOther) {
    KeyLossNetwork net;
    net.Run(2000);
    ExpectAgreedAndHeard(net, "no loss");
    // The caller's commitment, the listener's key, the caller's key: nothing resent.
    EXPECT_EQ(net.HellosSent(), 3);
}

TEST(KeyLossTest, AnyOneHelloLostRepeatedOrHeldBackStillEndsInOneAgreementBothWays) {
    for (const Fault fault : {Fault::kDrop, Fault::kDuplicate, Fault::kHoldBack}) {
        for (int index = 0; index < 6; ++index) {
            KeyLossNetwork net;
            net.Afflict(index, fault);
            net.Run(2500);
            ExpectAgreedAndHeard(net, "fault " + std::to_string(static_cast<int>(fault)) + " on hello " +
                                          std::to_string(index));
        }
    }
}

TEST(KeyLossTest, TheCallersLostKeyIsResentUntilTheListenerHoldsItAndTheListenerNeverSpeaksInTheClear) {
    // The deadlock this guards against: the hello revealing the caller's key (the third) lost, while the
    // caller already seals.
    KeyLossNetwork net;
    net.Afflict(2, Fault::kDrop);
    net.Run(150);
    EXPECT_TRUE(net.Caller().session.Encrypted());
    EXPECT_TRUE(net.Listener().session.AwaitsKeys()) << "neither encrypted nor plain yet";
    EXPECT_TRUE(net.Listener().session.HoldsAudio(150));
    net.Run(2000);
    ExpectAgreedAndHeard(net, "the caller's key lost once");
    // Within one resend interval the listener had the key: at most a couple more hellos than without loss.
    EXPECT_LE(net.HellosSent(), 6);
}

TEST(KeyLossTest, APathThatLosesEveryHelloOfOneSideEndsTheCallOnBothSidesAtTheBudget) {
    // Everything the caller sends after its first commitment is lost: its key never reaches the listener.
    KeyLossNetwork net;
    net.LoseEverythingFrom(0, 1);
    net.Run(2995);
    EXPECT_FALSE(net.Caller().failed || net.Listener().failed) << "still within the retries";
    EXPECT_TRUE(net.Listener().session.AwaitsKeys());
    EXPECT_FALSE(net.Listener().session.Encrypted());
    EXPECT_EQ(net.Listener().plainSent, 0);
    net.Run(3100);
    EXPECT_TRUE(net.Listener().failed) << "its peer's key never came";
    EXPECT_TRUE(net.Caller().failed) << "its key never reached the peer";
}

TEST(KeyLossTest, TheAgreementFailsExactlyAtThreeSecondsAfterTheCommitmentAndOnlyWhileOpen) {
    CallSession listener;
    CallSession::Config config = ListenerConfig();
    listener.Start(config, 0);
    SessionControl commit;
    commit.senderId = 0xC0C0;
    commit.formatCode = kIlbc11;
    commit.capabilities = SessionControl::kNumberedAudio | SessionControl::kKeyAgreement;
    commit.commitment.fill(0x5C);
    Bytes hello(56);
    ASSERT_EQ(commit.Compose(hello), 56);
    listener.Receive(hello, true, 1000);
    ASSERT_TRUE(listener.AwaitsKeys());
    EXPECT_FALSE(listener.KeyAgreementFailed(3999));
    EXPECT_TRUE(listener.KeyAgreementFailed(4000));
    // The key hello went out at once and then every 200 ms, ten times more at most.
    int keyHellos = 0;
    for (int64_t t = 1000; t < 4000; t += 10) {
        Bytes out(10000);
        const int length = listener.ComposeDue(out, t);
        if (length == 88 && IsHello(out))
            ++keyHellos;
    }
    EXPECT_EQ(keyHellos, 11);

    // A peer that offers no key leaves nothing open: no failure, however long.
    CallSession plainPeer;
    plainPeer.Start(config, 0);
    commit.capabilities = SessionControl::kNumberedAudio;
    Bytes bare(24);
    ASSERT_EQ(commit.Compose(bare), 24);
    plainPeer.Receive(bare, true, 1000);
    EXPECT_FALSE(plainPeer.AwaitsKeys());
    EXPECT_FALSE(plainPeer.KeyAgreementFailed(100000));
}

TEST(KeyLossTest, TheHeldAudioKeepsTwoHundredMillisecondsOfFramesRoundedUp) {
    CallSession session;
    CallSession::Config config;
    config.sessionId = 1;
    config.formatCode = 0x85;  // G.711 at 8000 Hz: 100 ms frames, two to the 200 ms exactly
    session.Start(config, 0);
    EXPECT_EQ(session.HeldFramesKept(), 2);
    config.formatCode = kIlbc11;  // 240 samples at 11025 Hz: 21.8 ms, so 9.2 frames make the 200 ms
    session.Start(config, 0);
    EXPECT_EQ(session.HeldFramesKept(), 10);
}

namespace {

// A hello as a caller sends it once it holds its listener's key: commitment, key, and the bit that says
// it holds the key of the session it names.
Bytes HelloHoldingKeyOf(uint64_t sender, uint64_t namedSession, const CallKeys::KeyPair& pair) {
    SessionControl control;
    control.senderId = sender;
    control.peerId = namedSession;
    control.formatCode = kIlbc11;
    control.capabilities = SessionControl::kNumberedAudio | SessionControl::kQualityReports |
                           SessionControl::kKeyAgreement | SessionControl::kKeyReveal |
                           SessionControl::kHoldsPeerKey;
    control.commitment = CallKeys::Commitment(pair.publicKey);
    control.publicKey = pair.publicKey;
    Bytes out(88);
    EXPECT_EQ(control.Compose(out), 88);
    return out;
}

int AudioBytes(CallSession& session, int64_t nowMs) {
    const Bytes frame(50, 0x42);
    Bytes out(10000);
    return session.ComposeAudio(frame, false, out, nowMs);
}

int KeyHellosBetween(CallSession& session, int64_t fromMs, int64_t toMs) {
    int count = 0;
    for (int64_t t = fromMs; t < toMs; t += 10) {
        Bytes out(10000);
        const int length = session.ComposeDue(out, t);
        count += length == 88 && IsHello(out) ? 1 : 0;
    }
    return count;
}

TEST(KeyLossTest, AHelloRecordedInAnotherCallCompletesNoAgreementAndGetsNoAudio) {
    // Replayed from a call with another listener: its "holds the key" is about that session's key.
    CallSession listener;
    listener.Start(ListenerConfig(), 0);
    const Bytes recorded = HelloHoldingKeyOf(0xC0C0, 0x0DD0, CallKeys::MakeKeyPair());
    listener.Receive(recorded, true, 1000);
    ASSERT_TRUE(listener.Encrypted()) << "keys are agreed with the recorded key, as with any";
    EXPECT_FALSE(listener.KeysConfirmed());
    EXPECT_EQ(AudioBytes(listener, 1100), 0) << "no audio before a datagram of the peer opens";
    EXPECT_GE(KeyHellosBetween(listener, 1000, 2000), 2) << "our key is still offered: nobody holds it";
    EXPECT_FALSE(listener.KeyAgreementFailed(3999));
    EXPECT_TRUE(listener.KeyAgreementFailed(4000));

    // The same hello naming this session: the peer says it holds our key, so it is not offered again,
    // but only a datagram that opens completes the agreement.
    CallSession named;
    named.Start(ListenerConfig(), 0);
    named.Receive(HelloHoldingKeyOf(0xC0C0, 0x1151, CallKeys::MakeKeyPair()), true, 1000);
    ASSERT_TRUE(named.Encrypted());
    EXPECT_LE(KeyHellosBetween(named, 1000, 2000), 1);
    EXPECT_TRUE(named.KeyAgreementFailed(4000));
    EXPECT_EQ(AudioBytes(named, 2000), 0);
    named.SetKeysConfirmed();
    EXPECT_FALSE(named.KeyAgreementFailed(4000));
    EXPECT_GT(AudioBytes(named, 2020), 0);
}

TEST(KeyLossTest, AListenersUnconfirmedPeerIsTakenOverByTheNextKeyHelloAndAConfirmedOneByNone) {
    CallSession listener;
    listener.Start(ListenerConfig(), 0);
    listener.Receive(HelloHoldingKeyOf(0xC0C0, 0x0DD0, CallKeys::MakeKeyPair()), true, 1000);
    ASSERT_EQ(listener.PeerSessionId(), 0xC0C0u);
    // A real caller's hello from another address: the recorded one held nothing.
    const CallSession::Incoming in =
        listener.Receive(HelloHoldingKeyOf(0xCA11, 0, CallKeys::MakeKeyPair()), false, 1200);
    EXPECT_TRUE(in.movePeer);
    EXPECT_FALSE(in.stranger);
    EXPECT_EQ(listener.PeerSessionId(), 0xCA11u);
    listener.SetKeysConfirmed();
    // Confirmed, the call is this caller's: the recorded hello again is a stranger's.
    const CallSession::Incoming late =
        listener.Receive(HelloHoldingKeyOf(0xC0C0, 0x0DD0, CallKeys::MakeKeyPair()), false, 1300);
    EXPECT_TRUE(late.stranger);
    EXPECT_EQ(listener.PeerSessionId(), 0xCA11u);
}

}  // namespace

namespace {

TEST(KeyLossTest, OnceADatagramOfThePeerOpenedItsOwnHelloFromElsewhereMovesNothing) {
    CallSession listener;
    listener.Start(ListenerConfig(), 0);
    const Bytes hello = HelloHoldingKeyOf(0xCA11, 0x1151, CallKeys::MakeKeyPair());
    listener.Receive(hello, true, 1000);
    // Before anything opened, the peer's hello from a new address follows it (a path that changed).
    EXPECT_TRUE(listener.Receive(hello, false, 1100).movePeer);
    listener.SetKeysConfirmed();
    // After, the same hello from elsewhere is a recording: it moves nothing.
    const CallSession::Incoming replayed = listener.Receive(hello, false, 1200);
    EXPECT_FALSE(replayed.movePeer);
    EXPECT_TRUE(replayed.stranger);
    EXPECT_TRUE(listener.Receive(hello, true, 1300).movePeer) << "from the peer's own address it counts";
}

}  // namespace

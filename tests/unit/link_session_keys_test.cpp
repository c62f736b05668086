// Encryption offered in the session's hello: the key-agreement hello's wire, two sessions that agree
// mirror keys, the older peer whose hello has no key, a stripped or changed hello that never downgrades an
// agreed call, and no audio in the clear while the offer stands.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "link/CallSession.h"
#include "link/SessionControl.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kIlbc11 = 0xA4;

// A hello that reveals the key `keyByte` repeated, with its true commitment.
SessionControl KeyHello(uint64_t sender, uint8_t keyByte) {
    SessionControl control;
    control.senderId = sender;
    control.formatCode = kIlbc11;
    control.capabilities =
        SessionControl::kNumberedAudio | SessionControl::kKeyAgreement | SessionControl::kKeyReveal;
    control.publicKey.fill(keyByte);
    control.commitment = CallKeys::Commitment(control.publicKey);
    return control;
}

TEST(KeyHelloWireTest, AKeyHelloIsTheTwentyFourBytesTheCommitmentThenThePublicKey) {
    Bytes out(88, 0xEE);
    SessionControl hello = KeyHello(0x0102030405060708, 0x5A);
    hello.commitment.fill(0xC3);
    ASSERT_EQ(hello.Compose(out), 88);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[2], 0x01);
    EXPECT_EQ(out[21], 0x31);
    EXPECT_EQ(out[23], 0x00);
    EXPECT_EQ(Bytes(out.begin() + 24, out.begin() + 56), Bytes(32, 0xC3));
    EXPECT_EQ(Bytes(out.begin() + 56, out.end()), Bytes(32, 0x5A));
    const std::optional<SessionControl> parsed = SessionControl::Parse(out);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, hello);
    // One byte short of room: nothing composed.
    Bytes shortOut(87);
    EXPECT_EQ(KeyHello(1, 1).Compose(shortOut), 0);
    // Without the key's bit, 56 bytes: the commitment alone, and the key's bytes not sent.
    hello.capabilities &= static_cast<uint8_t>(~SessionControl::kKeyReveal);
    Bytes commitOnly(56);
    ASSERT_EQ(hello.Compose(commitOnly), 56);
    EXPECT_EQ(commitOnly[21], 0x11);
    // Saying that the sender holds the peer's key (0x40) goes only beside the key itself.
    SessionControl holding = KeyHello(7, 0x33);
    holding.capabilities |= SessionControl::kHoldsPeerKey;
    Bytes withKey(88);
    ASSERT_EQ(holding.Compose(withKey), 88);
    EXPECT_EQ(withKey[21], 0x71);
    EXPECT_EQ(SessionControl::Parse(withKey)->capabilities, 0x71);
    holding.capabilities &= static_cast<uint8_t>(~SessionControl::kKeyReveal);
    ASSERT_EQ(holding.Compose(commitOnly), 56);
    EXPECT_EQ(commitOnly[21], 0x11);
    commitOnly[21] = 0x51;  // received so: read without it, as no key came
    EXPECT_EQ(SessionControl::Parse(commitOnly)->capabilities, 0x11);
    // The identity key (0x80) follows the public key, in 120 bytes, and only beside it.
    SessionControl named = KeyHello(7, 0x33);
    named.capabilities |= SessionControl::kIdentity;
    named.identityKey.fill(0x1D);
    Bytes withIdentity(120);
    ASSERT_EQ(named.Compose(withIdentity), 120);
    EXPECT_EQ(withIdentity[21], 0xB1);
    EXPECT_EQ(Bytes(withIdentity.begin() + 88, withIdentity.end()), Bytes(32, 0x1D));
    EXPECT_EQ(*SessionControl::Parse(withIdentity), named);
    const std::optional<SessionControl> cut119 =
        SessionControl::Parse(Bytes(withIdentity.begin(), withIdentity.begin() + 119));
    ASSERT_TRUE(cut119);
    EXPECT_EQ(cut119->capabilities, 0x31) << "119 bytes: the key, and no identity";
    // The key's bit without the commitment's is not sent: a 24-byte hello.
    SessionControl bare = KeyHello(7, 0x33);
    bare.capabilities = SessionControl::kNumberedAudio | SessionControl::kKeyReveal;
    Bytes small24(24);
    ASSERT_EQ(bare.Compose(small24), 24);
    EXPECT_EQ(small24[21], 0x01);
}

TEST(KeyHelloWireTest, OnlyAHelloOfFiftySixBytesOrMoreCarriesACommitmentAndOfEightyEightAKey) {
    Bytes out(88);
    ASSERT_EQ(KeyHello(7, 0x33).Compose(out), 88);
    // Cut to 87 bytes (exactly, so that the sanitizers see any read past the end): the commitment alone.
    std::optional<SessionControl> parsed = SessionControl::Parse(Bytes(out.begin(), out.begin() + 87));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->capabilities, 0x11);
    EXPECT_EQ(parsed->commitment, KeyHello(7, 0x33).commitment);
    EXPECT_EQ(parsed->publicKey, SessionControl().publicKey);
    // Cut to 55 bytes: read as a hello without the offer, as a copy that knows nothing of keys reads it.
    const Bytes cut(out.begin(), out.begin() + 55);
    parsed = SessionControl::Parse(cut);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->capabilities, 0x01);
    EXPECT_EQ(parsed->publicKey, SessionControl().publicKey);
    // An earlier copy's key without commitment (bit 3, 0x08): read as no offer at all.
    Bytes early(out.begin(), out.begin() + 56);
    early[21] = 0x09;
    parsed = SessionControl::Parse(early);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->capabilities, 0x01);
    // A keep-alive or goodbye never carries one: composed in 24 bytes without the bit, and read so.
    SessionControl keepAlive = KeyHello(7, 0x33);
    keepAlive.kind = SessionControl::Kind::kKeepAlive;
    Bytes small(24);
    ASSERT_EQ(keepAlive.Compose(small), 24);
    EXPECT_EQ(small[21], 0x01);
    out[2] = 3;  // a goodbye with the bit and 56 bytes
    parsed = SessionControl::Parse(out);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->capabilities, 0x01);
}

CallSession::Config Config(bool listener, uint64_t id, bool encrypt, uint8_t secretByte) {
    CallSession::Config config;
    config.listener = listener;
    config.sessionId = id;
    config.formatCode = kIlbc11;
    config.encrypt = encrypt;
    CallKeys::Key secret{};
    secret.fill(secretByte);
    config.keyPair = CallKeys::KeyPairOf(secret);
    return config;
}

Bytes Due(CallSession& session, int64_t nowMs) {
    Bytes out(10000);
    out.resize(static_cast<size_t>(session.ComposeDue(out, nowMs)));
    return out;
}

Bytes AudioOut(CallSession& session, int64_t nowMs) {
    const Bytes frame(50, 0x42);
    Bytes out(10000);
    out.resize(static_cast<size_t>(session.ComposeAudio(frame, false, out, nowMs)));
    return out;
}

constexpr uint64_t kCallerId = 0xC0C0;
constexpr uint64_t kListenerId = 0x1151;

// A caller and a listener that hand each other their hellos.
struct Pair {
    CallSession caller, listener;
    Bytes callerHello;
    Pair(bool callerEncrypts, bool listenerEncrypts) {
        caller.Start(Config(false, kCallerId, callerEncrypts, 0x11), 0);
        listener.Start(Config(true, kListenerId, listenerEncrypts, 0x22), 0);
        for (int i = 0; i < 3; ++i) {
            if (Bytes hello = Due(caller, i); !hello.empty()) {
                listener.Receive(hello, true, i);
                if (callerHello.empty())
                    callerHello = hello;
            }
            if (Bytes answer = Due(listener, i); !answer.empty())
                caller.Receive(answer, true, i);
        }
    }
};

TEST(SessionKeysTest, TwoOfferingSessionsAgreeMirrorKeysOnceAndTheSameCode) {
    Pair pair(true, true);
    ASSERT_TRUE(pair.caller.InSession() && pair.listener.InSession());
    ASSERT_TRUE(pair.caller.Encrypted() && pair.listener.Encrypted());
    const std::optional<CallKeys> caller = pair.caller.TakeNewKeys();
    const std::optional<CallKeys> listener = pair.listener.TakeNewKeys();
    ASSERT_TRUE(caller && listener);
    EXPECT_EQ(caller->sendKey, listener->openKey);
    EXPECT_EQ(caller->openKey, listener->sendKey);
    EXPECT_EQ(caller->code, listener->code);
    EXPECT_FALSE(pair.caller.TakeNewKeys()) << "taken once";
}

TEST(SessionKeysTest, IdentitiesNamedByBothSidesComeWithTheKeysAndOneSideWithoutStillAgrees) {
    for (const bool listenerNamesOne : {true, false}) {
        CallSession caller, listener;
        CallSession::Config callerConfig = Config(false, kCallerId, true, 0x11);
        CallSession::Config listenerConfig = Config(true, kListenerId, true, 0x22);
        CallKeys::Identity callerIdentity;
        callerIdentity.publicKey.fill(0);
        // A real Ed25519 pair: the derivation turns the key into its X25519 form.
        crypto_sign_keypair(callerIdentity.publicKey.data(), callerIdentity.secretKey.data());
        callerConfig.identity = callerIdentity;
        CallKeys::Identity listenerIdentity;
        crypto_sign_keypair(listenerIdentity.publicKey.data(), listenerIdentity.secretKey.data());
        if (listenerNamesOne)
            listenerConfig.identity = listenerIdentity;
        caller.Start(callerConfig, 0);
        listener.Start(listenerConfig, 0);
        listener.Receive(Due(caller, 0), true, 1);
        const Bytes answer = Due(listener, 2);
        EXPECT_EQ(answer.size(), listenerNamesOne ? 120u : 88u);
        caller.Receive(answer, true, 3);
        const Bytes reveal = Due(caller, 4);
        EXPECT_EQ(reveal.size(), 120u);
        listener.Receive(reveal, true, 5);
        const std::optional<CallKeys> atCaller = caller.TakeNewKeys();
        const std::optional<CallKeys> atListener = listener.TakeNewKeys();
        ASSERT_TRUE(atCaller && atListener);
        EXPECT_EQ(atCaller->sendKey, atListener->openKey);
        EXPECT_EQ(atCaller->code, atListener->code);
        if (listenerNamesOne) {
            EXPECT_EQ(atCaller->peerIdentity, listenerIdentity.publicKey);
            EXPECT_EQ(atListener->peerIdentity, callerIdentity.publicKey);
        } else {
            EXPECT_FALSE(atCaller->peerIdentity || atListener->peerIdentity);
        }
    }
}

TEST(SessionKeysTest, AnIdentityStrippedFromAHelloOnThePathGivesTwoCodes) {
    CallSession caller, listener;
    CallSession::Config callerConfig = Config(false, kCallerId, true, 0x11);
    CallSession::Config listenerConfig = Config(true, kListenerId, true, 0x22);
    callerConfig.identity.emplace();
    crypto_sign_keypair(callerConfig.identity->publicKey.data(), callerConfig.identity->secretKey.data());
    listenerConfig.identity.emplace();
    crypto_sign_keypair(listenerConfig.identity->publicKey.data(), listenerConfig.identity->secretKey.data());
    caller.Start(callerConfig, 0);
    listener.Start(listenerConfig, 0);
    listener.Receive(Due(caller, 0), true, 1);
    Bytes answer = Due(listener, 2);
    ASSERT_EQ(answer.size(), 120u);
    // The listener's identity cut off and its bit cleared, as a copy without identities would send it.
    answer.resize(88);
    answer[21] &= 0x7F;
    caller.Receive(answer, true, 3);
    listener.Receive(Due(caller, 4), true, 5);
    const std::optional<CallKeys> atCaller = caller.TakeNewKeys();
    const std::optional<CallKeys> atListener = listener.TakeNewKeys();
    ASSERT_TRUE(atCaller && atListener);
    EXPECT_NE(atCaller->code, atListener->code);
    EXPECT_NE(atCaller->sendKey, atListener->openKey) << "nothing of the caller's opens: the call ends";
}

TEST(SessionKeysTest, APeerWithoutKeyAgreementMakesASessionThatIsNotEncrypted) {
    for (const auto& [callerEncrypts, listenerEncrypts] : {std::pair{true, false}, std::pair{false, true}}) {
        Pair pair(callerEncrypts, listenerEncrypts);
        EXPECT_TRUE(pair.caller.InSession() && pair.listener.InSession());
        EXPECT_FALSE(pair.caller.Encrypted() || pair.listener.Encrypted());
        EXPECT_FALSE(pair.caller.TakeNewKeys() || pair.listener.TakeNewKeys());
    }
    // With sessions off nothing is offered at all.
    CallSession off;
    CallSession::Config config = Config(false, kCallerId, true, 0x11);
    config.offer = false;
    off.Start(config, 0);
    EXPECT_TRUE(Due(off, 0).empty());
    EXPECT_EQ(AudioOut(off, 0).size(), 51u) << "the plain wire: type 0 and the frame";
}

TEST(SessionKeysTest, AStrippedOrChangedHelloOfTheSamePeerNeverChangesAnAgreedCall) {
    Pair pair(true, true);
    ASSERT_TRUE(pair.listener.TakeNewKeys());
    // The caller's id with no key (stripped on the path), then with another key.
    SessionControl stripped = KeyHello(kCallerId, 0);
    stripped.capabilities = SessionControl::kNumberedAudio;
    Bytes out(88);
    out.resize(static_cast<size_t>(stripped.Compose(out)));
    CallSession::Incoming in = pair.listener.Receive(out, true, 10);
    EXPECT_FALSE(in.movePeer);
    EXPECT_TRUE(pair.listener.Encrypted());
    Bytes changed(88);
    SessionControl other = KeyHello(kCallerId, 0x77);
    ASSERT_EQ(other.Compose(changed), 88);
    in = pair.listener.Receive(changed, false, 11);
    EXPECT_TRUE(in.stranger) << "from another address";
    EXPECT_FALSE(in.movePeer);
    EXPECT_FALSE(pair.listener.TakeNewKeys());
    EXPECT_TRUE(pair.listener.Encrypted());
    // The caller's own hello again (a repeat, or one that overtook the rest) changes nothing either.
    pair.listener.Receive(pair.callerHello, true, 12);
    EXPECT_FALSE(pair.listener.TakeNewKeys());
    EXPECT_EQ(pair.listener.GetMode(), CallSession::Mode::kSession);
}

TEST(SessionKeysTest, APeerThatStartsAgainWithANewIdGetsNewKeysAndAKeyOfOursNobodyHasSeen) {
    Pair pair(true, true);
    const CallKeys first = pair.listener.TakeNewKeys().value();
    CallSession restarted;
    restarted.Start(Config(false, kCallerId + 1, true, 0x33), 100);
    pair.listener.Receive(Due(restarted, 100), true, 100);
    EXPECT_FALSE(pair.listener.TakeNewKeys()) << "a commitment alone agrees nothing";
    const Bytes answer = Due(pair.listener, 101);
    ASSERT_EQ(answer.size(), 88u);
    const std::optional<SessionControl> parsed = SessionControl::Parse(answer);
    ASSERT_TRUE(parsed);
    // The listener's key was seen by the old peer: the new one gets another, committed to anew.
    EXPECT_NE(parsed->publicKey, Config(true, kListenerId, true, 0x22).keyPair.publicKey);
    EXPECT_EQ(parsed->commitment, CallKeys::Commitment(parsed->publicKey));
    restarted.Receive(answer, true, 102);
    pair.listener.Receive(Due(restarted, 103), true, 103);
    const std::optional<CallKeys> second = pair.listener.TakeNewKeys();
    ASSERT_TRUE(second);
    EXPECT_NE(second->openKey, first.openKey);
    EXPECT_NE(second->code, first.code);
    const std::optional<CallKeys> theirs = restarted.TakeNewKeys();
    ASSERT_TRUE(theirs);
    EXPECT_EQ(theirs->code, second->code);
    EXPECT_EQ(theirs->sendKey, second->openKey);
}

TEST(SessionKeysTest, AKeyGoesOutOnlyToAPeerThatCommittedAndOnlyTheCommittedKeyIsTaken) {
    CallSession caller, listener;
    caller.Start(Config(false, kCallerId, true, 0x11), 0);
    listener.Start(Config(true, kListenerId, true, 0x22), 0);
    // Every hello before the peer's commitment has come: 56 bytes, no key.
    const Bytes first = Due(caller, 0);
    ASSERT_EQ(first.size(), 56u);
    EXPECT_EQ(first[21], 0x13);
    const Bytes second = Due(caller, 200);
    EXPECT_EQ(second.size(), 56u);
    listener.Receive(first, true, 1);
    EXPECT_FALSE(listener.Encrypted());
    // In a session, but the keys are one round trip away: no audio in the clear meanwhile.
    ASSERT_TRUE(listener.InSession());
    EXPECT_TRUE(listener.HoldsAudio(1));
    EXPECT_TRUE(AudioOut(listener, 1).empty());
    // A relay, having seen the listener's key, sends one of its own under the caller's id: the commitment
    // it would need is the caller's, so it is dropped, and the caller's own key still agrees.
    const Bytes answer = Due(listener, 2);
    ASSERT_EQ(answer.size(), 88u);
    Bytes forged(88);
    ASSERT_EQ(KeyHello(kCallerId, 0x66).Compose(forged), 88);
    const CallSession::Incoming in = listener.Receive(forged, false, 3);
    EXPECT_TRUE(in.stranger);
    EXPECT_FALSE(listener.Encrypted());
    SessionControl half = KeyHello(kCallerId, 0x66);
    half.commitment = SessionControl::Parse(first)->commitment;  // the caller's commitment, another key
    Bytes mismatched(88);
    ASSERT_EQ(half.Compose(mismatched), 88);
    listener.Receive(mismatched, true, 4);
    EXPECT_FALSE(listener.Encrypted());
    caller.Receive(answer, true, 5);
    ASSERT_TRUE(caller.Encrypted());
    listener.Receive(Due(caller, 6), true, 6);
    ASSERT_TRUE(listener.Encrypted());
    EXPECT_FALSE(listener.HoldsAudio(7));
    EXPECT_EQ(caller.TakeNewKeys()->code, listener.TakeNewKeys()->code);
}

TEST(SessionKeysTest, AnOfferHoldsAudioBackTwoHundredMillisecondsThenThePlainWireGoesOn) {
    CallSession caller;
    caller.Start(Config(false, kCallerId, true, 0x11), 1000);
    EXPECT_TRUE(caller.HoldsAudio(1000)) << "before the first hello";
    ASSERT_EQ(Due(caller, 1000).size(), 56u) << "the commitment alone: no peer's commitment yet";
    EXPECT_TRUE(caller.HoldsAudio(1199));
    EXPECT_TRUE(AudioOut(caller, 1199).empty());
    EXPECT_FALSE(caller.HoldsAudio(1200));
    const Bytes out = AudioOut(caller, 1200);
    ASSERT_EQ(out.size(), 51u) << "the plain wire, for a peer that did not answer";
    EXPECT_EQ(out[0], 0x00);
    EXPECT_FALSE(caller.Encrypted());

    // Without the offer (--encrypt=off) nothing is held.
    CallSession plain;
    plain.Start(Config(false, kCallerId, false, 0x11), 0);
    EXPECT_FALSE(plain.HoldsAudio(0));
    EXPECT_EQ(AudioOut(plain, 0).size(), 51u);

    // A copy that answers within the hold gets the held frames as RTP, never in the clear.
    Pair pair(true, true);
    EXPECT_FALSE(pair.caller.HoldsAudio(5));
    const Bytes rtp = AudioOut(pair.caller, 5);
    ASSERT_EQ(rtp.size(), 62u);
    EXPECT_EQ(rtp[0], 0x80);
}

TEST(SessionKeysTest, ALowOrderKeyInAHelloIsDroppedAndMakesNoSession) {
    CallSession listener;
    listener.Start(Config(true, kListenerId, true, 0x22), 0);
    Bytes hello(88);
    ASSERT_EQ(KeyHello(kCallerId, 0).Compose(hello), 88);  // the all-zero key, truly committed to
    const CallSession::Incoming in = listener.Receive(hello, true, 0);
    EXPECT_FALSE(in.movePeer);
    EXPECT_FALSE(listener.InSession());
    EXPECT_FALSE(listener.Encrypted());
}

}  // namespace

namespace {

CallSession::Config PrivateConfig(bool listener, uint64_t id, uint8_t secretByte, const std::string& key) {
    CallSession::Config config = Config(listener, id, true, secretByte);
    config.secret = std::make_shared<CallKeys::Secret>(
        CallKeys::Secret::From(std::vector<uint8_t>(key.begin(), key.end())));
    return config;
}

const std::string kMadeKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

TEST(PrivateSessionTest, AHelloWithoutAKeyIsRefusedOnceAndMakesNoSession) {
    CallSession listener;
    listener.Start(PrivateConfig(true, kListenerId, 0x22, kMadeKey), 0);
    SessionControl hello = KeyHello(kCallerId, 0x44);
    hello.capabilities = SessionControl::kNumberedAudio;
    Bytes out(24);
    ASSERT_EQ(hello.Compose(out), 24);
    const CallSession::Incoming in = listener.Receive(out, true, 0);
    EXPECT_FALSE(in.movePeer);
    EXPECT_FALSE(listener.InSession());
    EXPECT_TRUE(listener.TakeRefusal());
    listener.Receive(out, true, 1);
    EXPECT_FALSE(listener.TakeRefusal()) << "once per call";
}

TEST(PrivateSessionTest, AnUnprovenPeerHoldsNothingAndGetsNoAudio) {
    CallSession listener;
    listener.Start(PrivateConfig(true, kListenerId, 0x22, kMadeKey), 0);
    CallSession caller;
    caller.Start(PrivateConfig(false, kCallerId, 0x11, kMadeKey), 0);
    listener.Receive(Due(caller, 0), true, 0);
    caller.Receive(Due(listener, 1), true, 1);
    const Bytes callerHello = Due(caller, 2);  // the caller's key, revealed
    listener.Receive(callerHello, true, 2);
    ASSERT_TRUE(listener.InSession());
    ASSERT_TRUE(listener.Encrypted());
    EXPECT_TRUE(AudioOut(listener, 10).empty()) << "not before the peer has proven the secret";
    // A key hello of somebody else, from another address, takes the unproven call over...
    CallSession other;
    other.Start(PrivateConfig(false, kCallerId + 7, 0x55, kMadeKey), 0);
    const CallSession::Incoming in = listener.Receive(Due(other, 20), false, 20);
    EXPECT_TRUE(in.movePeer);
    EXPECT_FALSE(in.stranger);
    EXPECT_EQ(listener.PeerSessionId(), kCallerId + 7);
    // ...and the real caller's next hello takes it back; once proven, nobody else does.
    listener.Receive(callerHello, false, 30);
    EXPECT_EQ(listener.PeerSessionId(), kCallerId);
    listener.SetPeerProven();
    EXPECT_EQ(AudioOut(listener, 40).size(), 62u);
    const CallSession::Incoming late = listener.Receive(Due(other, 250), false, 250);
    EXPECT_TRUE(late.stranger);
    EXPECT_EQ(listener.PeerSessionId(), kCallerId);
}

}  // namespace

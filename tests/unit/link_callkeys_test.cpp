// The call's key agreement: X25519 against RFC 7748's vectors, the derivation against values computed
// apart from this code (Python's BLAKE2b over the same inputs), the two sides' mirror keys and common code,
// a relay in the middle that gets two different codes, and the public keys nobody may use.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sodium.h>

#include <array>

#include "link/CallKeys.h"
#include "link/DatagramSealer.h"
#include "link/SessionControl.h"

namespace {

using Key = CallKeys::Key;

Key FromHex(const std::string& hex) {
    Key key{};
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return key;
}

// RFC 7748, section 6.1.
const Key kAliceSecret = FromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
const Key kAlicePublic = FromHex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
const Key kBobSecret = FromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
const Key kBobPublic = FromHex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
const Key kShared = FromHex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");

// A hello that reveals its key as a copy sends it: numbered audio, reports, commitment and key (0x33).
std::vector<uint8_t> Hello(uint64_t sender, const Key& publicKey, uint64_t peer = 0, uint8_t format = 0xA4) {
    SessionControl control;
    control.senderId = sender;
    control.peerId = peer;
    control.formatCode = format;
    control.capabilities = SessionControl::kNumberedAudio | SessionControl::kQualityReports |
                           SessionControl::kKeyAgreement | SessionControl::kKeyReveal;
    control.commitment = CallKeys::Commitment(publicKey);
    control.publicKey = publicKey;
    std::vector<uint8_t> out(88);
    EXPECT_EQ(control.Compose(out), 88);
    EXPECT_EQ(out[21], 0x33);
    return out;
}

CallKeys::Offer OfferOf(const std::vector<uint8_t>& hello) {
    return CallKeys::OfferOf(hello).value();
}

constexpr uint64_t kAliceId = 0x1111111111111111;
constexpr uint64_t kBobId = 0x2222222222222222;

TEST(CallKeysTest, X25519GivesRfc7748sPublicKeysAndSharedValue) {
    EXPECT_EQ(CallKeys::KeyPairOf(kAliceSecret).publicKey, kAlicePublic);
    EXPECT_EQ(CallKeys::KeyPairOf(kBobSecret).publicKey, kBobPublic);
    EXPECT_EQ(CallKeys::SharedValue(kAliceSecret, kBobPublic), kShared);
    EXPECT_EQ(CallKeys::SharedValue(kBobSecret, kAlicePublic), kShared);
}

TEST(CallKeysTest, TheDerivationGivesTheKeysAndCodeComputedApart) {
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bob = OfferOf(Hello(kBobId, kBobPublic));
    const std::optional<CallKeys> a = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob);
    ASSERT_TRUE(a);
    // Alice's public key is the lower: she sends with the first half.
    EXPECT_EQ(CallKeys::Commitment(kAlicePublic),
              FromHex("c506d28f3cf9720f56b80ec3ac9e35980b6426b7a447a7527a057102f12146a5"));
    EXPECT_EQ(a->transcriptHash, FromHex("1d8b0300c45b600a4e7c655c409a0bb9d9f8d8cc2291a4fc287d4fd8640b43b6"));
    EXPECT_EQ(a->sendKey, FromHex("683c6b37096d0c616d391b251708c795adc24c176cb8940fe37b92becd929884"));
    EXPECT_EQ(a->openKey, FromHex("98df922605ba36137b631c3c72d6706d7f9cb8bd89ca01ce4c7d7fa1f46644ee"));
    EXPECT_EQ(a->code, 653842u);
    EXPECT_EQ(CallKeys::CodeText(a->code), "653 842");

    const Key preShared = [] {
        Key key{};
        for (size_t i = 0; i < key.size(); ++i)
            key[i] = static_cast<uint8_t>(i);
        return key;
    }();
    const std::optional<CallKeys> keyed =
        CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob, &preShared);
    ASSERT_TRUE(keyed);
    EXPECT_EQ(keyed->sendKey, FromHex("bec1df46fbf1f3145bde776b66ee16d674d47f8bd37bddae2993677533970db2"));
    EXPECT_EQ(keyed->code, 653842u) << "the code comes from the transcript alone";
}

TEST(CallKeysTest, BothSidesGetMirrorKeysAndTheSameCodeWhateverTheirHellosLaterSay) {
    // Bob's answer names Alice and carries the format he took: fields that change, outside the transcript.
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bobAnswer = OfferOf(Hello(kBobId, kBobPublic, kAliceId, 0x82));
    const CallKeys::Offer bobFirst = OfferOf(Hello(kBobId, kBobPublic));
    const std::optional<CallKeys> a = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bobAnswer);
    const std::optional<CallKeys> b = CallKeys::Agree(CallKeys::KeyPairOf(kBobSecret), bobFirst, alice);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->sendKey, b->openKey);
    EXPECT_EQ(a->openKey, b->sendKey);
    EXPECT_NE(a->sendKey, a->openKey);
    EXPECT_EQ(a->code, b->code);
    // Bob's later hellos say that he holds Alice's key (0x40 in byte 21): the same transcript, the same code.
    std::vector<uint8_t> bobHolding = Hello(kBobId, kBobPublic, kAliceId);
    bobHolding[21] |= 0x40;
    EXPECT_EQ(OfferOf(bobHolding), bobFirst);
    EXPECT_EQ(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, OfferOf(bobHolding))->code, a->code);

    // What one seals the other opens, and neither opens its own.
    DatagramSealer aliceSealer(a->sendKey, a->openKey, kAliceId);
    DatagramSealer bobSealer(b->sendKey, b->openKey, kBobId);
    const uint8_t inner[] = {0x80, 0x71, 0, 1};
    uint8_t sealed[64];
    uint8_t opened[64];
    int openedLength = 0;
    uint64_t counter = 0;
    const int length = aliceSealer.Seal(inner, 4, sealed, sizeof sealed);
    ASSERT_EQ(length, 4 + 33);
    EXPECT_EQ(bobSealer.Open(sealed, length, opened, sizeof opened, openedLength, counter),
              DatagramSealer::Result::kOpened);
    EXPECT_EQ(std::memcmp(opened, inner, 4), 0);
    DatagramSealer aliceAgain(a->sendKey, a->openKey, kBobId);  // even under another sender id
    EXPECT_EQ(aliceAgain.Open(sealed, length, opened, sizeof opened, openedLength, counter),
              DatagramSealer::Result::kForged);
}

TEST(CallKeysTest, TheStableFieldsOfEitherHelloAreBoundIntoTheKeys) {
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bob = OfferOf(Hello(kBobId, kBobPublic));
    const CallKeys base = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob).value();
    // A changed session id, capability byte or Opus offer (as a relay rewriting the hello in the clear
    // would make it) gives other keys and another code.
    for (const int at : {4, 11, 21, 22, 23}) {
        CallKeys::Offer changed = bob;
        changed[static_cast<size_t>(at)] ^= 0x01;
        const CallKeys other = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, changed).value();
        EXPECT_NE(other.sendKey, base.sendKey) << "byte " << at;
        EXPECT_NE(other.transcriptHash, base.transcriptHash) << "byte " << at;
    }
}

TEST(CallKeysTest, ARelayRunningItsOwnAgreementWithEachSideGivesThemDifferentCodes) {
    const CallKeys::KeyPair relay = CallKeys::KeyPairOf(FromHex(std::string(64, '7')));
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bob = OfferOf(Hello(kBobId, kBobPublic));
    // The relay poses as Bob to Alice and as Alice to Bob, with its own key and their session ids.
    const CallKeys::Offer relayAsBob = OfferOf(Hello(kBobId, relay.publicKey));
    const CallKeys::Offer relayAsAlice = OfferOf(Hello(kAliceId, relay.publicKey));
    const CallKeys atAlice = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, relayAsBob).value();
    const CallKeys atBob = CallKeys::Agree(CallKeys::KeyPairOf(kBobSecret), bob, relayAsAlice).value();
    EXPECT_NE(atAlice.code, atBob.code);
    EXPECT_NE(atAlice.transcriptHash, atBob.transcriptHash);
    // The relay reads both (its keys mirror each side's), which is what comparing the codes reveals.
    const CallKeys relayAlice = CallKeys::Agree(relay, relayAsBob, alice).value();
    EXPECT_EQ(relayAlice.openKey, atAlice.sendKey);
    EXPECT_EQ(relayAlice.code, atAlice.code);
}

TEST(CallKeysTest, AKeyThatIsNotTheOneCommittedToIsRefused) {
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bob = OfferOf(Hello(kBobId, kBobPublic));
    ASSERT_TRUE(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob));
    // A relay that committed to one key and, having seen Alice's, reveals another it picked to match.
    const CallKeys::KeyPair picked = CallKeys::KeyPairOf(FromHex(std::string(64, '5')));
    CallKeys::Offer swapped = bob;
    std::memcpy(swapped.data() + 56, picked.publicKey.data(), 32);
    EXPECT_FALSE(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, swapped));
    // Any bit of the commitment changed: the same.
    for (const size_t at : {24u, 55u}) {
        CallKeys::Offer changed = bob;
        changed[at] ^= 0x80;
        EXPECT_FALSE(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, changed)) << "byte " << at;
    }
}

TEST(CallKeysTest, LowOrderKeysOurOwnKeyAndShortHellosAreRefused) {
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    // All zeros and the point of order 8 from the curve's small subgroup: the shared value would be 0.
    for (const Key& bad : {Key{}, FromHex("0100000000000000000000000000000000000000000000000000000000000000"),
                           FromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800")}) {
        EXPECT_FALSE(CallKeys::SharedValue(kAliceSecret, bad));
        EXPECT_FALSE(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, OfferOf(Hello(kBobId, bad))));
    }
    // Our own hello sent back at us.
    EXPECT_FALSE(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, alice));
    const std::vector<uint8_t> hello = Hello(kBobId, kBobPublic);
    EXPECT_TRUE(CallKeys::OfferOf(std::span(hello.data(), 88)));
    EXPECT_FALSE(CallKeys::OfferOf(std::span(hello.data(), 87)));
    EXPECT_FALSE(CallKeys::OfferOf(std::span(hello.data(), 56)));
    EXPECT_FALSE(CallKeys::OfferOf(std::span(hello.data(), 24)));
}

// An Ed25519 identity from a seed of one repeated byte.
CallKeys::Identity IdentityOf(uint8_t seedByte) {
    std::array<uint8_t, crypto_sign_SEEDBYTES> seed{};
    seed.fill(seedByte);
    CallKeys::Identity identity;
    crypto_sign_seed_keypair(identity.publicKey.data(), identity.secretKey.data(), seed.data());
    return identity;
}

TEST(CallKeysTest, IdentitiesOfBothSidesBindTheKeysAndTheCodeAndOnlyTheirHoldersGetTheKeys) {
    ASSERT_GE(sodium_init(), 0);
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bob = OfferOf(Hello(kBobId, kBobPublic));
    const CallKeys::Identity aliceId = IdentityOf(0xA1);
    const CallKeys::Identity bobId = IdentityOf(0xB0);
    const CallKeys plain = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob).value();
    EXPECT_FALSE(plain.peerIdentity);
    const CallKeys a =
        CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob, nullptr, {&aliceId, &bobId.publicKey})
            .value();
    const CallKeys b =
        CallKeys::Agree(CallKeys::KeyPairOf(kBobSecret), bob, alice, nullptr, {&bobId, &aliceId.publicKey})
            .value();
    EXPECT_EQ(a.sendKey, b.openKey);
    EXPECT_EQ(a.openKey, b.sendKey);
    EXPECT_EQ(a.code, b.code);
    EXPECT_EQ(a.peerIdentity, bobId.publicKey);
    EXPECT_EQ(b.peerIdentity, aliceId.publicKey);
    EXPECT_NE(a.transcriptHash, plain.transcriptHash) << "the identities are part of the code's input";
    EXPECT_NE(a.sendKey, plain.sendKey);
    // One who names Bob's identity key without holding its secret half (here: with another identity's)
    // gets keys that open nothing of Alice's.
    CallKeys::Identity impostor = IdentityOf(0xEE);
    impostor.publicKey = bobId.publicKey;
    const CallKeys fake =
        CallKeys::Agree(CallKeys::KeyPairOf(kBobSecret), bob, alice, nullptr, {&impostor, &aliceId.publicKey})
            .value();
    EXPECT_EQ(fake.code, a.code) << "the transcript is public";
    EXPECT_NE(fake.openKey, a.sendKey);
    EXPECT_NE(fake.sendKey, a.openKey);
    // Another identity named for the peer: another code.
    const CallKeys::Identity carol = IdentityOf(0xCC);
    const CallKeys other =
        CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob, nullptr, {&aliceId, &carol.publicKey})
            .value();
    EXPECT_NE(other.code, a.code);
    // An identity key that is no point of the curve is refused.
    Key bad{};
    bad.fill(0xFF);
    EXPECT_FALSE(CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob, nullptr, {&aliceId, &bad}));
}

TEST(CallKeysTest, FreshPairsDifferAndCodesPrintAsTwoGroupsOfThree) {
    EXPECT_NE(CallKeys::MakeKeyPair().publicKey, CallKeys::MakeKeyPair().publicKey);
    EXPECT_EQ(CallKeys::CodeText(0), "000 000");
    EXPECT_EQ(CallKeys::CodeText(7), "000 007");
    EXPECT_EQ(CallKeys::CodeText(999999), "999 999");
    EXPECT_EQ(CallKeys::CodeText(1000), "001 000");
}

}  // namespace

namespace {

std::vector<uint8_t> Text(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(CallSecretTest, AMadeKeyGoesThroughOneKeyedHashAndAnythingElseIsAPassphrase) {
    // 32 bytes 0..31 in Base64, as --make-secret writes them; the key computed apart (Python's BLAKE2b).
    const CallKeys::Secret made =
        CallKeys::Secret::From(Text("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="));
    ASSERT_TRUE(made.key);
    EXPECT_EQ(*made.key, FromHex("c02303cfd24cb980f589bfe31a48db459b200c50c3d7bd6a6ccae3cab3e3b547"));
    EXPECT_TRUE(made.passphrase.empty());
    // One character less or more, or 44 characters that are no Base64 of 32 bytes: a passphrase.
    for (const std::string& text : {std::string("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"),
                                    std::string("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=="),
                                    std::string(44, '!'), std::string("correct horse battery staple")}) {
        const CallKeys::Secret secret = CallKeys::Secret::From(Text(text));
        EXPECT_FALSE(secret.key) << text;
        EXPECT_EQ(secret.passphrase, Text(text));
    }
}

TEST(CallSecretTest, APassphraseGivesBothSidesOneKeyAnotherPassphraseOthersAndEveryCallItsOwn) {
    const CallKeys::Offer alice = OfferOf(Hello(kAliceId, kAlicePublic));
    const CallKeys::Offer bob = OfferOf(Hello(kBobId, kBobPublic));
    const CallKeys::Secret phrase = CallKeys::Secret::From(Text("correct horse battery staple"));
    const CallKeys a = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob, phrase).value();
    const CallKeys b = CallKeys::Agree(CallKeys::KeyPairOf(kBobSecret), bob, alice, phrase).value();
    EXPECT_EQ(a.sendKey, b.openKey);
    EXPECT_EQ(a.openKey, b.sendKey);
    const CallKeys plain = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob).value();
    EXPECT_NE(a.sendKey, plain.sendKey) << "the passphrase is in the keys";
    // Argon2id (3 passes, 16 MiB) of the passphrase, salted with BLAKE2b-128 of the label and both public
    // keys, the lower first: computed apart (libsodium called from Python), then mixed in as a key.
    const Key stretched = FromHex("4434a50c9cd27f6053db0218fa9cd519534eaac0887d22017607c477fac579ef");
    const CallKeys keyed = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob, &stretched).value();
    EXPECT_EQ(a.sendKey, keyed.sendKey);
    EXPECT_EQ(a.openKey, keyed.openKey);
    EXPECT_EQ(a.code, plain.code) << "the code is the transcript's";
    const CallKeys other = CallKeys::Agree(CallKeys::KeyPairOf(kAliceSecret), alice, bob,
                                           CallKeys::Secret::From(Text("correct horse battery stapler")))
                               .value();
    EXPECT_NE(other.sendKey, a.sendKey);
    // Another call (another key pair on one side): the passphrase's key is salted anew, the keys differ.
    const CallKeys::KeyPair carol = CallKeys::KeyPairOf(FromHex(std::string(64, '3')));
    const CallKeys next =
        CallKeys::Agree(carol, OfferOf(Hello(kAliceId, carol.publicKey)), bob, phrase).value();
    EXPECT_NE(next.sendKey, a.sendKey);
    EXPECT_NE(next.openKey, a.openKey);
}

}  // namespace

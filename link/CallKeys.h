// The keys of one encrypted call, agreed in the session's hellos (X25519), and the short code both users
// compare to know that nobody sits in between.
//
// Each side makes a fresh key pair for every call and first sends only a commitment to its public key (a
// hash of it); it sends the key itself only once it holds the peer's commitment, and takes the peer's key
// only when it matches the commitment. So neither side, nor a relay posing as either, can pick its key
// after seeing the other's: a relay gets one blind guess at making the two codes match (one in a million),
// instead of trying key pairs until they do. Both compute the
// X25519 shared value, hash the two hellos' stable bytes into the transcript hash, and derive from the two
// one 64-byte BLAKE2b output: its first half seals what the side with the lower public key sends, its
// second half what the other sends. A pre-shared key, when given, keys that hash, so that without it the
// keys cannot be computed even by a relay that ran its own agreement with each side. The short code comes
// from the transcript hash alone: a relay in the middle gives each side a transcript with its own public
// key in it, so the two sides' codes differ. Nothing here is kept after the call: the secret key and the
// call keys live in the call's objects and are wiped with them.
//
// When both hellos name an identity key (each copy's long-term Ed25519 pair), both keys enter the
// transcript hash, and so the code, and the key material also takes two more X25519 values: each side's
// identity (as its X25519 form) with the other's fresh key. Only the holder of an identity's secret half
// derives the keys that open the call, so a sealed datagram that opens proves the peer's identity.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/SessionControl.h"

struct CallKeys {
    using Key = std::array<uint8_t, 32>;
    // The hello's bytes that enter the transcript: the 88 bytes of a hello that reveals its key, with the
    // fields that change during a call (flags, the peer's id, the format, the capability bit saying that the
    // sender holds the peer's key) set to 0.
    using Offer = std::array<uint8_t, SessionControl::kBytesWithReveal>;

    struct KeyPair {
        Key secretKey{};
        Key publicKey{};
    };
    // A copy's long-term identity: an Ed25519 pair in libsodium's form (the secret half is seed and key).
    struct Identity {
        Key publicKey{};
        std::array<uint8_t, 64> secretKey{};
    };
    // The identities of the two sides, when both hellos named one; {} (both null) when not.
    struct Identities {
        const Identity* mine;
        const Key* theirs;
    };

    // The shared secret of --secret as the agreement takes it: a key made by --make-secret goes in through
    // one keyed hash; a passphrase through Argon2id, salted anew for every call with both public keys, so
    // that no table computed once serves against any call.
    struct Secret {
        std::optional<Key> key;
        std::vector<uint8_t> passphrase;
        // From a secret file's bytes: a --make-secret key (32 bytes in Base64) or a passphrase.
        static Secret From(const std::vector<uint8_t>& bytes);
        void Wipe();
    };
    // Argon2id's cost for a passphrase, per call: small enough for a call's start and its memory goal.
    static constexpr size_t kPassphraseMemoryBytes = 16u << 20;
    static constexpr unsigned kPassphrasePasses = 3;

    static constexpr int kCodeDigits = 6;
    static constexpr uint32_t kCodeRange = 1000000;

    Key sendKey{};
    Key openKey{};
    Key transcriptHash{};
    uint32_t code = 0;  // 0 to 999999, shown as six digits
    // The peer's identity key when both sides named one: bound into these keys and the code.
    std::optional<Key> peerIdentity;

    // A fresh random key pair.
    static KeyPair MakeKeyPair();
    // The pair of a given secret key (RFC 7748's clamping applies), for tests.
    static KeyPair KeyPairOf(const Key& secretKey);
    // X25519 of a secret and a public key; none when the result is all zeros (a public key of low order,
    // which would make the shared value known to anyone).
    static std::optional<Key> SharedValue(const Key& secretKey, const Key& publicKey);
    // The commitment a hello carries for `publicKey`.
    static Key Commitment(const Key& publicKey);
    // The transcript bytes of a hello that reveals its key (at least 88 bytes, as sent or received).
    static std::optional<Offer> OfferOf(std::span<const uint8_t> hello);

    // The call's keys from this side's pair and hello and the peer's hello; none when the peer's key does
    // not match its commitment, is of low order or is this side's own (a hello sent back at us).
    // `preShared`: the key of --secret.
    // `identities`: both sides' identity keys, or none (then the agreement is as without them). None also
    // when the peer's identity key is no Ed25519 point.
    static std::optional<CallKeys> Agree(const KeyPair& mine, const Offer& myOffer, const Offer& theirOffer,
                                         const Key* preShared = nullptr, Identities identities = {});
    // The same with the secret of --secret: its key for this call, then Agree. None also when a
    // passphrase's derivation finds no memory.
    static std::optional<CallKeys> Agree(const KeyPair& mine, const Offer& myOffer, const Offer& theirOffer,
                                         const Secret& secret, Identities identities = {});

    // "123 456".
    static std::string CodeText(uint32_t code);

    // Wipes the keys.
    void Wipe();
};

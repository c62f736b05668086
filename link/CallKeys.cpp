#include "link/CallKeys.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "base/Exception.h"

namespace {

// Labels keep our hashes apart from each other and from any other program's use of the same inputs.
constexpr char kTranscriptLabel[] = "Q-Parlin transcript 2";
constexpr char kCommitmentLabel[] = "Q-Parlin commitment 1";
constexpr char kKeysLabel[] = "Q-Parlin call keys 1";
constexpr char kIdentityKeysLabel[] = "Q-Parlin call keys with identities 1";
constexpr char kCodeLabel[] = "Q-Parlin code 1";
constexpr char kSecretKeyLabel[] = "Q-Parlin secret key 1";
constexpr char kPassphraseSaltLabel[] = "Q-Parlin passphrase 1";
// What --make-secret writes: 32 bytes in Base64, 44 characters.
constexpr size_t kMadeSecretBytes = 32;
constexpr size_t kMadeSecretText = 44;

// The offer's fields that change during a call and are agreed in the clear: not part of the transcript.
constexpr int kFlagsByte = 3;
constexpr int kPeerIdByte = 12;
constexpr int kPeerIdBytes = 8;
constexpr int kFormatByte = 20;
// Whether the sender already holds the peer's key changes while the keys are agreed: not part of it either.
constexpr int kCapabilitiesByte = 21;

static_assert(crypto_scalarmult_BYTES == 32 && crypto_scalarmult_SCALARBYTES == 32);

void StartSodium() {
    if (sodium_init() < 0)
        throw Exception();
}

void Absorb(crypto_generichash_state& state, const void* data, size_t length) {
    crypto_generichash_update(&state, static_cast<const unsigned char*>(data), length);
}

}  // namespace

CallKeys::KeyPair CallKeys::MakeKeyPair() {
    StartSodium();
    Key secret{};
    randombytes_buf(secret.data(), secret.size());
    KeyPair pair = KeyPairOf(secret);
    sodium_memzero(secret.data(), secret.size());
    return pair;
}

CallKeys::KeyPair CallKeys::KeyPairOf(const Key& secretKey) {
    StartSodium();
    KeyPair pair;
    pair.secretKey = secretKey;
    crypto_scalarmult_base(pair.publicKey.data(), pair.secretKey.data());
    return pair;
}

std::optional<CallKeys::Key> CallKeys::SharedValue(const Key& secretKey, const Key& publicKey) {
    StartSodium();
    Key shared{};
    // libsodium refuses a result of all zeros itself.
    if (crypto_scalarmult(shared.data(), secretKey.data(), publicKey.data()) != 0)
        return std::nullopt;
    return shared;
}

CallKeys::Key CallKeys::Commitment(const Key& publicKey) {
    StartSodium();
    Key commitment{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, commitment.size());
    Absorb(state, kCommitmentLabel, sizeof(kCommitmentLabel) - 1);
    Absorb(state, publicKey.data(), publicKey.size());
    crypto_generichash_final(&state, commitment.data(), commitment.size());
    return commitment;
}

std::optional<CallKeys::Offer> CallKeys::OfferOf(std::span<const uint8_t> hello) {
    if (hello.size() < static_cast<size_t>(SessionControl::kBytesWithReveal))
        return std::nullopt;
    Offer offer{};
    std::memcpy(offer.data(), hello.data(), offer.size());
    offer[kFlagsByte] = 0;
    std::memset(offer.data() + kPeerIdByte, 0, kPeerIdBytes);
    offer[kFormatByte] = 0;
    offer[kCapabilitiesByte] &= static_cast<uint8_t>(~SessionControl::kHoldsPeerKey);
    return offer;
}

std::optional<CallKeys> CallKeys::Agree(const KeyPair& mine, const Offer& myOffer, const Offer& theirOffer,
                                        const Key* preShared, Identities identities) {
    StartSodium();
    const uint8_t* theirPublic = theirOffer.data() + SessionControl::kBytesWithKey;
    const int order = std::memcmp(myOffer.data() + SessionControl::kBytesWithKey, theirPublic, 32);
    if (order == 0)
        return std::nullopt;
    Key theirKey{};
    std::memcpy(theirKey.data(), theirPublic, theirKey.size());
    // A key that is not the one committed to could have been chosen after seeing ours.
    if (sodium_memcmp(Commitment(theirKey).data(), theirOffer.data() + SessionControl::kBytes, 32) != 0)
        return std::nullopt;
    std::optional<Key> shared = SharedValue(mine.secretKey, theirKey);
    if (!shared)
        return std::nullopt;
    const bool mineLow = order < 0;
    const Offer& low = mineLow ? myOffer : theirOffer;
    const Offer& high = mineLow ? theirOffer : myOffer;

    // With identities: each side's identity with the other's fresh key, the low side's first.
    const bool withIdentities = identities.mine != nullptr && identities.theirs != nullptr;
    Key lowIdentityValue{};
    Key highIdentityValue{};
    if (withIdentities) {
        Key theirIdentity{};
        Key myIdentitySecret{};
        if (crypto_sign_ed25519_pk_to_curve25519(theirIdentity.data(), identities.theirs->data()) != 0)
            return std::nullopt;
        crypto_sign_ed25519_sk_to_curve25519(myIdentitySecret.data(), identities.mine->secretKey.data());
        std::optional<Key> mineWithTheirs = SharedValue(myIdentitySecret, theirKey);
        sodium_memzero(myIdentitySecret.data(), myIdentitySecret.size());
        std::optional<Key> theirsWithMine = SharedValue(mine.secretKey, theirIdentity);
        if (!mineWithTheirs || !theirsWithMine)
            return std::nullopt;
        lowIdentityValue = mineLow ? *mineWithTheirs : *theirsWithMine;
        highIdentityValue = mineLow ? *theirsWithMine : *mineWithTheirs;
        sodium_memzero(mineWithTheirs->data(), mineWithTheirs->size());
        sodium_memzero(theirsWithMine->data(), theirsWithMine->size());
    }

    CallKeys keys;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, keys.transcriptHash.size());
    Absorb(state, kTranscriptLabel, sizeof(kTranscriptLabel) - 1);
    Absorb(state, low.data(), low.size());
    Absorb(state, high.data(), high.size());
    if (withIdentities) {
        const Key& lowIdentity = mineLow ? identities.mine->publicKey : *identities.theirs;
        const Key& highIdentity = mineLow ? *identities.theirs : identities.mine->publicKey;
        Absorb(state, lowIdentity.data(), lowIdentity.size());
        Absorb(state, highIdentity.data(), highIdentity.size());
        keys.peerIdentity = *identities.theirs;
    }
    crypto_generichash_final(&state, keys.transcriptHash.data(), keys.transcriptHash.size());

    std::array<uint8_t, 64> material{};
    crypto_generichash_init(&state, preShared != nullptr ? preShared->data() : nullptr,
                            preShared != nullptr ? preShared->size() : 0, material.size());
    if (withIdentities)
        Absorb(state, kIdentityKeysLabel, sizeof(kIdentityKeysLabel) - 1);
    else
        Absorb(state, kKeysLabel, sizeof(kKeysLabel) - 1);
    Absorb(state, shared->data(), shared->size());
    if (withIdentities) {
        Absorb(state, lowIdentityValue.data(), lowIdentityValue.size());
        Absorb(state, highIdentityValue.data(), highIdentityValue.size());
        sodium_memzero(lowIdentityValue.data(), lowIdentityValue.size());
        sodium_memzero(highIdentityValue.data(), highIdentityValue.size());
    }
    Absorb(state, keys.transcriptHash.data(), keys.transcriptHash.size());
    crypto_generichash_final(&state, material.data(), material.size());
    std::memcpy((mineLow ? keys.sendKey : keys.openKey).data(), material.data(), 32);
    std::memcpy((mineLow ? keys.openKey : keys.sendKey).data(), material.data() + 32, 32);
    sodium_memzero(material.data(), material.size());
    sodium_memzero(shared->data(), shared->size());

    std::array<uint8_t, 8> digest{};
    crypto_generichash_init(&state, nullptr, 0, digest.size());
    Absorb(state, kCodeLabel, sizeof(kCodeLabel) - 1);
    Absorb(state, keys.transcriptHash.data(), keys.transcriptHash.size());
    crypto_generichash_final(&state, digest.data(), digest.size());
    uint64_t value = 0;
    for (uint8_t byte : digest)
        value = (value << 8) | byte;
    // 64 bits reduced to a million: the bias is below one part in 10^13.
    keys.code = static_cast<uint32_t>(value % kCodeRange);
    return keys;
}

CallKeys::Secret CallKeys::Secret::From(const std::vector<uint8_t>& bytes) {
    StartSodium();
    Secret secret;
    if (bytes.size() == kMadeSecretText) {
        uint8_t decoded[kMadeSecretBytes];
        size_t length = 0;
        if (sodium_base642bin(decoded, sizeof decoded, reinterpret_cast<const char*>(bytes.data()),
                              bytes.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
            length == kMadeSecretBytes) {
            // Already 256 random bits: a keyed hash is all the derivation it needs.
            Key key{};
            crypto_generichash(key.data(), key.size(),
                               reinterpret_cast<const unsigned char*>(kSecretKeyLabel),
                               sizeof(kSecretKeyLabel) - 1, decoded, sizeof decoded);
            sodium_memzero(decoded, sizeof decoded);
            secret.key = key;
            return secret;
        }
        sodium_memzero(decoded, sizeof decoded);
    }
    secret.passphrase = bytes;
    return secret;
}

void CallKeys::Secret::Wipe() {
    if (key)
        sodium_memzero(key->data(), key->size());
    if (!passphrase.empty())
        sodium_memzero(passphrase.data(), passphrase.size());
}

std::optional<CallKeys> CallKeys::Agree(const KeyPair& mine, const Offer& myOffer, const Offer& theirOffer,
                                        const Secret& secret, Identities identities) {
    if (secret.key)
        return Agree(mine, myOffer, theirOffer, &*secret.key, identities);
    StartSodium();
    const uint8_t* myPublic = myOffer.data() + SessionControl::kBytesWithKey;
    const uint8_t* theirPublic = theirOffer.data() + SessionControl::kBytesWithKey;
    const bool mineLow = std::memcmp(myPublic, theirPublic, 32) < 0;
    uint8_t salt[crypto_pwhash_SALTBYTES];
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sizeof salt);
    Absorb(state, kPassphraseSaltLabel, sizeof(kPassphraseSaltLabel) - 1);
    Absorb(state, mineLow ? myPublic : theirPublic, 32);
    Absorb(state, mineLow ? theirPublic : myPublic, 32);
    crypto_generichash_final(&state, salt, sizeof salt);
    Key key{};
    static const uint8_t empty = 0;
    if (crypto_pwhash(
            key.data(), key.size(),
            reinterpret_cast<const char*>(secret.passphrase.empty() ? &empty : secret.passphrase.data()),
            secret.passphrase.size(), salt, kPassphrasePasses, kPassphraseMemoryBytes,
            crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    std::optional<CallKeys> keys = Agree(mine, myOffer, theirOffer, &key, identities);
    sodium_memzero(key.data(), key.size());
    return keys;
}

std::string CallKeys::CodeText(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u %03u", (code % kCodeRange) / 1000, code % 1000);
    return text;
}

void CallKeys::Wipe() {
    sodium_memzero(sendKey.data(), sendKey.size());
    sodium_memzero(openKey.data(), openKey.size());
}

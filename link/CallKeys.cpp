#include "link/CallKeys.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "base/Exception.h"

namespace {

// Labels keep our hashes apart from each other and from any other program's use of the same inputs.
constexpr char kTranscriptLabel[] = "Q-Parlin transcript 1";
constexpr char kKeysLabel[] = "Q-Parlin call keys 1";
constexpr char kCodeLabel[] = "Q-Parlin code 1";

// The offer's fields that change during a call and are agreed in the clear: not part of the transcript.
constexpr int kFlagsByte = 3;
constexpr int kPeerIdByte = 12;
constexpr int kPeerIdBytes = 8;
constexpr int kFormatByte = 20;

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

std::optional<CallKeys::Offer> CallKeys::OfferOf(std::span<const uint8_t> hello) {
    if (hello.size() < static_cast<size_t>(SessionControl::kBytesWithKey))
        return std::nullopt;
    Offer offer{};
    std::memcpy(offer.data(), hello.data(), offer.size());
    offer[kFlagsByte] = 0;
    std::memset(offer.data() + kPeerIdByte, 0, kPeerIdBytes);
    offer[kFormatByte] = 0;
    return offer;
}

std::optional<CallKeys> CallKeys::Agree(const KeyPair& mine, const Offer& myOffer, const Offer& theirOffer,
                                        const Key* preShared) {
    StartSodium();
    const uint8_t* theirPublic = theirOffer.data() + SessionControl::kBytes;
    const int order = std::memcmp(myOffer.data() + SessionControl::kBytes, theirPublic, 32);
    if (order == 0)
        return std::nullopt;
    Key theirKey{};
    std::memcpy(theirKey.data(), theirPublic, theirKey.size());
    std::optional<Key> shared = SharedValue(mine.secretKey, theirKey);
    if (!shared)
        return std::nullopt;
    const bool mineLow = order < 0;
    const Offer& low = mineLow ? myOffer : theirOffer;
    const Offer& high = mineLow ? theirOffer : myOffer;

    CallKeys keys;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, keys.transcriptHash.size());
    Absorb(state, kTranscriptLabel, sizeof(kTranscriptLabel) - 1);
    Absorb(state, low.data(), low.size());
    Absorb(state, high.data(), high.size());
    crypto_generichash_final(&state, keys.transcriptHash.data(), keys.transcriptHash.size());

    std::array<uint8_t, 64> material{};
    crypto_generichash_init(&state, preShared != nullptr ? preShared->data() : nullptr,
                            preShared != nullptr ? preShared->size() : 0, material.size());
    Absorb(state, kKeysLabel, sizeof(kKeysLabel) - 1);
    Absorb(state, shared->data(), shared->size());
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

std::string CallKeys::CodeText(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u %03u", (code % kCodeRange) / 1000, code % 1000);
    return text;
}

void CallKeys::Wipe() {
    sodium_memzero(sendKey.data(), sendKey.size());
    sodium_memzero(openKey.data(), openKey.size());
}

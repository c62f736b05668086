#include "link/DatagramSealer.h"

#include <sodium.h>

#include <cstring>

#include "base/Exception.h"

namespace {

static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == 32);
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == 24);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == DatagramSealer::kTagBytes);

void StartSodium() {
    // Idempotent and thread-safe; it fails only when the system has no source of randomness.
    if (sodium_init() < 0)
        throw Exception();
}

void PutLittleEndian(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittleEndian(const uint8_t* in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

void MakeNonce(const uint8_t* header, uint8_t* nonce) {
    std::memcpy(nonce, header + 1, 16);
    std::memset(nonce + 16, 0, 8);
}

}  // namespace

DatagramSealer::DatagramSealer(const Key& key) : key_(key), openKey_(key), nextCounter_(0) {
    StartSodium();
    randombytes_buf(&senderId_, sizeof(senderId_));
}

DatagramSealer::DatagramSealer(const Key& key, uint64_t senderId, uint64_t firstCounter)
    : key_(key), openKey_(key), senderId_(senderId), nextCounter_(firstCounter) {
    StartSodium();
}

DatagramSealer::DatagramSealer(const Key& sendKey, const Key& openKey, uint64_t senderId)
    : key_(sendKey), openKey_(openKey), senderId_(senderId), nextCounter_(0) {
    StartSodium();
}

DatagramSealer::~DatagramSealer() {
    sodium_memzero(key_.data(), key_.size());
    sodium_memzero(openKey_.data(), openKey_.size());
}

int DatagramSealer::Seal(const uint8_t* inner, int length, uint8_t* out, int capacity) {
    if (inner == nullptr || out == nullptr || length < 1 || capacity < kOverhead ||
        length > capacity - kOverhead)
        return 0;
    // A counter that wrapped would repeat a nonce: the sender stops instead (after 2^64 datagrams).
    if (nextCounter_ == UINT64_MAX)
        return 0;
    out[0] = kSealedDatagram;
    PutLittleEndian(out + 1, senderId_);
    PutLittleEndian(out + 9, nextCounter_);
    ++nextCounter_;
    uint8_t nonce[24];
    MakeNonce(out, nonce);
    unsigned long long sealed = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(out + kHeaderBytes, &sealed, inner,
                                               static_cast<unsigned long long>(length), out, kHeaderBytes,
                                               nullptr, nonce, key_.data());
    return kHeaderBytes + static_cast<int>(sealed);
}

DatagramSealer::Result DatagramSealer::Open(const uint8_t* datagram, int length, uint8_t* inner, int capacity,
                                            int& innerLength, uint64_t& counter) {
    innerLength = 0;
    counter = 0;
    if (datagram == nullptr || length < 1 || datagram[0] != kSealedDatagram)
        return Result::kNotSealed;
    // Too short to hold even a one-byte inner datagram: nothing honest sends that.
    if (length < kOverhead + 1 || inner == nullptr || capacity < length - kOverhead)
        return Result::kForged;
    const uint64_t id = GetLittleEndian(datagram + 1);
    const uint64_t number = GetLittleEndian(datagram + 9);
    if (id == senderId_)
        return Result::kReplayed;
    if (const Sender* sender = Find(id); sender != nullptr && Seen(*sender, number))
        return Result::kReplayed;
    uint8_t nonce[24];
    MakeNonce(datagram, nonce);
    unsigned long long opened = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(inner, &opened, nullptr, datagram + kHeaderBytes,
                                                   static_cast<unsigned long long>(length - kHeaderBytes),
                                                   datagram, kHeaderBytes, nonce, openKey_.data()) != 0)
        return Result::kForged;
    Remember(id, number);
    innerLength = static_cast<int>(opened);
    counter = number;
    return Result::kOpened;
}

DatagramSealer::Sender* DatagramSealer::Find(uint64_t id) {
    for (Sender& sender : senders_)
        if (sender.lastUse != 0 && sender.id == id)
            return &sender;
    return nullptr;
}

bool DatagramSealer::Seen(const Sender& sender, uint64_t counter) {
    if (counter > sender.highest)
        return false;
    const uint64_t behind = sender.highest - counter;
    // Older than the window: whether it opened before is no longer known, so it is taken for a replay.
    if (behind >= static_cast<uint64_t>(kReplayWindow))
        return true;
    return sender.seen.test(static_cast<size_t>(behind));
}

void DatagramSealer::Remember(uint64_t id, uint64_t counter) {
    Sender* sender = Find(id);
    if (sender == nullptr) {
        // A new sender takes a free slot, or the one that opened least recently.
        sender = &senders_[0];
        for (Sender& candidate : senders_)
            if (candidate.lastUse < sender->lastUse)
                sender = &candidate;
        *sender = Sender{id, counter, 1, 0};
    } else if (counter > sender->highest) {
        const uint64_t ahead = counter - sender->highest;
        // A jump of the window's width or more forgets everything before it.
        if (ahead >= static_cast<uint64_t>(kReplayWindow))
            sender->seen.reset();
        else
            sender->seen <<= static_cast<size_t>(ahead);
        sender->seen.set(0);
        sender->highest = counter;
    } else {
        sender->seen.set(static_cast<size_t>(sender->highest - counter));
    }
    sender->lastUse = ++opens_;
}

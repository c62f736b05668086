// Sealing and opening of a private call's datagrams with the key both sides derive from a shared secret.
//
// A sealed datagram is one type byte (2), the sender's 64-bit id and 64-bit counter (both little-endian),
// then the XChaCha20-Poly1305 output of the inner datagram (its own type byte and payload, as a plain call
// sends them) with its 16-byte tag: 33 bytes more than the plain datagram. The first 17 bytes are the
// additional data, so that none of them can be changed either.
//
// The nonce is the sender id, the counter and eight zero bytes. Every sealer picks a random sender id when
// it is made (once per start of the program) and counts from 0, so that no nonce is used twice under one
// key as long as no two starts of either side draw the same 64-bit id.
//
// Opening remembers, per sender id, the highest counter that opened and which of the kReplayWindow before
// it did, and refuses a counter seen before or older than the window. Only datagrams that open change that
// memory, so forgeries cannot push a sender's window forward. Datagrams that carry our own sender id are
// our own sent back at us and are refused too.
//
// Not thread-safe: the link's worker is its only user.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>

class DatagramSealer {
public:
    using Key = std::array<uint8_t, 32>;

    static constexpr uint8_t kSealedDatagram = 2;
    // The inner type that ends a private call, in place of the empty datagram of a plain one.
    static constexpr uint8_t kEndOfCallDatagram = 3;
    static constexpr int kHeaderBytes = 17;  // type, sender id, counter
    static constexpr int kTagBytes = 16;
    static constexpr int kOverhead = kHeaderBytes + kTagBytes;
    // Counters this far behind a sender's newest may still arrive late and open once.
    static constexpr int kReplayWindow = 64;
    // Sender ids remembered at once; the one that opened least recently is forgotten first.
    static constexpr int kMaxSenders = 8;

    enum class Result { kOpened, kNotSealed, kForged, kReplayed };

    // A sealer with a random sender id, counting from 0.
    explicit DatagramSealer(const Key& key);
    // A given sender id and first counter, for tests.
    DatagramSealer(const Key& key, uint64_t senderId, uint64_t firstCounter);
    // An encrypted session's sealer: one key for what this side sends, another for what it opens (each
    // direction has its own, fresh for the call), and the sender id the session's.
    DatagramSealer(const Key& sendKey, const Key& openKey, uint64_t senderId);
    ~DatagramSealer();
    DatagramSealer(const DatagramSealer&) = delete;
    DatagramSealer& operator=(const DatagramSealer&) = delete;

    // Seals the inner datagram (`length` >= 1 bytes) into `out`; returns the sealed length, or 0 when it
    // does not fit in `capacity` or the counter is spent.
    int Seal(const uint8_t* inner, int length, uint8_t* out, int capacity);

    // Opens `datagram` into `inner` (capacity at least length - kOverhead). On kOpened, `innerLength` is
    // the inner datagram's length (at least 1) and `counter` its sender's counter.
    Result Open(const uint8_t* datagram, int length, uint8_t* inner, int capacity, int& innerLength,
                uint64_t& counter);

    uint64_t SenderId() const { return senderId_; }
    uint64_t NextCounter() const { return nextCounter_; }

private:
    struct Sender {
        uint64_t id = 0;
        uint64_t highest = 0;  // the highest counter that opened
        // Bit i: counter highest - i opened. A bitset, so that a position past the window is refused
        // (test throws) or shifted out (empty) instead of being an undefined shift of an integer.
        std::bitset<kReplayWindow> seen;
        uint64_t lastUse = 0;  // when it last opened, in opens; 0 for a free slot
    };

    // The sender's slot, or null when it is not remembered.
    Sender* Find(uint64_t id);
    static bool Seen(const Sender& sender, uint64_t counter);
    void Remember(uint64_t id, uint64_t counter);

    Key key_;
    Key openKey_;
    uint64_t senderId_;
    uint64_t nextCounter_;
    std::array<Sender, kMaxSenders> senders_{};
    uint64_t opens_ = 0;
};

// The session's control datagram (type 4): the hello that offers a session, the keep-alive of a quiet
// side, and the goodbye that ends a session. 24 bytes, big-endian:
//   0 type 4 | 1 version | 2 kind | 3 flags | 4-11 sender's session id | 12-19 peer's session id as last
//   seen | 20 format code | 21 capabilities | 22 Opus format offered (0 none) | 23 reserved
// A hello with capability bit 4 carries a commitment to this call's X25519 public key in bytes 24-55 (56
// bytes), and with bit 5 also the key itself in bytes 56-87 (88 bytes), sent only once the sender holds the
// peer's commitment: neither side can choose its key after seeing the other's. A receiver that reads only
// 24 bytes ignores both, so the agreement is offered, never imposed. Bit 6, with bit 5, says that the sender
// holds the peer's key (it has agreed the call's keys), so that the peer stops resending its own. Bit 7,
// with bit 5, adds the sender's long-term identity key (Ed25519) in bytes 88-119 (120 bytes). Bit 3 (a
// key sent without commitment, by earlier copies) is never sent and read as clear. A receiver takes any
// version from 1 up and reads the fields it knows, so that later versions may add fields after byte 24; it
// refuses a shorter datagram, a kind it does not know and a sender id of 0. docs/SESSION.md has the table and
// what each side does with it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

struct SessionControl {
    enum class Kind : uint8_t { kHello = 1, kKeepAlive = 2, kGoodbye = 3 };

    static constexpr int kBytes = 24;
    static constexpr uint8_t kVersion = 1;
    // Capability bits.
    static constexpr uint8_t kNumberedAudio = 0x01;   // RTP
    static constexpr uint8_t kQualityReports = 0x02;  // RTCP
    static constexpr uint8_t kOpus = 0x04;            // Opus, in the format of byte 22
    static constexpr uint8_t kKeyAgreement = 0x10;    // an encrypted call: the key's commitment follows
    static constexpr uint8_t kKeyReveal = 0x20;       // with kKeyAgreement: the public key follows that
    static constexpr uint8_t kHoldsPeerKey = 0x40;    // with kKeyReveal: the sender holds the peer's key
    static constexpr uint8_t kIdentity = 0x80;        // with kKeyReveal: the identity key follows the key
    static constexpr uint8_t kKnownCapabilities =
        kNumberedAudio | kQualityReports | kOpus | kKeyAgreement | kKeyReveal | kHoldsPeerKey | kIdentity;
    static constexpr int kPublicKeyBytes = 32;
    // A hello that offers key agreement: the 24 bytes and the commitment.
    static constexpr int kBytesWithKey = kBytes + kPublicKeyBytes;
    // A hello that also reveals its key: the 24 bytes, the commitment and the public key.
    static constexpr int kBytesWithReveal = kBytesWithKey + kPublicKeyBytes;
    // A hello that reveals its key and names the sender's identity key.
    static constexpr int kBytesWithIdentity = kBytesWithReveal + kPublicKeyBytes;

    Kind kind = Kind::kHello;
    uint8_t version = kVersion;  // as received; a sender writes kVersion
    bool formatChosen = false;   // the format was chosen for this call, not only a default
    uint64_t senderId = 0;       // never 0
    uint64_t peerId = 0;         // 0 until the sender has seen the peer's id
    uint8_t formatCode = 0;
    uint8_t capabilities = 0;  // only the known bits: a receiver drops the others
    uint8_t opusFormat = 0;    // the Opus format offered with kOpus; 0 without it
    // With kKeyAgreement in a hello: the commitment to the sender's key for this call (keep-alives and
    // goodbyes carry none); with kKeyReveal also the key.
    std::array<uint8_t, kPublicKeyBytes> commitment{};
    std::array<uint8_t, kPublicKeyBytes> publicKey{};
    // With kIdentity beside kKeyReveal: the sender's long-term identity key (Ed25519, public).
    std::array<uint8_t, kPublicKeyBytes> identityKey{};

    bool operator==(const SessionControl&) const = default;

    // Writes the 24 bytes into `out` (56 for a hello with kKeyAgreement, 88 with kKeyReveal too); returns
    // that length, or 0 when `out` is shorter or the datagram is one a receiver would refuse (version 0,
    // sender id 0, an unknown kind). Capability bits beyond the known ones are not sent; kKeyAgreement is
    // sent only in a hello, kKeyReveal only with it, kHoldsPeerKey and kIdentity only with kKeyReveal (120
    // bytes with kIdentity).
    int Compose(std::span<uint8_t> out) const;

    // The control datagram in `datagram`, or none when it is not one a receiver takes: not type 4,
    // shorter than 24 or longer than 10000 bytes, version 0, an unknown kind, sender id 0. Bytes beyond
    // 24, reserved bits and unknown capability bits are ignored. A key-agreement offer counts only in a
    // hello of at least 56 bytes, a revealed key only with it in one of at least 88: otherwise the bit is
    // dropped and the hello read as one without it. kHoldsPeerKey counts only beside a revealed key, and
    // kIdentity only beside one in a hello of at least 120 bytes.
    static std::optional<SessionControl> Parse(std::span<const uint8_t> datagram);
};

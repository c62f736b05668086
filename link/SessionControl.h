// The session's control datagram (type 4): the hello that offers a session, the keep-alive of a quiet
// side, and the goodbye that ends a session. 24 bytes, big-endian:
//   0 type 4 | 1 version | 2 kind | 3 flags | 4-11 sender's session id | 12-19 peer's session id as last
//   seen | 20 format code | 21 capabilities | 22 Opus format offered (0 none) | 23 reserved
// A hello with capability bit 3 carries this call's X25519 public key in bytes 24-55 (56 bytes in all): a
// receiver that reads only 24 bytes ignores it, so the key is offered, never imposed.
// A receiver takes any version from 1 up and reads the fields it knows, so that later versions may add
// fields after byte 24; it refuses a shorter datagram, a kind it does not know and a sender id of 0.
// docs/SESSION.md has the table and what each side does with it.
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
    static constexpr uint8_t kKeyAgreement = 0x08;    // an encrypted call: the hello's public key follows
    static constexpr uint8_t kKnownCapabilities = kNumberedAudio | kQualityReports | kOpus | kKeyAgreement;
    static constexpr int kPublicKeyBytes = 32;
    // A hello that offers key agreement: the 24 bytes and the public key.
    static constexpr int kBytesWithKey = kBytes + kPublicKeyBytes;

    Kind kind = Kind::kHello;
    uint8_t version = kVersion;  // as received; a sender writes kVersion
    bool formatChosen = false;   // the format was chosen for this call, not only a default
    uint64_t senderId = 0;       // never 0
    uint64_t peerId = 0;         // 0 until the sender has seen the peer's id
    uint8_t formatCode = 0;
    uint8_t capabilities = 0;  // only the known bits: a receiver drops the others
    uint8_t opusFormat = 0;    // the Opus format offered with kOpus; 0 without it
    // With kKeyAgreement in a hello: the sender's key for this call (keep-alives and goodbyes carry none).
    std::array<uint8_t, kPublicKeyBytes> publicKey{};

    bool operator==(const SessionControl&) const = default;

    // Writes the 24 bytes into `out` (56 for a hello with kKeyAgreement); returns that length, or 0 when
    // `out` is shorter or the datagram is one a receiver would refuse (version 0, sender id 0, an unknown
    // kind). Capability bits beyond the known ones are not sent; kKeyAgreement is sent only in a hello.
    int Compose(std::span<uint8_t> out) const;

    // The control datagram in `datagram`, or none when it is not one a receiver takes: not type 4,
    // shorter than 24 or longer than 10000 bytes, version 0, an unknown kind, sender id 0. Bytes beyond
    // 24, reserved bits and unknown capability bits are ignored. A key-agreement offer counts only in a
    // hello of at least 56 bytes: otherwise the bit is dropped and the hello read as one without it.
    static std::optional<SessionControl> Parse(std::span<const uint8_t> datagram);
};

// Numbered audio as RTP (RFC 3550 section 5.1): a 12-byte header and exactly one encoded frame.
//
// We send version 2 without padding, extension or contributing sources; the marker bit opens a talk
// spurt, the payload type names the format (session_wire::PayloadTypeOf), the sequence number counts
// frames, the timestamp counts samples at the format's rate and the SSRC is the low 32 bits of the
// sender's session id. A receiver takes every valid RFC 3550 packet (padding, header extension and CSRC
// list skipped) and refuses any whose counts point past its end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

struct RtpHeader {
    static constexpr int kBytes = 12;

    bool marker = false;
    uint8_t payloadType = 0;  // 0 to 127
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;

    bool operator==(const RtpHeader&) const = default;
};

struct RtpPacket {
    RtpHeader header;
    // The frame, inside the datagram that was parsed: valid as long as that datagram's bytes are.
    std::span<const uint8_t> payload;

    // Writes the header and `payload` into `out` (the payload may already sit at out + 12); returns the
    // datagram's length, or 0 when it does not fit in `out`, would pass 10000 bytes, or the payload type
    // needs more than 7 bits. Allocates nothing.
    static int Compose(const RtpHeader& header, std::span<const uint8_t> payload, std::span<uint8_t> out);

    // The packet in `datagram`, or none when it is not a valid RTP packet: shorter than its header or
    // longer than 10000 bytes, not version 2, a CSRC list, extension or padding count that points past
    // the end, or the padding bit set with a count of 0.
    static std::optional<RtpPacket> Parse(std::span<const uint8_t> datagram);
};

// The SSRC of a sender: the low 32 bits of its session id.
constexpr uint32_t SsrcOf(uint64_t sessionId) {
    return static_cast<uint32_t>(sessionId);
}

// One side's quality report as an RTCP compound packet (RFC 3550 section 6), sent a few times a second:
//   SR (200) when this side sent audio since its last report, else RR (201), with one report block about
//        the peer's stream once any of it has arrived;
//   SDES (202) with one chunk: the sender's SSRC and CNAME "qparlin-<session id in 16 hex digits>";
//   APP (204), subtype 0, name "QPLN", when the sender has playout figures: frames received, concealed and
//        late, playout delay and jitter in microseconds, each a big-endian 32-bit number.
// Parsing refuses a compound whose packet lengths do not add up to the datagram exactly, whose first
// packet is not SR or RR, or any of whose packets is not version 2; packet types it does not know are
// skipped by their length. docs/SESSION.md has the tables.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

// What a sender report adds: when it was sent, and how much the sender has sent.
struct RtcpSenderInfo {
    uint64_t ntpTimestamp = 0;  // rtp_statistics::NtpFromUnixUs
    uint32_t rtpTimestamp = 0;  // the same instant on the stream's media clock
    uint32_t packetCount = 0;
    uint32_t octetCount = 0;  // payload bytes, headers not counted

    bool operator==(const RtcpSenderInfo&) const = default;
};

// What one side received of the stream with `ssrc` (RFC 3550 section 6.4.1).
struct RtcpReportBlock {
    static constexpr int32_t kMostLost = 0x7FFFFF;     // the 24-bit field's range
    static constexpr int32_t kFewestLost = -0x800000;  // (duplicates make it negative)

    uint32_t ssrc = 0;
    uint8_t fractionLost = 0;       // since the last report, in 1/256
    int32_t cumulativeLost = 0;     // sent clamped to the 24-bit range
    uint32_t highestSequence = 0;   // extended: cycles in the high 16 bits
    uint32_t jitter = 0;            // timestamp units
    uint32_t lastSr = 0;            // middle 32 bits of the last SR's NTP timestamp; 0 when none came
    uint32_t delaySinceLastSr = 0;  // 1/65536 s

    bool operator==(const RtcpReportBlock&) const = default;
};

// The receiver's own figures of the stream it plays, in our APP packet.
struct RtcpQuality {
    uint32_t framesReceived = 0;
    uint32_t framesConcealed = 0;
    uint32_t framesLate = 0;
    uint32_t playoutDelayUs = 0;
    uint32_t jitterUs = 0;

    bool operator==(const RtcpQuality&) const = default;
};

struct RtcpReport {
    // SR with a block, SDES, APP: the longest compound this side composes.
    static constexpr int kMaxBytes = 120;

    uint32_t ssrc = 0;  // the sender's: SsrcOf(sessionId) from an honest sender
    // The sender's session id, from its CNAME; 0 when the compound has no CNAME of ours for its SSRC.
    uint64_t sessionId = 0;
    std::optional<RtcpSenderInfo> sender;  // present: an SR; absent: an RR
    std::optional<RtcpReportBlock> block;
    std::optional<RtcpQuality> quality;

    bool operator==(const RtcpReport&) const = default;

    // Writes the compound into `out`; returns its length (at most kMaxBytes), or 0 when it does not fit.
    // The cumulative loss is clamped to its 24-bit field. Allocates nothing.
    int Compose(std::span<uint8_t> out) const;

    // The report in `datagram`, keeping only the report block about `aboutSsrc` (ours): none when the
    // compound is refused (see above), or longer than 10000 bytes. Report blocks in further SR or RR
    // packets of the same sender count; those of other senders, and APP packets of other senders or
    // other names, are skipped. A "QPLN" packet with fewer than 20 bytes of figures is refused.
    static std::optional<RtcpReport> Parse(std::span<const uint8_t> datagram, uint32_t aboutSsrc);
};

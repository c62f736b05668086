#include "link/RtcpReport.h"

#include <algorithm>
#include <cstring>

#include "link/BigEndian.h"
#include "link/SessionWire.h"

namespace {

constexpr uint8_t kVersion2 = 0x80;
constexpr uint8_t kVersionMask = 0xC0;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kCountMask = 0x1F;

constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSourceDescription = 202;
constexpr uint8_t kApplication = 204;
constexpr uint8_t kCnameItem = 1;

constexpr size_t kHeaderBytes = 4;
constexpr size_t kSsrcBytes = 4;
constexpr size_t kSenderInfoBytes = 20;
constexpr size_t kBlockBytes = 24;
constexpr size_t kQualityBytes = 20;

constexpr char kCnamePrefix[] = "qparlin-";
constexpr size_t kCnamePrefixBytes = sizeof(kCnamePrefix) - 1;
constexpr size_t kCnameBytes = kCnamePrefixBytes + 16;
constexpr char kAppName[4] = {'Q', 'P', 'L', 'N'};
constexpr uint8_t kAppSubtype = 0;

// SSRC, then the CNAME item (type, length, text), its terminating null and padding to a 32-bit boundary.
constexpr size_t kSdesChunkBytes = (kSsrcBytes + 2 + kCnameBytes + 1 + 3) / 4 * 4;
constexpr size_t kSdesBytes = kHeaderBytes + kSdesChunkBytes;
constexpr size_t kAppBytes = kHeaderBytes + kSsrcBytes + sizeof(kAppName) + kQualityBytes;
static_assert(kHeaderBytes + kSsrcBytes + kSenderInfoBytes + kBlockBytes + kSdesBytes + kAppBytes ==
              RtcpReport::kMaxBytes);

void PutHeader(uint8_t* at, uint8_t count, uint8_t type, size_t bytes) {
    at[0] = static_cast<uint8_t>(kVersion2 | count);
    at[1] = type;
    big_endian::Put16(at + 2, static_cast<uint16_t>(bytes / 4 - 1));
}

void PutBlock(uint8_t* at, const RtcpReportBlock& block) {
    const int32_t lost =
        std::clamp(block.cumulativeLost, RtcpReportBlock::kFewestLost, RtcpReportBlock::kMostLost);
    big_endian::Put32(at, block.ssrc);
    at[4] = block.fractionLost;
    big_endian::Put(at + 5, static_cast<uint32_t>(lost) & 0xFFFFFF, 3);
    big_endian::Put32(at + 8, block.highestSequence);
    big_endian::Put32(at + 12, block.jitter);
    big_endian::Put32(at + 16, block.lastSr);
    big_endian::Put32(at + 20, block.delaySinceLastSr);
}

RtcpReportBlock GetBlock(const uint8_t* at) {
    RtcpReportBlock block;
    block.ssrc = big_endian::Get32(at);
    block.fractionLost = at[4];
    const auto lost = static_cast<int32_t>(big_endian::Get(at + 5, 3));
    block.cumulativeLost = lost > RtcpReportBlock::kMostLost ? lost - 0x1000000 : lost;
    block.highestSequence = big_endian::Get32(at + 8);
    block.jitter = big_endian::Get32(at + 12);
    block.lastSr = big_endian::Get32(at + 16);
    block.delaySinceLastSr = big_endian::Get32(at + 20);
    return block;
}

void PutCname(uint8_t* at, uint64_t sessionId) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::memcpy(at, kCnamePrefix, kCnamePrefixBytes);
    for (size_t i = 0; i < 16; ++i)
        at[kCnamePrefixBytes + i] = static_cast<uint8_t>(kHex[(sessionId >> (60 - 4 * i)) & 0xF]);
}

// The session id in a CNAME of ours, or 0 when the text is anything else.
uint64_t SessionIdOfCname(const uint8_t* text, size_t length) {
    if (length != kCnameBytes || std::memcmp(text, kCnamePrefix, kCnamePrefixBytes) != 0)
        return 0;
    uint64_t id = 0;
    for (size_t i = kCnamePrefixBytes; i < kCnameBytes; ++i) {
        const uint8_t c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return 0;
        id = (id << 4) | static_cast<uint64_t>(digit);
    }
    return id;
}

// One SDES packet's chunks (`body` holds `chunks` of them); the CNAME of `ssrc` goes into `sessionId`.
// False when a chunk runs past the body.
bool ReadSourceDescription(const uint8_t* body, size_t length, int chunks, uint32_t ssrc,
                           uint64_t& sessionId) {
    size_t at = 0;
    for (int chunk = 0; chunk < chunks; ++chunk) {
        if (length - at < kSsrcBytes)
            return false;
        const uint32_t source = big_endian::Get32(body + at);
        at += kSsrcBytes;
        for (;;) {
            if (at >= length)
                return false;
            const uint8_t type = body[at];
            if (type == 0)
                break;
            if (length - at < 2 || length - at - 2 < body[at + 1])
                return false;
            const size_t textLength = body[at + 1];
            if (source == ssrc && type == kCnameItem)
                sessionId = SessionIdOfCname(body + at + 2, textLength);
            at += 2 + textLength;
        }
        // The null item, then nulls up to the next 32-bit boundary, where the next chunk starts.
        at = (at + 1 + 3) / 4 * 4;
        if (at > length)
            return false;
    }
    return true;
}

}  // namespace

int RtcpReport::Compose(std::span<uint8_t> out) const {
    const size_t reportBytes =
        kHeaderBytes + kSsrcBytes + (sender ? kSenderInfoBytes : 0) + (block ? kBlockBytes : 0);
    const size_t total = reportBytes + kSdesBytes + (quality ? kAppBytes : 0);
    if (out.size() < total)
        return 0;
    uint8_t* at = out.data();
    std::memset(at, 0, total);

    PutHeader(at, block ? 1 : 0, sender ? kSenderReport : kReceiverReport, reportBytes);
    big_endian::Put32(at + 4, ssrc);
    uint8_t* next = at + kHeaderBytes + kSsrcBytes;
    if (sender) {
        big_endian::Put64(next, sender->ntpTimestamp);
        big_endian::Put32(next + 8, sender->rtpTimestamp);
        big_endian::Put32(next + 12, sender->packetCount);
        big_endian::Put32(next + 16, sender->octetCount);
        next += kSenderInfoBytes;
    }
    if (block) {
        PutBlock(next, *block);
        next += kBlockBytes;
    }

    PutHeader(next, 1, kSourceDescription, kSdesBytes);
    big_endian::Put32(next + 4, ssrc);
    next[8] = kCnameItem;
    next[9] = static_cast<uint8_t>(kCnameBytes);
    PutCname(next + 10, sessionId);  // the null item and padding are the zeros already there
    next += kSdesBytes;

    if (quality) {
        PutHeader(next, kAppSubtype, kApplication, kAppBytes);
        big_endian::Put32(next + 4, ssrc);
        std::memcpy(next + 8, kAppName, sizeof(kAppName));
        big_endian::Put32(next + 12, quality->framesReceived);
        big_endian::Put32(next + 16, quality->framesConcealed);
        big_endian::Put32(next + 20, quality->framesLate);
        big_endian::Put32(next + 24, quality->playoutDelayUs);
        big_endian::Put32(next + 28, quality->jitterUs);
    }
    return static_cast<int>(total);
}

std::optional<RtcpReport> RtcpReport::Parse(std::span<const uint8_t> datagram, uint32_t aboutSsrc) {
    const size_t size = datagram.size();
    if (size > static_cast<size_t>(session_wire::kMaxDatagramBytes))
        return std::nullopt;
    const uint8_t* data = datagram.data();
    RtcpReport report;
    bool first = true;
    size_t at = 0;
    while (at < size || first) {
        if (size - at < kHeaderBytes || (data[at] & kVersionMask) != kVersion2)
            return std::nullopt;
        const int count = data[at] & kCountMask;
        const uint8_t type = data[at + 1];
        const size_t bytes = (size_t{big_endian::Get16(data + at + 2)} + 1) * 4;
        if (bytes > size - at)
            return std::nullopt;
        const uint8_t* body = data + at + kHeaderBytes;
        size_t length = bytes - kHeaderBytes;
        if ((data[at] & kPaddingBit) != 0) {
            // Only the compound's last packet may be padded; its last byte counts the padding.
            const size_t padding = data[at + bytes - 1];
            if (at + bytes != size || padding == 0 || padding > length)
                return std::nullopt;
            length -= padding;
        }
        const bool isReport = type == kSenderReport || type == kReceiverReport;
        if (first && !isReport)
            return std::nullopt;

        if (isReport) {
            const size_t infoBytes = type == kSenderReport ? kSenderInfoBytes : 0;
            // Anything after the blocks is a profile's extension, which ours does not define.
            if (length < kSsrcBytes + infoBytes + kBlockBytes * static_cast<size_t>(count))
                return std::nullopt;
            const uint32_t source = big_endian::Get32(body);
            if (first) {
                report.ssrc = source;
                if (type == kSenderReport) {
                    RtcpSenderInfo info;
                    info.ntpTimestamp = big_endian::Get64(body + 4);
                    info.rtpTimestamp = big_endian::Get32(body + 12);
                    info.packetCount = big_endian::Get32(body + 16);
                    info.octetCount = big_endian::Get32(body + 20);
                    report.sender = info;
                }
            }
            if (source == report.ssrc) {
                for (int i = 0; i < count && !report.block; ++i) {
                    const uint8_t* blockAt =
                        body + kSsrcBytes + infoBytes + kBlockBytes * static_cast<size_t>(i);
                    if (big_endian::Get32(blockAt) == aboutSsrc)
                        report.block = GetBlock(blockAt);
                }
            }
        } else if (type == kSourceDescription) {
            if (!ReadSourceDescription(body, length, count, report.ssrc, report.sessionId))
                return std::nullopt;
        } else if (type == kApplication && count == kAppSubtype) {
            if (length < kSsrcBytes + sizeof(kAppName))
                return std::nullopt;
            if (big_endian::Get32(body) == report.ssrc &&
                std::memcmp(body + kSsrcBytes, kAppName, sizeof(kAppName)) == 0) {
                if (length - kSsrcBytes - sizeof(kAppName) < kQualityBytes)
                    return std::nullopt;
                const uint8_t* figures = body + kSsrcBytes + sizeof(kAppName);
                RtcpQuality quality;
                quality.framesReceived = big_endian::Get32(figures);
                quality.framesConcealed = big_endian::Get32(figures + 4);
                quality.framesLate = big_endian::Get32(figures + 8);
                quality.playoutDelayUs = big_endian::Get32(figures + 12);
                quality.jitterUs = big_endian::Get32(figures + 16);
                report.quality = quality;
            }
        }
        first = false;
        at += bytes;
    }
    return report;
}

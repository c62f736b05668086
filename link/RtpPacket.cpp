#include "link/RtpPacket.h"

#include <cstring>

#include "link/BigEndian.h"
#include "link/SessionWire.h"

namespace {

constexpr uint8_t kVersion2 = 0x80;
constexpr uint8_t kVersionMask = 0xC0;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kExtensionBit = 0x10;
constexpr uint8_t kCsrcCountMask = 0x0F;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kPayloadTypeMask = 0x7F;
constexpr size_t kCsrcBytes = 4;
constexpr size_t kExtensionHeaderBytes = 4;

}  // namespace

int RtpPacket::Compose(const RtpHeader& header, std::span<const uint8_t> payload, std::span<uint8_t> out) {
    const size_t length = RtpHeader::kBytes + payload.size();
    if ((header.payloadType & ~kPayloadTypeMask) != 0 || length > out.size() ||
        length > static_cast<size_t>(session_wire::kMaxDatagramBytes))
        return 0;
    uint8_t* at = out.data();
    // The payload first: it may already sit where it goes, or overlap the header's bytes.
    if (!payload.empty())
        std::memmove(at + RtpHeader::kBytes, payload.data(), payload.size());
    at[0] = kVersion2;
    at[1] = static_cast<uint8_t>((header.marker ? kMarkerBit : 0) | header.payloadType);
    big_endian::Put16(at + 2, header.sequence);
    big_endian::Put32(at + 4, header.timestamp);
    big_endian::Put32(at + 8, header.ssrc);
    return static_cast<int>(length);
}

std::optional<RtpPacket> RtpPacket::Parse(std::span<const uint8_t> datagram) {
    const size_t length = datagram.size();
    if (length < static_cast<size_t>(RtpHeader::kBytes) ||
        length > static_cast<size_t>(session_wire::kMaxDatagramBytes))
        return std::nullopt;
    const uint8_t* at = datagram.data();
    if ((at[0] & kVersionMask) != kVersion2)
        return std::nullopt;
    size_t start = RtpHeader::kBytes + (at[0] & kCsrcCountMask) * kCsrcBytes;
    if (start > length)
        return std::nullopt;
    if ((at[0] & kExtensionBit) != 0) {
        if (length - start < kExtensionHeaderBytes)
            return std::nullopt;
        const size_t words = big_endian::Get16(at + start + 2);
        start += kExtensionHeaderBytes;
        if (length - start < words * 4)
            return std::nullopt;
        start += words * 4;
    }
    size_t end = length;
    if ((at[0] & kPaddingBit) != 0) {
        // The last byte counts the padding, itself included; it must lie after the header. (When nothing
        // follows the header, the header's own last byte is read as the count: 0, or too many, either way.)
        const size_t padding = at[length - 1];
        if (padding == 0 || padding > end - start)
            return std::nullopt;
        end -= padding;
    }
    RtpPacket packet;
    packet.header.marker = (at[1] & kMarkerBit) != 0;
    packet.header.payloadType = at[1] & kPayloadTypeMask;
    packet.header.sequence = big_endian::Get16(at + 2);
    packet.header.timestamp = big_endian::Get32(at + 4);
    packet.header.ssrc = big_endian::Get32(at + 8);
    packet.payload = datagram.subspan(start, end - start);
    return packet;
}

#include "link/SdpDescription.h"

#include <cctype>
#include <optional>
#include <string_view>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/ByteString.h"
#include "link/SessionWire.h"

namespace {

// The longest numeric address text: an IPv6 address with an IPv4 tail.
constexpr size_t kLongestAddress = 45;

// The encoding name a codec type goes by in rtpmap. Our raw samples are in the machine's little-endian
// order, which is not L16's network order, and our LPC-10 packs its bits in an order of its own; the
// delta code is ours alone: those three carry names no tool will take for a standard one.
std::string_view EncodingName(int formatCode) {
    switch (format_code::Type(formatCode)) {
        case format_code::kRaw:
            return "X-QPARLIN-L16LE";
        case format_code::kDelta:
            return "X-QPARLIN-DELTA";
        case format_code::kGsm:
            return "GSM";
        case format_code::kIlbc20:
        case format_code::kIlbc30:
            return "iLBC";
        case format_code::kG711:
            return "PCMU";
        case format_code::kOpus:
            return "opus";
        default:
            return "X-QPARLIN-LPC10";
    }
}

// Whether `address` reads as a numeric address: digits and dots, or hex digits, colons and dots for IPv6.
bool NumericAddress(std::string_view address, bool ipv6) {
    if (address.empty() || address.size() > kLongestAddress)
        return false;
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        const bool allowed =
            ipv6 ? (std::isxdigit(byte) != 0 || c == ':' || c == '.') : (std::isdigit(byte) != 0 || c == '.');
        if (!allowed)
            return false;
    }
    return true;
}

}  // namespace

std::string SdpDescription::Text() const {
    const std::optional<uint8_t> payloadType = session_wire::PayloadTypeOf(formatCode);
    const bool ipv6 = address.find(':') != std::string::npos;
    if (!payloadType || port < 1 || port > 65535 || !NumericAddress(address, ipv6))
        return {};
    const int pt = *payloadType;
    const int rate = format_code::Rate(formatCode);
    const int frameMs = (FrameLengthOf(formatCode) * 1000 + rate / 2) / rate;
    const bool opus = format_code::IsOpus(formatCode);
    const char* family = ipv6 ? "IP6" : "IP4";
    const std::string name(EncodingName(formatCode));

    std::string text;
    text += "v=0\r\n";
    text += FormatText("o=- %llu 1 IN %s %s\r\n", static_cast<unsigned long long>(sessionId), family,
                       address.c_str());
    text += "s=Q-Parlin call\r\n";
    text += FormatText("c=IN %s %s\r\n", family, address.c_str());
    text += "t=0 0\r\n";
    text += FormatText("m=audio %d RTP/AVP %d\r\n", port, pt);
    if (opus) {
        // RFC 7587: always 48000/2 in rtpmap, whatever the coder's rate; the rate we code at and what the
        // sender does go in fmtp.
        text += FormatText("a=rtpmap:%d opus/48000/2\r\n", pt);
        text += FormatText("a=fmtp:%d maxplaybackrate=%d;sprop-maxcapturerate=%d;useinbandfec=1;usedtx=1\r\n",
                           pt, rate, rate);
    } else {
        text += FormatText("a=rtpmap:%d %s/%d\r\n", pt, name.c_str(), rate);
    }
    const int type = format_code::Type(formatCode);
    if (type == format_code::kIlbc20 || type == format_code::kIlbc30)
        text += FormatText("a=fmtp:%d mode=%d\r\n", pt, type == format_code::kIlbc20 ? 20 : 30);
    text += FormatText("a=ptime:%d\r\n", frameMs);
    text += "a=recvonly\r\n";
    return text;
}

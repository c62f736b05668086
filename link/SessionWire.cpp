#include "link/SessionWire.h"

#include "audio/FormatCode.h"

namespace session_wire {

namespace {

// The formats with a static payload type of their own (RFC 3551).
constexpr int kPcmu8000 = format_code::k16Bit | format_code::kG711;
constexpr int kGsm8000 = format_code::k16Bit | format_code::kGsm;
constexpr uint8_t kPcmuPayloadType = 0;
constexpr uint8_t kGsmPayloadType = 3;

constexpr int kFirstDynamic = 96;
constexpr int kRatesPerType = 4;
constexpr int kRateShift = 5;

// RFC 5761: second bytes 192 to 223 are RTCP packet types (payload types 64 to 95 with the marker set).
constexpr uint8_t kFirstRtcpType = 192;
constexpr uint8_t kLastRtcpType = 223;

int DynamicPayloadType(int formatCode) {
    return kFirstDynamic + format_code::Type(formatCode) * kRatesPerType +
           ((formatCode & format_code::kRateMask) >> kRateShift);
}

}  // namespace

DatagramKind Classify(std::span<const uint8_t> datagram) {
    if (datagram.empty())
        return DatagramKind::kEmpty;
    const uint8_t first = datagram[0];
    switch (first) {
        case kPlainAudioType:
            return DatagramKind::kPlainAudio;
        case kMarkerType:
            return DatagramKind::kMarker;
        case kSealedType:
            return DatagramKind::kSealed;
        case kControlType:
            return DatagramKind::kControl;
        default:
            break;
    }
    if ((first & 0xC0) != 0x80 || datagram.size() < 2)
        return DatagramKind::kOther;
    const uint8_t second = datagram[1];
    return second >= kFirstRtcpType && second <= kLastRtcpType ? DatagramKind::kRtcp : DatagramKind::kRtp;
}

std::optional<uint8_t> PayloadTypeOf(int formatCode) {
    if (formatCode < 0 || formatCode > 0xFF || (formatCode & format_code::k16Bit) == 0 ||
        format_code::Type(formatCode) > format_code::kOpus)
        return std::nullopt;
    if (formatCode == kPcmu8000)
        return kPcmuPayloadType;
    if (formatCode == kGsm8000)
        return kGsmPayloadType;
    return static_cast<uint8_t>(DynamicPayloadType(formatCode));
}

std::optional<int> FormatCodeOfPayloadType(int payloadType) {
    if (payloadType == kPcmuPayloadType)
        return kPcmu8000;
    if (payloadType == kGsmPayloadType)
        return kGsm8000;
    const int index = payloadType - kFirstDynamic;
    if (index < 0 || index >= (format_code::kOpus + 1) * kRatesPerType)
        return std::nullopt;
    const int code = format_code::k16Bit | ((index % kRatesPerType) << kRateShift) | (index / kRatesPerType);
    // The two formats with static types never travel under their dynamic number.
    if (code == kPcmu8000 || code == kGsm8000)
        return std::nullopt;
    return code;
}

}  // namespace session_wire

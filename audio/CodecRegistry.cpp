#include "audio/CodecRegistry.h"

#include <array>
#include <vector>

#include "audio/DeltaCodec.h"
#include "audio/FormatCode.h"
#include "audio/G711Codec.h"
#include "audio/GsmCodec.h"
#include "audio/IlbcCodec.h"
#include "audio/Lpc10Codec.h"
#include "audio/OpusCodec.h"
#include "audio/ilbc/IlbcMode.h"
#include "base/ByteString.h"

namespace {

template <typename Codec>
std::unique_ptr<SoundCodec> Make(int) {
    return std::make_unique<Codec>();
}

std::unique_ptr<SoundCodec> MakeOpus(int formatCode) {
    return std::make_unique<OpusCodec>(format_code::Rate(formatCode));
}

template <int Milliseconds>
std::unique_ptr<SoundCodec> MakeIlbc(int) {
    auto codec = std::make_unique<IlbcCodec>();
    codec->SetMode(Milliseconds);
    return codec;
}

// Raw samples: 1000 per frame, their bytes the payload.
constexpr int kRawFrame = 1000;

// Opus's frame of 20 ms at 48000 Hz.
constexpr int kOpusFrame48k = 960;

constexpr std::array<CodecType, 8> kCodecTypes{{
    {format_code::kRaw, "raw PCM", "", kRawFrame, kRawFrame, nullptr},
    {format_code::kDelta, "delta code", "", 800, 0, &Make<DeltaCodec>},
    {format_code::kGsm, "GSM 06.10", "gsm", 160, GsmCodec::kFrameBytes, &Make<GsmCodec>},
    {format_code::kIlbc20, "iLBC 20 ms", "", ilbc::kParams20.blockLen, ilbc::kParams20.frameBytes,
     &MakeIlbc<20>},
    {format_code::kIlbc30, "iLBC 30 ms", "ilbc", ilbc::kParams30.blockLen, ilbc::kParams30.frameBytes,
     &MakeIlbc<30>},
    {format_code::kG711, "G.711 mu-law", "g711", 800, 800, &Make<G711Codec>},
    {format_code::kLpc10, "LPC-10", "", 180, Lpc10Codec::kFrameBytes, &Make<Lpc10Codec>},
    {format_code::kOpus, "Opus", "opus", kOpusFrame48k, 0, &MakeOpus},
}};

// Each type stands at its own index, where FindCodecType looks for it.
constexpr bool InTypeOrder() {
    for (size_t i = 0; i < kCodecTypes.size(); ++i) {
        if (kCodecTypes[i].type != static_cast<int>(i))
            return false;
    }
    return true;
}
static_assert(InTypeOrder(), "the codec table is out of type order");

// The named types in the help's order, and the rates each is named at.
constexpr std::array<int, 3> kNamedTypes{format_code::kIlbc30, format_code::kG711, format_code::kGsm};
struct NamedRate {
    std::string_view suffix;
    int bits;
};
constexpr std::array<NamedRate, 3> kNamedRates{{{"_8khz", 0x00}, {"_11khz", 0x20}, {"_22khz", 0x40}}};

std::array<NamedFormat, kNamedTypes.size() * kNamedRates.size()> MakeNamedFormats() {
    std::array<NamedFormat, kNamedTypes.size() * kNamedRates.size()> formats;
    size_t at = 0;
    for (const int type : kNamedTypes) {
        for (const NamedRate& rate : kNamedRates) {
            formats[at++] = {
                std::string(kCodecTypes[static_cast<size_t>(type)].name) + std::string(rate.suffix),
                format_code::k16Bit | rate.bits | type};
        }
    }
    return formats;
}

// Opus's names: its 48000 Hz format plainly, and the two lower rates that save work where wideband or
// super-wideband sound is enough.
constexpr int kOpusBase = format_code::k16Bit | format_code::kOpus;
const std::array<NamedFormat, 3> kOpusFormats{{
    {"opus", kOpusBase},
    {"opus_16khz", kOpusBase | 0x20},
    {"opus_24khz", kOpusBase | 0x40},
}};

}  // namespace

std::span<const CodecType> CodecTypes() {
    return kCodecTypes;
}

const CodecType* FindCodecType(int formatCode) {
    const auto type = static_cast<size_t>(format_code::Type(formatCode));
    return type < kCodecTypes.size() ? &kCodecTypes[type] : nullptr;
}

std::span<const NamedFormat> NamedFormats() {
    static const auto formats = [] {
        std::vector<NamedFormat> all;
        for (const NamedFormat& format : MakeNamedFormats())
            all.push_back(format);
        all.insert(all.end(), kOpusFormats.begin(), kOpusFormats.end());
        return all;
    }();
    return formats;
}

std::optional<int> FormatCodeOfName(std::string_view name) {
    for (const NamedFormat& format : NamedFormats()) {
        if (EqualsIgnoringCase(name, format.name))
            return format.formatCode;
    }
    return std::nullopt;
}

std::unique_ptr<SoundCodec> CreateCodec(int formatCode) {
    const CodecType* codec = FindCodecType(formatCode);
    return codec != nullptr && codec->make != nullptr ? codec->make(formatCode) : nullptr;
}

bool CodecAvailable(int formatCode) {
    // Opus codes without the 16-bit flag: no session offers them, so such a call could only fall back.
    if (format_code::IsOpus(formatCode) && (formatCode & format_code::k16Bit) == 0)
        return false;
    return FindCodecType(formatCode) != nullptr;
}

bool PlainWireFormat(int formatCode) {
    return !format_code::IsOpus(formatCode);
}

int FrameLengthOf(int formatCode) {
    const CodecType* codec = FindCodecType(formatCode);
    if (codec == nullptr)
        return 0;
    if (format_code::IsOpus(formatCode))
        return codec->frameLength * format_code::Rate(formatCode) / 48000;
    return codec->frameLength;
}

int FixedPayloadSize(int formatCode) {
    const CodecType* codec = FindCodecType(formatCode);
    if (codec == nullptr)
        return 0;
    if (codec->make == nullptr)
        return codec->payloadBytes * format_code::Width(formatCode) / 8;
    return codec->payloadBytes;
}

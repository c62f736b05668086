#include "audio/CodecRegistry.h"

#include "audio/DeltaCodec.h"
#include "audio/FormatCode.h"
#include "audio/G711Codec.h"
#include "audio/GsmCodec.h"
#include "audio/IlbcCodec.h"
#include "audio/Lpc10Codec.h"

std::unique_ptr<SoundCodec> CreateCodec(int formatCode) {
    switch (format_code::Type(formatCode)) {
    case format_code::kDelta:
        return std::make_unique<DeltaCodec>();
    case format_code::kG711:
        return std::make_unique<G711Codec>();
    case format_code::kGsm:
        return std::make_unique<GsmCodec>();
    case format_code::kIlbc20:
    case format_code::kIlbc30: {
        auto codec = std::make_unique<IlbcCodec>();
        codec->SetMode(format_code::Type(formatCode) == format_code::kIlbc20 ? 20 : 30);
        return codec;
    }
    case format_code::kLpc10:
        return std::make_unique<Lpc10Codec>();
    default:
        return nullptr;
    }
}

bool CodecAvailable(int formatCode) {
    const int type = format_code::Type(formatCode);
    return type >= format_code::kRaw && type <= format_code::kLpc10;
}

int FixedPayloadSize(int formatCode) {
    const int type = format_code::Type(formatCode);
    switch (type) {
    case format_code::kRaw:
        return format_code::FrameLength(type) * format_code::Width(formatCode) / 8;
    case format_code::kG711:
        return format_code::FrameLength(type);
    case format_code::kGsm:
        return GsmCodec::kFrameBytes;
    case format_code::kIlbc20:
        return ilbc::kParams20.frameBytes;
    case format_code::kIlbc30:
        return ilbc::kParams30.frameBytes;
    case format_code::kLpc10:
        return Lpc10Codec::kFrameBytes;
    default:
        return 0;
    }
}

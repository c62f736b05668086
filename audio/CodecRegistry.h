// Which codec object a format code's type needs, and what its payloads look like. The audio pipeline and
// qparlin-codec both make their codecs here, so that a file coded by the tool is what goes on the wire.
#pragma once

#include <memory>

#include "audio/SoundCodec.h"

// A new codec for the code's type, or null for the types that send raw samples (type 0) or have no coder
// (types 7 to 31, and types whose coder this build lacks).
std::unique_ptr<SoundCodec> CreateCodec(int formatCode);
// Whether this build can send and receive the code's type: raw samples, or a type whose coder it has.
bool CodecAvailable(int formatCode);
// Bytes in every payload of the code, or 0 when payloads vary in size (the delta code) or the type has no
// codec.
int FixedPayloadSize(int formatCode);

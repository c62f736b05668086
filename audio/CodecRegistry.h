// The codec table: what each codec type of the format code is (its frame, its payloads, how its coder is
// made) and the names the command line gives the formats. The pipeline, the command line, qparlin-codec and
// the help all read it here, so that a codec is described in one place.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audio/SoundCodec.h"

// One codec type (bits 0-4 of a format code).
struct CodecType {
    int type;
    std::string_view title;  // "iLBC 30 ms", as the help names it
    std::string_view name;   // the command line's name stem ("ilbc"), empty for types no name selects
    int frameLength;         // samples per frame: every capture and playback buffer holds one (Opus: at
                             // 48000 Hz; FrameLengthOf gives it at the format's rate)
    int payloadBytes;        // bytes of every payload; 0: they vary; raw samples: frame × sample bytes
    std::unique_ptr<SoundCodec> (*make)(int formatCode);  // null for raw samples, which need no coder
};

// A format the command line names: "ilbc_11khz" is 0xA4.
struct NamedFormat {
    std::string name;
    int formatCode;
};

// Every codec type this build has, by type.
std::span<const CodecType> CodecTypes();
// The entry of the code's type, or null for the types without a codec (7 to 31).
const CodecType* FindCodecType(int formatCode);

// The names of the command line, in the help's order: each classic named type at 8000, 11025 and 22050
// Hz, then Opus ("opus" at 48000 Hz, "opus_16khz", "opus_24khz"), all with 16-bit samples.
std::span<const NamedFormat> NamedFormats();
// The format code of a name, in any letter case.
std::optional<int> FormatCodeOfName(std::string_view name);

// A new codec for the code's type, or null for the types that send raw samples (type 0) or have no coder
// (types 7 to 31).
std::unique_ptr<SoundCodec> CreateCodec(int formatCode);
// Whether this build can send and receive the code's type: raw samples, or a type whose coder it has
// (Opus only with 16-bit samples).
bool CodecAvailable(int formatCode);
// Whether the code's type may go on the plain wire: everything but Opus, which only a session that both
// sides agreed carries.
bool PlainWireFormat(int formatCode);
// Samples per frame of the code's type at the code's rate, or 0 for a type without a codec (the frame length
// then stays).
int FrameLengthOf(int formatCode);
// Bytes in every payload of the code, or 0 when payloads vary in size (the delta code) or the type has no
// codec.
int FixedPayloadSize(int formatCode);

// Every codec's decoders on arbitrary payloads. The first byte is the format code (type, rate and width);
// the rest is a run of payloads, each behind a two-byte big-endian header: bit 15 picks Decode8 over
// Decode16, the low 15 bits give the payload's length (cut to what is left), and an odd length also
// appends to the previous output. Decoding payloads one after another on the same object exercises the
// state a decoder carries from frame to frame.
#include <cstddef>
#include <cstdint>

#include "audio/CodecRegistry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    std::unique_ptr<SoundCodec> codec = CreateCodec(data[0]);
    if (!codec)
        return 0;
    ByteBuffer bytes;
    SampleBuffer samples;
    size_t at = 1;
    while (at + 2 <= size) {
        const unsigned header = (static_cast<unsigned>(data[at]) << 8) | data[at + 1];
        at += 2;
        const size_t wanted = header & 0x7FFF;
        const int length = static_cast<int>(wanted < size - at ? wanted : size - at);
        const bool append = (header & 1) != 0 && bytes.Length() < 65536 && samples.Length() < 65536;
        if ((header & 0x8000) != 0) {
            const int produced = codec->Decode8(data + at, length, bytes, append);
            if (produced < 0 || produced > bytes.Length())
                __builtin_trap();
        } else {
            const int produced = codec->Decode16(data + at, length, samples, append);
            if (produced < 0 || produced > samples.Length())
                __builtin_trap();
        }
        at += static_cast<size_t>(length);
    }
    // A trailing single byte still reaches both decoders.
    if (at < size) {
        codec->Decode8(data + at, static_cast<int>(size - at), bytes, false);
        codec->Decode16(data + at, static_cast<int>(size - at), samples, false);
    }
    return 0;
}

// Processor time a codec takes per second of call, on recorded speech: one process of a call encodes what
// it captures and decodes what it plays, so both directions are timed over the same speech, frame by
// frame as the pipeline hands them over, repeated until at least two seconds of processor time were spent.
//
//   codec_cpu FORMAT IN.wav
//       FORMAT is a codec name or format code (16-bit); IN is mono at the format's rate. Prints
//       encode_ms_per_s, decode_ms_per_s and their sum (call_ms_per_s): milliseconds of this thread's
//       processor time per second of audio.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"
#include "speech_files.h"

namespace {

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: codec_cpu FORMAT IN.wav\n");
        return 2;
    }
    const std::optional<int> named = FormatCodeOfName(argv[1]);
    const int format = named ? *named : static_cast<int>(std::strtol(argv[1], nullptr, 0));
    const int rate = format_code::Rate(format);
    const int frame = FrameLengthOf(format);
    std::unique_ptr<SoundCodec> coder = CreateCodec(format);
    if (!coder || frame <= 0 || rate <= 0 || format_code::Width(format) != 16) {
        std::fprintf(stderr, "codec_cpu: %s is no 16-bit codec\n", argv[1]);
        return 2;
    }
    const std::optional<std::vector<int16_t>> read = speech_files::Read("codec_cpu", argv[2], rate);
    if (!read)
        return 2;
    const std::vector<int16_t>& in = *read;
    if (in.size() < static_cast<size_t>(frame)) {
        std::fprintf(stderr, "codec_cpu: %s holds less than a frame\n", argv[2]);
        return 2;
    }
    const size_t frames = in.size() / static_cast<size_t>(frame);

    // Every payload once, so that the decode pass times decoding alone.
    std::vector<std::vector<uint8_t>> payloads;
    ByteBuffer payload;
    for (size_t f = 0; f < frames; ++f) {
        coder->Encode16(in.data() + f * static_cast<size_t>(frame), frame, payload, false);
        payloads.emplace_back(payload.Data(), payload.Data() + payload.Length());
    }

    double encodeCpu = 0, decodeCpu = 0, audioSeconds = 0;
    SampleBuffer decoded;
    std::unique_ptr<SoundCodec> encoder = CreateCodec(format);
    std::unique_ptr<SoundCodec> decoder = CreateCodec(format);
    for (int pass = 0; pass < 1000 && encodeCpu + decodeCpu < 2.0; ++pass) {
        double start = ThreadCpuSeconds();
        for (size_t f = 0; f < frames; ++f)
            encoder->Encode16(in.data() + f * static_cast<size_t>(frame), frame, payload, false);
        encodeCpu += ThreadCpuSeconds() - start;
        start = ThreadCpuSeconds();
        for (const std::vector<uint8_t>& p : payloads)
            decoder->Decode16(p.data(), static_cast<int>(p.size()), decoded, false);
        decodeCpu += ThreadCpuSeconds() - start;
        audioSeconds += static_cast<double>(frames * static_cast<size_t>(frame)) / rate;
    }
    std::printf("encode_ms_per_s=%.3f decode_ms_per_s=%.3f call_ms_per_s=%.3f\n",
                1000 * encodeCpu / audioSeconds, 1000 * decodeCpu / audioSeconds,
                1000 * (encodeCpu + decodeCpu) / audioSeconds);
    return 0;
}

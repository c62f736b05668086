// What a perfect playout buffer would play of speech on a lossy path, for bench/measure_relay_speech.sh:
// every frame in its slot, the lost ones concealed as a playback stream conceals them (StreamConcealment:
// the codec's own concealment, or the general one). It takes no clock, so it shows the concealment alone,
// the same on a busy machine as on an idle one.
//
//   lossy_speech FORMAT IN.wav SEED CLEAN.wav LOSSY.wav
//       FORMAT is a codec name or format code (16-bit); IN is mono at the format's rate. CLEAN is every
//       frame decoded, LOSSY the same with frames lost as tests/soak/udp_relay.py loses them in the bench
//       (2 % lost, a third of the losses in bursts of 3), drawn from SEED. Prints the frames and losses.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "audio/StreamConcealment.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"
#include "speech_files.h"

namespace {

constexpr double kDrop = 0.02;
constexpr double kBurst = 0.33;
constexpr int kBurstLength = 3;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: lossy_speech FORMAT IN.wav SEED CLEAN.wav LOSSY.wav\n");
        return 2;
    }
    const std::optional<int> named = FormatCodeOfName(argv[1]);
    const int format = named ? *named : static_cast<int>(std::strtol(argv[1], nullptr, 0));
    const int rate = format_code::Rate(format);
    const int frame = FrameLengthOf(format);
    std::unique_ptr<SoundCodec> coder = CreateCodec(format);
    std::unique_ptr<SoundCodec> clean = CreateCodec(format);
    std::unique_ptr<SoundCodec> lossy = CreateCodec(format);
    if (!coder || !clean || !lossy || frame <= 0 || format_code::Width(format) != 16) {
        std::fprintf(stderr, "lossy_speech: %s is no 16-bit codec\n", argv[1]);
        return 2;
    }

    const std::optional<std::vector<int16_t>> read = speech_files::Read("lossy_speech", argv[2], rate);
    if (!read)
        return 2;
    const std::vector<int16_t>& in = *read;

    // The relay's rule: a loss starts with this chance, and is a burst with the burst's chance.
    const double start = kDrop / (1 - kBurst + kBurst * kBurstLength);
    std::mt19937_64 random(std::strtoull(argv[3], nullptr, 10));
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    StreamConcealment concealment(lossy.get(), rate);
    ByteBuffer payload;
    SampleBuffer decoded;
    std::vector<int16_t> cleanOut, lossyOut;
    std::vector<int16_t> slot(static_cast<size_t>(frame));
    int frames = 0, lost = 0, toLose = 0;
    for (size_t at = 0; at + static_cast<size_t>(frame) <= in.size(); at += static_cast<size_t>(frame)) {
        ++frames;
        coder->Encode16(in.data() + at, frame, payload, false);
        clean->Decode16(payload.Data(), payload.Length(), decoded, false);
        cleanOut.insert(cleanOut.end(), decoded.Data(), decoded.Data() + decoded.Length());
        if (toLose == 0 && uniform(random) < start)
            toLose = uniform(random) < kBurst ? kBurstLength : 1;
        if (toLose > 0) {
            --toLose;
            ++lost;
            concealment.Conceal(slot.data(), frame);
        } else {
            lossy->Decode16(payload.Data(), payload.Length(), decoded, false);
            const int count = std::min(decoded.Length(), frame);
            std::copy(decoded.Data(), decoded.Data() + count, slot.begin());
            std::fill(slot.begin() + count, slot.end(), 0);
            concealment.Received(slot.data(), frame);
        }
        lossyOut.insert(lossyOut.end(), slot.begin(), slot.end());
    }
    if (!speech_files::Write("lossy_speech", argv[4], cleanOut, rate) ||
        !speech_files::Write("lossy_speech", argv[5], lossyOut, rate))
        return 1;
    std::printf("frames=%d lost=%d\n", frames, lost);
    return 0;
}

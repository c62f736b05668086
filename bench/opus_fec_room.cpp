// Measures the bit rate libopus needs before it spends bits on in-band FEC: recorded speech through
// OpusCodec as a call sets it up (48000 Hz, 20 ms, OpusCodec::kComplexity, DTX), at each expected loss, at
// bit rates from 12 to 48 kbit/s. A frame carries FEC when rebuilding it from its packet's redundancy gives
// other samples than plain concealment from the same decoder state. These are the figures behind
// CallSession::OpusFecRoomBitRate.
//
//   opus_fec_room IN.wav [LOSS_PERCENT...]
//       IN is mono speech at 48000 Hz (default losses: 1 to 30). For each loss it prints the lowest bit rate
//       (500 bit/s steps) at which at least 90 % of the speech frames carry FEC, and the lowest at which
//       they also keep at least a wideband (8 kHz) audio band.
#include <opus/opus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "audio/OpusCodec.h"
#include "base/ByteBuffer.h"
#include "speech_files.h"

namespace {

constexpr int kRate = 48000;
constexpr int kFrame = 960;
constexpr int kLowestBitRate = 12000;
constexpr int kHighestBitRate = 48000;
constexpr int kStep = 500;
constexpr double kSpeechPower = 1e5;  // a frame louder than this (mean square) is speech
constexpr double kMost = 0.9;

struct Share {
    double fec = 0;          // of the speech frames, those that carry FEC
    double fecWideband = 0;  // those that carry FEC at wideband or wider
};

Share Measure(const std::vector<int16_t>& speech, int lossPercent, int bitRate) {
    OpusCodec coder(kRate);
    coder.AdaptSender(lossPercent, bitRate);
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(kRate, 1, &error);
    const size_t stateBytes = static_cast<size_t>(opus_decoder_get_size(1));
    std::vector<unsigned char> copy(stateBytes);
    std::vector<int16_t> rebuilt(kFrame), concealed(kFrame);
    ByteBuffer packet;
    int frames = 0, fec = 0, fecWideband = 0;
    for (size_t at = 0; at + kFrame <= speech.size(); at += kFrame) {
        const int length = coder.Encode16(speech.data() + at, kFrame, packet, false);
        const unsigned char* bytes = packet.Data();
        double power = 0;
        for (size_t i = at; i < at + kFrame; ++i)
            power += static_cast<double>(speech[i]) * speech[i];
        if (length > 2 && power / kFrame > kSpeechPower) {
            // The decoder's state is one flat block: a copy decodes the same as the original would.
            std::memcpy(copy.data(), decoder, stateBytes);
            const int a = opus_decode(reinterpret_cast<OpusDecoder*>(copy.data()), bytes, length,
                                      rebuilt.data(), kFrame, 1);
            std::memcpy(copy.data(), decoder, stateBytes);
            const int b = opus_decode(reinterpret_cast<OpusDecoder*>(copy.data()), nullptr, 0,
                                      concealed.data(), kFrame, 0);
            ++frames;
            if (a == kFrame && b == kFrame && rebuilt != concealed) {
                ++fec;
                if (opus_packet_get_bandwidth(bytes) >= OPUS_BANDWIDTH_WIDEBAND)
                    ++fecWideband;
            }
        }
        if (opus_decode(decoder, length > 2 ? bytes : nullptr, length > 2 ? length : 0, rebuilt.data(),
                        kFrame, 0) != kFrame)
            break;
    }
    opus_decoder_destroy(decoder);
    Share share;
    if (frames > 0) {
        share.fec = static_cast<double>(fec) / frames;
        share.fecWideband = static_cast<double>(fecWideband) / frames;
    }
    return share;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: opus_fec_room IN.wav [LOSS_PERCENT...]\n");
        return 2;
    }
    const std::optional<std::vector<int16_t>> speech = speech_files::Read("opus_fec_room", argv[1], kRate);
    if (!speech)
        return 2;
    std::vector<int> losses;
    for (int i = 2; i < argc; ++i)
        losses.push_back(std::atoi(argv[i]));
    if (losses.empty())
        for (int loss = 1; loss <= 30; ++loss)
            losses.push_back(loss);
    std::printf("loss %%  FEC from (bit/s)  FEC at wideband or wider from (bit/s)\n");
    for (const int loss : losses) {
        int any = 0, wide = 0;
        for (int rate = kLowestBitRate; rate <= kHighestBitRate && wide == 0; rate += kStep) {
            const Share share = Measure(*speech, loss, rate);
            if (any == 0 && share.fec >= kMost)
                any = rate;
            if (share.fecWideband >= kMost)
                wide = rate;
        }
        std::printf("%6d  %16d  %37d\n", loss, any, wide);
        std::fflush(stdout);
    }
    return 0;
}

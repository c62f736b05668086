// The playout buffer alone on a fake clock, against speech on a lossy, jittery path: what the listener of a
// call would play, without the sound devices' and the machine's timing, so that a change to the buffer is
// measured the same on a busy machine as on an idle one (the real calls of bench/measure_relay_speech.sh
// are not).
//
//   playout_speech FORMAT IN.wav SEED CLEAN.wav PLAYED.wav [numbered|plain] [JITTER_MS] [DROP] [FEC_LOSS]
//       FORMAT is a codec name or format code (16-bit); IN is mono at the format's rate. Frame k leaves at
//       k frame lengths and is held 0..JITTER_MS (default 40), never overtaking the one before, as
//       tests/soak/udp_relay.py --no-overtake does; DROP (default 0.02) of the frames are lost, a third of
//       the losses in bursts of 3, drawn from SEED. `numbered` (the default) hands the buffer encoded,
//       numbered frames as a session or private call does; `plain` decodes each frame as it arrives, as
//       the plain wire must. The device takes a 5 ms piece every 5 ms from the first arrival on. CLEAN is
//       every frame decoded, PLAYED what the device played; compare them with `call_audio damage`.
//       FEC_LOSS is the loss in percent an Opus sender expects and sizes its in-band FEC for (default: DROP
//       rounded up, as the peer's reports would set it; 0 switches FEC off); a numbered buffer rebuilds a
//       lost frame from the next one's FEC when that one is already there. Opus's DTX packets of 1 or 2
//       bytes are not sent, as in a session, and its frames take their slots from their timestamps (the
//       frame's index), so the buffer conceals the unsent ones in place: the decoder's comfort noise.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "audio/AudioPipeline.h"
#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "audio/OpusCodec.h"
#include "audio/PlayoutBuffer.h"
#include "audio/StreamConcealment.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"
#include "link/CallSession.h"
#include "speech_files.h"

namespace {

constexpr double kBurst = 0.33;
constexpr int kBurstLength = 3;
// An Opus packet this short is DTX's "nothing to say", which a session does not send.
constexpr int kDtxBytes = 2;
constexpr int kPiecesAhead = 2;  // as the pipeline keeps at its players

// Decodes numbered frames when their slots come, as the pipeline's stream decoder does.
class CodecDecoder final : public PlayoutBuffer::Decoder {
public:
    explicit CodecDecoder(SoundCodec& codec) : codec_(codec) {}
    const int16_t* Decode(const uint8_t* payload, int length, int& count) override {
        count = 0;
        if (!codec_.Decode16(payload, length, samples_, false) || samples_.Length() <= 0)
            return nullptr;
        count = samples_.Length();
        return samples_.Data();
    }
    const int16_t* RecoverFromNext(const uint8_t* next, int length, int& count) override {
        count = codec_.ConcealFromNext16(next, length, samples_, false);
        return count > 0 ? samples_.Data() : nullptr;
    }

private:
    SoundCodec& codec_;
    SampleBuffer samples_;
};

struct Frame {
    int64_t arrivalUs = 0;
    uint64_t sequence = 0;
    bool restart = false;  // the first frame heard: the buffer starts its timeline there
    std::vector<uint8_t> payload;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc > 10) {
        std::fprintf(stderr,
                     "usage: playout_speech FORMAT IN.wav SEED CLEAN.wav PLAYED.wav [numbered|plain] "
                     "[JITTER_MS] [DROP] [FEC_LOSS]\n");
        return 2;
    }
    const std::optional<int> named = FormatCodeOfName(argv[1]);
    const int format = named ? *named : static_cast<int>(std::strtol(argv[1], nullptr, 0));
    const bool numbered = argc < 7 || std::strcmp(argv[6], "plain") != 0;
    const double jitterMs = argc >= 8 ? std::clamp(std::atof(argv[7]), 0.0, 1000.0) : 40.0;
    const double drop = argc >= 9 ? std::clamp(std::atof(argv[8]), 0.0, 0.5) : 0.02;
    const int fecLoss =
        argc >= 10 ? std::clamp(std::atoi(argv[9]), 0, 100) : static_cast<int>(std::ceil(drop * 100 - 1e-9));
    const int rate = format_code::Rate(format);
    const int frame = FrameLengthOf(format);
    std::unique_ptr<SoundCodec> coder = CreateCodec(format);
    std::unique_ptr<SoundCodec> clean = CreateCodec(format);
    std::unique_ptr<SoundCodec> player = CreateCodec(format);
    if (!coder || !clean || !player || frame <= 0 || rate <= 0 || format_code::Width(format) != 16) {
        std::fprintf(stderr, "playout_speech: %s is no 16-bit codec\n", argv[1]);
        return 2;
    }
    // The sender's bit rate is the codec's default, or the FEC's room for the expected loss as a session's
    // sender keeps it.
    if (format_code::IsOpus(format))
        coder->AdaptSender(
            fecLoss, std::max(OpusCodec::kDefaultBitRate, CallSession::OpusFecRoomBitRate(fecLoss, rate)));

    const std::optional<std::vector<int16_t>> read = speech_files::Read("playout_speech", argv[2], rate);
    if (!read)
        return 2;
    const std::vector<int16_t>& in = *read;

    // The sender and the path: every frame encoded in turn, lost or held as the relay would.
    const double frameUs = 1e6 * frame / rate;
    const double start = drop / (1 - kBurst + kBurst * kBurstLength);
    std::mt19937_64 random(std::strtoull(argv[3], nullptr, 10));
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    ByteBuffer payload;
    SampleBuffer decoded;
    std::vector<int16_t> cleanOut;
    std::vector<Frame> frames;
    int sent = 0, lost = 0, toLose = 0;
    const bool dtx = format_code::IsOpus(format);
    int64_t lastArrivalUs = 0;
    for (size_t at = 0; at + static_cast<size_t>(frame) <= in.size(); at += static_cast<size_t>(frame)) {
        coder->Encode16(in.data() + at, frame, payload, false);
        if (clean->Decode16(payload.Data(), payload.Length(), decoded, false))
            cleanOut.insert(cleanOut.end(), decoded.Data(), decoded.Data() + decoded.Length());
        if (dtx && payload.Length() <= kDtxBytes)
            continue;  // a session sends nothing while Opus's DTX has nothing to say
        // A session places Opus frames by their timestamps, other formats by their numbers.
        const uint64_t sequence =
            dtx ? static_cast<uint64_t>(at / static_cast<size_t>(frame)) : static_cast<uint64_t>(sent);
        ++sent;
        if (toLose == 0 && uniform(random) < start)
            toLose = uniform(random) < kBurst ? kBurstLength : 1;
        const double hold = uniform(random) * jitterMs * 1000;
        if (toLose > 0) {
            --toLose;
            ++lost;
            continue;
        }
        Frame f;
        f.sequence = sequence;
        f.restart = frames.empty();
        f.arrivalUs = std::max<int64_t>(
            lastArrivalUs,
            std::llround(static_cast<double>(at / static_cast<size_t>(frame)) * frameUs + hold));
        lastArrivalUs = f.arrivalUs;
        f.payload.assign(payload.Data(), payload.Data() + payload.Length());
        frames.push_back(std::move(f));
    }
    if (frames.empty()) {
        std::fprintf(stderr, "playout_speech: no frame arrived\n");
        return 1;
    }

    // The listener: the buffer, its concealment and the codec's decoder, and a device that takes a piece
    // every piece's time once the first frame is there.
    const int piece = std::clamp(rate * PlayoutBuffer::kPieceMs / 1000, 1, frame);
    const double pieceUs = 1e6 * piece / rate;
    PlayoutBuffer buffer(rate, frame, kPiecesAhead * piece);
    StreamConcealment concealment(player.get(), rate);
    CodecDecoder decoder(*player);
    buffer.SetConcealer(&concealment);
    if (format_code::IsOpus(format))
        buffer.SetMaxConcealMs(AudioPipeline::kDtxConcealMs);
    if (numbered)
        buffer.SetDecoder(&decoder);
    std::vector<int16_t> played, out(static_cast<size_t>(piece));
    const auto take = [&](int64_t nowUs) {
        if (!buffer.Take(out.data(), piece, nowUs))
            std::fill(out.begin(), out.end(), 0);
        played.insert(played.end(), out.begin(), out.end());
    };
    double nextTakeUs = static_cast<double>(frames.front().arrivalUs);
    const double endUs = static_cast<double>(frames.back().arrivalUs) + 1e6;
    double depthSum = 0;
    size_t next = 0;
    while (nextTakeUs <= endUs) {
        if (next < frames.size() && static_cast<double>(frames[next].arrivalUs) <= nextTakeUs) {
            const Frame& f = frames[next++];
            const bool wasActive = buffer.Active();
            if (numbered) {
                buffer.ArriveNumbered(f.payload.data(), static_cast<int>(f.payload.size()), f.arrivalUs,
                                      f.sequence, f.restart);
            } else if (player->Decode16(f.payload.data(), static_cast<int>(f.payload.size()), decoded,
                                        false)) {
                buffer.Arrive(decoded.Data(), decoded.Length(), f.arrivalUs);
            }
            depthSum += buffer.GetStatistics().depthMs;
            if (!wasActive && buffer.Active()) {
                // A new start hands the device its share at once.
                for (int i = 0; i < kPiecesAhead; ++i)
                    take(f.arrivalUs);
                nextTakeUs = static_cast<double>(f.arrivalUs) + pieceUs;
            }
            continue;
        }
        take(std::llround(nextTakeUs));
        nextTakeUs += pieceUs;
    }
    if (!speech_files::Write("playout_speech", argv[4], cleanOut, rate) ||
        !speech_files::Write("playout_speech", argv[5], played, rate))
        return 1;
    const PlayoutBuffer::Statistics s = buffer.GetStatistics();
    std::printf(
        "frames=%d lost=%d concealed=%lld recovered=%lld late=%lld lengthened_ms=%.1f shortened_ms=%.1f "
        "mean_depth_ms=%.1f\n",
        sent, lost, static_cast<long long>(s.framesConcealed), static_cast<long long>(s.framesRecovered),
        static_cast<long long>(s.framesLate), 1000.0 * static_cast<double>(s.samplesLengthened) / rate,
        1000.0 * static_cast<double>(s.samplesShortened) / rate,
        depthSum / static_cast<double>(frames.size()));
    return 0;
}

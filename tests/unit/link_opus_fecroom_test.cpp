// The sender's FEC room against the library itself: at the bit rate the rule keeps for a loss, libopus
// really codes in-band FEC into the speech frames (at wideband or wider above 5 % loss). A library whose
// thresholds moved fails here, and the rule's figures are measured again with bench/opus_fec_room.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/OpusCodec.h"
#include "audio_codec_support.h"
#include "base/ByteBuffer.h"
#include "link/CallSession.h"

namespace {

constexpr int kRate = 48000;
constexpr int kFrame = 960;

// The speech-like buzz of the codec tests, with this test's own noise.
std::vector<int16_t> Voice(int frames) {
    return codec_test::Speechlike(kRate, frames, 99);
}

struct FecShare {
    double fec = 0;
    double fecWideband = 0;
};

// Of the frames after the first second, those whose packet rebuilds the frame before it otherwise than
// plain concealment would, from the same decoder state.
FecShare MeasureFec(int lossPercent, int bitRate) {
    const std::vector<int16_t> voice = Voice(100);
    OpusCodec coder(kRate);
    coder.AdaptSender(lossPercent, bitRate);
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(kRate, 1, &error);
    EXPECT_EQ(error, OPUS_OK);
    const size_t stateBytes = static_cast<size_t>(opus_decoder_get_size(1));
    std::vector<unsigned char> copy(stateBytes);
    std::vector<int16_t> rebuilt(kFrame), concealed(kFrame), decoded(kFrame);
    ByteBuffer packet;
    int counted = 0, fec = 0, wide = 0;
    for (int k = 0; k < 100; ++k) {
        const int length =
            coder.Encode16(voice.data() + static_cast<size_t>(k) * kFrame, kFrame, packet, false);
        if (k >= 50 && length > 2) {
            std::memcpy(copy.data(), decoder, stateBytes);
            const int a = opus_decode(reinterpret_cast<OpusDecoder*>(copy.data()), packet.Data(), length,
                                      rebuilt.data(), kFrame, 1);
            std::memcpy(copy.data(), decoder, stateBytes);
            const int b = opus_decode(reinterpret_cast<OpusDecoder*>(copy.data()), nullptr, 0,
                                      concealed.data(), kFrame, 0);
            ++counted;
            if (a == kFrame && b == kFrame && rebuilt != concealed) {
                ++fec;
                if (opus_packet_get_bandwidth(packet.Data()) >= OPUS_BANDWIDTH_WIDEBAND)
                    ++wide;
            }
        }
        EXPECT_EQ(opus_decode(decoder, length > 2 ? packet.Data() : nullptr, length > 2 ? length : 0,
                              decoded.data(), kFrame, 0),
                  kFrame);
    }
    opus_decoder_destroy(decoder);
    FecShare share;
    if (counted > 0) {
        share.fec = static_cast<double>(fec) / counted;
        share.fecWideband = static_cast<double>(wide) / counted;
    }
    return share;
}

}  // namespace

TEST(OpusFecRoomTest, AtTheRoomsRateTheLibraryCodesFecIntoAsManyFramesAsItEverDoes) {
    // The frames the encoder finds worth protecting: as many at the room's rate as at 48 kbit/s, and at
    // wideband or wider.
    for (const int loss : {2, 5, 10, 30}) {
        const FecShare plenty = MeasureFec(loss, 48000);
        ASSERT_GT(plenty.fec, 0.3) << loss;
        const int rate = CallSession::OpusFecRoomBitRate(loss, kRate);
        const FecShare share = MeasureFec(loss, rate);
        EXPECT_GE(share.fec, plenty.fec - 0.05) << loss << " % at " << rate;
        EXPECT_GE(share.fecWideband, plenty.fec - 0.05) << loss << " % at " << rate;
    }
}

TEST(OpusFecRoomTest, BelowTheRoomTheLibrarySpendsNothingOnFecAtTheBandTheRoomIsFor) {
    // At 2 %: at the top rate, at the most the sender raises its rate to, and 500 below the room, none.
    EXPECT_LT(MeasureFec(2, 24000).fec, 0.05);
    EXPECT_LT(MeasureFec(2, CallSession::kOpusFecTopBitRate).fec, 0.05);
    EXPECT_LT(MeasureFec(2, CallSession::OpusFecRoomBitRate(2, kRate) - 500).fec, 0.05);
    // At 10 %: 500 below the room, none at wideband (a narrower band may still carry some).
    EXPECT_LT(MeasureFec(10, CallSession::OpusFecRoomBitRate(10, kRate) - 500).fecWideband, 0.05);
}

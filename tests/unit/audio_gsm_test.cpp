// The GSM 06.10 codec: the signed 33-byte frame, a frame without the signature playing the previous one
// again, what a round trip keeps of a voice, and ffmpeg's own GSM decoder reading our frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio_codec_support.h"

using namespace codec_test;

namespace {

constexpr int kSamples = GsmCodec::kFrameSamples;
constexpr int kBytes = GsmCodec::kFrameBytes;

}  // namespace

TEST(GsmCodecTest, SilenceEncodesToOneSignedFrameThatDecodesTo160Samples) {
    GsmCodec codec;
    const Samples silence(kSamples, 0);
    ByteBuffer frame;
    EXPECT_EQ(codec.Encode16(silence.data(), kSamples, frame, false), 33);
    ASSERT_EQ(frame.Length(), 33);
    EXPECT_EQ(frame[0] >> 4, 0xD);
    SampleBuffer out;
    EXPECT_EQ(codec.Decode16(frame.Data(), kBytes, out, false), 160);
    ASSERT_EQ(out.Length(), 160);
    EXPECT_LT(Rms(out.Data(), 160), 16.0);
}

// The coder is driven with the right samples, in order, with its state running on from frame to frame.
TEST(GsmCodecTest, AVoiceSurvivesTheRoundTrip) {
    const Samples voice = VoiceLike(200 * kSamples, 12000);
    GsmCodec decoder;
    const Samples decoded = DecodeFrames(decoder, EncodeFrames<GsmCodec>(voice));
    ASSERT_EQ(decoded.size(), voice.size());
    double signal = 0, noise = 0;
    for (size_t i = 0; i < voice.size(); ++i) {
        signal += static_cast<double>(voice[i]) * voice[i];
        noise += static_cast<double>(voice[i] - decoded[i]) * (voice[i] - decoded[i]);
    }
    const double snr = 10 * std::log10(signal / noise);
    RecordProperty("snr_db", std::to_string(snr));
    EXPECT_GT(snr, 15.0);
}

TEST(GsmCodecTest, FrameWithoutTheSignaturePlaysThePreviousFrameAgain) {
    const std::vector<Bytes> frames = EncodeFrames<GsmCodec>(VoiceLike(4 * kSamples, 12000));
    GsmCodec codec;
    SampleBuffer out;
    for (int i = 0; i < 3; ++i)
        codec.Decode16(frames[static_cast<size_t>(i)].data(), kBytes, out, false);
    const Samples previous = Contents(out);
    ASSERT_GT(Rms(previous.data(), previous.size()), 100.0);

    for (uint8_t first : {0x00, 0xC5, 0xE0, 0x0D}) {
        Bytes bad = frames[3];
        bad[0] = first;
        EXPECT_EQ(codec.Decode16(bad.data(), kBytes, out, false), 160);
        EXPECT_EQ(Contents(out), previous) << "first byte " << int{first};
        // Also into a buffer that never held it, after what it holds.
        SampleBuffer other;
        const int16_t marker = 1234;
        other.Write(&marker, 1, false);
        EXPECT_EQ(codec.Decode16(bad.data(), kBytes, other, true), 160);
        ASSERT_EQ(other.Length(), 161);
        EXPECT_EQ(Samples(other.Data() + 1, other.Data() + 161), previous);
        // The 8-bit form reports no samples.
        ByteBuffer narrow;
        EXPECT_EQ(codec.Decode8(bad.data(), kBytes, narrow, false), 0);
        EXPECT_EQ(narrow.Length(), 0);
    }
    // The rejected frames did not move the decoder on: the next good frame decodes as if they never came.
    GsmCodec reference;
    const Samples expected = DecodeFrames(reference, frames);
    codec.Decode16(frames[3].data(), kBytes, out, false);
    EXPECT_EQ(Contents(out), Samples(expected.end() - kSamples, expected.end()));
}

// Nothing to replay yet: a fresh or reset decoder plays silence, never what memory happened to hold.
TEST(GsmCodecTest, FrameWithoutTheSignatureRightAfterResetIsSilence) {
    GsmCodec codec;
    const Bytes bad(kBytes, 0x3C);
    const Samples silence(kSamples, 0);
    SampleBuffer out;
    EXPECT_EQ(codec.Decode16(bad.data(), kBytes, out, false), 160);
    EXPECT_EQ(Contents(out), silence);

    DecodeFrames(codec, EncodeFrames<GsmCodec>(VoiceLike(5 * kSamples, 12000)));
    codec.Reset();
    SampleBuffer other;
    EXPECT_EQ(codec.Decode16(bad.data(), kBytes, other, false), 160);
    EXPECT_EQ(Contents(other), silence);
}

// An independent decoder of the same standard hears exactly what we hear, reading our frames as one stream.
TEST(GsmCodecTest, FfmpegDecodesOurFramesToTheSameSamples) {
    if (!RunQuietly("command -v ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/install-deps --test)";
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::vector<Bytes> frames = EncodeFrames<GsmCodec>(VoiceLike(150 * kSamples, 20000));
    const std::string in = dir.Path("voice.gsm");
    const std::string out = dir.Path("voice.raw");
    WriteFile(in, Join(frames));
    ASSERT_TRUE(
        RunQuietly("ffmpeg -nostdin -loglevel error -y -f gsm -i '" + in + "' -f s16le -ac 1 '" + out + "'"));

    GsmCodec decoder;
    const Samples ours = DecodeFrames(decoder, frames);
    const Samples theirs = ReadRawSamples(out);
    ASSERT_EQ(theirs.size(), ours.size());
    EXPECT_TRUE(theirs == ours);
}

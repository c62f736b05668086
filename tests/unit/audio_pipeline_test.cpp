// The audio pipeline: format codes, levels, the capture and delivery paths, streams and shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/AudioPipeline.h"
#include "audio/CodecRegistry.h"
#include "audio/G711Codec.h"
#include "fake_wave.h"

namespace {

class RecordingSink final : public FrameSink {
public:
    void OnFrame(const uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(lock);
        frames.emplace_back(data, data + length);
    }
    void OnPlayed(int streamIndex) override {
        lastPlayed.store(streamIndex);
        played.fetch_add(1);
    }
    std::vector<std::vector<uint8_t>> Frames() {
        std::lock_guard<std::mutex> guard(lock);
        return frames;
    }

    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;
    std::atomic<int> lastPlayed{-1};
    std::atomic<int> played{0};
};

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
        SetErrorSink(&errors);
    }
    void TearDown() override {
        pipeline.reset();
        SetErrorSink(nullptr);
        SetWaveBackend(nullptr);
    }
    AudioPipeline& Make(int format) {
        pipeline = std::make_unique<AudioPipeline>();
        // These cases follow each frame to the player as it is delivered: the direct path.
        pipeline->SetPlayout(AudioPipeline::Playout::kDirect);
        pipeline->SetFormat(format);
        pipeline->SetFrameSink(&sink);
        return *pipeline;
    }
    static std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
        std::vector<uint8_t> bytes(samples.size() * 2);
        std::memcpy(bytes.data(), samples.data(), bytes.size());
        return bytes;
    }

    FakeWave fake;
    CollectingErrorSink errors;
    RecordingSink sink;
    std::unique_ptr<AudioPipeline> pipeline;
};

TEST_F(PipelineTest, FormatCodesChooseRateWidthFrameAndCodec) {
    AudioPipeline& p = Make(0xA4);
    EXPECT_EQ(p.Width(), 16);
    EXPECT_EQ(p.Rate(), 11025);
    EXPECT_EQ(p.FrameLength(), 240);

    p.SetFormat(0x85);
    EXPECT_EQ(p.Rate(), 8000);
    EXPECT_EQ(p.FrameLength(), 800);
    EXPECT_TRUE(p.HasCodec());

    p.SetFormat(0x08 | 0x40);  // type 8: no codec, the frame length stays
    EXPECT_FALSE(p.HasCodec());
    EXPECT_EQ(p.FrameLength(), 800);
    EXPECT_EQ(p.Rate(), 22050);
    EXPECT_EQ(p.Width(), 8);

    p.SetFormat(0xE0);  // raw PCM at 44100 Hz
    EXPECT_FALSE(p.HasCodec());
    EXPECT_EQ(p.FrameLength(), 1000);
    EXPECT_EQ(p.Rate(), 44100);

    p.SetFormat(0x21);
    EXPECT_TRUE(p.HasCodec());
    EXPECT_EQ(p.FrameLength(), 800);
    EXPECT_EQ(p.Width(), 8);
    EXPECT_EQ(p.Recorder().FrameLength(), 800) << "the recorder follows the format";
    EXPECT_TRUE(p.Recorder().FormatChanged());
}

TEST_F(PipelineTest, PayloadSizesOfTheRegistry) {
    EXPECT_EQ(FixedPayloadSize(0xA0), 2000);
    EXPECT_EQ(FixedPayloadSize(0x20), 1000);
    EXPECT_EQ(FixedPayloadSize(0x85), 800);
    EXPECT_EQ(FixedPayloadSize(0x81), 0) << "the delta code varies in size";
    EXPECT_TRUE(CodecAvailable(0xA0));
    EXPECT_FALSE(CodecAvailable(0x9F));
    EXPECT_EQ(FixedPayloadSize(0xA4), 50);
    EXPECT_EQ(FixedPayloadSize(0x83), 38);
}

// The table against the coders it makes: one frame of the table's length codes into one payload of the
// table's size, and that payload decodes into one frame again.
TEST(CodecTableTest, EachCoderCodesOneFrameIntoThePayloadTheTableGives) {
    ASSERT_EQ(CodecTypes().size(), 8u);
    for (const CodecType& type : CodecTypes()) {
        const int code = 0x80 | type.type;
        std::unique_ptr<SoundCodec> codec = CreateCodec(code);
        if (type.make == nullptr) {
            EXPECT_EQ(codec, nullptr) << type.title;
            continue;
        }
        ASSERT_NE(codec, nullptr) << type.title;
        std::vector<int16_t> frame(static_cast<size_t>(type.frameLength));
        for (size_t i = 0; i < frame.size(); ++i)
            frame[i] = static_cast<int16_t>(((i * 37) % 200) * 40 - 4000);
        ByteBuffer payload(0, 0);
        codec->Encode16(frame.data(), type.frameLength, payload, false);
        if (type.payloadBytes != 0)
            EXPECT_EQ(payload.Length(), type.payloadBytes) << type.title;
        else
            EXPECT_GT(payload.Length(), 0) << type.title;
        SampleBuffer decoded(0, 0);
        codec->Decode16(payload.Data(), payload.Length(), decoded, false);
        EXPECT_EQ(decoded.Length(), type.frameLength) << type.title;
    }
    EXPECT_EQ(FindCodecType(0x88), nullptr);
    EXPECT_EQ(FrameLengthOf(0x88), 0);
}

TEST_F(PipelineTest, LevelsCountOnlyPositivePeaks) {
    const std::vector<int16_t> silence(240, 0);
    EXPECT_EQ(AudioPipeline::Level16(silence.data(), 240), 0);
    std::vector<int16_t> full(240, 0);
    full[17] = 32767;
    EXPECT_EQ(AudioPipeline::Level16(full.data(), 240), 100);
    const std::vector<int16_t> negative(240, -32768);
    EXPECT_EQ(AudioPipeline::Level16(negative.data(), 240), 0);
    const std::vector<int16_t> half(10, 16384);
    EXPECT_EQ(AudioPipeline::Level16(half.data(), 10), 50);

    const std::vector<uint8_t> hundred(100, 100);
    EXPECT_EQ(AudioPipeline::Level8(hundred.data(), 100), -22);
    const std::vector<uint8_t> quiet(100, 128);
    EXPECT_EQ(AudioPipeline::Level8(quiet.data(), 100), 0);
    const std::vector<uint8_t> loud(1, 255);
    EXPECT_EQ(AudioPipeline::Level8(loud.data(), 1), 100);
    EXPECT_EQ(AudioPipeline::Level8(nullptr, 0), -100);
}

TEST_F(PipelineTest, CaptureEncodesEachBufferIntoOnePayloadAndMeasuresIt) {
    AudioPipeline& p = Make(0x85);
    std::vector<int16_t> samples(800);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>((static_cast<int>(i) * 97) % 20000 - 10000);
    const std::vector<uint8_t> bytes = Bytes(samples);
    p.OnCaptured(bytes.data(), static_cast<int>(bytes.size()));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 800u);
    for (size_t i = 0; i < 800; ++i)
        ASSERT_EQ(frames[0][i], G711Codec::EncodeSample(samples[i])) << "sample " << i;
    EXPECT_EQ(p.InputLevel(), AudioPipeline::Level16(samples.data(), 800));
    EXPECT_GT(p.InputLevel(), 0);
    p.ResetInputLevel();
    EXPECT_EQ(p.InputLevel(), 0);
}

TEST_F(PipelineTest, RawPcmGoesOutAsCapturedAndPlaysAsReceived) {
    AudioPipeline& p = Make(0xA0);
    std::vector<uint8_t> capture(2000);
    for (size_t i = 0; i < capture.size(); ++i)
        capture[i] = static_cast<uint8_t>(i * 7);
    p.OnCaptured(capture.data(), 2000);
    ASSERT_EQ(sink.Frames().size(), 1u);
    EXPECT_EQ(sink.Frames()[0], capture);

    fake.autoFinishPlayback = true;
    const int stream = p.AddStream(-1);
    EXPECT_EQ(stream, 0);
    // A peer may send more than one buffer: only the first buffer's worth is played.
    std::vector<uint8_t> oversized(3000, 0x10);
    p.Deliver(stream, oversized.data(), 3000);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 1; }));
    EXPECT_EQ(fake.played[0], std::vector<uint8_t>(2000, 0x10));
    EXPECT_TRUE(fake.WaitFor([&] { return sink.played.load() == 1; }));
    EXPECT_EQ(sink.lastPlayed.load(), 0);
}

// The link hands over a datagram's payload one byte past its type byte, so raw 16-bit samples arrive at an
// odd address; reading them as int16_t there is undefined (the sanitizer build reports it).
TEST_F(PipelineTest, RawSixteenBitPayloadAtAnOddAddressIsMeasuredAndPlayed) {
    AudioPipeline& p = Make(0x80);  // raw PCM, 8000 Hz, 16 bit
    const int stream = p.AddStream(-1);
    std::vector<int16_t> samples(1000, -300);
    samples[321] = 16384;
    const std::vector<uint8_t> bytes = Bytes(samples);
    std::vector<uint8_t> datagram(bytes.size() + 1, 0);  // type byte 0, then the samples
    std::memcpy(datagram.data() + 1, bytes.data(), bytes.size());
    ASSERT_NE(reinterpret_cast<uintptr_t>(datagram.data() + 1) % alignof(int16_t), 0u);
    p.Deliver(stream, datagram.data() + 1, static_cast<int>(bytes.size()));
    EXPECT_EQ(p.StreamLevel(stream), 50);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 1; }));
    EXPECT_EQ(fake.played[0], bytes);

    std::vector<uint8_t> unaligned(5, 0);
    const int16_t peak = 32767;
    std::memcpy(unaligned.data() + 3, &peak, sizeof(peak));
    EXPECT_EQ(AudioPipeline::Level16(unaligned.data() + 1, 2), 100);
    EXPECT_EQ(AudioPipeline::Level16(unaligned.data() + 1, 1), 0);

    // Through the playout buffer, a payload shorter than one sample is no frame at all.
    pipeline = std::make_unique<AudioPipeline>();
    pipeline->SetFormat(0x80);
    const int adaptive = pipeline->AddStream(-1);
    pipeline->Deliver(adaptive, datagram.data() + 1, 1);
    EXPECT_EQ(pipeline->StreamPlayout(adaptive).framesArrived, 0);
}

TEST_F(PipelineTest, DeliverDecodesQueuesAndMeasuresTheStream) {
    AudioPipeline& p = Make(0x85);
    const int stream = p.AddStream(-1);
    std::vector<uint8_t> payload(800);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i);
    p.Deliver(stream, payload.data(), 800);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 1; }));
    std::vector<int16_t> expected(800);
    for (size_t i = 0; i < 800; ++i)
        expected[i] = G711Codec::DecodeSample(payload[i]);
    EXPECT_EQ(fake.played[0], Bytes(expected));
    EXPECT_EQ(p.StreamLevel(stream), AudioPipeline::Level16(expected.data(), 800));

    // An empty payload decodes to nothing and plays nothing.
    p.Deliver(stream, payload.data(), 0);
    p.Deliver(stream, nullptr, 0);
    p.Deliver(stream, payload.data(), -5);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> guard(fake.lock);
    EXPECT_EQ(fake.played.size(), 1u);
}

TEST_F(PipelineTest, GsmFramesGoOutAsOnePayloadAndShortOnesPlayNothing) {
    AudioPipeline& p = Make(0xC2);  // "gsm_22khz"
    EXPECT_EQ(p.FrameLength(), 160);
    EXPECT_EQ(p.Rate(), 22050);
    EXPECT_EQ(FixedPayloadSize(0xC2), 33);
    const std::vector<int16_t> silence(160, 0);
    const std::vector<uint8_t> bytes = Bytes(silence);
    p.OnCaptured(bytes.data(), 320);
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 33u);
    EXPECT_EQ(frames[0][0] >> 4, 0xD);

    const int stream = p.AddStream(-1);
    p.Deliver(stream, frames[0].data(), 10);  // cut short on the way
    p.Deliver(stream, frames[0].data(), 33);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 1; }));
    EXPECT_EQ(fake.played[0].size(), 320u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> guard(fake.lock);
    EXPECT_EQ(fake.played.size(), 1u) << "the short payload played nothing";
}

TEST_F(PipelineTest, TheDefaultFormatCodes240SamplesInto50BytesAndBack) {
    AudioPipeline& p = Make(0xA4);
    EXPECT_TRUE(p.HasCodec());
    std::vector<int16_t> tone(240);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.3));
    const std::vector<uint8_t> bytes = Bytes(tone);
    p.OnCaptured(bytes.data(), 480);
    ASSERT_EQ(sink.Frames().size(), 1u);
    ASSERT_EQ(sink.Frames()[0].size(), 50u);
    const int stream = p.AddStream(-1);
    p.Deliver(stream, sink.Frames()[0].data(), 50);
    p.Deliver(stream, sink.Frames()[0].data(), 20);  // a short payload is concealed, not read past
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 2; }));
    EXPECT_EQ(fake.played[0].size(), 480u);

    p.SetFormat(0x83);  // iLBC 20 ms at 8000 Hz
    EXPECT_EQ(p.FrameLength(), 160);
    p.OnCaptured(bytes.data(), 320);
    ASSERT_EQ(sink.Frames().size(), 2u);
    EXPECT_EQ(sink.Frames()[1].size(), 38u);
}

TEST_F(PipelineTest, BadStreamIndicesAreIgnored) {
    AudioPipeline& p = Make(0x85);
    const std::vector<uint8_t> payload(800, 0xFF);
    p.Deliver(-1, payload.data(), 800);
    p.Deliver(0, payload.data(), 800);  // no stream yet
    const int stream = p.AddStream(-1);
    p.Deliver(stream + 1, payload.data(), 800);
    EXPECT_EQ(p.StreamLevel(-1), -1);
    EXPECT_EQ(p.StreamLevel(stream + 1), -1);
    EXPECT_EQ(p.StreamLevel(stream), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> guard(fake.lock);
    EXPECT_TRUE(fake.played.empty());
}

TEST_F(PipelineTest, ACallCapturesThroughTheDeviceAndShutdownEndsEverything) {
    AudioPipeline& p = Make(0xA5);
    const int stream = p.AddStream(-1);
    p.StartCapture();
    ASSERT_TRUE(fake.WaitFor([&] { return fake.adds == 12; }));
    ASSERT_TRUE(fake.Capture(0x10));  // samples of 0x1010
    ASSERT_TRUE(fake.WaitFor([&] { return fake.adds == 13; }));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 800u);
    EXPECT_GT(p.InputLevel(), 0);
    p.StopCapture();
    p.Shutdown();
    EXPECT_EQ(p.StreamLevel(stream), -1);
    EXPECT_EQ(p.StreamCount(), 0);
    EXPECT_TRUE(p.Recorder().Finished());
    EXPECT_FALSE(p.HasCodec());
    EXPECT_EQ(fake.opensOut, 1);
    EXPECT_GE(fake.closes, 2) << "recorder and player closed";
    p.Shutdown();  // a second shutdown (the destructor's) is harmless
}

}  // namespace

// Adaptive playout: the frame waits in the stream's buffer and the player is fed by the piece, each
// piece played bringing the next; when no frame follows, its slot is concealed a while, then the
// stream falls silent and hands the player nothing more.
TEST_F(PipelineTest, AdaptivePlayoutFeedsThePlayerByThePieceThenConcealsAndFallsSilent) {
    pipeline = std::make_unique<AudioPipeline>();
    pipeline->SetFormat(0x85);  // G.711, 8000 Hz: 100 ms frames
    pipeline->SetFrameSink(&sink);
    fake.autoFinishPlayback = true;
    const int stream = pipeline->AddStream(-1);
    std::vector<uint8_t> payload(800, 0x90);  // a constant 16062 after decoding
    pipeline->Deliver(stream, payload.data(), 800);
    // 40-sample pieces (5 ms), the frame among them, then 8 frames or 200 ms of concealment at most.
    ASSERT_TRUE(fake.WaitFor(
        [&] { return pipeline->StreamPlayout(stream).framesConcealed >= 2 && !fake.played.empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<int16_t> heard;
    {
        std::lock_guard<std::mutex> guard(fake.lock);
        for (const auto& piece : fake.played) {
            ASSERT_EQ(piece.size(), 80u);
            const size_t at = heard.size();
            heard.resize(at + 40);
            std::memcpy(heard.data() + at, piece.data(), 80);
        }
    }
    const auto first = std::find(heard.begin(), heard.end(), int16_t{16062});
    ASSERT_NE(first, heard.end());
    ASSERT_GE(heard.end() - first, 800);
    EXPECT_EQ(std::count(first, first + 800, int16_t{16062}), 800);
    const PlayoutBuffer::Statistics counts = pipeline->StreamPlayout(stream);
    EXPECT_EQ(counts.framesArrived, 1);
    EXPECT_GE(counts.framesConcealed, 2);
    EXPECT_LE(counts.framesConcealed, 8);
    // Silent now: nothing more reaches the player.
    const size_t pieces = fake.played.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(fake.played.size(), pieces);
}

// The link's sequence number reaches the stream's playout buffer: a frame delivered twice under one number
// plays once.
TEST_F(PipelineTest, ADeliveredSequenceNumberTellsThePlayoutADuplicate) {
    pipeline = std::make_unique<AudioPipeline>();
    pipeline->SetFormat(0x85);
    pipeline->SetFrameSink(&sink);
    // The device never finishes a piece: nothing is played, concealed or gone idle between the deliveries,
    // however slowly this thread runs.
    fake.autoFinishPlayback = false;
    const int stream = pipeline->AddStream(-1);
    std::vector<uint8_t> payload(800, 0x90);
    pipeline->Deliver(stream, payload.data(), 800, 41);
    pipeline->Deliver(stream, payload.data(), 800, 41);
    pipeline->Deliver(stream, payload.data(), 800);  // no number: nothing to compare, it is kept
    const PlayoutBuffer::Statistics counts = pipeline->StreamPlayout(stream);
    EXPECT_EQ(counts.framesArrived, 3);
    EXPECT_EQ(counts.framesDuplicated, 1);
}

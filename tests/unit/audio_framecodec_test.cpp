// What the two library-backed frame codecs (GSM 06.10, LPC-10) promise alike through the SoundCodec
// interface: one frame per call from the start of the input, short input and short payloads rejected without
// reading past them, the 8-bit forms, Reset, and the two directions kept apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/Lpc10Codec.h"
#include "audio_codec_support.h"

using namespace codec_test;

namespace {

template <typename Codec>
class FrameCodecTest : public ::testing::Test {
protected:
    static constexpr int kSamples = Codec::kFrameSamples;
    static constexpr int kBytes = Codec::kFrameBytes;

    static Samples Voice(int frames, double peak = 12000) { return VoiceLike(frames * kSamples, peak); }

    Codec codec_;
    std::mt19937 rng_{17};
};

struct CodecName {
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, GsmCodec> ? "GsmCodec" : "Lpc10Codec";
    }
};

using Codecs = ::testing::Types<GsmCodec, Lpc10Codec>;
TYPED_TEST_SUITE(FrameCodecTest, Codecs, CodecName);

}  // namespace

// Each call codes the first frame of its input, whatever follows it; the 8-bit form codes as the 16-bit form
// of the same samples does, sharing the coder state with it.
TYPED_TEST(FrameCodecTest, EncodesOneFrameFromTheStartOfTheInputInBothForms) {
    constexpr int kFrame = TestFixture::kSamples;
    const Bytes narrow = Narrow(TestFixture::Voice(6));
    const std::vector<Bytes> expected = EncodeFrames<TypeParam>(Widen(narrow));
    ByteBuffer out;
    for (size_t frame = 0; frame < expected.size(); ++frame) {
        Bytes longer(narrow.begin() + static_cast<long>(frame) * kFrame,
                     narrow.begin() + static_cast<long>(frame + 1) * kFrame);
        for (int i = 0; i < 300; ++i)
            longer.push_back(static_cast<uint8_t>(this->rng_()));
        const Samples wide = Widen(longer);
        const int count = static_cast<int>(longer.size());
        const int written = frame % 2 == 0 ? this->codec_.Encode16(wide.data(), count, out, false)
                                           : this->codec_.Encode8(longer.data(), count, out, false);
        EXPECT_EQ(written, TestFixture::kBytes);
        EXPECT_EQ(Contents(out), expected[frame]) << "frame " << frame;
    }
}

// The frame codecs only ever see whole frames from a peer using the same format; anything shorter, in either
// direction, gives nothing, is not read past, and leaves the coder where it was.
TYPED_TEST(FrameCodecTest, InputOrPayloadShorterThanAFrameIsRejected) {
    const Samples voice = TestFixture::Voice(4);
    const std::vector<Bytes> payloads = EncodeFrames<TypeParam>(voice);
    const Bytes prefix = {1, 2, 3};
    const Samples widePrefix = {-1, -2, -3};
    for (int length = -1; length < TestFixture::kSamples; ++length) {
        // Exactly `length` elements on the heap, so that AddressSanitizer sees any read past them.
        const size_t size = static_cast<size_t>(std::max(length, 1));
        const auto samples = std::make_unique<int16_t[]>(size);
        const auto narrow = std::make_unique<uint8_t[]>(size);
        const auto payload = std::make_unique<uint8_t[]>(size);
        std::copy_n(payloads[0].begin(), std::min<size_t>(size, payloads[0].size()), payload.get());
        const bool decodable = length >= TestFixture::kBytes;
        for (bool append : {false, true}) {
            ByteBuffer bytes;
            bytes.Write(prefix.data(), 3, false);
            EXPECT_EQ(this->codec_.Encode16(samples.get(), length, bytes, append), 0);
            EXPECT_EQ(this->codec_.Encode8(narrow.get(), length, bytes, append), 0);
            EXPECT_EQ(Contents(bytes), append ? prefix : Bytes{});
            if (decodable)
                continue;
            bytes.Write(prefix.data(), 3, false);
            EXPECT_EQ(this->codec_.Decode8(payload.get(), length, bytes, append), 0) << "length " << length;
            EXPECT_EQ(Contents(bytes), append ? prefix : Bytes{});
            SampleBuffer out;
            out.Write(widePrefix.data(), 3, false);
            EXPECT_EQ(this->codec_.Decode16(payload.get(), length, out, append), 0) << "length " << length;
            EXPECT_EQ(Contents(out), append ? widePrefix : Samples{});
        }
    }
    // Neither direction moved on.
    ByteBuffer first;
    this->codec_.Encode16(voice.data(), TestFixture::kSamples, first, false);
    EXPECT_EQ(Contents(first), payloads[0]);
    TypeParam fresh;
    EXPECT_EQ(DecodeFrames(this->codec_, payloads), DecodeFrames(fresh, payloads));
}

// A longer payload is decoded from its first frame (for GSM: a 40-byte payload from its first 33 bytes), and
// the 8-bit form decodes as the 16-bit form does.
TYPED_TEST(FrameCodecTest, DecodesOneFrameFromTheStartOfThePayloadInBothForms) {
    const std::vector<Bytes> payloads = EncodeFrames<TypeParam>(TestFixture::Voice(6));
    TypeParam reference;
    const Samples expected = DecodeFrames(reference, payloads);
    ByteBuffer narrow;
    SampleBuffer wide;
    for (size_t frame = 0; frame < payloads.size(); ++frame) {
        Bytes longer = payloads[frame];
        for (int i = 0; i < 7; ++i)
            longer.push_back(static_cast<uint8_t>(this->rng_()));
        const int length = static_cast<int>(longer.size());
        const auto from = expected.begin() + static_cast<long>(frame) * TestFixture::kSamples;
        const Samples want(from, from + TestFixture::kSamples);
        if (frame % 2 == 0) {
            EXPECT_EQ(this->codec_.Decode16(longer.data(), length, wide, false), TestFixture::kSamples);
            EXPECT_EQ(Contents(wide), want) << "frame " << frame;
        } else {
            EXPECT_EQ(this->codec_.Decode8(longer.data(), length, narrow, false), TestFixture::kSamples);
            EXPECT_EQ(Contents(narrow), Narrow(want)) << "frame " << frame;
        }
    }
}

TYPED_TEST(FrameCodecTest, ResetReturnsBothDirectionsToTheirStart) {
    const Samples voice = TestFixture::Voice(6);
    const std::vector<Bytes> payloads = EncodeFrames<TypeParam>(voice);
    TypeParam fresh;
    const Samples decoded = DecodeFrames(fresh, payloads);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(EncodeFrames<TypeParam>(voice), payloads);
        ByteBuffer out;
        for (size_t frame = 0; frame < payloads.size(); ++frame) {
            this->codec_.Encode16(voice.data() + frame * TestFixture::kSamples, TestFixture::kSamples, out,
                                  false);
            EXPECT_EQ(Contents(out), payloads[frame]) << "round " << round << " frame " << frame;
        }
        EXPECT_EQ(DecodeFrames(this->codec_, payloads), decoded) << "round " << round;
        this->codec_.Reset();
    }
}

// The recorder thread encodes while the link's worker decodes, on one codec object; nothing either direction
// keeps may be touched by the other.
TYPED_TEST(FrameCodecTest, EncodingAndDecodingAtOnceOnOneObjectMatchTwoObjects) {
    constexpr int kFrames = 400;
    const Samples voice = TestFixture::Voice(kFrames, 15000);
    const Bytes narrow = Narrow(voice);
    const std::vector<Bytes> incoming = EncodeFrames<TypeParam>(TestFixture::Voice(kFrames, 9000));

    // Each direction alternates the 8- and 16-bit forms.
    auto encodeAll = [&](SoundCodec& codec) {
        std::vector<Bytes> out;
        ByteBuffer buffer;
        for (size_t at = 0; at < voice.size(); at += TestFixture::kSamples) {
            if (at / TestFixture::kSamples % 2 == 0)
                codec.Encode16(voice.data() + at, TestFixture::kSamples, buffer, false);
            else
                codec.Encode8(narrow.data() + at, TestFixture::kSamples, buffer, false);
            out.push_back(Contents(buffer));
        }
        return out;
    };
    auto decodeAll = [&](SoundCodec& codec) {
        std::vector<Bytes> out;
        SampleBuffer samples;
        ByteBuffer bytes;
        for (size_t frame = 0; frame < incoming.size(); ++frame) {
            if (frame % 2 == 0) {
                codec.Decode16(incoming[frame].data(), TestFixture::kBytes, samples, false);
                out.push_back(Narrow(Contents(samples)));
            } else {
                codec.Decode8(incoming[frame].data(), TestFixture::kBytes, bytes, false);
                out.push_back(Contents(bytes));
            }
        }
        return out;
    };
    TypeParam encoderOnly, decoderOnly;
    const std::vector<Bytes> expectedPayloads = encodeAll(encoderOnly);
    const std::vector<Bytes> expectedSamples = decodeAll(decoderOnly);

    std::vector<Bytes> payloads, samples;
    std::atomic<bool> go{false};
    std::thread encoder([&] {
        while (!go.load()) {
        }
        payloads = encodeAll(this->codec_);
    });
    std::thread decoder([&] {
        while (!go.load()) {
        }
        samples = decodeAll(this->codec_);
    });
    go = true;
    encoder.join();
    decoder.join();
    EXPECT_TRUE(payloads == expectedPayloads);
    EXPECT_TRUE(samples == expectedSamples);
}

// Payloads come from the network: any bytes at all decode to one frame (GSM's 8-bit form: none for a frame
// without the signature) and never more.
TYPED_TEST(FrameCodecTest, AnyBytesDecodeToAtMostOneFrame) {
    ByteBuffer bytes;
    SampleBuffer samples;
    for (int i = 0; i < 3000; ++i) {
        const int length = TestFixture::kBytes + (i % 3 == 0 ? static_cast<int>(this->rng_() % 5) : 0);
        const auto payload = std::make_unique<uint8_t[]>(static_cast<size_t>(length));
        std::generate_n(payload.get(), length, [&] { return static_cast<uint8_t>(this->rng_()); });
        if (i % 2 == 0)  // GSM's signature, so that half of them are decoded rather than replayed
            payload[0] = static_cast<uint8_t>(0xD0 | (payload[0] & 0x0F));
        ASSERT_EQ(this->codec_.Decode16(payload.get(), length, samples, false), TestFixture::kSamples);
        ASSERT_EQ(samples.Length(), TestFixture::kSamples);
        const int produced = this->codec_.Decode8(payload.get(), length, bytes, false);
        ASSERT_TRUE(produced == 0 || produced == TestFixture::kSamples) << produced;
        ASSERT_EQ(bytes.Length(), produced);
    }
}

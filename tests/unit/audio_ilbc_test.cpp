// The iLBC coder without the conformance vectors: the bit layout of a frame, decoding of corrupt, empty,
// invalid and short input within bounds, concealment of lost frames, the enhancer's delay, encoder and
// decoder independence, the storage format and the IlbcCodec adapter of the audio pipeline.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "IlbcVectors.h"
#include "audio/IlbcCodec.h"
#include "audio/SoundCodec.h"
#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcEncoder.h"
#include "audio/ilbc/IlbcFrame.h"
#include "audio/ilbc/IlbcMode.h"
#include "audio/ilbc/IlbcStorage.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

namespace {

using ilbc::Mode;
using ilbc_test::EncodeAll;
using ilbc_test::ModeName;
using ilbc_test::SpeechLike;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

std::string ParamName(const ::testing::TestParamInfo<Mode>& param) {
    return ModeName(param.param);
}

Samples DecodeAll(ilbc::Decoder& decoder, const Bytes& bits) {
    const auto block = static_cast<size_t>(decoder.BlockSamples());
    const auto bytes = static_cast<size_t>(decoder.FrameBytes());
    Samples out(bits.size() / bytes * block);
    for (size_t f = 0; f < bits.size() / bytes; ++f)
        decoder.Decode(bits.data() + f * bytes, out.data() + f * block);
    return out;
}

// Normalised correlation of a[i + delay] with b[i].
double Correlation(const Samples& a, const Samples& b, int delay) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (size_t i = 0; i + static_cast<size_t>(delay) < a.size() && i < b.size(); ++i) {
        const double x = a[i + static_cast<size_t>(delay)];
        const double y = b[i];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
}

double Energy(const int16_t* s, int count) {
    double e = 0.0;
    for (int i = 0; i < count; ++i)
        e += static_cast<double>(s[i]) * s[i];
    return e;
}

Bytes Pack(Mode mode, const ilbc::FrameParams& params) {
    Bytes frame(static_cast<size_t>(ilbc::Params(mode).frameBytes));
    ilbc::PackFrame(mode, params, frame.data());
    return frame;
}

// ---------------------------------------------------------------------------------------------------
// Frame layout

class IlbcFrame : public ::testing::TestWithParam<Mode> {};

TEST_P(IlbcFrame, FieldsAtTheirLargestValuesFillEveryBitButTheEmptyFlag) {
    const Mode mode = GetParam();
    const ilbc::ModeParams& m = ilbc::Params(mode);
    ilbc::FrameParams p;
    for (int k = 0; k < 3 * m.lpcN; ++k)
        p.lsf[k] = k % 3 == 0 ? 63 : 127;
    p.start = mode == Mode::k20ms ? 3 : 7;
    p.stateFirst = 1;
    p.idxForMax = 63;
    std::fill(std::begin(p.idxVec), std::end(p.idxVec), 7);
    const int gainMax[3] = {31, 15, 7};
    for (int s = 0; s < 3; ++s) {
        p.extension.cb[s] = 127;
        p.extension.gain[s] = gainMax[s];
        for (int c = 0; c < m.nasub; ++c) {
            p.sub[c].cb[s] = c == 0 && s > 0 ? 127 : 255;
            p.sub[c].gain[s] = gainMax[s];
        }
    }
    Bytes expected(static_cast<size_t>(m.frameBytes), 0xFF);
    expected.back() = 0xFE;
    EXPECT_EQ(Pack(mode, p), expected);
}

TEST_P(IlbcFrame, UnpackingInvertsPacking) {
    const Mode mode = GetParam();
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int trial = 0; trial < 200; ++trial) {
        Bytes frame(static_cast<size_t>(ilbc::Params(mode).frameBytes));
        for (auto& b : frame)
            b = static_cast<uint8_t>(byte(rng));
        ilbc::FrameParams p;
        ilbc::UnpackFrame(mode, frame.data(), p);
        ASSERT_EQ(Pack(mode, p), frame);
    }
}

TEST(IlbcFrameLayout, FieldsSitWhereTheBitStreamPutsThem) {
    ilbc::FrameParams p;
    p.start = 3;  // 20 ms: bits 20-21
    Bytes frame = Pack(Mode::k20ms, p);
    EXPECT_EQ(frame[2], 0x0C);
    // Extension codebook index of stage 1 (20 ms): value bits 6..1 at 29-34, bit 0 at 226.
    p = {};
    p.extension.cb[0] = 0x41;
    frame = Pack(Mode::k20ms, p);
    EXPECT_EQ(frame[3], 0x04);   // value bit 6 at position 29
    EXPECT_EQ(frame[28], 0x20);  // value bit 0 at position 226
    // 30 ms: start in bits 40-42, the empty-frame flag in the last bit.
    p = {};
    p.start = 5;
    p.emptyFrame = 1;
    frame = Pack(Mode::k30ms, p);
    EXPECT_EQ(frame[5], 0xA0);
    EXPECT_EQ(frame[49], 0x01);
}

INSTANTIATE_TEST_SUITE_P(BothModes, IlbcFrame, ::testing::Values(Mode::k20ms, Mode::k30ms), ParamName);

// ---------------------------------------------------------------------------------------------------
// Decoder: corrupt and invalid frames, concealment, enhancer

class IlbcDecoding : public ::testing::TestWithParam<Mode> {
protected:
    Mode mode() const { return GetParam(); }
    int block() const { return ilbc::Params(mode()).blockLen; }
    int bytes() const { return ilbc::Params(mode()).frameBytes; }

    // A frame the decoder must treat as lost gives the same output, and leaves the same state, as a
    // lost frame: checked against a twin decoder over the frame and a few good frames after it.
    void ExpectConcealedLikeLoss(const Bytes& badFrame) {
        const Bytes good = EncodeAll(mode(), SpeechLike(block() * 12));
        ilbc::Decoder decoder(mode());
        ilbc::Decoder twin(mode());
        Samples a(static_cast<size_t>(block())), b(static_cast<size_t>(block()));
        for (int f = 0; f < 12; ++f) {
            const uint8_t* frame = good.data() + f * bytes();
            if (f == 6) {
                EXPECT_FALSE(decoder.Decode(badFrame.data(), a.data()));
                twin.DecodeLost(b.data());
            } else {
                EXPECT_TRUE(decoder.Decode(frame, a.data()));
                twin.Decode(frame, b.data());
            }
            ASSERT_EQ(a, b) << "frame " << f;
        }
    }
};

TEST_P(IlbcDecoding, EmptyFrameFlagMeansConcealment) {
    Bytes frame = EncodeAll(mode(), SpeechLike(block()));
    frame.back() |= 1;
    ExpectConcealedLikeLoss(frame);
}

TEST_P(IlbcDecoding, StartStatePositionOutOfRangeMeansConcealment) {
    ilbc::FrameParams p;
    ilbc::Encoder encoder(mode());
    const Samples speech = SpeechLike(block());
    encoder.Encode(speech.data(), p);
    p.start = 0;
    ExpectConcealedLikeLoss(Pack(mode(), p));
    if (mode() == Mode::k30ms) {
        for (int start : {6, 7}) {
            p.start = start;
            ExpectConcealedLikeLoss(Pack(mode(), p));
        }
    }
}

TEST_P(IlbcDecoding, AllZeroAndAllOnesFramesAreConcealed) {
    ExpectConcealedLikeLoss(Bytes(static_cast<size_t>(bytes()), 0x00));
    ExpectConcealedLikeLoss(Bytes(static_cast<size_t>(bytes()), 0xFF));
}

// Random frames reach every codebook index, gain and LSF combination, including ones the encoder never
// sends; the float output must stay finite and the decoder must recover once real frames come again.
TEST_P(IlbcDecoding, RandomFramesDecodeToFiniteOutputAndTheDecoderRecovers) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    const Samples speech = SpeechLike(block() * 40, 3);
    const Bytes good = EncodeAll(mode(), speech);
    for (bool enhancer : {true, false}) {
        ilbc::Decoder decoder(mode(), enhancer);
        std::vector<float> out(static_cast<size_t>(block()));
        Bytes frame(static_cast<size_t>(bytes()));
        for (int trial = 0; trial < 3000; ++trial) {
            for (auto& b : frame)
                b = static_cast<uint8_t>(byte(rng));
            if (trial % 3 == 0)
                frame.back() &= 0xFE;  // mostly valid frames, so that few are merely concealed
            if (trial % 50 == 0)
                decoder.DecodeLost(out.data());
            else
                decoder.Decode(frame.data(), out.data());
        }
        // After the garbage, real frames decode to nearly what a fresh decoder makes of them.
        ilbc::Decoder fresh(mode(), enhancer);
        Samples a(static_cast<size_t>(block())), b(static_cast<size_t>(block()));
        double diff = 0.0, signal = 0.0;
        for (int f = 0; f < 40; ++f) {
            decoder.Decode(good.data() + f * bytes(), a.data());
            fresh.Decode(good.data() + f * bytes(), b.data());
            if (f < 20)
                continue;
            for (int i = 0; i < block(); ++i) {
                diff += std::pow(a[static_cast<size_t>(i)] - b[static_cast<size_t>(i)], 2);
                signal += std::pow(b[static_cast<size_t>(i)], 2);
            }
        }
        EXPECT_LT(diff, 0.01 * signal) << (enhancer ? "enhancer on" : "enhancer off");
    }
}

TEST_P(IlbcDecoding, FloatOutputOfRandomFramesStaysFinite) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> byte(0, 255);
    ilbc::Decoder decoder(mode());
    std::vector<float> out(static_cast<size_t>(block()));
    Bytes frame(static_cast<size_t>(bytes()));
    for (int trial = 0; trial < 2000; ++trial) {
        for (auto& b : frame)
            b = static_cast<uint8_t>(byte(rng));
        frame.back() &= 0xFE;
        decoder.Decode(frame.data(), out.data());
        ASSERT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return std::isfinite(v); }))
            << "frame " << trial;
    }
}

TEST_P(IlbcDecoding, LongLossFadesAndStaysBounded) {
    const Bytes good = EncodeAll(mode(), SpeechLike(block() * 10));
    ilbc::Decoder decoder(mode());
    Samples out(static_cast<size_t>(block()));
    for (int f = 0; f < 10; ++f)
        decoder.Decode(good.data() + f * bytes(), out.data());
    const double before = Energy(out.data(), block());
    std::vector<double> lost;
    for (int f = 0; f < 30; ++f) {
        decoder.DecodeLost(out.data());
        lost.push_back(Energy(out.data(), block()));
    }
    EXPECT_GT(lost[0], 0.01 * before);  // the first concealed frame continues the sound
    EXPECT_LT(lost.back(), 0.1 * lost[0]);
    EXPECT_LT(*std::max_element(lost.begin(), lost.end()), 4.0 * before);
}

TEST_P(IlbcDecoding, LossBeforeAnyFrameGivesSilence) {
    ilbc::Decoder decoder(mode());
    Samples out(static_cast<size_t>(block()), 1);
    decoder.DecodeLost(out.data());
    EXPECT_EQ(Energy(out.data(), block()), 0.0);
}

TEST_P(IlbcDecoding, EnhancerDelaysTheOutputByHalfASubFramePair) {
    const Samples speech = SpeechLike(8000, 9);
    const Bytes bits = EncodeAll(mode(), speech);
    ilbc::Decoder plain(mode(), false);
    ilbc::Decoder enhanced(mode(), true);
    const Samples outPlain = DecodeAll(plain, bits);
    const Samples outEnhanced = DecodeAll(enhanced, bits);
    const int delay = mode() == Mode::k20ms ? 40 : 80;
    EXPECT_GT(Correlation(outPlain, speech, 0), 0.8);
    EXPECT_GT(Correlation(outEnhanced, speech, delay), 0.8);
    EXPECT_GT(Correlation(outEnhanced, speech, delay), Correlation(outEnhanced, speech, 0) + 0.2);
}

TEST_P(IlbcDecoding, ResetForgetsEverything) {
    const Bytes bits = EncodeAll(mode(), SpeechLike(block() * 8));
    ilbc::Decoder decoder(mode());
    const Samples first = DecodeAll(decoder, bits);
    decoder.Reset();
    EXPECT_EQ(DecodeAll(decoder, bits), first);

    ilbc::Encoder encoder(mode());
    const Samples other = SpeechLike(block() * 3, 4);
    Bytes scratch(static_cast<size_t>(bytes()));
    for (int f = 0; f < 3; ++f)
        encoder.Encode(other.data() + f * block(), scratch.data());
    encoder.Reset();
    const Samples speech = SpeechLike(block() * 8);
    Bytes again(bits.size());
    for (int f = 0; f < 8; ++f)
        encoder.Encode(speech.data() + f * block(), again.data() + f * bytes());
    EXPECT_EQ(again, bits);
}

TEST_P(IlbcDecoding, ExtremeInputsCodeWithoutHarm) {
    const int n = block() * 20;
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> any(-32768, 32767);
    Samples silence(static_cast<size_t>(n), 0), square(static_cast<size_t>(n)), noise(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        square[static_cast<size_t>(i)] = (i / 20) % 2 ? 32767 : -32768;
        noise[static_cast<size_t>(i)] = static_cast<int16_t>(any(rng));
    }
    for (const Samples* input : {&silence, &square, &noise}) {
        const Bytes bits = EncodeAll(mode(), *input);
        ilbc::Decoder decoder(mode());
        Samples out(static_cast<size_t>(block()));
        for (int f = 0; f < 20; ++f)
            EXPECT_TRUE(decoder.Decode(bits.data() + f * bytes(), out.data()));
        if (input == &silence) {
            EXPECT_EQ(Energy(out.data(), block()), 0.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothModes, IlbcDecoding, ::testing::Values(Mode::k20ms, Mode::k30ms), ParamName);

// ---------------------------------------------------------------------------------------------------
// Storage files

TEST(IlbcStorage, WritesAndReadsBothModes) {
    for (Mode mode : {Mode::k20ms, Mode::k30ms}) {
        const int bytes = ilbc::Params(mode).frameBytes;
        Bytes frames(static_cast<size_t>(3 * bytes));
        for (size_t i = 0; i < frames.size(); ++i)
            frames[i] = static_cast<uint8_t>(i);
        const Bytes file = ilbc::MakeStorage(mode, frames.data(), 3);
        ASSERT_EQ(file.size(), 9 + frames.size());
        EXPECT_EQ(std::string(file.begin(), file.begin() + 9),
                  mode == Mode::k20ms ? "#!iLBC20\n" : "#!iLBC30\n");
        const auto view = ilbc::ParseStorage(file.data(), file.size());
        ASSERT_TRUE(view.has_value());
        EXPECT_EQ(view->mode, mode);
        EXPECT_EQ(view->frameCount, 3u);
        EXPECT_EQ(view->trailingBytes, 0u);
        EXPECT_TRUE(std::equal(frames.begin() + bytes, frames.begin() + 2 * bytes, view->Frame(1)));
        EXPECT_EQ(view->Frame(3), nullptr);
    }
}

TEST(IlbcStorage, KeepsOnlyWholeFramesOfATruncatedFile) {
    Bytes file = ilbc::MakeStorage(Mode::k30ms, Bytes(100).data(), 2);
    file.resize(file.size() - 1);
    const auto view = ilbc::ParseStorage(file.data(), file.size());
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->frameCount, 1u);
    EXPECT_EQ(view->trailingBytes, 49u);
    EXPECT_EQ(view->Frame(1), nullptr);
}

TEST(IlbcStorage, RejectsMissingOrForeignHeaders) {
    const std::string texts[] = {"", "#!iLBC30", "#!iLBC40\n", "#!AMR\n", "#!ilbc30\n"};
    for (const std::string& text : texts) {
        const Bytes file(text.begin(), text.end());
        EXPECT_FALSE(ilbc::ParseStorage(file.data(), file.size()).has_value()) << text;
    }
    EXPECT_FALSE(ilbc::ParseStorage(nullptr, 0).has_value());
    const std::string header = "#!iLBC20\n";
    const auto empty = ilbc::ParseStorage(reinterpret_cast<const uint8_t*>(header.data()), header.size());
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->frameCount, 0u);
}

// ---------------------------------------------------------------------------------------------------
// The codec adapter

TEST(IlbcCodec, StartsIn20msModeAndSetModeChoosesTheGeometry) {
    IlbcCodec codec;
    EXPECT_EQ(codec.Mode(), 20);
    EXPECT_EQ(codec.FrameLength(), 160);
    EXPECT_EQ(codec.FrameSize(), 38);
    codec.SetMode(30);
    EXPECT_EQ(codec.FrameLength(), 240);
    EXPECT_EQ(codec.FrameSize(), 50);
    codec.SetMode(25);  // anything but 20 is the 30 ms mode
    EXPECT_EQ(codec.FrameLength(), 240);
    codec.SetMode(20);
    EXPECT_EQ(codec.FrameLength(), 160);
}

// Format codes 164 (30 ms) and 0x83 (20 ms): one block per call each way, as the coder makes it.
TEST(IlbcCodec, RoundTripsOneBlockPerCallLikeTheCoder) {
    for (int mode : {30, 20}) {
        const Mode coderMode = mode == 20 ? Mode::k20ms : Mode::k30ms;
        IlbcCodec codec;
        codec.SetMode(mode);
        const int block = codec.FrameLength();
        const Samples speech = SpeechLike(block * 5);
        ilbc::Encoder encoder(coderMode);
        ilbc::Decoder decoder(coderMode, true);
        ByteBuffer payload;
        SampleBuffer decoded;
        for (int f = 0; f < 5; ++f) {
            EXPECT_EQ(codec.Encode16(speech.data() + f * block, block, payload, false), codec.FrameSize());
            ASSERT_EQ(payload.Length(), codec.FrameSize());
            Bytes expected(static_cast<size_t>(codec.FrameSize()));
            encoder.Encode(speech.data() + f * block, expected.data());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), payload.Data()));

            EXPECT_EQ(codec.Decode16(payload.Data(), payload.Length(), decoded, false), block);
            ASSERT_EQ(decoded.Length(), block);
            Samples reference(static_cast<size_t>(block));
            decoder.Decode(expected.data(), reference.data());
            EXPECT_TRUE(std::equal(reference.begin(), reference.end(), decoded.Data()));
        }
    }
}

TEST(IlbcCodec, AppendsWhenAskedAndReadsOnlyTheFirstBlockOfALongPayload) {
    IlbcCodec codec;
    const Samples speech = SpeechLike(320);
    ByteBuffer payload;
    codec.Encode16(speech.data(), 160, payload, false);
    codec.Encode16(speech.data() + 160, 160, payload, true);
    ASSERT_EQ(payload.Length(), 76);

    IlbcCodec twin;
    SampleBuffer a, b;
    codec.Decode16(payload.Data(), payload.Length(), a, false);  // two blocks given, one decoded
    twin.Decode16(payload.Data(), 38, b, false);
    ASSERT_EQ(a.Length(), 160);
    EXPECT_TRUE(std::equal(a.Data(), a.Data() + 160, b.Data()));
    codec.Decode16(payload.Data() + 38, 38, a, true);
    EXPECT_EQ(a.Length(), 320);
}

TEST(IlbcCodec, ShortPayloadIsConcealedWithoutReadingPastIt) {
    IlbcCodec codec;
    codec.SetMode(30);
    ilbc::Decoder twin(Mode::k30ms, true);
    const Samples speech = SpeechLike(240 * 4);
    const Bytes bits = EncodeAll(Mode::k30ms, speech);
    SampleBuffer out;
    Samples expected(240);
    for (int f = 0; f < 3; ++f) {
        codec.Decode16(bits.data() + 50 * f, 50, out, false);
        twin.Decode(bits.data() + 50 * f, expected.data());
    }
    for (int length : {49, 1, 0}) {
        const Bytes shortPayload(bits.begin() + 150, bits.begin() + 150 + length);  // exactly sized
        EXPECT_EQ(codec.Decode16(shortPayload.data(), length, out, false), 240);
        twin.DecodeLost(expected.data());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.Data())) << length;
    }
    EXPECT_EQ(codec.Decode16(nullptr, 50, out, false), 240);
}

TEST(IlbcCodec, ShortInputIsCodedAsIfPaddedWithSilence) {
    IlbcCodec codec;
    IlbcCodec twin;
    const Samples speech = SpeechLike(100);  // exactly sized: a read past the end would be caught
    Samples padded(speech);
    padded.resize(160, 0);
    ByteBuffer a, b;
    codec.Encode16(speech.data(), 100, a, false);
    twin.Encode16(padded.data(), 160, b, false);
    ASSERT_EQ(a.Length(), 38);
    EXPECT_TRUE(std::equal(a.Data(), a.Data() + 38, b.Data()));
}

TEST(IlbcCodec, EightBitFormsConvertAroundTheSixteenBitOnes) {
    IlbcCodec codec8, codec16;
    codec8.SetMode(30);
    codec16.SetMode(30);
    const Samples speech = SpeechLike(240 * 3);
    for (int f = 0; f < 3; ++f) {
        std::vector<uint8_t> narrow(240);
        Samples wide(240);
        for (size_t i = 0; i < 240; ++i) {
            narrow[i] = Sample16To8(speech[static_cast<size_t>(f) * 240 + i]);
            wide[i] = Sample8To16(narrow[i]);
        }
        ByteBuffer p8, p16;
        EXPECT_EQ(codec8.Encode8(narrow.data(), 240, p8, false), 50);
        codec16.Encode16(wide.data(), 240, p16, false);
        ASSERT_TRUE(std::equal(p8.Data(), p8.Data() + 50, p16.Data()));

        ByteBuffer out8;
        SampleBuffer out16;
        EXPECT_EQ(codec8.Decode8(p8.Data(), 50, out8, false), 240);
        codec16.Decode16(p16.Data(), 50, out16, false);
        ASSERT_EQ(out8.Length(), 240);
        for (int i = 0; i < 240; ++i)
            ASSERT_EQ(out8[i], Sample16To8(out16[i]));
    }
}

// The recorder thread encodes while the link's worker decodes: neither direction may disturb the other.
TEST(IlbcCodec, EncodingDoesNotDisturbDecoding) {
    IlbcCodec busy, quiet;
    busy.SetMode(30);
    quiet.SetMode(30);
    const Samples speech = SpeechLike(240 * 6, 7);
    const Bytes bits = EncodeAll(Mode::k30ms, SpeechLike(240 * 6));
    ByteBuffer payload;
    SampleBuffer a, b;
    for (int f = 0; f < 6; ++f) {
        busy.Encode16(speech.data() + 240 * f, 240, payload, false);
        busy.Decode16(bits.data() + 50 * f, 50, a, false);
        quiet.Decode16(bits.data() + 50 * f, 50, b, false);
        ASSERT_TRUE(std::equal(a.Data(), a.Data() + 240, b.Data()));
    }
}

}  // namespace

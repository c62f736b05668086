// The general concealment: how it continues a voice through a loss, how long it keeps sound, how it blends
// back into speech, and that it depends only on the last samples played, however they came.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "audio/SoundCodec.h"
#include "audio/SpeechConcealment.h"
#include "audio/StreamConcealment.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A voiced sound that repeats exactly every `period` samples: a few harmonics, not a plain sine, so that
// a period found wrong by one sample shows.
std::vector<int16_t> Periodic(int period, int count, double amplitude = 6000) {
    std::vector<int16_t> out(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double phase = 2 * kPi * (i % period) / period;
        const double v = std::sin(phase) + 0.6 * std::sin(2 * phase + 0.5) + 0.3 * std::sin(3 * phase + 1.3);
        out[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(amplitude * v / 1.6));
    }
    return out;
}

// A voice whose pitch glides from 110 to 150 Hz and whose loudness swells, at `rate`.
std::vector<int16_t> Voice(int rate, int count) {
    std::vector<int16_t> out(static_cast<size_t>(count));
    double phase = 0;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += 2 * kPi * (110 + 40 * t / (static_cast<double>(count) / rate)) / rate;
        const double level = 5000 + 2000 * std::sin(2 * kPi * 3 * t);
        const double v = std::sin(phase) + 0.5 * std::sin(2 * phase + 0.7) + 0.25 * std::sin(3 * phase + 2.1);
        out[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(level * v / 1.5));
    }
    return out;
}

double Rms(const int16_t* x, int count) {
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / count);
}

std::vector<int16_t> Conceal(SpeechConcealment& concealment, int count) {
    std::vector<int16_t> out(static_cast<size_t>(count), 12345);
    concealment.Conceal(out.data(), count);
    return out;
}

void Play(SpeechConcealment& concealment, std::vector<int16_t> frame) {
    concealment.Received(frame.data(), static_cast<int>(frame.size()));
}

class RateTest : public ::testing::TestWithParam<int> {};

TEST_P(RateTest, APeriodicVoiceIsContinuedExactlyThenFadesToSilenceAt200Ms) {
    const int rate = GetParam();
    const int period = rate * 8 / 1000;  // 125 Hz
    const int lossSamples = rate * 250 / 1000;
    const std::vector<int16_t> voice = Periodic(period, rate / 5 + lossSamples);
    SpeechConcealment concealment(rate);
    Play(concealment, std::vector<int16_t>(voice.begin(), voice.begin() + rate / 5));
    const std::vector<int16_t> out = Conceal(concealment, lossSamples);
    EXPECT_EQ(concealment.Period(), period);

    // The first 10 ms are the voice itself, sample for sample.
    const int full = rate / 100;
    for (int i = 0; i < full; ++i)
        ASSERT_EQ(out[static_cast<size_t>(i)], voice[static_cast<size_t>(rate / 5 + i)]) << i;
    // At 120 ms it plays at half its level.
    const int half = rate * 120 / 1000;
    for (int i = half - 4; i <= half + 4; ++i) {
        const double expected = 0.5 * voice[static_cast<size_t>(rate / 5 + i)];
        EXPECT_NEAR(out[static_cast<size_t>(i)], expected, 0.01 * std::abs(expected) + 1) << i;
    }
    // Sound up to the last samples before 200 ms, nothing from 200 ms on.
    const int silent = rate / 5;
    int lastSound = -1;
    for (int i = 0; i < lossSamples; ++i)
        if (out[static_cast<size_t>(i)] != 0)
            lastSound = i;
    EXPECT_GE(lastSound, silent - period);
    EXPECT_LT(lastSound, silent);
}

TEST_P(RateTest, ConcealingInPiecesGivesWhatOneLongConcealmentGives) {
    const int rate = GetParam();
    const std::vector<int16_t> voice = Voice(rate, rate / 4);
    SpeechConcealment whole(rate);
    SpeechConcealment pieces(rate);
    Play(whole, voice);
    Play(pieces, voice);
    const int count = rate / 4;
    const std::vector<int16_t> expected = Conceal(whole, count);
    std::vector<int16_t> got;
    for (int size : {1, 2, 37, 160, 1, 241, 1000}) {
        const int n = std::min(size, count - static_cast<int>(got.size()));
        const std::vector<int16_t> piece = Conceal(pieces, n);
        got.insert(got.end(), piece.begin(), piece.end());
    }
    const std::vector<int16_t> rest = Conceal(pieces, count - static_cast<int>(got.size()));
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(SpeechConcealmentTest, RateTest, ::testing::Values(8000, 11025, 22050));

TEST(SpeechConcealmentTest, ABurstOfThreeLostFramesKeepsSoundingAsTheVoiceDid) {
    // 20 ms frames at 8000 Hz; the goal: no stretch more than 30 dB below the voice, no run of zeros.
    const std::vector<int16_t> voice = Voice(8000, 4000);
    SpeechConcealment concealment(8000);
    Play(concealment, voice);
    const double voiceRms = Rms(voice.data() + 4000 - 160, 160);
    std::vector<int16_t> out;
    for (int frame = 0; frame < 3; ++frame) {
        const std::vector<int16_t> piece = Conceal(concealment, 160);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    const int16_t zeros[3] = {0, 0, 0};
    EXPECT_EQ(std::search(out.begin(), out.end(), zeros, zeros + 3), out.end());
    // Each 5 ms keeps more than half the voice's level (the level is 0.77 of it at 60 ms).
    for (int block = 0; block + 40 <= 480; block += 40)
        EXPECT_GT(Rms(out.data() + block, 40), 0.5 * voiceRms) << block;
    // And it is still well above -30 dB at 120 ms and 180 ms.
    const std::vector<int16_t> later = Conceal(concealment, 960);
    EXPECT_GT(Rms(later.data() + 480 - 40, 40), 0.3 * voiceRms);
    EXPECT_GT(Rms(later.data() + 960 - 120, 40), 0.05 * voiceRms);
}

TEST(SpeechConcealmentTest, ADriftingVoiceMeetsItselfAtEveryJoin) {
    // A 200 Hz tone on a steep ramp: one period back the sound is 1000 lower, so the stretch's end does not
    // meet its start, nor the last played sample the stretch's first, unless the joins are made to.
    std::vector<int16_t> voice(600);
    for (size_t i = 0; i < voice.size(); ++i)
        voice[i] = static_cast<int16_t>(std::lround(1000 * std::sin(2 * kPi * static_cast<double>(i) / 40) +
                                                    25.0 * (static_cast<double>(i) - 300)));
    SpeechConcealment concealment(8000);
    Play(concealment, voice);
    std::vector<int16_t> heard = {voice.back()};
    const std::vector<int16_t> out = Conceal(concealment, 160);
    EXPECT_EQ(concealment.Period(), 40);
    heard.insert(heard.end(), out.begin(), out.end());
    // The tone steps by up to 157 and the ramp by 25; a join may add the ramp's 1000 (2000 over two
    // periods) spread over a quarter period (10 samples).
    for (size_t i = 1; i < heard.size(); ++i)
        ASSERT_LE(std::abs(heard[i] - heard[i - 1]), 157 + 25 + 200) << i;
}

// Which of the last periods each period of a concealment plays, as its level over `unit`: the history
// ends with periods of one shape, 100 samples (12.5 ms) at 8000 Hz, at the levels given, oldest first.
std::vector<int> PeriodsPlayed(const std::vector<int>& levels, int unit) {
    std::vector<int16_t> voice;
    for (int level : levels) {
        const std::vector<int16_t> period = Periodic(100, 100, level);
        voice.insert(voice.end(), period.begin(), period.end());
    }
    SpeechConcealment concealment(8000);
    Play(concealment, voice);
    const std::vector<int16_t> out = Conceal(concealment, 700);
    EXPECT_EQ(concealment.Period(), 100);
    const std::vector<int16_t> one = Periodic(100, 100, unit);
    int onePeak = 0;
    for (int i = 25; i < 75; ++i)
        onePeak = std::max(onePeak, std::abs(static_cast<int>(one[static_cast<size_t>(i)])));
    std::vector<int> heard;
    for (int p = 0; p < 7; ++p) {
        // Away from the joins (the first and the last quarter of a period); the concealment's own level
        // is taken out.
        const double elapsed = p * 100 + 50;
        const double level = elapsed < 80 ? 1.0 : 1.0 - 0.5 * (elapsed - 80) / 880;
        int peak = 0;
        for (int i = p * 100 + 25; i < p * 100 + 75; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(out[static_cast<size_t>(i)])));
        heard.push_back(static_cast<int>(std::lround(peak / level / onePeak)));
    }
    return heard;
}

TEST(SpeechConcealmentTest, TheRepeatedStretchGrowsToTwoPeriodsAfter10MsAndThreeAfter20) {
    // One period until the first round after 10 ms, two until the first after 20 ms, then three; each
    // growth goes on from where the shorter stretch would have.
    EXPECT_EQ(PeriodsPlayed({2000, 2000, 2000, 3000, 4000}, 1000), (std::vector<int>{4, 4, 3, 4, 2, 3, 4}));
}

TEST(SpeechConcealmentTest, APeriodMoreThan9DbQuieterThanTheLastIsNotRepeated) {
    // 8.5 dB quieter joins; 9.5 dB quieter does not, nor anything before it: at the start of a word the
    // silence before it would be heard as holes.
    EXPECT_EQ(PeriodsPlayed({4000, 4000, 4000, 1500, 4000}, 500), (std::vector<int>{8, 8, 3, 8, 8, 3, 8}));
    EXPECT_EQ(PeriodsPlayed({4000, 4000, 4000, 1340, 4000}, 1000), std::vector<int>(7, 4));
    EXPECT_EQ(PeriodsPlayed({4000, 4000, 1340, 3000, 4000}, 1000), (std::vector<int>{4, 4, 3, 4, 3, 4, 3}));
    // A word that began two periods before the loss: 60 ms keep its level, with no silent hole.
    std::vector<int16_t> onset(400, 0);
    const std::vector<int16_t> word = Periodic(40, 80, 4000);
    onset.insert(onset.end(), word.begin(), word.end());
    SpeechConcealment concealment(8000);
    Play(concealment, onset);
    const std::vector<int16_t> out = Conceal(concealment, 480);
    EXPECT_EQ(concealment.Period(), 40);
    for (int block = 0; block + 40 <= 480; block += 40)
        EXPECT_GT(Rms(out.data() + block, 40), 0.5 * Rms(word.data(), 40)) << block;
}

TEST(SpeechConcealmentTest, WhatWasPlayedDuringALossIsPartOfTheHistoryForTheNext) {
    const std::vector<int16_t> voice = Voice(8000, 2000);
    SpeechConcealment twice(8000);
    Play(twice, voice);
    const std::vector<int16_t> first = Conceal(twice, 160);
    std::vector<int16_t> frame(voice.begin(), voice.begin() + 40);
    twice.Received(frame.data(), 40);
    const std::vector<int16_t> second = Conceal(twice, 160);

    SpeechConcealment told(8000);
    Play(told, voice);
    told.Remember(first.data(), 160);
    told.Remember(frame.data(), 40);
    EXPECT_EQ(Conceal(told, 160), second);
}

TEST(SpeechConcealmentTest, TheFirstRealFrameIsCrossFadedFromTheConcealmentWithoutAJump) {
    const int period = 40;  // 200 Hz at 8000 Hz
    const double amplitude = 10000;
    std::vector<int16_t> sine(2000);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<int16_t>(
            std::lround(amplitude * std::sin(2 * kPi * static_cast<double>(i) / period)));
    SpeechConcealment concealment(8000);
    Play(concealment, std::vector<int16_t>(sine.begin(), sine.begin() + 1610));
    const std::vector<int16_t> concealed = Conceal(concealment, 160);
    // The frame after the loss starts at the opposite of where the sine would be: without a cross-fade
    // the join would jump by twice the amplitude.
    std::vector<int16_t> frame(160);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<int16_t>(-sine[1770 + i]);
    const std::vector<int16_t> original = frame;
    concealment.Received(frame.data(), static_cast<int>(frame.size()));

    std::vector<int16_t> heard = {sine[1609]};
    heard.insert(heard.end(), concealed.begin(), concealed.end());
    heard.insert(heard.end(), frame.begin(), frame.end());
    int naturalStep = 0;
    for (int i = 1; i < 160; ++i)
        naturalStep =
            std::max(naturalStep, std::abs(sine[static_cast<size_t>(i)] - sine[static_cast<size_t>(i - 1)]));
    // A linear cross-fade of 64 samples (4 ms, and 4 ms more for the 10 ms lost beyond the first 10) adds
    // at most twice the amplitude over 65 steps to the natural step.
    const int allowed = naturalStep + static_cast<int>(2 * amplitude / 65) + 2;
    for (size_t i = 1; i < heard.size(); ++i)
        ASSERT_LE(std::abs(heard[i] - heard[i - 1]), allowed) << i;
    EXPECT_NE(frame[63], original[63]);
    EXPECT_EQ(std::vector<int16_t>(frame.begin() + 64, frame.end()),
              std::vector<int16_t>(original.begin() + 64, original.end()));
}

TEST(SpeechConcealmentTest, TheFirstFrameAfterALossIsCrossFadedOver4To10Ms) {
    // At 8000 Hz: 32 samples after up to 10 ms (80 samples) of loss, 4 samples more per 10 samples lost
    // beyond, at most 80; never more than the frame.
    struct Case {
        int lost;
        int frame;
        int blended;
    };
    for (const Case c :
         {Case{1, 160, 32}, Case{80, 160, 32}, Case{89, 160, 35}, Case{90, 160, 36}, Case{199, 160, 79},
          Case{200, 160, 80}, Case{2000, 160, 80}, Case{160, 20, 20}, Case{160, 1, 1}}) {
        SpeechConcealment concealment(8000);
        Play(concealment, Periodic(40, 800));
        Conceal(concealment, c.lost);
        std::vector<int16_t> frame(static_cast<size_t>(c.frame), 20000);
        concealment.Received(frame.data(), c.frame);
        EXPECT_NE(frame[static_cast<size_t>(c.blended - 1)], 20000) << c.lost;
        if (c.blended < c.frame) {
            EXPECT_EQ(frame[static_cast<size_t>(c.blended)], 20000) << c.lost;
        }
        // Only the first frame after a loss is blended; audio made elsewhere after a loss ends it too.
        std::vector<int16_t> second(static_cast<size_t>(c.frame), 20000);
        concealment.Received(second.data(), c.frame);
        Conceal(concealment, 160);
        concealment.Remember(second.data(), c.frame);
        concealment.Received(second.data(), c.frame);
        EXPECT_EQ(second, std::vector<int16_t>(static_cast<size_t>(c.frame), 20000)) << c.lost;
    }
}

TEST(SpeechConcealmentTest, TheHistoryIsTheLastSamplesPlayedHoweverTheyCame) {
    // At 8000 Hz the concealment looks back 390 samples: pieces on either side of that length, and longer
    // than all of it, must leave the same history as one piece.
    const std::vector<int16_t> voice = Voice(8000, 8000);
    SpeechConcealment reference(8000);
    Play(reference, voice);
    const std::vector<int16_t> expected = Conceal(reference, 480);
    for (int size : {1, 7, 160, 389, 390, 391, 1000, 7999}) {
        SpeechConcealment concealment(8000);
        for (size_t at = 0; at < voice.size(); at += static_cast<size_t>(size)) {
            const size_t end = std::min(voice.size(), at + static_cast<size_t>(size));
            if (size == 7)  // audio made elsewhere counts as played too
                concealment.Remember(voice.data() + at, static_cast<int>(end - at));
            else
                Play(concealment, std::vector<int16_t>(voice.begin() + static_cast<long>(at),
                                                       voice.begin() + static_cast<long>(end)));
        }
        EXPECT_EQ(Conceal(concealment, 480), expected) << size;
    }
}

TEST(SpeechConcealmentTest, BadCountsAndNullBuffersChangeNothing) {
    SpeechConcealment concealment(8000);
    Play(concealment, Periodic(40, 800));
    std::vector<int16_t> out(10, 77);
    concealment.Conceal(out.data(), 0);
    concealment.Conceal(out.data(), -5);
    concealment.Conceal(nullptr, 10);
    concealment.Received(nullptr, 10);
    concealment.Received(out.data(), -1);
    concealment.Remember(nullptr, 10);
    concealment.Remember(out.data(), 0);
    EXPECT_EQ(out, std::vector<int16_t>(10, 77));
    // None of them began a loss: what follows continues the voice as if they had not been made.
    SpeechConcealment untouched(8000);
    Play(untouched, Periodic(40, 800));
    EXPECT_EQ(Conceal(concealment, 100), Conceal(untouched, 100));
    // Nothing played, or silence, is concealed by silence.
    SpeechConcealment fresh(11025);
    EXPECT_EQ(Conceal(fresh, 300), std::vector<int16_t>(300, 0));
    Play(fresh, std::vector<int16_t>(1000, 0));
    EXPECT_EQ(Conceal(fresh, 300), std::vector<int16_t>(300, 0));
}

TEST(SpeechConcealmentTest, AJoinAtFullScaleIsHeldToTheSampleRangeNotWrapped) {
    // A square wave of 64 samples whose last sample jumps a half period early: the join is pulled up past
    // full scale and must stop at 32767.
    std::vector<int16_t> square(640);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i % 64) < 32 ? 32767 : -32768;
    square.back() = 32767;
    SpeechConcealment concealment(8000);
    Play(concealment, square);
    const std::vector<int16_t> out = Conceal(concealment, 16);
    EXPECT_EQ(concealment.Period(), 64);
    EXPECT_EQ(out[0], 32767);
    for (int16_t s : out)
        EXPECT_GT(s, 0);
}

// A codec whose own concealment plays a marker, as many times as it is given (then it has none).
class MarkingCodec final : public SoundCodec {
public:
    explicit MarkingCodec(int conceals) : conceals_(conceals) {}
    void Reset() override {}
    int Encode8(const uint8_t*, int, ByteBuffer& out, bool append) override {
        return NoCodecOutput(out, append);
    }
    int Decode8(const uint8_t*, int, ByteBuffer& out, bool append) override {
        return NoCodecOutput(out, append);
    }
    int Encode16(const int16_t*, int, ByteBuffer& out, bool append) override {
        return NoCodecOutput(out, append);
    }
    int Decode16(const uint8_t*, int, SampleBuffer& out, bool append) override {
        return NoCodecOutput(out, append);
    }
    int Conceal16(SampleBuffer& out, bool append) override {
        if (conceals_-- <= 0)
            return NoCodecOutput(out, append);
        int16_t* at = PrepareCodecOutput(out, append, 100);
        std::fill(at, at + 100, static_cast<int16_t>(-9));
        out.SetLength(out.Length() + 100);
        return 100;
    }

private:
    int conceals_;
};

TEST(StreamConcealmentTest, ACodecsOwnConcealmentIsPlayedAndBlendsNothingIntoTheNextFrame) {
    MarkingCodec codec(2);
    StreamConcealment concealment(&codec, 8000);
    std::vector<int16_t> voice = Periodic(40, 800);
    concealment.Received(voice.data(), 800);
    std::vector<int16_t> out(160, 1);
    concealment.Conceal(out.data(), 160);
    // The codec's 100 samples, then silence to the end of the slot.
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 100), std::vector<int16_t>(100, -9));
    EXPECT_EQ(std::vector<int16_t>(out.begin() + 100, out.end()), std::vector<int16_t>(60, 0));
    std::vector<int16_t> frame(160, 20000);
    concealment.Received(frame.data(), 160);
    EXPECT_EQ(frame, std::vector<int16_t>(160, 20000));
    // When the codec has no concealment left, the general one goes on from all that was played, the
    // codec's own concealment included.
    SpeechConcealment played(8000);
    Play(played, Periodic(40, 800));
    played.Remember(out.data(), 160);
    Play(played, frame);
    played.Remember(out.data(), 160);
    concealment.Conceal(out.data(), 160);
    std::vector<int16_t> next(160);
    concealment.Conceal(next.data(), 160);
    EXPECT_EQ(next, Conceal(played, 160));
}

TEST(StreamConcealmentTest, WithoutACodecsConcealmentTheVoiceIsContinuedAtTheStreamsRate) {
    // At 22050 Hz: the pitch periods searched are the stream's, not 8000 Hz ones.
    MarkingCodec codec(0);
    StreamConcealment stream(&codec, 22050);
    StreamConcealment raw(nullptr, 22050);
    SpeechConcealment speech(22050);
    for (PlayoutBuffer::Concealer* concealer :
         {static_cast<PlayoutBuffer::Concealer*>(&stream), static_cast<PlayoutBuffer::Concealer*>(&raw)}) {
        std::vector<int16_t> voice = Voice(22050, 11025);
        concealer->Received(voice.data(), 11025);
    }
    Play(speech, Voice(22050, 11025));
    const std::vector<int16_t> expected = Conceal(speech, 300);
    EXPECT_GT(Rms(expected.data(), 300), 1000);
    std::vector<int16_t> out(300);
    stream.Conceal(out.data(), 300);
    EXPECT_EQ(out, expected);
    raw.Conceal(out.data(), 300);
    EXPECT_EQ(out, expected);
}

}  // namespace

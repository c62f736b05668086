// The LPC-10 codec: the 7-byte frame with its 54 bits least significant bit first, what the vocoder keeps of
// a voice (loudness over time and pitch), decoded samples limited rather than wrapped, and sox's own LPC-10
// decoder reading our frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "audio/Lpc10Codec.h"
#include "audio_codec_support.h"

using namespace codec_test;

namespace {

constexpr int kSamples = Lpc10Codec::kFrameSamples;
constexpr int kBytes = Lpc10Codec::kFrameBytes;
constexpr double kRate = 8000.0;
// The decoder's start-up: it gives little more than silence for its first frames.
constexpr int kStartFrames = 5;

Samples DecodeAll(const std::vector<Bytes>& frames) {
    Lpc10Codec codec;
    return DecodeFrames(codec, frames);
}

double Correlation(const std::vector<double>& a, const std::vector<double>& b) {
    const size_t n = std::min(a.size(), b.size());
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i) {
        ma += a[i] / static_cast<double>(n);
        mb += b[i] / static_cast<double>(n);
    }
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return aa == 0 || bb == 0 ? 0.0 : ab / std::sqrt(aa * bb);
}

// Loudness over time: the RMS of each block of `block` samples from `from` on.
std::vector<double> Envelope(const Samples& s, size_t from, size_t block) {
    std::vector<double> envelope;
    for (size_t at = from; at + block <= s.size(); at += block)
        envelope.push_back(Rms(s.data() + at, block));
    return envelope;
}

// The pitch of one stretch of sound, from a period between 2.5 and 20 ms found by autocorrelation: of the
// centre-clipped signal, so that the formants' ringing does not count, and at the shortest lag scoring nearly
// as well as the best, since whole multiples of the period score as well as the period.
double PitchHz(const int16_t* s, int count) {
    constexpr int kShortest = 20, kLongest = 160;
    const double loudest = std::abs(static_cast<double>(
        *std::max_element(s, s + count, [](int16_t a, int16_t b) { return std::abs(a) < std::abs(b); })));
    const double clip = 0.3 * loudest;
    std::vector<double> x(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double v = s[i];
        x[static_cast<size_t>(i)] = v > clip ? v - clip : v < -clip ? v + clip : 0.0;
    }
    std::vector<double> score(kLongest + 2, 0.0);
    for (size_t lag = kShortest; lag <= kLongest + 1; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i + lag < x.size(); ++i) {
            ab += x[i] * x[i + lag];
            aa += x[i] * x[i];
            bb += x[i + lag] * x[i + lag];
        }
        score[lag] = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
    }
    const double best = *std::max_element(score.begin(), score.end());
    for (size_t lag = kShortest + 1; lag <= kLongest; ++lag) {
        if (score[lag] >= 0.9 * best && score[lag] >= score[lag - 1] && score[lag] >= score[lag + 1])
            return kRate / static_cast<double>(lag);
    }
    return 0.0;
}

}  // namespace

TEST(Lpc10CodecTest, EveryFrameIsSevenBytesWithTheTopTwoBitsOfTheLastClear) {
    Lpc10Codec codec;
    Samples noise(kSamples * 20);
    std::mt19937 rng(3);
    std::generate(noise.begin(), noise.end(), [&] { return static_cast<int16_t>(rng()); });
    const std::vector<Samples> signals = {Samples(kSamples * 20, 0), VoiceLike(kSamples * 40, 32767), noise};
    ByteBuffer out;
    for (const Samples& signal : signals) {
        for (size_t at = 0; at + kSamples <= signal.size(); at += kSamples) {
            ASSERT_EQ(codec.Encode16(signal.data() + at, kSamples, out, false), 7);
            ASSERT_EQ(out.Length(), 7);
            ASSERT_EQ(out[6] & 0xC0, 0);
        }
    }
}

// A vocoder keeps neither the waveform nor its phase, so what is compared is what a listener follows: the
// syllables' loudness over time and the voice's pitch.
TEST(Lpc10CodecTest, AVoiceSurvivesTheRoundTripAfterTheDecodersStartUp) {
    const Samples voice = VoiceLike(kSamples * 120, 12000);
    const Samples decoded = DecodeAll(EncodeFrames<Lpc10Codec>(voice));
    ASSERT_EQ(decoded.size(), voice.size());

    // Coder and decoder together delay the sound by five to six frames; find by how much from the loudness
    // envelopes.
    constexpr size_t kBlock = 80;
    const size_t from = kStartFrames * kSamples;
    const std::vector<double> original = Envelope(voice, from, kBlock);
    double best = -1;
    size_t delay = 0;
    for (size_t lag = 0; lag <= 8 * kSamples; lag += 10) {
        const double c = Correlation(original, Envelope(decoded, from + lag, kBlock));
        if (c > best) {
            best = c;
            delay = lag;
        }
    }
    RecordProperty("envelope_correlation", std::to_string(best));
    RecordProperty("delay_samples", std::to_string(delay));
    EXPECT_GT(best, 0.9);
    EXPECT_LT(delay, 8u * kSamples);

    // Loudness within 3 dB overall.
    const double level = 20 * std::log10(Rms(decoded.data() + from + delay, voice.size() - from - delay) /
                                         Rms(voice.data() + from, voice.size() - from - delay));
    EXPECT_LT(std::abs(level), 3.0) << level << " dB";

    // Pitch within 5 % all through each syllable, as the pitch glides between 100 and 150 Hz.
    int compared = 0;
    for (size_t at = from; at + delay + 400 <= voice.size(); at += 400) {
        if (Rms(voice.data() + at, 400) < 2000)
            continue;
        const double want = PitchHz(voice.data() + at, 400);
        const double got = PitchHz(decoded.data() + at + delay, 400);
        EXPECT_NEAR(got, want, want * 0.05) << "at sample " << at;
        ++compared;
    }
    EXPECT_GT(compared, 10);
}

// The library's own conversion to 16 bits wraps loud samples around; ours must limit them.
TEST(Lpc10CodecTest, LoudSoundIsLimitedToSixteenBitsNotWrappedAround) {
    const Samples decoded = DecodeAll(EncodeFrames<Lpc10Codec>(VoiceLike(kSamples * 100, 32767)));
    int atLimit = 0;
    int biggestStep = 0;
    for (size_t i = 1; i < decoded.size(); ++i) {
        if (decoded[i] == 32767 || decoded[i] == -32768)
            ++atLimit;
        biggestStep = std::max(biggestStep, std::abs(decoded[i] - decoded[i - 1]));
    }
    EXPECT_GT(atLimit, 0) << "the sound was not loud enough to reach the limits";
    EXPECT_LT(biggestStep, 32768);
}

// sox reads LPC-10 with its own decoder, in the library's byte layout (most significant bit first): our bytes
// with the bits of each reversed must sound as loud as our own decoding of them, and for loud sound its
// limiting must agree with ours.
TEST(Lpc10CodecTest, SoxDecodesOurBitReversedFramesAlike) {
    if (!RunQuietly("command -v sox"))
        GTEST_SKIP() << "sox not installed (scripts/install-deps --test)";
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    for (double peak : {6000.0, 32767.0}) {
        const std::vector<Bytes> frames = EncodeFrames<Lpc10Codec>(VoiceLike(kSamples * 100, peak));
        Bytes stream = Join(frames);
        for (uint8_t& byte : stream) {
            uint8_t reversed = 0;
            for (int bit = 0; bit < 8; ++bit)
                reversed = static_cast<uint8_t>(reversed | (((byte >> bit) & 1) << (7 - bit)));
            byte = reversed;
        }
        const std::string in = dir.Path("voice.lpc10");
        const std::string out = dir.Path("voice.raw");
        WriteFile(in, stream);
        ASSERT_TRUE(RunQuietly("sox -V1 -t lpc10 '" + in + "' -t raw -e signed -b 16 -c 1 '" + out + "'"));

        const Samples ours = DecodeAll(frames);
        const Samples theirs = ReadRawSamples(out);
        ASSERT_EQ(theirs.size(), ours.size()) << "peak " << peak;
        const size_t from = kStartFrames * kSamples;
        const double difference = 20 * std::log10(Rms(theirs.data() + from, theirs.size() - from) /
                                                  Rms(ours.data() + from, ours.size() - from));
        EXPECT_LT(std::abs(difference), 1.0) << "peak " << peak << ": " << difference << " dB";
        int apart = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            if (std::abs(ours[i] - theirs[i]) > 256)
                ++apart;
        }
        EXPECT_EQ(apart, 0) << "peak " << peak;
    }
}

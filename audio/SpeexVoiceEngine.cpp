// The speexdsp engine: its MDF echo canceller, then its preprocessor (noise suppression, level control and
// the suppression of the echo the canceller left), then a high-pass of our own, since speexdsp has none
// beyond the canceller's DC notch. speexdsp runs at any rate, so no resampling is needed.
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "audio/VoiceEngine.h"
#include "base/Exception.h"

namespace {

// Cut-off of the high-pass: below it a voice has nothing, and rumble and handling noise have much.
constexpr double kHighPassHz = 100.0;
// The level control's target (of 32768) and the most it may amplify, in dB.
constexpr float kAgcTarget = 8000.0f;
constexpr int kAgcMaxGainDb = 20;
// How far the preprocessor pushes noise and left-over echo down, in dB.
constexpr int kNoiseSuppressDb = -30;
constexpr int kEchoSuppressDb = -50;
constexpr int kEchoSuppressActiveDb = -20;

// A power of two of at most 20 ms: the canceller's FFTs are quickest at such lengths.
int ChunkFor(int rate) {
    int chunk = 64;
    while (chunk * 2 <= rate / 50)
        chunk *= 2;
    return chunk;
}

class SpeexVoiceEngine final : public VoiceEngine {
public:
    SpeexVoiceEngine(int rate, const Settings& settings, int tailMs)
        : rate_(rate),
          settings_(settings),
          chunk_(ChunkFor(rate)),
          highPass_(rate, kHighPassHz),
          watch_(rate, chunk_) {
        const int tail = std::max(chunk_, rate * tailMs / 1000);
        if (settings_.echo) {
            echo_ = speex_echo_state_init(chunk_, tail);
            if (echo_ == nullptr)
                throw MemoryException();
            speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate_);
        }
        preprocess_ = speex_preprocess_state_init(chunk_, rate);
        if (preprocess_ == nullptr) {
            Release();
            throw MemoryException();
        }
        int on = settings_.cleanUp ? 1 : 0;
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &on);
        int off = 0;
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
        float level = kAgcTarget;
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
        int maxGain = kAgcMaxGainDb;
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC_MAX_GAIN, &maxGain);
        int noise = kNoiseSuppressDb;
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noise);
        if (echo_ != nullptr) {
            speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
            int suppress = kEchoSuppressDb;
            int active = kEchoSuppressActiveDb;
            speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &suppress);
            speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &active);
        }
        cancelled_.resize(static_cast<size_t>(chunk_));
    }
    ~SpeexVoiceEngine() override { Release(); }
    SpeexVoiceEngine(const SpeexVoiceEngine&) = delete;
    SpeexVoiceEngine& operator=(const SpeexVoiceEngine&) = delete;

    int Rate() const override { return rate_; }
    int ChunkSamples() const override { return chunk_; }
    const char* Name() const override { return "speexdsp"; }
    bool Cancelling() const override { return watch_.Cancelling(); }

    void Process(const int16_t* far, int16_t* near) override {
        if (settings_.cleanUp) {
            for (int i = 0; i < chunk_; ++i)
                near[i] = ClipSample(highPass_.Step(near[i]));
        }
        if (echo_ != nullptr) {
            speex_echo_cancellation(echo_, near, far, cancelled_.data());
            watch_.Watch(far, near, cancelled_.data());
            std::copy(cancelled_.begin(), cancelled_.end(), near);
        }
        // With cancellation alone the preprocessor still removes what echo the canceller left.
        if (settings_.cleanUp || echo_ != nullptr)
            speex_preprocess_run(preprocess_, near);
    }

private:
    void Release() {
        if (preprocess_ != nullptr)
            speex_preprocess_state_destroy(preprocess_);
        if (echo_ != nullptr)
            speex_echo_state_destroy(echo_);
        preprocess_ = nullptr;
        echo_ = nullptr;
    }

    int rate_;
    Settings settings_;
    int chunk_ = 0;
    HighPass highPass_;
    SpeexEchoState* echo_ = nullptr;
    SpeexPreprocessState* preprocess_ = nullptr;
    std::vector<int16_t> cancelled_;
    CancellingWatch watch_;
};

}  // namespace

int SpeexEngineRate(int codecRate) {
    return codecRate;
}

std::unique_ptr<VoiceEngine> MakeSpeexVoiceEngine(int rate, const VoiceEngine::Settings& settings,
                                                  int tailMs) {
    return std::make_unique<SpeexVoiceEngine>(rate, settings, tailMs);
}

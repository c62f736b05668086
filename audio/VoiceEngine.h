// One library's echo canceller, noise suppressor, level control and high-pass, behind one small interface,
// so that the capture-path stage (VoiceProcessor) and the echo bench can run either library the same way.
// An engine works in chunks of its own length at its own rate; the stage does the framing and resampling.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

class VoiceEngine {
public:
    // What runs besides nothing: echo cancellation, and with `cleanUp` noise suppression, level control
    // and the high-pass as well.
    struct Settings {
        bool echo = true;
        bool cleanUp = true;
    };

    virtual ~VoiceEngine() = default;
    virtual int Rate() const = 0;
    virtual int ChunkSamples() const = 0;
    // One chunk: `far` is what was played in the same stretch of time as `near` was captured (silence when
    // nothing played); `near` is processed in place.
    virtual void Process(const int16_t* far, int16_t* near) = 0;
    // How much later the echo of a played sample reaches the microphone than the reference arrives, as far
    // as the devices tell; engines that search for the delay themselves may ignore it.
    virtual void SetDelayHintMs(int /*delayMs*/) {}
    // The canceller has learnt an echo path and is removing echo now.
    virtual bool Cancelling() const = 0;
    virtual const char* Name() const = 0;
};

// Whether a canceller is removing echo: over each half second in which the far end played, the microphone's
// energy against what the engine let through. Metrics of the libraries' own are not kept at every rate.
class CancellingWatch {
public:
    CancellingWatch(int rate, int chunk)
        : chunk_(chunk), windowChunks_(rate / 2 / chunk > 0 ? rate / 2 / chunk : 1) {}
    void Watch(const int16_t* far, const int16_t* in, const int16_t* out) {
        double farEnergy = 0, inEnergy = 0, outEnergy = 0;
        for (int i = 0; i < chunk_; ++i) {
            farEnergy += static_cast<double>(far[i]) * far[i];
            inEnergy += static_cast<double>(in[i]) * in[i];
            outEnergy += static_cast<double>(out[i]) * out[i];
        }
        // A far end below about -50 dBFS played nothing: nothing to cancel, nothing to judge by.
        if (farEnergy < chunk_ * kFarSilence)
            return;
        windowIn_ += inEnergy;
        windowOut_ += outEnergy;
        if (++windowCount_ < windowChunks_)
            return;
        // A microphone that heard next to nothing (-60 dBFS) keeps the last judgement.
        if (windowIn_ > static_cast<double>(windowChunks_) * chunk_ * kQuietMicrophone)
            cancelling_ = windowIn_ > kCancellingRatio * windowOut_;
        windowIn_ = windowOut_ = 0;
        windowCount_ = 0;
    }
    bool Cancelling() const { return cancelling_; }

private:
    static constexpr double kFarSilence = 10000.0;
    static constexpr double kQuietMicrophone = 1000.0;
    static constexpr double kCancellingRatio = 4.0;  // 6 dB
    int chunk_;
    int windowChunks_;
    int windowCount_ = 0;
    double windowIn_ = 0, windowOut_ = 0;
    bool cancelling_ = false;
};

// A sample rounded to 16 bits, clipped at full scale.
inline int16_t ClipSample(double value) {
    // Clamped first, then rounded half away from zero by hand: lround's library call cost a tenth of the
    // stage's time per sample.
    const double clamped = std::clamp(value, -32768.0, 32767.0);
    return static_cast<int16_t>(clamped < 0 ? clamped - 0.5 : clamped + 0.5);
}

// A second-order Butterworth high-pass (bilinear transform).
class HighPass {
public:
    HighPass(double rate, double cutoffHz) {
        const double k = std::tan(M_PI * cutoffHz / rate);
        const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
        b0_ = norm;
        b1_ = -2.0 * norm;
        b2_ = norm;
        a1_ = 2.0 * (k * k - 1.0) * norm;
        a2_ = (1.0 - std::sqrt(2.0) * k + k * k) * norm;
    }
    double Step(double x) {
        const double y = b0_ * x + z1_;
        z1_ = b1_ * x - a1_ * y + z2_;
        z2_ = b2_ * x - a2_ * y;
        return y;
    }

private:
    double b0_, b1_, b2_, a1_, a2_;
    double z1_ = 0, z2_ = 0;
};

// The rate each library runs at for a codec rate: speexdsp runs at any rate, webrtc at 8, 16, 32 or 48 kHz.
// WebrtcEngineRate covers the codec's whole band; WebrtcSplitRate is the highest of webrtc's rates at or
// below the codec's, the band above it left to the stage (VoiceProcessor).
int SpeexEngineRate(int codecRate);
int WebrtcEngineRate(int codecRate);
int WebrtcSplitRate(int codecRate);
// `tailMs`: how far back the echo canceller looks.
std::unique_ptr<VoiceEngine> MakeSpeexVoiceEngine(int rate, const VoiceEngine::Settings& settings,
                                                  int tailMs);
std::unique_ptr<VoiceEngine> MakeWebrtcVoiceEngine(int rate, const VoiceEngine::Settings& settings);

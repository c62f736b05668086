// One library's echo canceller, noise suppressor, level control and high-pass, behind one small interface,
// so that the capture-path stage (VoiceProcessor) and the echo bench can run either library the same way.
// An engine works in chunks of its own length at its own rate; the stage does the framing and resampling.
#pragma once

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

// The rate each library runs at for a codec rate: speexdsp runs at any rate, webrtc at 8, 16, 32 or 48 kHz.
int SpeexEngineRate(int codecRate);
int WebrtcEngineRate(int codecRate);
// `tailMs`: how far back the echo canceller looks.
std::unique_ptr<VoiceEngine> MakeSpeexVoiceEngine(int rate, const VoiceEngine::Settings& settings,
                                                  int tailMs);
std::unique_ptr<VoiceEngine> MakeWebrtcVoiceEngine(int rate, const VoiceEngine::Settings& settings);

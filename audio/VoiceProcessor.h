// The capture-path stage before the encoder: echo cancellation against what this copy plays, noise
// suppression, level control and a high-pass, at the codec's rate whatever rate the library works at.
//
// The players hand it what they played (Played, on their threads); the recorder's thread hands it each
// captured buffer (Process), which it changes in place into the audio to encode. In between it frames the
// audio in the library's chunks and resamples where the library wants its own rate, so a buffer comes
// back a chunk or so later than it went in (the same number of samples every time).
//
// Where the library's rate is below the codec's (webrtc at 8 kHz for 11025 Hz, at 16 kHz for 22050 Hz), the
// library works on the band its rate holds and the band above it (4 to 5.5 kHz at 11025 Hz) follows the
// library's gain: the stage takes that band as the capture less the library's input brought back to the
// codec's rate, and scales it by how much the library changed the lower band's level over each 10 ms. The
// upper band is left to the gain alone: echo there is suppressed with the lower band's echo, not cancelled on
// its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/VoiceEngine.h"

struct SpeexResamplerState_;

class VoiceProcessor {
public:
    enum class Mode { kOff, kEcho, kAll };
    enum class Library { kSpeex, kWebrtc };
    // kSplit: the library at its highest rate at or below the codec's, the band above following its gain
    // (about half the processor time at 11025 Hz); kWhole: the library at a rate that holds the codec's
    // whole band, resampling both ways. Whole by default: split met every figure of bench/measure_echo.sh,
    // but through a real sound server on a busy machine (tests/system/echo_test.sh) the canceller at 8 kHz
    // lost the echo in 8 calls of 25 where the one at 16 kHz lost it in 1 of 10.
    enum class Band { kSplit, kWhole };
    static constexpr Band kDefaultBand = Band::kWhole;
    // The band the environment asks for: QPARLIN_VOICE_BAND=whole or split, else kDefaultBand.
    static Band ConfiguredBand();
    // The library the stage uses unless told otherwise (chosen by bench/measure_echo.sh).
    static constexpr Library kDefaultLibrary = Library::kWebrtc;
    // How far back the speexdsp canceller looks: the room's echo plus what alignment leaves over.
    static constexpr int kTailMs = 200;
    // Reference kept for a capture that stalls; what is older was played too long ago to echo.
    static constexpr int kMaxReferenceMs = 1000;

    VoiceProcessor(int codecRate, Mode mode, Library library = kDefaultLibrary, Band band = ConfiguredBand());
    // With an engine of the caller's (tests): at the engine's rate, split where it is below the codec's.
    VoiceProcessor(int codecRate, Mode mode, std::unique_ptr<VoiceEngine> engine);
    ~VoiceProcessor();
    VoiceProcessor(const VoiceProcessor&) = delete;
    VoiceProcessor& operator=(const VoiceProcessor&) = delete;

    Mode GetMode() const { return mode_; }
    int CodecRate() const { return codecRate_; }
    // What one stream played, in order, at the codec's rate. Streams' audio is summed, as the speaker does.
    void Played(int stream, const int16_t* samples, int count);
    // How much later than its report a played sample is heard in the capture, as the devices tell
    // (playback latency plus capture latency); the reference is held back by most of it.
    void SetDeviceDelayMs(int delayMs);
    // One captured buffer, processed in place. The recorder's thread only.
    void Process(int16_t* samples, int count);
    // Forgets the audio on its way through, so that nothing of one capture comes out in the next; what the
    // canceller learnt of the room stays. The recorder's thread, between two captures.
    void Flush();
    // Echo cancellation runs and is removing echo now. Any thread.
    bool Cancelling() const { return cancelling_.load(std::memory_order_relaxed); }
    const char* LibraryName() const { return engine_ ? engine_->Name() : "none"; }
    // The library's own rate (0 when off).
    int EngineRate() const { return engineRate_; }

private:
    // Takes `count` samples of the summed reference (silence where nothing played).
    void TakeReference(int16_t* out, int count);
    // The resamplers and the upper band's alignment, once the engine is there.
    void Start();
    // Runs the library over every whole chunk waiting.
    void RunChunks();
    // Split only: after the library made one chunk `out` of `in`, the gain it gave the lower band over it
    // for the upper band, and what the lower band is to add to the capture.
    void TakeGain(const int16_t* in, const int16_t* out);
    // Split only: brings that back to the codec's rate and adds the capture at the gain.
    void AddUpperBand();

    const int codecRate_;
    const Mode mode_;
    std::unique_ptr<VoiceEngine> engine_;
    int engineRate_ = 0;
    int chunk_ = 0;

    // The players' side: the summed reference not yet taken, and where each stream writes next.
    std::mutex referenceLock_;
    std::vector<int32_t> reference_;
    std::vector<size_t> cursors_;  // per stream index
    std::atomic<int> delaySamples_{0};

    // The recorder's side.
    SpeexResamplerState_* nearIn_ = nullptr;  // codec rate to engine rate, or null
    SpeexResamplerState_* farIn_ = nullptr;
    SpeexResamplerState_* out_ = nullptr;  // engine rate back to codec rate
    std::vector<int16_t> delayLine_;       // the reference held back, oldest first
    std::vector<int16_t> farCodec_;
    std::vector<int16_t> nearEngine_, farEngine_, outEngine_;
    std::vector<int16_t> scratch_;
    std::vector<int16_t> output_;  // processed audio at the codec's rate, oldest first
    bool primed_ = false;          // output_ began with its silence
    // Split only: the capture at the codec's rate as it waits to meet its own lower band coming back from
    // the resamplers (primed with their delay); what comes back; the gain at each of the library's samples
    // from gainsStart_ on, and where the upper band's gain is.
    bool split_ = false;
    std::vector<int16_t> nearCodec_;
    size_t roundTrip_ = 0;
    size_t outLatency_ = 0;  // in the library's samples
    std::vector<float> lowerEngine_, lowerCodec_;
    std::vector<float> gains_;
    uint64_t gainsStart_ = 0;
    uint64_t codecDone_ = 0;
    double bandGain_ = 1.0;
    std::atomic<bool> cancelling_{false};
};

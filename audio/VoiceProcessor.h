// The capture-path stage before the encoder: echo cancellation against what this copy plays, noise
// suppression, level control and a high-pass, at the codec's rate whatever rate the library works at.
//
// The players hand it what they played (Played, on their threads); the recorder's thread hands it each
// captured buffer (Process), which it changes in place into the audio to encode. In between it frames the
// audio in the library's chunks and resamples where the library wants its own rate, so a buffer comes
// back a chunk or so later than it went in (the same number of samples every time).
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
    // The library the stage uses unless told otherwise (chosen by bench/measure_echo.sh).
    static constexpr Library kDefaultLibrary = Library::kWebrtc;
    // How far back the speexdsp canceller looks: the room's echo plus what alignment leaves over.
    static constexpr int kTailMs = 200;
    // Reference kept for a capture that stalls; what is older was played too long ago to echo.
    static constexpr int kMaxReferenceMs = 1000;

    VoiceProcessor(int codecRate, Mode mode, Library library = kDefaultLibrary);
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

private:
    // Takes `count` samples of the summed reference (silence where nothing played).
    void TakeReference(int16_t* out, int count);
    // Runs the library over every whole chunk waiting.
    void RunChunks();

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
    std::atomic<bool> cancelling_{false};
};

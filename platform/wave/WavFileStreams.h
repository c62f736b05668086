// The streams of the WAV-file backend: a microphone that plays a file in real time and a speaker that
// writes what it plays into a file, also in real time.
#pragma once

#include <sndfile.h>
#include <atomic>
#include <memory>
#include <vector>

#include "platform/wave/ChunkPacer.h"
#include "platform/wave/WaveStream.h"

struct SndFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

struct SpeexResamplerState_;

// The most channels an input file may have; it is mixed down to one.
constexpr int kMaxWavChannels = 64;
// The rates an input file may have: the device converts any of them to its own.
constexpr int kMinWavRate = 4000;
constexpr int kMaxWavRate = 192000;

// Reads an open sound file, mixing its channels down to mono and converting it to the device's rate when
// the file has another (a session may change the call's rate after the device first opened); after its end,
// silence.
class WavFileSource final : public WaveSource {
public:
    // `channels` is the file's, 1 to kMaxWavChannels; `fileRate` the file's, kMinWavRate to kMaxWavRate.
    WavFileSource(SndFilePtr file, int channels, uint32_t fileRate, uint32_t samplesPerSec,
                  uint16_t bitsPerSample);
    bool Resume() override;
    void Pause() override {}
    bool Read(uint8_t* data, size_t frames) override;

private:
    struct ResamplerDeleter {
        void operator()(SpeexResamplerState_* resampler) const;
    };

    // Reads up to `frames` frames as mono samples; fewer (then none ever again) at the end of the file.
    size_t ReadMono(int16_t* samples, size_t frames);
    // The same at the device's rate.
    size_t ReadAtDeviceRate(int16_t* samples, size_t frames);

    SndFilePtr file_;
    // Only for a file at another rate than the device's, with the file's samples it has not taken yet.
    std::unique_ptr<SpeexResamplerState_, ResamplerDeleter> resampler_;
    std::vector<int16_t> pending_;
    size_t pendingStart_ = 0;
    size_t pendingEnd_ = 0;
    int channels_;
    uint16_t bitsPerSample_;
    ChunkPacer pacer_;
    bool traced_ = false;  // the start was printed for QPARLIN_TRACE
    bool ended_ = false;
    std::vector<int16_t> interleaved_;
    std::vector<int16_t> mono_;
};

// An output file that outlives the playback devices writing to it, one device at a time.
struct WavOutputFile {
    SndFilePtr file;
    uint32_t samplesPerSec = 0;
    uint16_t bitsPerSample = 0;
    std::atomic<bool> inUse{false};
};

// Writes what the device plays into the file, paced like a speaker.
class WavFileSink final : public WaveSink {
public:
    // Takes the file over for this device; it is free again when the sink is destroyed.
    explicit WavFileSink(std::shared_ptr<WavOutputFile> output);
    ~WavFileSink() override;
    WavFileSink(const WavFileSink&) = delete;
    WavFileSink& operator=(const WavFileSink&) = delete;

    bool Write(const uint8_t* data, size_t frames) override;

private:
    std::shared_ptr<WavOutputFile> output_;
    ChunkPacer pacer_;
    bool traced_ = false;  // the start was printed for QPARLIN_TRACE
    std::vector<int16_t> samples_;
};

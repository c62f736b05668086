// Sound files as a microphone and a speaker, through libsndfile.
#include "platform/wave/WavFileStreams.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/wave/WaveBackendBase.h"

namespace {

// libsndfile converts every sample type to 16-bit; these turn that into the device's bytes and back.
uint8_t ToUnsigned8(int16_t sample) {
    return static_cast<uint8_t>((sample >> 8) + 128);
}
int16_t FromUnsigned8(uint8_t sample) {
    return static_cast<int16_t>((int32_t{sample} - 128) * 256);
}

// The monotonic clock every process on the machine shares, in milliseconds.
double MonotonicMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void WavFileSource::ResamplerDeleter::operator()(SpeexResamplerState_* resampler) const {
    speex_resampler_destroy(resampler);
}

WavFileSource::WavFileSource(SndFilePtr file, int channels, uint32_t fileRate, uint32_t samplesPerSec,
                             uint16_t bitsPerSample)
    : file_(std::move(file)),
      channels_(std::clamp(channels, 1, kMaxWavChannels)),
      bitsPerSample_(bitsPerSample),
      pacer_(samplesPerSec),
      // A channel count the scratch buffer was not sized for is never read: the file sounds silent.
      ended_(channels != channels_),
      interleaved_(std::max(ChunkFrames(samplesPerSec), ChunkFrames(fileRate)) *
                   static_cast<size_t>(channels_)),
      mono_(ChunkFrames(samplesPerSec)) {
    if (fileRate == samplesPerSec)
        return;
    // So is a rate out of bounds, or one the converter refuses.
    int error = RESAMPLER_ERR_SUCCESS;
    if (fileRate >= static_cast<uint32_t>(kMinWavRate) && fileRate <= static_cast<uint32_t>(kMaxWavRate))
        resampler_.reset(
            speex_resampler_init(1, fileRate, samplesPerSec, SPEEX_RESAMPLER_QUALITY_DEFAULT, &error));
    if (!resampler_ || error != RESAMPLER_ERR_SUCCESS) {
        resampler_.reset();
        ended_ = true;
        return;
    }
    // The converter's filter delay would otherwise open the file with a few milliseconds of silence.
    speex_resampler_skip_zeros(resampler_.get());
    pending_.resize(ChunkFrames(fileRate));
}

bool WavFileSource::Resume() {
    pacer_.Restart();
    // Measurements of a call's delay need to know when the file's audio really began to be captured.
    if (!traced_ && std::getenv("QPARLIN_TRACE") != nullptr) {
        traced_ = true;
        std::fprintf(stderr, "wav recording starts at %.3f ms\n", MonotonicMs());
    }
    return true;
}

size_t WavFileSource::ReadMono(int16_t* samples, size_t frames) {
    if (ended_)
        return 0;
    const sf_count_t got = sf_readf_short(file_.get(), interleaved_.data(), static_cast<sf_count_t>(frames));
    const size_t count = got > 0 ? std::min(static_cast<size_t>(got), frames) : 0;
    if (count < frames)
        ended_ = true;
    const size_t channels = static_cast<size_t>(channels_);
    for (size_t i = 0; i < count; ++i) {
        int32_t sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += interleaved_[i * channels + c];
        samples[i] = static_cast<int16_t>(sum / channels_);
    }
    return count;
}

size_t WavFileSource::ReadAtDeviceRate(int16_t* samples, size_t frames) {
    if (!resampler_)
        return ReadMono(samples, frames);
    size_t done = 0;
    while (done < frames) {
        if (pendingStart_ == pendingEnd_) {
            pendingStart_ = 0;
            pendingEnd_ = ReadMono(pending_.data(), pending_.size());
            if (pendingEnd_ == 0)
                break;  // what the converter still holds of the file's last milliseconds is left out
        }
        spx_uint32_t taken = static_cast<spx_uint32_t>(pendingEnd_ - pendingStart_);
        spx_uint32_t made = static_cast<spx_uint32_t>(frames - done);
        speex_resampler_process_int(resampler_.get(), 0, pending_.data() + pendingStart_, &taken,
                                    samples + done, &made);
        if (taken == 0 && made == 0)
            break;
        pendingStart_ += std::min<size_t>(taken, pendingEnd_ - pendingStart_);
        done += std::min<size_t>(made, frames - done);
    }
    return done;
}

bool WavFileSource::Read(uint8_t* data, size_t frames) {
    pacer_.Wait(frames);
    const size_t bytesPerSample = bitsPerSample_ / 8u;
    size_t done = 0;
    while (done < frames) {
        const size_t want = std::min(frames - done, mono_.size());
        const size_t got = ReadAtDeviceRate(mono_.data(), want);
        uint8_t* out = data + done * bytesPerSample;
        if (bitsPerSample_ == 8) {
            for (size_t i = 0; i < got; ++i)
                out[i] = ToUnsigned8(mono_[i]);
        } else {
            std::memcpy(out, mono_.data(), got * sizeof(int16_t));
        }
        done += got;
        if (got < want)
            break;
    }
    std::memset(data + done * bytesPerSample, SilenceByte(bitsPerSample_), (frames - done) * bytesPerSample);
    return true;
}

WavFileSink::WavFileSink(std::shared_ptr<WavOutputFile> output)
    : output_(std::move(output)),
      pacer_(output_->samplesPerSec),
      samples_(ChunkFrames(output_->samplesPerSec)) {
    output_->inUse.store(true, std::memory_order_release);
}

WavFileSink::~WavFileSink() {
    output_->inUse.store(false, std::memory_order_release);
}

bool WavFileSink::Write(const uint8_t* data, size_t frames) {
    if (!traced_ && std::getenv("QPARLIN_TRACE") != nullptr) {
        traced_ = true;
        std::fprintf(stderr, "wav playback starts at %.3f ms\n", MonotonicMs());
    }
    const size_t bytesPerSample = output_->bitsPerSample / 8u;
    size_t done = 0;
    while (done < frames) {
        const size_t count = std::min(frames - done, samples_.size());
        const uint8_t* in = data + done * bytesPerSample;
        if (output_->bitsPerSample == 8) {
            for (size_t i = 0; i < count; ++i)
                samples_[i] = FromUnsigned8(in[i]);
        } else {
            std::memcpy(samples_.data(), in, count * sizeof(int16_t));
        }
        // A failed write (a full disk) loses this audio only; the pacer below still keeps the time.
        sf_writef_short(output_->file.get(), samples_.data(), static_cast<sf_count_t>(count));
        done += count;
    }
    pacer_.Wait(frames);
    return true;
}

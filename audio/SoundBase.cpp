#include "audio/SoundBase.h"

#include "platform/ErrorSink.h"

SoundBase::~SoundBase() = default;

void SoundBase::SetFormatFields(int frameLength, int bitsPerSample, int samplesPerSec) {
    frameLength_ = frameLength;
    bitsPerSample_ = bitsPerSample;
    samplesPerSec_ = samplesPerSec;
    formatChanged_ = true;
}

void SoundBase::ApplyFormat() {
    if (!formatChanged_)
        return;
    format_ = WaveFormat{};
    format_.formatTag = WAVE_FORMAT_PCM;
    format_.channels = 1;
    format_.samplesPerSec = static_cast<uint32_t>(samplesPerSec_);
    format_.bitsPerSample = static_cast<uint16_t>(bitsPerSample_);
    format_.blockAlign = static_cast<uint16_t>(bitsPerSample_ / 8);
    format_.avgBytesPerSec = format_.blockAlign * format_.samplesPerSec;
    format_.extraSize = 0;

    const size_t bytes = static_cast<size_t>(format_.blockAlign) * static_cast<size_t>(frameLength_);
    for (int i = 0; i < kBufferCount; ++i) {
        auto& header = headers_[static_cast<size_t>(i)];
        auto& block = blocks_[static_cast<size_t>(i)];
        header.reset();
        block.reset();
        block = std::make_unique<uint8_t[]>(bytes);  // zeroed
        header = std::make_unique<WaveHeader>();
        header->data = block.get();
        header->bufferLength = static_cast<uint32_t>(bytes);
    }
    bufferBytes_ = static_cast<uint32_t>(bytes);
    formatChanged_ = false;
}

int SoundBase::SlotOf(const WaveHeader* header) const {
    for (int i = 0; i < kBufferCount; ++i) {
        if (header != nullptr && headers_[static_cast<size_t>(i)].get() == header)
            return i;
    }
    return -1;
}

std::string SoundBase::ErrorText(MMRESULT result) {
    return CurrentWaveBackend().ErrorText(result);
}

void SoundBase::Report(const std::string& text) {
    CurrentErrorSink().ReportError(text);
}

// Silence in, nothing out, in real time.
#include "platform/wave/SilentStreams.h"

#include <cstring>

#include "platform/wave/WaveBackendBase.h"

SilenceSource::SilenceSource(uint32_t samplesPerSec, uint16_t bitsPerSample)
    : pacer_(samplesPerSec), bytesPerFrame_(bitsPerSample / 8u), silence_(SilenceByte(bitsPerSample)) {}

bool SilenceSource::Resume() {
    pacer_.Restart();
    return true;
}

bool SilenceSource::Read(uint8_t* data, size_t frames) {
    pacer_.Wait(frames);
    std::memset(data, silence_, frames * bytesPerFrame_);
    return true;
}

DiscardSink::DiscardSink(uint32_t samplesPerSec) : pacer_(samplesPerSec) {}

bool DiscardSink::Write(const uint8_t*, size_t frames) {
    pacer_.Wait(frames);
    return true;
}

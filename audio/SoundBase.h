// What the recording and the playback device threads share: the wave format, a ring of twelve one-frame
// device buffers, and the way a failed device call is reported.
//
// Each device is driven by its own message thread: other threads only post to it, and the wave service
// posts finished buffers back to the same thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/SoundCallback.h"
#include "base/PcmSamples.h"
#include "platform/MessageThread.h"
#include "platform/wave/Wave.h"

class SoundBase : public MessageThread {
public:
    static constexpr int kBufferCount = 12;
    // How long a stopped device is given to hand back its buffers before it is closed.
    static constexpr int kCloseWaitMs = 500;

    ~SoundBase() override;

    // The audio pipeline sets these while the device is closed; the next start rebuilds format and buffers.
    void SetFormatFields(int frameLength, int bitsPerSample, int samplesPerSec);
    // Rebuilds the format and the twelve buffers when the fields changed since the last time.
    void ApplyFormat();

    const WaveFormat& Format() const { return format_; }
    int FrameLength() const { return frameLength_; }
    int BitsPerSample() const { return bitsPerSample_; }
    bool FormatChanged() const { return formatChanged_; }
    // Set while the device is closed.
    void SetCallback(SoundCallback* callback) { callback_ = callback; }
    void SetDevice(int deviceId) { device_ = deviceId; }
    int Device() const { return device_; }

    // Bytes of one ring buffer: one frame (0 before the first ApplyFormat).
    uint32_t BufferBytes() const { return bufferBytes_; }
    // Buffer i of the ring (null before the first ApplyFormat).
    WaveHeader* Buffer(int i) const { return headers_[static_cast<size_t>(i)].get(); }

protected:
    SoundBase() = default;

    // The ring slot of a header, or -1 for a header that is not (or no longer) one of ours.
    int SlotOf(const WaveHeader* header) const;
    // The service's text for a failed call's result code.
    static std::string ErrorText(MMRESULT result);
    // Shows one report to the user (never waits for it to be read).
    static void Report(const std::string& text);

    SoundCallback* callback_ = nullptr;
    int device_ = WAVE_MAPPER;

private:
    WaveFormat format_{};
    bool formatChanged_ = true;
    int frameLength_ = 1000;
    int bitsPerSample_ = 16;
    int samplesPerSec_ = 22050;
    uint32_t bufferBytes_ = 0;
    std::array<std::unique_ptr<WaveHeader>, kBufferCount> headers_{};
    std::array<std::unique_ptr<uint8_t[]>, kBufferCount> blocks_{};
};

#include "audio/SoundPlayer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/ErrorSink.h"

namespace {

// Full volume on both channels: the user's volume is the mixer's business, not the device's.
constexpr uint32_t kFullVolume = 0xFFFFFFFF;

void ReportPlayError(const char* operation, MMRESULT result, const std::string& text) {
    char line[512];
    std::snprintf(line, sizeof line, "PLAY : %s :%x:%s", operation, static_cast<unsigned>(result),
                  text.c_str());
    CurrentErrorSink().ReportError(line);
}

}  // namespace

SoundPlayer::SoundPlayer() {
    StartThread("playback");
}

SoundPlayer::~SoundPlayer() {
    End();
}

void SoundPlayer::Start() {
    ApplyFormat();
    next_ = 0;
    Post(TM_PLAY_OPEN, 0, 0);
}

void SoundPlayer::Stop() {
    Post(TM_PLAY_CLOSE, 0, 0);
}

void SoundPlayer::End() {
    if (Finished())
        return;
    Post(TM_PLAY_QUIT, 0, 0);
    Join();
}

void SoundPlayer::Queue(const uint8_t* data, int byteCount) {
    QueueBytes(data, byteCount, true);
}

void SoundPlayer::QueuePiece(const uint8_t* data, int byteCount) {
    if (byteCount > 0)
        QueueBytes(data, byteCount, false);
}

int SoundPlayer::BusyBuffers() const {
    int busy = 0;
    for (const auto& flag : busy_)
        busy += flag.load(std::memory_order_acquire) ? 1 : 0;
    return busy;
}

void SoundPlayer::QueueBytes(const uint8_t* data, int byteCount, bool pad) {
    WaveHeader* header = Buffer(next_);
    if (header == nullptr || header->data == nullptr)
        return;
    std::atomic<bool>& busy = busy_[static_cast<size_t>(next_)];
    if (busy.load(std::memory_order_acquire)) {
        drops_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const uint32_t capacity = BufferBytes();
    const uint32_t count = byteCount <= 0 ? 0 : static_cast<uint32_t>(byteCount);
    const uint32_t copied = count < capacity ? count : capacity;
    // A whole frame always plays for a frame's time; a piece plays for its own.
    const uint32_t length = pad ? capacity : copied;
    header->bufferLength = length;
    if (copied > 0 && data != nullptr)
        std::memcpy(header->data, data, copied);
    // A short frame is followed by silence, never by what the buffer held last time.
    if (copied < length)
        std::memset(header->data + copied, SilenceByte(BitsPerSample()), length - copied);
    busy.store(true, std::memory_order_release);
    next_ = (next_ + 1) % kBufferCount;
    Post(TM_PLAY_BUFFER, 0, reinterpret_cast<LPARAM>(header));
}

void SoundPlayer::OnMessage(const Message& message) {
    switch (message.message) {
        case TM_PLAY_OPEN:
            OnOpen();
            break;
        case TM_PLAY_CLOSE:
            OnClose();
            break;
        case TM_PLAY_BUFFER:
            OnBuffer(reinterpret_cast<WaveHeader*>(message.lParam));
            break;
        case TM_PLAY_QUIT:
            if (Playing())
                OnClose();
            PostQuit(0);
            break;
        case MM_WOM_DONE:
            OnDone(reinterpret_cast<WaveHeader*>(message.lParam));
            break;
        default:
            break;
    }
}

void SoundPlayer::OnOpen() {
    if (Playing())
        return;
    const MMRESULT opened = CurrentWaveBackend().OpenOut(waveOut_, device_, Format(), this);
    if (opened != MMSYSERR_NOERROR) {
        waveOut_.reset();
        ReportPlayError("PlayStart", opened, ErrorText(opened));
        return;
    }
    latencyMs_.store(waveOut_->LatencyMs(), std::memory_order_relaxed);
    playing_.store(1, std::memory_order_release);
    waveOut_->SetVolume(kFullVolume);
    if (callback_ != nullptr)
        callback_->OnOpen();
}

void SoundPlayer::OnBuffer(WaveHeader* header) {
    if (SlotOf(header) < 0)
        return;
    if (Playing() && waveOut_ && waveOut_->Prepare(header) == MMSYSERR_NOERROR &&
        waveOut_->Write(header) == MMSYSERR_NOERROR) {
        return;
    }
    Release(header);  // dropped: nothing will hand it back
}

void SoundPlayer::OnDone(WaveHeader* header) {
    if (SlotOf(header) < 0)
        return;
    if (waveOut_) {
        waveOut_->Unprepare(header);
        periodFrames_.store(static_cast<int>(waveOut_->PeriodFrames()), std::memory_order_relaxed);
        latencyMs_.store(waveOut_->LatencyMs(), std::memory_order_relaxed);
    }
    if (callback_ != nullptr)
        callback_->OnData(header->data, static_cast<int>(header->bufferLength));
    Release(header);
}

void SoundPlayer::Release(WaveHeader* header) {
    const int slot = SlotOf(header);
    if (slot >= 0)
        busy_[static_cast<size_t>(slot)].store(false, std::memory_order_release);
}

void SoundPlayer::OnClose() {
    if (!Playing() || !waveOut_)
        return;
    if (waveOut_->Reset() == MMSYSERR_NOERROR) {
        playing_.store(0, std::memory_order_release);
        std::this_thread::sleep_for(std::chrono::milliseconds(kCloseWaitMs));
        if (waveOut_->Close() == MMSYSERR_NOERROR)
            waveOut_.reset();
    }
    if (callback_ != nullptr)
        callback_->OnClose();
}

// The generic playback device: header queue, device thread, posts.
#include "platform/wave/StreamWaveOut.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/wave/WaveBackendBase.h"

StreamWaveOut::StreamWaveOut(std::unique_ptr<WaveSink> sink, std::unique_ptr<WavePullSink> pullSink,
                             const WaveFormat& format, MessageTarget* owner)
    : sink_(std::move(sink)),
      pullSink_(std::move(pullSink)),
      blockAlign_(format.blockAlign),
      chunkFrames_(ChunkFrames(format.samplesPerSec)),
      chunkBytes_(chunkFrames_ * format.blockAlign),
      bitsPerSample_(format.bitsPerSample),
      owner_(owner) {}

StreamWaveOut::StreamWaveOut(std::unique_ptr<WaveSink> sink, const WaveFormat& format, MessageTarget* owner)
    : StreamWaveOut(std::move(sink), nullptr, format, owner) {
    takenAtOnce_.store(chunkFrames_, std::memory_order_relaxed);
    thread_ = std::thread([this] { Run(); });
}

StreamWaveOut::StreamWaveOut(std::unique_ptr<WavePullSink> sink, const WaveFormat& format,
                             MessageTarget* owner)
    : StreamWaveOut(nullptr, std::move(sink), format, owner) {
    started_ = pullSink_->Start(&StreamWaveOut::OnRender, this);
}

StreamWaveOut::~StreamWaveOut() {
    EndThread();
}

void StreamWaveOut::OnRender(void* context, uint8_t* data, size_t frames) {
    auto* self = static_cast<StreamWaveOut*>(context);
    const size_t bytes = frames * self->blockAlign_;
    // The period is the largest request of the last stretch of calls: a device catching up after a stall
    // asks for much more once, and that must not count for the rest of its life.
    self->windowLargest_ = std::max(self->windowLargest_, frames);
    if (++self->windowCalls_ >= kPeriodWindow) {
        self->takenAtOnce_.store(self->windowLargest_, std::memory_order_relaxed);
        self->windowLargest_ = 0;
        self->windowCalls_ = 0;
    }
    uint32_t volume = 0xFFFFFFFF;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        if (self->closing_) {
            std::memset(data, SilenceByte(self->bitsPerSample_), bytes);
            return;
        }
        self->Fill(data, bytes);
        volume = self->volume_;
    }
    self->ApplyVolume(data, bytes, volume);
}

void StreamWaveOut::EndThread() {
    if (pullSink_) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            closing_ = true;
        }
        pullSink_->Stop();
        pullSink_.reset();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
    }
    if (thread_.joinable())
        thread_.join();
    sink_.reset();
}

MMRESULT StreamWaveOut::Prepare(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(lock_);
    return PrepareHeader(header, closed_);
}

MMRESULT StreamWaveOut::Unprepare(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(lock_);
    return UnprepareHeader(header, closed_);
}

MMRESULT StreamWaveOut::Write(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(lock_);
    return QueueHeader(header, closed_, queue_);
}

MMRESULT StreamWaveOut::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    while (!queue_.empty())
        PostFront();
    return MMSYSERR_NOERROR;
}

MMRESULT StreamWaveOut::SetVolume(uint32_t volume) {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    volume_ = volume;
    return MMSYSERR_NOERROR;
}

MMRESULT StreamWaveOut::Close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (!queue_.empty())
            return WAVERR_STILLPLAYING;
        closed_ = true;
    }
    EndThread();
    return MMSYSERR_NOERROR;
}

void StreamWaveOut::PostFront() {
    WaveHeader* header = queue_.front();
    queue_.pop_front();
    played_ = 0;
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    owner_->Post(MM_WOM_DONE, 0, reinterpret_cast<LPARAM>(header));
}

void StreamWaveOut::Fill(uint8_t* chunk, size_t bytes) {
    size_t offset = 0;
    while (offset < bytes && !queue_.empty()) {
        const WaveHeader* header = queue_.front();
        const size_t left = header->bufferLength > played_ ? header->bufferLength - played_ : 0;
        const size_t count = std::min(left, bytes - offset);
        std::memcpy(chunk + offset, header->data + played_, count);
        played_ += count;
        offset += count;
        if (count == left)
            PostFront();
    }
    // A header of no length left at the head of the queue is done as soon as playback reaches it.
    while (!queue_.empty() && queue_.front()->bufferLength == 0)
        PostFront();
    std::memset(chunk + offset, SilenceByte(bitsPerSample_), bytes - offset);
}

void StreamWaveOut::ApplyVolume(uint8_t* chunk, size_t bytes, uint32_t volume) const {
    const uint32_t level = volume & 0xFFFF;
    if (level != 0xFFFF)
        ScaleSamples(chunk, bytes, level, bitsPerSample_);
}

void StreamWaveOut::Run() {
    std::vector<uint8_t> chunk(chunkBytes_);
    bool pending = false;  // the chunk was not taken yet and is offered again
    for (;;) {
        uint32_t volume = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (closing_)
                break;
            if (!pending)
                Fill(chunk.data(), chunk.size());
            volume = volume_;
        }
        if (!pending)
            ApplyVolume(chunk.data(), chunk.size(), volume);
        pending = !sink_->Write(chunk.data(), chunkFrames_);
    }
}

int StreamWaveOut::LatencyMs() const {
    const double seconds = pullSink_ ? pullSink_->LatencySeconds() : -1;
    return seconds < 0 ? -1 : static_cast<int>(seconds * 1000 + 0.5);
}

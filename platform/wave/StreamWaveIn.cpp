// The generic recording device: header queue, device thread, posts.
#include "platform/wave/StreamWaveIn.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/wave/WaveBackendBase.h"

StreamWaveIn::StreamWaveIn(std::unique_ptr<WaveSource> source, std::unique_ptr<WavePushSource> pushSource,
                           const WaveFormat& format, MessageTarget* owner)
    : source_(std::move(source)),
      pushSource_(std::move(pushSource)),
      blockAlign_(format.blockAlign),
      pendingLimit_(format.avgBytesPerSec),
      chunkFrames_(ChunkFrames(format.samplesPerSec)),
      chunkBytes_(chunkFrames_ * format.blockAlign),
      chunkDuration_(chunkFrames_ * 1'000'000ULL / format.samplesPerSec),
      owner_(owner) {}

StreamWaveIn::StreamWaveIn(std::unique_ptr<WaveSource> source, const WaveFormat& format, MessageTarget* owner)
    : StreamWaveIn(std::move(source), nullptr, format, owner) {
    thread_ = std::thread([this] { Run(); });
}

StreamWaveIn::StreamWaveIn(std::unique_ptr<WavePushSource> source, const WaveFormat& format,
                           MessageTarget* owner)
    : StreamWaveIn(nullptr, std::move(source), format, owner) {}

StreamWaveIn::~StreamWaveIn() {
    EndThread();
}

void StreamWaveIn::OnCaptured(void* context, const uint8_t* data, size_t frames) {
    auto* self = static_cast<StreamWaveIn*>(context);
    std::lock_guard<std::mutex> guard(self->lock_);
    if (!self->recording_ || self->closed_ || data == nullptr)
        return;
    const size_t bytes = frames * self->blockAlign_;
    // What finds no buffer waits (as it would in the device's own buffer) until the owner adds one: a
    // device that hands over a burst, as a sound server does after holding a new stream back, loses none.
    size_t placed = self->pending_.empty() ? self->Deliver(data, bytes) : 0;
    if (placed < bytes) {
        self->pending_.insert(self->pending_.end(), data + placed, data + bytes);
        if (self->pending_.size() > self->pendingLimit_)
            self->pending_.erase(
                self->pending_.begin(),
                self->pending_.begin() + static_cast<long>(self->pending_.size() - self->pendingLimit_));
    }
}

void StreamWaveIn::SetPushing(bool pushing) {
    if (!pushSource_ || pushing == pushing_)
        return;
    if (pushing) {
        pushing_ = pushSource_->Start(&StreamWaveIn::OnCaptured, this);
    } else {
        pushSource_->Stop();
        pushing_ = false;
    }
}

void StreamWaveIn::EndThread() {
    if (pushSource_) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            closing_ = true;
            recording_ = false;
        }
        SetPushing(false);
        pushSource_.reset();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
        recording_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    source_.reset();
}

MMRESULT StreamWaveIn::Prepare(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(lock_);
    return PrepareHeader(header, closed_);
}

MMRESULT StreamWaveIn::Unprepare(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(lock_);
    return UnprepareHeader(header, closed_);
}

MMRESULT StreamWaveIn::Add(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(lock_);
    if (const MMRESULT result = QueueHeader(header, closed_, queue_); result != MMSYSERR_NOERROR)
        return result;
    header->bytesRecorded = 0;
    if (!pending_.empty() && recording_) {
        const size_t placed = Deliver(pending_.data(), pending_.size());
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(placed));
    }
    return MMSYSERR_NOERROR;
}

MMRESULT StreamWaveIn::Start() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (recording_)
            return MMSYSERR_NOERROR;
        recording_ = true;
        ++generation_;
    }
    wake_.notify_all();
    if (pushSource_) {
        size_t bufferFrames = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!queue_.empty())
                bufferFrames = queue_.front()->bufferLength / blockAlign_;
        }
        if (bufferFrames > 0 && !pushing_)
            pushSource_->SetBufferFrames(bufferFrames);
        SetPushing(true);
        if (!pushing_) {
            std::lock_guard<std::mutex> guard(lock_);
            recording_ = false;
            return MMSYSERR_ERROR;
        }
    }
    return MMSYSERR_NOERROR;
}

MMRESULT StreamWaveIn::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        recording_ = false;
        pending_.clear();
        if (!queue_.empty() && queue_.front()->bytesRecorded > 0)
            PostFront();
    }
    wake_.notify_all();
    SetPushing(false);
    return MMSYSERR_NOERROR;
}

MMRESULT StreamWaveIn::Reset() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        recording_ = false;
        pending_.clear();
        while (!queue_.empty())
            PostFront();
    }
    wake_.notify_all();
    SetPushing(false);
    return MMSYSERR_NOERROR;
}

MMRESULT StreamWaveIn::Close() {
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

void StreamWaveIn::PostFront() {
    WaveHeader* header = queue_.front();
    queue_.pop_front();
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    owner_->Post(MM_WIM_DATA, 0, reinterpret_cast<LPARAM>(header));
}

size_t StreamWaveIn::Deliver(const uint8_t* data, size_t bytes) {
    size_t offset = 0;
    while (!queue_.empty() && offset < bytes) {
        WaveHeader* header = queue_.front();
        const size_t room =
            header->bufferLength > header->bytesRecorded ? header->bufferLength - header->bytesRecorded : 0;
        const size_t count = std::min(room, bytes - offset);
        std::memcpy(header->data + header->bytesRecorded, data + offset, count);
        header->bytesRecorded += static_cast<uint32_t>(count);
        offset += count;
        if (room > count)
            break;
        PostFront();
    }
    return offset;
}

void StreamWaveIn::Run() {
    std::vector<uint8_t> chunk(chunkBytes_);
    bool sourceRunning = false;
    bool sourceUsable = false;
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        if (closing_)
            break;
        if (!recording_ && sourceRunning) {
            lock.unlock();
            source_->Pause();
            sourceRunning = false;
            lock.lock();
            continue;
        }
        wake_.wait(lock, [this] { return recording_ || closing_; });
        if (closing_)
            break;
        const uint64_t generation = generation_;
        lock.unlock();
        if (!sourceRunning) {
            sourceUsable = source_->Resume();
            sourceRunning = true;
        }
        // A device that refused to start must not turn this thread into a busy loop.
        if (!sourceUsable)
            std::this_thread::sleep_for(chunkDuration_);
        const bool captured = sourceUsable && source_->Read(chunk.data(), chunkFrames_);
        lock.lock();
        if (captured && recording_ && generation == generation_)
            Deliver(chunk.data(), chunk.size());
    }
    lock.unlock();
    if (sourceRunning)
        source_->Pause();
}

int StreamWaveIn::LatencyMs() const {
    const double seconds = pushSource_ ? pushSource_->LatencySeconds() : -1;
    return seconds < 0 ? -1 : static_cast<int>(seconds * 1000 + 0.5);
}

#include "audio/SoundRecorder.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "base/Exception.h"
#include "platform/ErrorSink.h"

namespace {

void ReportRecordError(const char* operation, MMRESULT result, const std::string& text) {
    char line[512];
    std::snprintf(line, sizeof line, "RECORD: %s : %x : %s", operation, static_cast<unsigned>(result),
                  text.c_str());
    CurrentErrorSink().ReportError(line);
}

}  // namespace

SoundRecorder::SoundRecorder() {
    StartThread("recording");
}

SoundRecorder::~SoundRecorder() {
    End();
}

void SoundRecorder::Start() {
    Post(TM_RECORD_START, request_.fetch_add(1, std::memory_order_acq_rel) + 1, 0);
}

void SoundRecorder::Stop() {
    Post(TM_RECORD_STOP, request_.fetch_add(1, std::memory_order_acq_rel) + 1, 0);
}

void SoundRecorder::End() {
    if (Finished())
        return;
    Post(TM_RECORD_QUIT, 0, 0);
    Join();
}

void SoundRecorder::OnMessage(const Message& message) {
    // A start or stop that a newer one has overtaken is not worth its device calls and waits.
    const bool overtaken = message.wParam != 0 && message.wParam != request_.load(std::memory_order_acquire);
    switch (message.message) {
        case TM_RECORD_START:
            if (!overtaken)
                OnStart();
            break;
        case TM_RECORD_STOP:
            if (!overtaken)
                OnStop();
            break;
        case TM_RECORD_QUIT:
            if (Recording())
                OnStop();
            PostQuit(0);
            break;
        case MM_WIM_DATA:
            OnData(reinterpret_cast<WaveHeader*>(message.lParam));
            break;
        default:
            break;
    }
}

void SoundRecorder::OnStart() {
    // The last start that counts may follow an earlier one whose stop was skipped: the device is open.
    if (Recording())
        return;
    // The buffers are rebuilt here, on the device thread, so that no return still on its way to this
    // thread can point into a freed buffer.
    ApplyFormat();
    const MMRESULT opened = CurrentWaveBackend().OpenIn(waveIn_, device_, Format(), this);
    if (opened != MMSYSERR_NOERROR) {
        waveIn_.reset();
        ReportRecordError("Open", opened, ErrorText(opened));
        return;
    }
    for (int i = 0; i < kBufferCount; ++i) {
        WaveHeader* header = Buffer(i);
        header->bytesRecorded = 0;
        header->flags = 0;
        const size_t slot = static_cast<size_t>(i);
        if (atDevice_[slot])
            stale_[slot] = true;
        waveIn_->Prepare(header);
        if (waveIn_->Add(header) == MMSYSERR_NOERROR)
            atDevice_[slot] = true;
    }
    const MMRESULT started = waveIn_->Start();
    if (started != MMSYSERR_NOERROR) {
        ReportRecordError("Start", started, ErrorText(started));
        // A device that cannot start is released at once rather than left open with nothing to close it.
        waveIn_->Reset();
        waveIn_->Close();
        waveIn_.reset();
    } else {
        latencyMs_.store(waveIn_->LatencyMs(), std::memory_order_relaxed);
        recording_.store(1, std::memory_order_release);
    }
    if (callback_ != nullptr)
        callback_->OnOpen();
}

void SoundRecorder::OnData(WaveHeader* header) {
    const int slot = SlotOf(header);
    if (slot < 0)
        return;
    const size_t s = static_cast<size_t>(slot);
    if (stale_[s]) {
        // The previous device's return of a buffer the new device now holds: pass it over.
        stale_[s] = false;
        return;
    }
    atDevice_[s] = false;
    if (header->bytesRecorded == 0)
        return;
    if (waveIn_)
        waveIn_->Unprepare(header);
    const uint32_t count =
        header->bytesRecorded <= header->bufferLength ? header->bytesRecorded : header->bufferLength;
    // A sound server tells its latency once the stream runs, and it changes with the server's buffers.
    if (waveIn_)
        latencyMs_.store(waveIn_->LatencyMs(), std::memory_order_relaxed);
    if (header->data != nullptr && callback_ != nullptr) {
        try {
            callback_->OnData(header->data, static_cast<int>(count));
        } catch (const Exception&) {
            // Out of memory in the capture path loses this frame only; the buffer goes back to the device.
        }
    }
    if (Recording() && waveIn_)
        Requeue(header, slot);
}

void SoundRecorder::Requeue(WaveHeader* header, int slot) {
    header->bytesRecorded = 0;
    waveIn_->Prepare(header);
    if (waveIn_->Add(header) == MMSYSERR_NOERROR)
        atDevice_[static_cast<size_t>(slot)] = true;
}

void SoundRecorder::OnStop() {
    if (!Recording() || !waveIn_)
        return;
    const MMRESULT stopped = waveIn_->Stop();
    MMRESULT reset = MMSYSERR_ERROR;
    if (stopped == MMSYSERR_NOERROR) {
        recording_.store(0, std::memory_order_release);
        reset = waveIn_->Reset();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kCloseWaitMs));
    if (stopped == MMSYSERR_NOERROR && reset == MMSYSERR_NOERROR && waveIn_->Close() == MMSYSERR_NOERROR)
        waveIn_.reset();
    if (callback_ != nullptr)
        callback_->OnClose();
}

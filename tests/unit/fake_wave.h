// A scripted wave backend for the device-thread tests: it records every call, keeps queued headers until
// the test fills (recording) or finishes (playback) them, and posts them back as a real device would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ErrorSink.h"
#include "platform/wave/Wave.h"
#include "platform/wave/WaveBackendBase.h"

class FakeWave {
public:
    std::mutex lock;
    std::deque<WaveHeader*> inQueue;   // headers added to the recording device
    std::deque<WaveHeader*> outQueue;  // headers written to the playback device
    std::vector<std::vector<uint8_t>> played;
    int adds = 0;
    int opensIn = 0;
    int opensOut = 0;
    int closes = 0;
    bool autoFinishPlayback = false;  // post each written header back at once
    bool partialOnReset = false;      // a reset hands the oldest queued header back half filled
    MessageTarget* inOwner = nullptr;
    MessageTarget* outOwner = nullptr;
    int devicesIn = 1;
    int devicesOut = 1;

    // Fills the oldest queued recording header with `fill` bytes and posts it; false when none is queued.
    bool Capture(uint8_t fill) {
        return CaptureWith([fill](uint8_t* data, size_t length) { std::memset(data, fill, length); });
    }

    // Fills the oldest queued recording header as `fill` writes it and posts it; false when none is queued.
    bool CaptureWith(const std::function<void(uint8_t*, size_t)>& fill) {
        std::lock_guard<std::mutex> guard(lock);
        if (inQueue.empty())
            return false;
        WaveHeader* h = inQueue.front();
        inQueue.pop_front();
        fill(h->data, h->bufferLength);
        h->bytesRecorded = h->bufferLength;
        h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
        inOwner->Post(MM_WIM_DATA, 0, reinterpret_cast<LPARAM>(h));
        return true;
    }

    // Posts the oldest written playback header back.
    bool FinishOne() {
        std::lock_guard<std::mutex> guard(lock);
        if (outQueue.empty())
            return false;
        Done(outQueue.front());
        outQueue.pop_front();
        return true;
    }

    void Done(WaveHeader* h) {
        h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
        outOwner->Post(MM_WOM_DONE, 0, reinterpret_cast<LPARAM>(h));
    }

    template <typename Pred>
    bool WaitFor(Pred pred, int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (pred())
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::lock_guard<std::mutex> guard(lock);
        return pred();
    }
};

class FakeWaveIn final : public WaveIn {
public:
    explicit FakeWaveIn(FakeWave& fake) : fake_(fake) {}
    MMRESULT Prepare(WaveHeader* h) override { return PrepareHeader(h, false); }
    MMRESULT Unprepare(WaveHeader* h) override { return UnprepareHeader(h, false); }
    MMRESULT Add(WaveHeader* h) override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        h->flags |= WHDR_INQUEUE;
        fake_.inQueue.push_back(h);
        ++fake_.adds;
        return MMSYSERR_NOERROR;
    }
    MMRESULT Start() override { return MMSYSERR_NOERROR; }
    MMRESULT Stop() override { return MMSYSERR_NOERROR; }
    MMRESULT Reset() override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        bool first = true;
        for (WaveHeader* h : fake_.inQueue) {
            h->bytesRecorded = first && fake_.partialOnReset ? h->bufferLength / 2 : 0;
            first = false;
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            fake_.inOwner->Post(MM_WIM_DATA, 0, reinterpret_cast<LPARAM>(h));
        }
        fake_.inQueue.clear();
        return MMSYSERR_NOERROR;
    }
    MMRESULT Close() override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        if (!fake_.inQueue.empty())
            return WAVERR_STILLPLAYING;
        ++fake_.closes;
        return MMSYSERR_NOERROR;
    }

private:
    FakeWave& fake_;
};

class FakeWaveOut final : public WaveOut {
public:
    explicit FakeWaveOut(FakeWave& fake) : fake_(fake) {}
    MMRESULT Prepare(WaveHeader* h) override { return PrepareHeader(h, false); }
    MMRESULT Unprepare(WaveHeader* h) override { return UnprepareHeader(h, false); }
    MMRESULT Write(WaveHeader* h) override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        fake_.played.emplace_back(h->data, h->data + h->bufferLength);
        if (fake_.autoFinishPlayback) {
            fake_.Done(h);
        } else {
            h->flags |= WHDR_INQUEUE;
            fake_.outQueue.push_back(h);
        }
        return MMSYSERR_NOERROR;
    }
    MMRESULT Reset() override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        for (WaveHeader* h : fake_.outQueue)
            fake_.Done(h);
        fake_.outQueue.clear();
        return MMSYSERR_NOERROR;
    }
    MMRESULT SetVolume(uint32_t) override { return MMSYSERR_NOERROR; }
    MMRESULT Close() override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        ++fake_.closes;
        return MMSYSERR_NOERROR;
    }

private:
    FakeWave& fake_;
};

class FakeWaveBackend final : public WaveBackend {
public:
    explicit FakeWaveBackend(FakeWave& fake) : fake_(fake) {}
    std::string Name() const override { return "fake"; }
    MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int id, const WaveFormat&,
                    MessageTarget* owner) override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        if (id != WAVE_MAPPER && (id < 1 || id > fake_.devicesIn))
            return MMSYSERR_BADDEVICEID;
        fake_.inOwner = owner;
        ++fake_.opensIn;
        device = std::make_unique<FakeWaveIn>(fake_);
        return MMSYSERR_NOERROR;
    }
    MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int id, const WaveFormat&,
                     MessageTarget* owner) override {
        std::lock_guard<std::mutex> guard(fake_.lock);
        if (id != WAVE_MAPPER && (id < 1 || id > fake_.devicesOut))
            return MMSYSERR_BADDEVICEID;
        fake_.outOwner = owner;
        ++fake_.opensOut;
        device = std::make_unique<FakeWaveOut>(fake_);
        return MMSYSERR_NOERROR;
    }
    std::vector<WaveDeviceInfo> InputDevices() override { return {{"fake in", true}}; }
    std::vector<WaveDeviceInfo> OutputDevices() override { return {{"fake out", true}}; }

private:
    FakeWave& fake_;
};

// Collects what the device threads report.
class CollectingErrorSink final : public ErrorSink {
public:
    void ReportError(const std::string& text) override {
        std::lock_guard<std::mutex> guard(lock_);
        reports_.push_back(text);
    }
    std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> reports_;
};

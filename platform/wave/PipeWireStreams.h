// The devices of the PipeWire backend: a pw_stream per direction, its process callback on PipeWire's data
// thread. Recording is a push source under StreamWaveIn (each quantum handed over as it comes); playback is a
// pull sink under StreamWaveOut (each quantum filled as the graph asks).
//
// Both outlive their server and their device: a stream that fails (its device vanished, or the server went
// away) is reported once and made anew every second, as soon as its device is back, or when the server is.
// Meanwhile a 10 ms timer on the loop stands in for the graph: recording hands over silence and playback
// takes its audio at the pace they would run at, so the call above goes on without sound.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/PipeWireConnection.h"
#include "platform/wave/WaveStream.h"

class PipeWireStream : public PipeWireStreamUser {
public:
    PipeWireStream(std::shared_ptr<PipeWireConnection> connection, std::string device,
                   const WaveFormat& format, bool input);
    ~PipeWireStream() override;
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    void OnServerReady() override;
    void OnServerLost() override;
    void OnNodesChanged() override;

protected:
    // Makes the stream (or waits for its device) and starts the timer; the caller set what Wanted says.
    void Begin();
    // Lets the stream and the timer go; no callback runs afterwards.
    void End();
    // Frees everything and leaves the connection; the most derived destructor calls it first.
    void Shutdown();
    // Whether the stream should exist now. Loop locked.
    virtual bool Wanted() const = 0;
    // One quantum of the graph, on the data thread: `data` holds `bytes` (whole frames) to take or to fill.
    // Returns how many bytes were filled (playback) or taken (recording).
    virtual uint32_t Process(uint8_t* data, uint32_t bytes) = 0;
    // With no graph running us: `frames` frames of time have passed. Loop locked.
    virtual void Idle(size_t frames) = 0;

    double LatencySeconds() const {
        const int64_t latencyUs = latencyUs_.load();
        return latencyUs < 0 ? -1.0 : static_cast<double>(latencyUs) / 1e6;
    }

    std::shared_ptr<PipeWireConnection> connection_;
    const std::string device_;  // empty: the server's default
    const WaveFormat format_;
    const bool input_;
    std::atomic<uint32_t> quantum_;
    // Serialises the data thread's Process with the timer's Idle, and guards what both hand audio to.
    std::mutex deliverLock_;

private:
    bool Create();
    void Drop();
    bool DeviceHere() const;
    static void OnState(void* self, enum pw_stream_state old, enum pw_stream_state state, const char* error);
    static void OnProcess(void* self);
    static void OnTick(void* self, uint64_t expirations);
    void ReportGone(const std::string& why);

    std::atomic<pw_stream*> stream_{nullptr};  // read by the data thread
    spa_hook listener_{};
    spa_source* tick_ = nullptr;
    std::atomic<bool> streaming_{false};
    std::atomic<int64_t> latencyUs_{-1};
    int ticksToRetry_ = 0;
    bool goneReported_ = false;
    uint64_t idleSinceUs_ = 0;  // up to when idle time was accounted; 0 while the graph runs us
};

class PipeWireCapture final : public WavePushSource, public PipeWireStream {
public:
    PipeWireCapture(std::shared_ptr<PipeWireConnection> connection, std::string device,
                    const WaveFormat& format);
    ~PipeWireCapture() override;

    bool Start(Captured captured, void* context) override;
    void Stop() override;
    // The quantum follows the frame: about a quarter of it.
    void SetBufferFrames(size_t frames) override;
    double LatencySeconds() const override { return PipeWireStream::LatencySeconds(); }

private:
    bool Wanted() const override { return captured_ != nullptr; }
    uint32_t Process(uint8_t* data, uint32_t bytes) override;
    void Idle(size_t frames) override;

    Captured captured_ = nullptr;
    void* context_ = nullptr;
    std::vector<uint8_t> silence_;
};

class PipeWirePlayback final : public WavePullSink, public PipeWireStream {
public:
    PipeWirePlayback(std::shared_ptr<PipeWireConnection> connection, std::string device,
                     const WaveFormat& format);
    ~PipeWirePlayback() override;

    bool Start(Render render, void* context) override;
    void Stop() override;
    double LatencySeconds() const override { return PipeWireStream::LatencySeconds(); }

private:
    bool Wanted() const override { return render_ != nullptr; }
    uint32_t Process(uint8_t* data, uint32_t bytes) override;
    void Idle(size_t frames) override;

    Render render_ = nullptr;
    void* context_ = nullptr;
    std::vector<uint8_t> discard_;
};

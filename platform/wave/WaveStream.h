// What a backend supplies for a device: a source of captured audio or a sink for audio to play, in the
// device's format (PCM mono, 8-bit unsigned or 16-bit signed). StreamWaveIn and StreamWaveOut do the rest:
// the header queue, the device thread, the posts. Only the device's own thread calls a stream, except that
// the backend may call it before handing it over and the device's closer destroys it after the thread ended.
// A call never blocks for much longer than a few chunks, so that the device closes promptly.
#pragma once

#include <cstddef>
#include <cstdint>

class WaveSource {
public:
    virtual ~WaveSource() = default;
    // Recording starts or resumes: capture from now on. False when the device refuses to start.
    virtual bool Resume() = 0;
    // Recording stops: what the device captures until the next Resume is never asked for.
    virtual void Pause() = 0;
    // Waits for the next `frames` frames of captured audio and stores them in `data` (frames × bytes per
    // sample). False when none came within a few chunks' time, or the device failed (after waiting about a
    // chunk's time): the caller checks whether it should stop, and asks again.
    virtual bool Read(uint8_t* data, size_t frames) = 0;
};

class WaveSink {
public:
    virtual ~WaveSink() = default;
    // Plays `frames` frames from `data`, waiting while the device is full; a device that failed drops them
    // after about a chunk's time. False when the device stayed full for a few chunks' time: the caller
    // checks whether it should stop, and offers the same frames again.
    virtual bool Write(const uint8_t* data, size_t frames) = 0;
};

// A device that runs on its own clock and hands over each period it captures as it comes (a sound
// server's callback), instead of being read. The device thread is the device's own.
class WavePushSource {
public:
    using Captured = void (*)(void* context, const uint8_t* data, size_t frames);
    virtual ~WavePushSource() = default;
    // From now on `captured` is called on the device's thread with every period. False when the device
    // refuses to start.
    virtual bool Start(Captured captured, void* context) = 0;
    // Returns once `captured` is not called any more; what was captured but not handed over is dropped.
    virtual void Stop() = 0;
    // The recording's buffers hold `frames` frames each (told before Start): a device that can hand over
    // in steps that divide them fills each buffer in whole steps, so that buffers come at an even pace.
    virtual void SetBufferFrames(size_t /*frames*/) {}
    // How long a sound takes from the microphone to its hand-over, in seconds, as the device reports it;
    // negative when it does not.
    virtual double LatencySeconds() const { return -1; }
};

// A device that runs on its own clock and asks for audio as it needs it.
class WavePullSink {
public:
    using Render = void (*)(void* context, uint8_t* data, size_t frames);
    virtual ~WavePullSink() = default;
    // From now on `render` is called on the device's thread for every period it plays, and must fill it.
    virtual bool Start(Render render, void* context) = 0;
    // Returns once `render` is not called any more.
    virtual void Stop() = 0;
    // How long rendered audio takes to reach the speaker, in seconds, as the device reports it; negative
    // when it does not.
    virtual double LatencySeconds() const { return -1; }
};

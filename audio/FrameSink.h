// Where the audio pipeline hands its encoded frames: the voice link.
#pragma once

#include <cstdint>

class FrameSink {
public:
    // One payload from the capture side, on the recorder's thread; the sink copies it before returning.
    virtual void OnFrame(const uint8_t* data, int length) = 0;
    // A playback buffer of that stream has finished playing.
    virtual void OnPlayed(int streamIndex) = 0;
    virtual ~FrameSink() = default;
};

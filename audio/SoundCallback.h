// What a recorder or player tells its owner, on the device's own thread.
#pragma once

#include <cstdint>

class SoundCallback {
public:
    // The device was opened (recorder: after the start attempt; player: after a successful open).
    virtual void OnOpen() {}
    // Recorder: a buffer was filled with byteCount bytes. Player: a buffer of byteCount bytes was played.
    virtual void OnData(const uint8_t* data, int byteCount) = 0;
    // The device was stopped and closed.
    virtual void OnClose() {}
    virtual ~SoundCallback() = default;
};

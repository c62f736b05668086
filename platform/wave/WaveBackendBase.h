// What every backend shares: the checks of an open request that all of them make alike (device number,
// format, owner), and the detail text of the last failure that ErrorText adds to the code's own text.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/PcmSamples.h"
#include "platform/wave/Wave.h"

// The rates a device accepts; the program uses 8000 to 44100 Hz.
constexpr uint32_t kMinSampleRate = 1000;
constexpr uint32_t kMaxSampleRate = 192000;

// Devices move audio in chunks of this many milliseconds.
constexpr uint32_t kChunkMilliseconds = 10;

// Frames per chunk at a rate (at least one).
size_t ChunkFrames(uint32_t samplesPerSec);
// True for what every device serves: PCM, one channel, 8 or 16 bits, a rate in range, and block align
// and bytes per second that agree with them.
bool IsPcmMonoFormat(const WaveFormat& format);
// Prepare and unprepare a header for a device, recording and playback alike; the caller holds the
// device's lock and says whether the device is closed.
MMRESULT PrepareHeader(WaveHeader* header, bool closed);
MMRESULT UnprepareHeader(WaveHeader* header, bool closed);
// Scales `bytes` of samples by level / 0xFFFF (a software volume).
void ScaleSamples(uint8_t* data, size_t bytes, uint32_t level, int bitsPerSample);
// Queue a prepared header that is not queued yet, marked as queued and not done; the caller holds the
// device's lock and says whether the device is closed. MarkQueued does all but the append, for a device
// that hands the header on at once.
MMRESULT MarkQueued(WaveHeader* header, bool closed);
MMRESULT QueueHeader(WaveHeader* header, bool closed, std::deque<WaveHeader*>& queue);

class WaveBackendBase : public WaveBackend {
public:
    std::string ErrorText(MMRESULT result) const override;

protected:
    // Checks an open request against a device list of `deviceCount` entries whose default is entry
    // `defaultIndex` (ignored when the list is empty). On success `index` is the chosen entry; on failure
    // the result is recorded with a detail text and returned. `what` is "recording" or "playback".
    MMRESULT CheckOpen(const char* what, int deviceId, size_t deviceCount, size_t defaultIndex,
                       const WaveFormat& format, const MessageTarget* owner, size_t& index);
    // Records a failure's detail for ErrorText; returns the result.
    MMRESULT Fail(MMRESULT result, std::string detail);
    // For a sound server's backend: the server's name of the device an open request asks for (by number,
    // or by `named` from --input-device/--output-device), empty for the server's default, which needs no
    // list. `devices` lists the server's devices of that direction; `trace` names the server for
    // QPARLIN_TRACE's line.
    MMRESULT ResolveServerDevice(bool input, int deviceId, const WaveFormat& format,
                                 const MessageTarget* owner, const std::string& named,
                                 const std::function<std::vector<WaveDeviceInfo>()>& devices,
                                 const char* trace, std::string& name);

private:
    mutable std::mutex lock_;
    MMRESULT lastResult_ = MMSYSERR_NOERROR;
    std::string lastDetail_;
};

// The null backend: one recording device that hears silence and one playback device that discards, both
// paced in real time. The default until a front end chooses another, and the choice for servers.
#include <memory>

#include "platform/wave/SilentStreams.h"
#include "platform/wave/StreamWaveIn.h"
#include "platform/wave/StreamWaveOut.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

class NullWaveBackend final : public WaveBackendBase {
public:
    std::string Name() const override { return "null"; }

    MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int deviceId, const WaveFormat& format,
                    MessageTarget* owner) override {
        size_t index = 0;
        const MMRESULT result = CheckOpen("recording", deviceId, 1, 0, format, owner, index);
        if (result != MMSYSERR_NOERROR)
            return result;
        device = std::make_unique<StreamWaveIn>(
            std::make_unique<SilenceSource>(format.samplesPerSec, format.bitsPerSample), format, owner);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int deviceId, const WaveFormat& format,
                     MessageTarget* owner) override {
        size_t index = 0;
        const MMRESULT result = CheckOpen("playback", deviceId, 1, 0, format, owner, index);
        if (result != MMSYSERR_NOERROR)
            return result;
        device = std::make_unique<StreamWaveOut>(std::make_unique<DiscardSink>(format.samplesPerSec), format,
                                                 owner);
        return MMSYSERR_NOERROR;
    }

    std::vector<WaveDeviceInfo> InputDevices() override { return {{"null", true}}; }
    std::vector<WaveDeviceInfo> OutputDevices() override { return {{"null", true}}; }
};

}  // namespace

std::unique_ptr<WaveBackend> MakeNullWaveBackend() {
    return std::make_unique<NullWaveBackend>();
}

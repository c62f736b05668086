// The PipeWire backend: PipeWire's own protocol, a stream per direction. Device n is the server's n-th
// recording node (sources and sink monitors) or sink as it lists them now; the default device is the
// server's default, or the device named on the command line.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/wave/PipeWireConnection.h"
#include "platform/wave/PipeWireStreams.h"
#include "platform/wave/StreamWaveIn.h"
#include "platform/wave/StreamWaveOut.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

// How long start-up waits for a server to answer before choosing another backend.
constexpr int kConnectTimeoutMs = 1000;

class PipeWireWaveBackend final : public WaveBackendBase {
public:
    explicit PipeWireWaveBackend(std::shared_ptr<PipeWireConnection> connection)
        : connection_(std::move(connection)) {}

    std::string Name() const override { return "pipewire"; }

    MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int deviceId, const WaveFormat& format,
                    MessageTarget* owner) override {
        std::string name;
        if (const MMRESULT result = Resolve(true, deviceId, format, owner, name); result != MMSYSERR_NOERROR)
            return result;
        auto capture = std::make_unique<PipeWireCapture>(connection_, name, format);
        device = std::make_unique<StreamWaveIn>(std::move(capture), format, owner);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int deviceId, const WaveFormat& format,
                     MessageTarget* owner) override {
        std::string name;
        if (const MMRESULT result = Resolve(false, deviceId, format, owner, name); result != MMSYSERR_NOERROR)
            return result;
        auto playback = std::make_unique<PipeWirePlayback>(connection_, name, format);
        auto out = std::make_unique<StreamWaveOut>(std::move(playback), format, owner);
        if (!out->Started())
            return Fail(MMSYSERR_ERROR, "The sound server did not take the playback stream.");
        device = std::move(out);
        return MMSYSERR_NOERROR;
    }

    std::vector<WaveDeviceInfo> InputDevices() override { return connection_->Devices(true); }
    std::vector<WaveDeviceInfo> OutputDevices() override { return connection_->Devices(false); }

private:
    // The server's name of the device to open: empty for the server's default.
    MMRESULT Resolve(bool input, int deviceId, const WaveFormat& format, const MessageTarget* owner,
                     std::string& name) {
        return ResolveServerDevice(
            input, deviceId, format, owner,
            input ? connection_->Options().inputDevice : connection_->Options().outputDevice,
            [&] { return connection_->Devices(input); }, "PipeWire", name);
    }

    std::shared_ptr<PipeWireConnection> connection_;
};

}  // namespace

std::unique_ptr<WaveBackend> MakePipeWireWaveBackend(const WaveDeviceOptions& options, std::string& problem,
                                                     bool waitForServer) {
    auto connection = std::make_shared<PipeWireConnection>(options);
    if (!connection->Start(kConnectTimeoutMs, waitForServer, problem))
        return nullptr;
    return std::make_unique<PipeWireWaveBackend>(std::move(connection));
}

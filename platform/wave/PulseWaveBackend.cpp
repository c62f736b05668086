// The sound-server backend: PulseAudio's protocol, which PipeWire's PulseAudio server speaks too. Device n
// is the server's n-th source (recording, monitors included) or sink (playback) as it lists them now; the
// default device is the server's default, or the device named on the command line.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/wave/PulseConnection.h"
#include "platform/wave/PulseStreams.h"
#include "platform/wave/StreamWaveIn.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

// How long start-up waits for a server to answer before choosing another backend.
constexpr int kConnectTimeoutMs = 1000;

class PulseWaveBackend final : public WaveBackendBase {
public:
    explicit PulseWaveBackend(std::shared_ptr<PulseConnection> connection)
        : connection_(std::move(connection)) {}

    std::string Name() const override { return "pulse"; }

    MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int deviceId, const WaveFormat& format,
                    MessageTarget* owner) override {
        std::string name;
        if (const MMRESULT result = Resolve(true, deviceId, format, owner, name); result != MMSYSERR_NOERROR)
            return result;
        auto capture = std::make_unique<PulseCapture>(connection_, name, format);
        device = std::make_unique<StreamWaveIn>(std::move(capture), format, owner);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int deviceId, const WaveFormat& format,
                     MessageTarget* owner) override {
        std::string name;
        if (const MMRESULT result = Resolve(false, deviceId, format, owner, name); result != MMSYSERR_NOERROR)
            return result;
        auto out = std::make_unique<PulseWaveOut>(connection_, name, format, owner);
        std::string problem;
        if (!out->Open(problem)) {
            return Fail(MMSYSERR_ERROR,
                        "The sound server did not take the playback stream on " +
                            (name.empty() ? std::string("its default sink") : "'" + name + "'") + ": " +
                            problem + ".");
        }
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
            [&] { return connection_->Devices(input); }, "Sound server", name);
    }

    std::shared_ptr<PulseConnection> connection_;
};

}  // namespace

std::unique_ptr<WaveBackend> MakePulseWaveBackend(const WaveDeviceOptions& options, std::string& problem,
                                                  bool waitForServer) {
    auto connection = std::make_shared<PulseConnection>(options);
    if (!connection->Start(kConnectTimeoutMs, waitForServer, problem))
        return nullptr;
    return std::make_unique<PulseWaveBackend>(std::move(connection));
}

// The PortAudio backend: the sound system's own devices. Device n is the n-th of PortAudio's devices
// that can record (or play), in PortAudio's order; the default is PortAudio's default.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/wave/PortAudioStreams.h"
#include "platform/wave/StreamWaveIn.h"
#include "platform/wave/StreamWaveOut.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

enum class Direction { kInput, kOutput };

// The least latency asked of PortAudio for recording.
constexpr double kRecordingLatencySeconds = 0.025;

// PortAudio's devices of one direction, in their order, with the position of the default among them.
struct DeviceList {
    std::vector<PaDeviceIndex> indexes;
    size_t defaultPosition = 0;
    bool hasDefault = false;
};

MMRESULT ResultFor(PaError error) {
    switch (error) {
        case paInvalidSampleRate:
        case paSampleFormatNotSupported:
        case paInvalidChannelCount:
            return WAVERR_BADFORMAT;
        case paDeviceUnavailable:
            return MMSYSERR_ALLOCATED;
        case paInsufficientMemory:
            return MMSYSERR_NOMEM;
        case paInvalidDevice:
            return MMSYSERR_BADDEVICEID;
        case paNotInitialized:
            return MMSYSERR_NODRIVER;
        default:
            return MMSYSERR_ERROR;
    }
}

std::string ErrorDetail(PaError error) {
    std::string text = Pa_GetErrorText(error);
    if (error == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr)
            text += std::string(" (") + host->errorText + ")";
    }
    return text;
}

class PortAudioWaveBackend final : public WaveBackendBase {
public:
    explicit PortAudioWaveBackend(WaveDeviceOptions options)
        : session_(std::make_shared<PortAudioSession>()), options_(std::move(options)) {}

    std::string Name() const override { return "portaudio"; }

    MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int deviceId, const WaveFormat& format,
                    MessageTarget* owner) override {
        auto capture = std::make_unique<PortAudioCapture>(session_);
        const MMRESULT result =
            OpenStream(Direction::kInput, deviceId, format, owner, capture.get(), nullptr);
        if (result != MMSYSERR_NOERROR)
            return result;
        if (std::getenv("QPARLIN_TRACE") != nullptr)
            std::fprintf(stderr, "PortAudio granted %.1f ms of recording latency\n",
                         capture->Latency() * 1000);
        device = std::make_unique<StreamWaveIn>(std::move(capture), format, owner);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int deviceId, const WaveFormat& format,
                     MessageTarget* owner) override {
        auto playback = std::make_unique<PortAudioPlayback>(session_);
        const MMRESULT result =
            OpenStream(Direction::kOutput, deviceId, format, owner, nullptr, playback.get());
        if (result != MMSYSERR_NOERROR)
            return result;
        if (std::getenv("QPARLIN_TRACE") != nullptr)
            std::fprintf(stderr, "PortAudio granted %.1f ms of playback latency\n",
                         playback->Latency() * 1000);
        // The device plays from its opening on, silence until something is written.
        auto out = std::make_unique<StreamWaveOut>(std::move(playback), format, owner);
        if (!out->Started())
            return Fail(MMSYSERR_ERROR, "PortAudio cannot start the playback device.");
        device = std::move(out);
        return MMSYSERR_NOERROR;
    }

    std::vector<WaveDeviceInfo> InputDevices() override { return Describe(Direction::kInput); }
    std::vector<WaveDeviceInfo> OutputDevices() override { return Describe(Direction::kOutput); }

private:
    // Session lock held.
    DeviceList Devices(Direction direction) const {
        DeviceList list;
        if (!session_->Ready())
            return list;
        const PaDeviceIndex defaultIndex =
            direction == Direction::kInput ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info == nullptr)
                continue;
            const int channels =
                direction == Direction::kInput ? info->maxInputChannels : info->maxOutputChannels;
            if (channels < 1)
                continue;
            if (i == defaultIndex) {
                list.defaultPosition = list.indexes.size();
                list.hasDefault = true;
            }
            list.indexes.push_back(i);
        }
        return list;
    }

    std::vector<WaveDeviceInfo> Describe(Direction direction) {
        std::lock_guard<std::mutex> guard(session_->Lock());
        const DeviceList list = Devices(direction);
        std::vector<WaveDeviceInfo> devices;
        for (size_t i = 0; i < list.indexes.size(); ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(list.indexes[i]);
            devices.push_back({info != nullptr && info->name != nullptr ? info->name : "?",
                               list.hasDefault && i == list.defaultPosition,
                               {}});
        }
        return devices;
    }

    // Opens a stream of one channel, driven by PortAudio's callback, for `capture` or `playback`.
    MMRESULT OpenStream(Direction direction, int deviceId, const WaveFormat& format,
                        const MessageTarget* owner, PortAudioCapture* capture, PortAudioPlayback* playback) {
        const bool input = direction == Direction::kInput;
        const char* what = input ? "recording" : "playback";
        std::lock_guard<std::mutex> guard(session_->Lock());
        if (!session_->Ready()) {
            return Fail(MMSYSERR_NODRIVER, std::string("PortAudio did not start: ") +
                                               Pa_GetErrorText(session_->InitError()) + ".");
        }
        const DeviceList list = Devices(direction);
        size_t position = 0;
        const MMRESULT checked =
            CheckOpen(what, deviceId, list.indexes.size(), list.defaultPosition, format, owner, position);
        if (checked != MMSYSERR_NOERROR)
            return checked;
        const std::string& named = input ? options_.inputDevice : options_.outputDevice;
        if (deviceId == WAVE_MAPPER && !named.empty()) {
            std::vector<WaveDeviceInfo> devices;
            for (PaDeviceIndex index : list.indexes) {
                const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
                devices.push_back({info != nullptr && info->name != nullptr ? info->name : "?", false, {}});
            }
            const int number = FindWaveDevice(devices, named);
            if (number <= 0) {
                return Fail(MMSYSERR_BADDEVICEID,
                            "PortAudio has " + std::string(number == 0 ? "no" : "several") + " " + what +
                                " devices named '" + named + "' (--list-devices lists them).");
            }
            position = static_cast<size_t>(number) - 1;
        }

        const PaDeviceInfo* info = Pa_GetDeviceInfo(list.indexes[position]);
        if (info == nullptr)
            return Fail(MMSYSERR_BADDEVICEID, "PortAudio no longer knows the device.");
        PaStreamParameters parameters{};
        parameters.device = list.indexes[position];
        parameters.channelCount = 1;
        parameters.sampleFormat = format.bitsPerSample == 8 ? paUInt8 : paInt16;
        // PortAudio's low suggestion: every millisecond here is heard as delay. Recording asks for a little
        // more: through a sound server's ALSA plugin the lowest (11.6 ms) lets captured audio go missing
        // now and then, while playback at the lowest plays without a gap.
        parameters.suggestedLatency = input ? std::max(kRecordingLatencySeconds, info->defaultLowInputLatency)
                                            : info->defaultLowOutputLatency;
        const PaStreamParameters* in = input ? &parameters : nullptr;
        const PaStreamParameters* out = input ? nullptr : &parameters;
        const std::string device = std::string(what) + " device '" + (info->name ? info->name : "?") + "'";
        const std::string request = std::to_string(format.samplesPerSec) + " Hz, " +
                                    std::to_string(format.bitsPerSample) + " bits, mono";

        PaError error = Pa_IsFormatSupported(in, out, format.samplesPerSec);
        if (error != paFormatIsSupported) {
            return Fail(ResultFor(error),
                        "The " + device + " cannot take " + request + ": " + ErrorDetail(error) + ".");
        }
        error = input ? capture->Open(parameters, format.samplesPerSec)
                      : playback->Open(parameters, format.samplesPerSec);
        if (error != paNoError) {
            return Fail(ResultFor(error), "PortAudio cannot open the " + device + " at " + request + ": " +
                                              ErrorDetail(error) + ".");
        }
        return MMSYSERR_NOERROR;
    }

    std::shared_ptr<PortAudioSession> session_;
    const WaveDeviceOptions options_;
};

}  // namespace

std::unique_ptr<WaveBackend> MakePortAudioWaveBackend() {
    return std::make_unique<PortAudioWaveBackend>(WaveDeviceOptions{});
}

std::unique_ptr<WaveBackend> MakePortAudioWaveBackend(const WaveDeviceOptions& options) {
    return std::make_unique<PortAudioWaveBackend>(options);
}

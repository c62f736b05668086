// The WAV-file backend: one recording device reading a file (or silence) and one playback device writing
// a file (or discarding), both in real time, for tests and for machines without sound.
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/wave/SilentStreams.h"
#include "platform/wave/StreamWaveIn.h"
#include "platform/wave/StreamWaveOut.h"
#include "platform/wave/WavFileStreams.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

class WavFileWaveBackend final : public WaveBackendBase {
public:
    WavFileWaveBackend(std::string inputPath, std::string outputPath)
        : inputPath_(std::move(inputPath)), outputPath_(std::move(outputPath)) {}

    std::string Name() const override { return "file"; }

    MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int deviceId, const WaveFormat& format,
                    MessageTarget* owner) override {
        size_t index = 0;
        MMRESULT result = CheckOpen("recording", deviceId, 1, 0, format, owner, index);
        if (result != MMSYSERR_NOERROR)
            return result;
        std::unique_ptr<WaveSource> source;
        if (inputPath_.empty()) {
            source = std::make_unique<SilenceSource>(format.samplesPerSec, format.bitsPerSample);
        } else {
            result = OpenInputFile(format, source);
            if (result != MMSYSERR_NOERROR)
                return result;
        }
        device = std::make_unique<StreamWaveIn>(std::move(source), format, owner);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int deviceId, const WaveFormat& format,
                     MessageTarget* owner) override {
        size_t index = 0;
        MMRESULT result = CheckOpen("playback", deviceId, 1, 0, format, owner, index);
        if (result != MMSYSERR_NOERROR)
            return result;
        std::unique_ptr<WaveSink> sink;
        if (outputPath_.empty()) {
            sink = std::make_unique<DiscardSink>(format.samplesPerSec);
        } else {
            result = OpenOutputFile(format, sink);
            if (result != MMSYSERR_NOERROR)
                return result;
        }
        device = std::make_unique<StreamWaveOut>(std::move(sink), format, owner);
        return MMSYSERR_NOERROR;
    }

    std::vector<WaveDeviceInfo> InputDevices() override {
        return {{inputPath_.empty() ? "silence" : inputPath_, true}};
    }
    std::vector<WaveDeviceInfo> OutputDevices() override {
        return {{outputPath_.empty() ? "discard" : outputPath_, true}};
    }

private:
    MMRESULT OpenInputFile(const WaveFormat& format, std::unique_ptr<WaveSource>& source) {
        SF_INFO info{};
        SndFilePtr file;
        {
            // libsndfile keeps the reason an open failed in one global.
            std::lock_guard<std::mutex> guard(fileLock_);
            file.reset(sf_open(inputPath_.c_str(), SFM_READ, &info));
            if (!file) {
                return Fail(MMSYSERR_ERROR,
                            "Cannot read the sound file '" + inputPath_ + "': " + sf_strerror(nullptr) + ".");
            }
        }
        if (info.channels < 1 || info.channels > kMaxWavChannels) {
            return Fail(WAVERR_BADFORMAT, "The sound file '" + inputPath_ + "' has " +
                                              std::to_string(info.channels) + " channels; at most " +
                                              std::to_string(kMaxWavChannels) + " can be mixed down.");
        }
        // A file at another rate is converted to the device's: a session may change the call's rate after
        // the device first opened (toward Opus, or a peer's format), and the same file must go on serving.
        if (info.samplerate < kMinWavRate || info.samplerate > kMaxWavRate) {
            return Fail(WAVERR_BADFORMAT, "The sound file '" + inputPath_ + "' is sampled at " +
                                              std::to_string(info.samplerate) + " Hz; the device takes " +
                                              std::to_string(kMinWavRate) + " to " +
                                              std::to_string(kMaxWavRate) + " Hz.");
        }
        source = std::make_unique<WavFileSource>(std::move(file), info.channels,
                                                 static_cast<uint32_t>(info.samplerate), format.samplesPerSec,
                                                 format.bitsPerSample);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenOutputFile(const WaveFormat& format, std::unique_ptr<WaveSink>& sink) {
        std::lock_guard<std::mutex> guard(fileLock_);
        if (output_ && output_->inUse.load(std::memory_order_acquire)) {
            return Fail(MMSYSERR_ALLOCATED,
                        "The sound file '" + outputPath_ + "' is being played into already.");
        }
        if (!output_ || output_->samplesPerSec != format.samplesPerSec ||
            output_->bitsPerSample != format.bitsPerSample) {
            // One file holds one format: another format starts the file again.
            output_.reset();
            SF_INFO info{};
            info.samplerate = static_cast<int>(format.samplesPerSec);
            info.channels = 1;
            info.format = SF_FORMAT_WAV | (format.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
            SndFilePtr file(sf_open(outputPath_.c_str(), SFM_WRITE, &info));
            if (!file) {
                return Fail(MMSYSERR_ERROR, "Cannot write the sound file '" + outputPath_ +
                                                "': " + sf_strerror(nullptr) + ".");
            }
            // The header then stays valid after every write, even if the program is killed.
            sf_command(file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
            output_ = std::make_shared<WavOutputFile>();
            output_->file = std::move(file);
            output_->samplesPerSec = format.samplesPerSec;
            output_->bitsPerSample = format.bitsPerSample;
        }
        sink = std::make_unique<WavFileSink>(output_);
        return MMSYSERR_NOERROR;
    }

    const std::string inputPath_;
    const std::string outputPath_;
    std::mutex fileLock_;
    std::shared_ptr<WavOutputFile> output_;  // under fileLock_
};

}  // namespace

std::unique_ptr<WaveBackend> MakeWavFileWaveBackend(const std::string& inputPath,
                                                    const std::string& outputPath) {
    return std::make_unique<WavFileWaveBackend>(inputPath, outputPath);
}

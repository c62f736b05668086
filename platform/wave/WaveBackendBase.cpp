// Open-request checks and failure details shared by the backends.
#include "platform/wave/WaveBackendBase.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

size_t ChunkFrames(uint32_t samplesPerSec) {
    const size_t frames = samplesPerSec * size_t{kChunkMilliseconds} / 1000;
    return frames == 0 ? 1 : frames;
}

MMRESULT PrepareHeader(WaveHeader* header, bool closed) {
    if (header == nullptr || header->data == nullptr)
        return MMSYSERR_INVALPARAM;
    if (closed)
        return MMSYSERR_INVALHANDLE;
    header->flags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(WaveHeader* header, bool closed) {
    if (header == nullptr)
        return MMSYSERR_INVALPARAM;
    if (closed)
        return MMSYSERR_INVALHANDLE;
    if (header->flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->flags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

void ScaleSamples(uint8_t* data, size_t bytes, uint32_t level, int bitsPerSample) {
    if (bitsPerSample == 8) {
        for (size_t i = 0; i < bytes; ++i) {
            const int32_t sample = (int32_t{data[i]} - 128) * static_cast<int32_t>(level) / 0xFFFF;
            data[i] = static_cast<uint8_t>(sample + 128);
        }
        return;
    }
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        int16_t sample;
        std::memcpy(&sample, data + i, sizeof sample);
        sample = static_cast<int16_t>(int32_t{sample} * static_cast<int32_t>(level) / 0xFFFF);
        std::memcpy(data + i, &sample, sizeof sample);
    }
}

MMRESULT MarkQueued(WaveHeader* header, bool closed) {
    if (header == nullptr || header->data == nullptr)
        return MMSYSERR_INVALPARAM;
    if (closed)
        return MMSYSERR_INVALHANDLE;
    if (!(header->flags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->flags = (header->flags | WHDR_INQUEUE) & ~WHDR_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT QueueHeader(WaveHeader* header, bool closed, std::deque<WaveHeader*>& queue) {
    const MMRESULT result = MarkQueued(header, closed);
    if (result == MMSYSERR_NOERROR)
        queue.push_back(header);
    return result;
}

bool IsPcmMonoFormat(const WaveFormat& format) {
    if (format.formatTag != WAVE_FORMAT_PCM || format.channels != 1)
        return false;
    if (format.bitsPerSample != 8 && format.bitsPerSample != 16)
        return false;
    if (format.samplesPerSec < kMinSampleRate || format.samplesPerSec > kMaxSampleRate)
        return false;
    const uint32_t blockAlign = format.bitsPerSample / 8u;
    return format.blockAlign == blockAlign && format.avgBytesPerSec == format.samplesPerSec * blockAlign;
}

std::string WaveBackendBase::ErrorText(MMRESULT result) const {
    std::string text = WaveErrorText(result);
    std::lock_guard<std::mutex> guard(lock_);
    if (result == lastResult_ && !lastDetail_.empty())
        text += " " + lastDetail_;
    return text;
}

MMRESULT WaveBackendBase::Fail(MMRESULT result, std::string detail) {
    std::lock_guard<std::mutex> guard(lock_);
    lastResult_ = result;
    lastDetail_ = std::move(detail);
    return result;
}

MMRESULT WaveBackendBase::CheckOpen(const char* what, int deviceId, size_t deviceCount, size_t defaultIndex,
                                    const WaveFormat& format, const MessageTarget* owner, size_t& index) {
    if (owner == nullptr)
        return Fail(MMSYSERR_INVALPARAM, "No message target was given for the device.");
    if (deviceId == WAVE_MAPPER) {
        if (deviceCount == 0) {
            return Fail(MMSYSERR_NODRIVER, std::string("The ") + Name() + " backend has no " + what +
                                               " device (is a sound server running?).");
        }
        index = defaultIndex < deviceCount ? defaultIndex : 0;
    } else if (deviceId >= 1 && static_cast<size_t>(deviceId) <= deviceCount) {
        index = static_cast<size_t>(deviceId) - 1;
    } else {
        return Fail(MMSYSERR_BADDEVICEID, "There is no " + std::string(what) + " device " +
                                              std::to_string(deviceId) + "; the " + Name() + " backend has " +
                                              std::to_string(deviceCount) + ".");
    }
    if (!IsPcmMonoFormat(format)) {
        return Fail(WAVERR_BADFORMAT,
                    "Asked for tag " + std::to_string(format.formatTag) + ", " +
                        std::to_string(format.channels) + " channel(s), " +
                        std::to_string(format.bitsPerSample) + " bits, " +
                        std::to_string(format.samplesPerSec) + " Hz; devices take PCM mono, 8 or 16 bits, " +
                        std::to_string(kMinSampleRate) + " to " + std::to_string(kMaxSampleRate) + " Hz.");
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WaveBackendBase::ResolveServerDevice(bool input, int deviceId, const WaveFormat& format,
                                              const MessageTarget* owner, const std::string& named,
                                              const std::function<std::vector<WaveDeviceInfo>()>& devices,
                                              const char* trace, std::string& name) {
    const char* what = input ? "recording" : "playback";
    std::vector<WaveDeviceInfo> listed;
    if (deviceId != WAVE_MAPPER || !named.empty()) {
        listed = devices();
        if (listed.empty())
            return Fail(MMSYSERR_NODRIVER,
                        "The sound server does not answer, or has no " + std::string(what) + " device.");
    }
    size_t index = 0;
    const MMRESULT checked =
        CheckOpen(what, deviceId, deviceId == WAVE_MAPPER ? 1 : listed.size(), 0, format, owner, index);
    if (checked != MMSYSERR_NOERROR)
        return checked;
    if (deviceId != WAVE_MAPPER) {
        name = listed[index].name;
    } else if (!named.empty()) {
        const int number = FindWaveDevice(listed, named);
        if (number <= 0) {
            return Fail(MMSYSERR_BADDEVICEID,
                        "The sound server has " + std::string(number == 0 ? "no" : "several") + " " + what +
                            " devices named '" + named + "' (--list-devices lists them).");
        }
        name = listed[static_cast<size_t>(number) - 1].name;
    }
    if (std::getenv("QPARLIN_TRACE") != nullptr)
        std::fprintf(stderr, "%s %s device: %s\n", trace, what, name.empty() ? "(default)" : name.c_str());
    return MMSYSERR_NOERROR;
}

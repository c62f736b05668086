#include "app/SoundCheck.h"

#include <memory>

#include "audio/FormatCode.h"
#include "base/ByteString.h"
#include "platform/wave/Wave.h"

namespace {

// The check's devices post nothing anyone waits for: nothing is queued on them.
class DiscardingTarget final : public MessageTarget {
public:
    void Post(uint32_t, WPARAM, LPARAM) override {}
};

std::string DeviceText(bool recording, int device) {
    const char* what = recording ? "recording" : "playback";
    if (device == WAVE_MAPPER)
        return std::string("the default ") + what + " device";
    return std::string(what) + " device " + std::to_string(device);
}

// What the user can do about a failure to open, by its kind and the backend in use.
std::string Advice(MMRESULT result, bool recording, const Settings& settings) {
    if (settings.audioBackend == AudioBackend::File) {
        if (result == WAVERR_BADFORMAT)
            return FormatText(
                "Give a WAV file at the codec's rate (sox IN.wav -r %d -c 1 OUT.wav makes one).",
                format_code::Rate(settings.codecFormat));
        return recording ? "Check the path given to --input-wav." : "Check the path given to --output-wav.";
    }
    switch (result) {
        case MMSYSERR_BADDEVICEID:
            return std::string("qparlin --list-devices shows the numbers; ") + (recording ? "-i:0" : "-o:0") +
                   " takes the default device.";
        case MMSYSERR_NODRIVER:
            return "Start the desktop's sound server or connect a sound device, or give --audio=null to run "
                   "without sound.";
        case MMSYSERR_ALLOCATED:
            return "End the program that holds the device, or choose another one.";
        case WAVERR_BADFORMAT:
            return "Choose another codec with -a, or another device.";
        default:
            return "Choose another device (qparlin --list-devices), or give --audio=null to run without "
                   "sound.";
    }
}

std::string Problem(MMRESULT result, bool recording, const Settings& settings, int device) {
    std::string reason = CurrentWaveBackend().ErrorText(result);
    // Some details end with a sentence of the library's own that brings its full stop.
    for (std::size_t twice = reason.find(".. "); twice != std::string::npos; twice = reason.find(".. "))
        reason.erase(twice, 1);
    if (reason.size() >= 2 && reason.compare(reason.size() - 2, 2, "..") == 0)
        reason.pop_back();
    return "Cannot " + std::string(recording ? "record from " : "play on ") + DeviceText(recording, device) +
           " (" + CurrentWaveBackend().Name() + "): " + reason + " " + Advice(result, recording, settings);
}

}  // namespace

std::string CheckSoundDevices(const Settings& settings) {
    WaveFormat format;
    format.formatTag = WAVE_FORMAT_PCM;
    format.channels = 1;
    format.samplesPerSec = static_cast<uint32_t>(format_code::Rate(settings.codecFormat));
    format.bitsPerSample = static_cast<uint16_t>(format_code::Width(settings.codecFormat));
    format.blockAlign = static_cast<uint16_t>(format.bitsPerSample / 8);
    format.avgBytesPerSec = format.samplesPerSec * format.blockAlign;
    DiscardingTarget target;

    std::unique_ptr<WaveIn> in;
    const MMRESULT inResult = CurrentWaveBackend().OpenIn(in, settings.inputDevice, format, &target);
    // A WAV file at another rate than the codec's is converted as it is read, so it serves whatever format
    // a session agrees later; only a file no rate can be made of is refused here.
    if (inResult != MMSYSERR_NOERROR)
        return Problem(inResult, true, settings, settings.inputDevice);
    if (in) {
        in->Close();
        in.reset();
    }

    std::unique_ptr<WaveOut> out;
    const MMRESULT outResult = CurrentWaveBackend().OpenOut(out, settings.outputDevice, format, &target);
    if (outResult != MMSYSERR_NOERROR)
        return Problem(outResult, false, settings, settings.outputDevice);
    out->Close();
    return {};
}

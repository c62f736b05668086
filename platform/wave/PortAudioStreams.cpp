// PortAudio's callback streams behind WavePushSource and WavePullSink.
#include "platform/wave/PortAudioStreams.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "base/PcmSamples.h"

namespace {

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}
void IgnoreJackMessage(const char*) {}

// ALSA's plugins and JACK's client library print to stderr while PortAudio probes them (the JACK server
// that is not running, the devices that do not exist), which would bury the program's own messages.
// JACK is not linked by us, only by PortAudio, so its message hooks are looked up at run time.
void SilenceSoundLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        setenv("JACK_NO_START_SERVER", "1", 0);
        snd_lib_error_set_handler(IgnoreAlsaError);
        using SetHook = void (*)(void (*)(const char*));
        for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
            if (void* symbol = dlsym(RTLD_DEFAULT, name))
                reinterpret_cast<SetHook>(symbol)(IgnoreJackMessage);
        }
    });
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// PulseAudio's client library, which ALSA loads for its `pulse` and `default` devices, is not built with
// ThreadSanitizer and hands memory between its threads in ways it cannot see, so its own threads appear
// to race. Races in our code are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulse\n";
}
#endif

PortAudioSession::PortAudioSession() {
    SilenceSoundLibraries();
    const SoundLibraryLeakScope scope;
    initError_ = Pa_Initialize();
}

PortAudioSession::~PortAudioSession() {
    const SoundLibraryLeakScope scope;
    if (Ready())
        Pa_Terminate();
}

PortAudioCallbackStream::~PortAudioCallbackStream() {
    if (stream_ == nullptr)
        return;
    std::lock_guard<std::mutex> guard(session_->Lock());
    Pa_AbortStream(stream_);
    Pa_CloseStream(stream_);
}

PaError PortAudioCallbackStream::Open(const PaStreamParameters* in, const PaStreamParameters* out,
                                      double rate, PaStreamCallback* callback, void* self) {
    input_ = in != nullptr;
    return Pa_OpenStream(&stream_, in, out, rate, paFramesPerBufferUnspecified, paNoFlag, callback, self);
}

bool PortAudioCallbackStream::Start() {
    if (stream_ == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(session_->Lock());
    return Pa_StartStream(stream_) == paNoError;
}

void PortAudioCallbackStream::Stop() {
    if (stream_ == nullptr)
        return;
    std::lock_guard<std::mutex> guard(session_->Lock());
    Pa_AbortStream(stream_);
}

double PortAudioCallbackStream::Latency() const {
    const PaStreamInfo* info = stream_ != nullptr ? Pa_GetStreamInfo(stream_) : nullptr;
    if (info == nullptr)
        return 0;
    return input_ ? info->inputLatency : info->outputLatency;
}

PaError PortAudioCapture::Open(const PaStreamParameters& parameters, double rate) {
    return stream_.Open(&parameters, nullptr, rate, &PortAudioCapture::Callback, this);
}

int PortAudioCapture::Callback(const void* input, void*, unsigned long frames,
                               const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self) {
    auto* capture = static_cast<PortAudioCapture*>(self);
    if (input != nullptr && capture->captured_ != nullptr)
        capture->captured_(capture->context_, static_cast<const uint8_t*>(input), frames);
    return paContinue;
}

bool PortAudioCapture::Start(Captured captured, void* context) {
    // Set before the stream starts, and so before its callback thread can look at them.
    captured_ = captured;
    context_ = context;
    return stream_.Start();
}

PaError PortAudioPlayback::Open(const PaStreamParameters& parameters, double rate) {
    bytesPerFrame_ = parameters.sampleFormat == paUInt8 ? 1 : 2;
    return stream_.Open(nullptr, &parameters, rate, &PortAudioPlayback::Callback, this);
}

int PortAudioPlayback::Callback(const void*, void* output, unsigned long frames,
                                const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self) {
    auto* playback = static_cast<PortAudioPlayback*>(self);
    if (output == nullptr)
        return paContinue;
    if (playback->render_ != nullptr)
        playback->render_(playback->context_, static_cast<uint8_t*>(output), frames);
    else
        std::memset(output, SilenceByte(8 * static_cast<int>(playback->bytesPerFrame_)),
                    frames * playback->bytesPerFrame_);
    return paContinue;
}

bool PortAudioPlayback::Start(Render render, void* context) {
    render_ = render;
    context_ = context;
    return stream_.Start();
}

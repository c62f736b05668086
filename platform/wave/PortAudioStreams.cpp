// PortAudio's blocking streams behind WaveSource and WaveSink.
#include "platform/wave/PortAudioStreams.h"

#include <alsa/asoundlib.h>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <initializer_list>
#include <thread>
#include <utility>

namespace {

// How often WaitForRoom looks again.
constexpr std::chrono::milliseconds kRoomPoll{2};

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
            if (void* symbol = dlsym(RTLD_DEFAULT, name)) reinterpret_cast<SetHook>(symbol)(IgnoreJackMessage);
        }
    });
}

enum class Room { kReady, kTimedOut, kFailed };

// Waits until the stream can take or give `frames` frames without blocking, for at most a few chunks' time,
// so that the device thread never hangs in PortAudio while its device is being stopped or closed. (A sound
// server may hold a new stream back for a while: an idle PulseAudio null sink, for one, for up to 2 s.)
// A failed stream is reported after a chunk's time, so that its device thread does not spin.
Room WaitForRoom(PaStream* stream, bool input, size_t frames, uint32_t samplesPerSec) {
    using Clock = std::chrono::steady_clock;
    const auto chunk = std::chrono::microseconds(frames * 1'000'000ULL / samplesPerSec);
    const Clock::time_point deadline = Clock::now() + 4 * chunk;
    for (;;) {
        const long available = input ? Pa_GetStreamReadAvailable(stream) : Pa_GetStreamWriteAvailable(stream);
        if (available < 0) {
            std::this_thread::sleep_for(chunk);
            return Room::kFailed;
        }
        if (static_cast<unsigned long>(available) >= frames) return Room::kReady;
        if (Clock::now() >= deadline) return Room::kTimedOut;
        std::this_thread::sleep_for(kRoomPoll);
    }
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// PulseAudio's client library, which ALSA loads for its `pulse` and `default` devices, is not built with
// ThreadSanitizer and hands memory between its threads in ways it cannot see, so its own threads appear
// to race. Races in our code are still reported.
extern "C" const char* __tsan_default_suppressions() { return "race:libpulse\n"; }
#endif

PortAudioSession::PortAudioSession() {
    SilenceSoundLibraries();
    const SoundLibraryLeakScope scope;
    initError_ = Pa_Initialize();
}

PortAudioSession::~PortAudioSession() {
    const SoundLibraryLeakScope scope;
    if (Ready()) Pa_Terminate();
}

PortAudioSource::PortAudioSource(std::shared_ptr<PortAudioSession> session, PaStream* stream,
                                 uint32_t samplesPerSec)
    : session_(std::move(session)), stream_(stream), samplesPerSec_(samplesPerSec) {}

PortAudioSource::~PortAudioSource() {
    std::lock_guard<std::mutex> guard(session_->Lock());
    Pa_CloseStream(stream_);
}

bool PortAudioSource::Resume() {
    std::lock_guard<std::mutex> guard(session_->Lock());
    return Pa_StartStream(stream_) == paNoError;
}

void PortAudioSource::Pause() {
    // Aborting drops what was captured but not read, which is what a stopped device does with it.
    std::lock_guard<std::mutex> guard(session_->Lock());
    Pa_AbortStream(stream_);
}

bool PortAudioSource::Read(uint8_t* data, size_t frames) {
    if (WaitForRoom(stream_, true, frames, samplesPerSec_) != Room::kReady) return false;
    const PaError error = Pa_ReadStream(stream_, data, static_cast<unsigned long>(frames));
    // An overflow lost some audio before this chunk; the chunk itself is good.
    return error == paNoError || error == paInputOverflowed;
}

PortAudioSink::PortAudioSink(std::shared_ptr<PortAudioSession> session, PaStream* stream, uint32_t samplesPerSec)
    : session_(std::move(session)), stream_(stream), samplesPerSec_(samplesPerSec) {}

PortAudioSink::~PortAudioSink() {
    std::lock_guard<std::mutex> guard(session_->Lock());
    Pa_AbortStream(stream_);
    Pa_CloseStream(stream_);
}

bool PortAudioSink::Write(const uint8_t* data, size_t frames) {
    const Room room = WaitForRoom(stream_, false, frames, samplesPerSec_);
    if (room == Room::kTimedOut) return false;
    // A failed stream drops the chunk, so that the headers still come back in time. An underflow means the
    // device ran dry before this chunk came; the chunk itself is played.
    if (room == Room::kReady) Pa_WriteStream(stream_, data, static_cast<unsigned long>(frames));
    return true;
}

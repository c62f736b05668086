// The sound server's record and playback streams, with their retries.
#include "platform/wave/PulseStreams.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

#include "base/PcmSamples.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

// A failed stream is made anew after this many ticks (a second).
constexpr int kRetryTicks = 100;

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// A latency the server reports, summed: a value past any real device's (a server's garbage) is held to
// the longest an echo canceller could use, and the sum cannot overflow.
int64_t ServerLatencyUs(pa_usec_t device, pa_usec_t transport, pa_usec_t waiting) {
    constexpr pa_usec_t kMostUs = 10'000'000;
    return static_cast<int64_t>(std::min(
        kMostUs, std::min(device, kMostUs) + std::min(transport, kMostUs) + std::min(waiting, kMostUs)));
}

bool Traced() {
    return std::getenv("QPARLIN_TRACE") != nullptr;
}

}  // namespace

PulseStream::PulseStream(std::shared_ptr<PulseConnection> connection, std::string device,
                         const WaveFormat& format, bool input)
    : connection_(std::move(connection)),
      device_(std::move(device)),
      format_(format),
      input_(input),
      attributes_(ChoosePulseBufferAttributes(format.samplesPerSec, format.blockAlign)) {
    PulseLock lock(connection_->Loop());
    tick_ = connection_->NewTimer(&PulseStream::OnTimer, this);
    connection_->Add(this);
}

PulseStream::~PulseStream() {
    Shutdown();
}

void PulseStream::Shutdown() {
    PulseLock lock(connection_->Loop());
    Drop();
    connection_->FreeTimer(tick_);
    connection_->Remove(this);
}

bool PulseStream::Create() {
    pa_context* context = connection_->Context();
    if (context == nullptr || stream_ != nullptr)
        return false;
    const pa_sample_spec spec{format_.bitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16NE,
                              format_.samplesPerSec, 1};
    pa_channel_map map;
    pa_channel_map_init_mono(&map);
    const WaveDeviceOptions& options = connection_->Options();
    const std::string name = PulseStreamName(options.peer);
    pa_proplist* properties = pa_proplist_new();
    // A phone call: volume panels show it as one, and the server's ducking and echo policies see it.
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "phone");
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, name.c_str());
    if (options.suppressServerEchoCancel)
        pa_proplist_sets(properties, PA_PROP_FILTER_SUPPRESS, "echo-cancel");
    stream_ = pa_stream_new_with_proplist(context, name.c_str(), &spec, &map, properties);
    pa_proplist_free(properties);
    if (stream_ == nullptr)
        return false;
    pa_stream_set_state_callback(stream_, &PulseStream::OnState, this);
    SetCallbacks();
    // A device chosen by name stays that device: when it vanishes the stream fails (and comes back with
    // it) instead of wandering to another one. The default follows the server's default.
    pa_stream_flags_t flags = device_.empty() ? PA_STREAM_NOFLAGS : PA_STREAM_DONT_MOVE;
    // The server sends its timing now and then by itself (ever less often, at most every 1.5 s): the echo
    // canceller learns the devices' latencies from it without a request of ours.
    flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_AUTO_TIMING_UPDATE);
    const char* device = device_.empty() ? nullptr : device_.c_str();
    int result;
    if (input_) {
        flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_ADJUST_LATENCY);
        result = pa_stream_connect_record(stream_, device, &attributes_.record, flags);
    } else {
        flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_EARLY_REQUESTS);
        result = pa_stream_connect_playback(stream_, device, &attributes_.playback, flags, nullptr, nullptr);
    }
    if (result < 0) {
        Drop();
        ticksToRetry_ = kRetryTicks;
        connection_->Arm(tick_, kTickMs);
        return false;
    }
    return true;
}

void PulseStream::Drop() {
    SetLatencyUs(-1);
    if (stream_ == nullptr)
        return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY || state == PA_STREAM_CREATING)
        pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseStream::OnServerReady() {
    if (Wanted() && stream_ == nullptr)
        Create();
}

void PulseStream::OnServerLost() {
    // The server took every stream with it; its coming back makes them anew.
    const bool wasReady = Ready();
    Drop();
    wasReady_ = false;
    if (wasReady)
        OnLost();
    connection_->Arm(tick_, Wanted() ? kTickMs : -1);
    ticksToRetry_ = kRetryTicks;
}

void PulseStream::OnState(pa_stream* stream, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            owner->wasReady_ = true;
            owner->lostReported_ = false;
            owner->connection_->Arm(owner->tick_, -1);
            owner->OnReady();
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED: {
            pa_context* context = owner->connection_->Context();
            if (context != nullptr && owner->reportFailures_ && !owner->lostReported_) {
                owner->lostReported_ = true;
                const std::string what = owner->input_ ? "recording" : "playback";
                const std::string device = owner->device_.empty() ? "default" : owner->device_;
                PulseConnection::Report("Sound: the " + what + " device '" + device + "' is gone (" +
                                        pa_strerror(pa_context_errno(context)) +
                                        "); the call goes on without it until it is back.");
            }
            const bool wasReady = owner->wasReady_;
            owner->wasReady_ = false;
            if (wasReady)
                owner->OnLost();
            // The stream is let go from the timer, not from inside its own callback.
            owner->ticksToRetry_ = kRetryTicks;
            owner->connection_->Arm(owner->tick_, kTickMs);
            break;
        }
        default:
            break;
    }
    owner->connection_->Signal();
}

void PulseStream::OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    if (owner->stream_ != nullptr) {
        const pa_stream_state_t state = pa_stream_get_state(owner->stream_);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
            owner->Drop();
    }
    if (owner->Ready() || !owner->Wanted())
        return;
    owner->OnTick();
    if (owner->stream_ == nullptr && --owner->ticksToRetry_ <= 0) {
        owner->ticksToRetry_ = kRetryTicks;
        owner->Create();
    }
    owner->connection_->Arm(owner->tick_, kTickMs);
}

PulseCapture::PulseCapture(std::shared_ptr<PulseConnection> connection, std::string device,
                           const WaveFormat& format)
    : PulseStream(std::move(connection), std::move(device), format, true) {
    reportFailures_ = true;
}

PulseCapture::~PulseCapture() {
    Shutdown();
}

bool PulseCapture::Start(Captured captured, void* context) {
    PulseLock lock(connection_->Loop());
    captured_ = captured;
    context_ = context;
    // A server that does not answer now is not a refusal: the stream comes when the server does.
    if (stream_ == nullptr && !Create() && connection_->Context() == nullptr)
        connection_->Arm(tickTimer(), kTickMs);
    return true;
}

void PulseCapture::Stop() {
    PulseLock lock(connection_->Loop());
    Drop();
    captured_ = nullptr;
    context_ = nullptr;
    silentSinceUs_ = 0;
}

void PulseCapture::SetBufferFrames(size_t frames) {
    PulseLock lock(connection_->Loop());
    attributes_.record.fragsize =
        static_cast<uint32_t>(ChooseRecordFragmentFrames(format_.samplesPerSec, frames) * format_.blockAlign);
}

void PulseCapture::OnReady() {
    silentSinceUs_ = 0;
    if (Traced()) {
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
        std::fprintf(stderr, "Sound server granted a recording fragment of %u bytes (asked for %u)\n",
                     granted->fragsize, attributes_.record.fragsize);
    }
}

void PulseCapture::OnTick() {
    // With no stream the recording goes on in silence, at its pace: the call keeps sending, so that a
    // peer that watches for silence on the line does not end it while the server or device is away.
    const uint64_t now = NowUs();
    if (silentSinceUs_ == 0 || now < silentSinceUs_) {
        silentSinceUs_ = now;
        return;
    }
    const uint64_t frames = (now - silentSinceUs_) * format_.samplesPerSec / 1'000'000ULL;
    if (frames == 0)
        return;
    silentSinceUs_ += frames * 1'000'000ULL / format_.samplesPerSec;
    // A loop held up for long does not make up more than a second at once.
    CaptureSilence(static_cast<size_t>(std::min<uint64_t>(frames, format_.samplesPerSec)) *
                   format_.blockAlign);
}

void PulseCapture::CaptureSilence(size_t bytes) {
    if (captured_ == nullptr)
        return;
    static constexpr size_t kSilenceBytes = 4096;
    uint8_t silence[kSilenceBytes];
    std::memset(silence, SilenceByte(format_.bitsPerSample), sizeof silence);
    const size_t blockAlign = format_.blockAlign;
    for (size_t done = 0; done < bytes;) {
        const size_t count = std::min(bytes - done, kSilenceBytes) / blockAlign * blockAlign;
        if (count == 0)
            break;
        captured_(context_, silence, count / blockAlign);
        done += count;
    }
}

void PulseCapture::SetCallbacks() {
    pa_stream_set_read_callback(stream_, &PulseCapture::OnRead, this);
}

double PulseCapture::LatencySeconds() const {
    const int64_t latencyUs = LatencyUs();
    return latencyUs < 0 ? -1.0 : static_cast<double>(latencyUs) / 1e6;
}

void PulseCapture::OnRead(pa_stream* stream, size_t, void* self) {
    auto* capture = static_cast<PulseCapture*>(self);
    const size_t blockAlign = capture->format_.blockAlign;
    // What is handed over now waited in the source and then in the stream: the oldest of it that long.
    // (Each call into the library costs a system call or two: only the calls needed are made.)
    if (const pa_timing_info* timing = pa_stream_get_timing_info(stream); timing != nullptr) {
        const size_t readable = pa_stream_readable_size(stream);
        const pa_usec_t waiting =
            readable != static_cast<size_t>(-1)
                ? pa_usec_t{readable / blockAlign} * 1'000'000ULL / capture->format_.samplesPerSec
                : 0;
        capture->SetLatencyUs(ServerLatencyUs(timing->source_usec, timing->transport_usec, waiting));
    }
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        if (capture->captured_ != nullptr) {
            if (data != nullptr) {
                capture->captured_(capture->context_, static_cast<const uint8_t*>(data), bytes / blockAlign);
            } else {
                // A hole the server left (an overrun): silence keeps what follows in time.
                capture->CaptureSilence(bytes);
            }
        }
        pa_stream_drop(stream);
    }
}

PulseWaveOut::PulseWaveOut(std::shared_ptr<PulseConnection> connection, std::string device,
                           const WaveFormat& format, MessageTarget* owner)
    : PulseStream(std::move(connection), std::move(device), format, false), owner_(owner) {
    periodFrames_.store(attributes_.playback.minreq / format.blockAlign, std::memory_order_relaxed);
    ring_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ring_ >= 0) {
        PulseLock lock(connection_->Loop());
        pa_mainloop_api* api = connection_->Api();
        ringEvent_ = api->io_new(api, ring_, PA_IO_EVENT_INPUT, &PulseWaveOut::OnRing, this);
    }
}

PulseWaveOut::~PulseWaveOut() {
    {
        PulseLock lock(connection_->Loop());
        closed_ = true;
        if (ringEvent_ != nullptr)
            connection_->Api()->io_free(ringEvent_);
        ringEvent_ = nullptr;
    }
    if (ring_ >= 0)
        close(ring_);
    Shutdown();
}

bool PulseWaveOut::Open(std::string& problem) {
    PulseLock lock(connection_->Loop());
    if (connection_->Context() == nullptr) {
        // The server is away (and was reported so): the device plays nothing, at its pace, until it is back.
        reportFailures_ = true;
        connection_->Arm(tickTimer(), kTickMs);
        return true;
    }
    if (!Create()) {
        pa_context* context = connection_->Context();
        problem =
            context != nullptr ? pa_strerror(pa_context_errno(context)) : "the sound server does not answer";
        return false;
    }
    while (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_CREATING &&
           connection_->Context() != nullptr)
        connection_->Wait();
    if (!Ready()) {
        pa_context* context = connection_->Context();
        problem = context != nullptr ? pa_strerror(pa_context_errno(context)) : "the sound server went away";
        Drop();
        connection_->Arm(tickTimer(), -1);
        return false;
    }
    reportFailures_ = true;
    if (Traced()) {
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
        std::fprintf(stderr,
                     "Sound server granted playback tlength %u, minreq %u, prebuf %u, maxlength %u bytes\n",
                     granted->tlength, granted->minreq, granted->prebuf, granted->maxlength);
    }
    return true;
}

void PulseWaveOut::SetCallbacks() {
    pa_stream_set_write_callback(stream_, &PulseWaveOut::OnRequest, this);
    pa_stream_set_underflow_callback(stream_, &PulseWaveOut::OnUnderflow, this);
}

void PulseWaveOut::OnReady() {
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
    tlength_ = granted != nullptr ? granted->tlength : attributes_.playback.tlength;
    prebuf_ = granted != nullptr ? granted->prebuf : attributes_.playback.prebuf;
    underflows_ = 0;
    if (granted != nullptr && granted->minreq > 0)
        StorePeriod(granted->minreq / format_.blockAlign);
    written_ = 0;
    lastPlayed_ = 0;
    cushion_ = true;
    // What was paced while there was no stream is done; the next header goes to the server.
    PostWhile([](const Queued&) { return true; });
}

void PulseWaveOut::OnLost() {
    // What the server held is gone with it.
    PostWhile([](const Queued&) { return true; });
    paceUntilUs_ = NowUs();
}

void PulseWaveOut::OnTick() {
    const uint64_t now = NowUs();
    PostWhile([now](const Queued& queued) { return !queued.written && queued.end <= now; });
}

void PulseWaveOut::OnRequest(pa_stream*, size_t, void* self) {
    static_cast<PulseWaveOut*>(self)->PostPlayed();
}

void PulseWaveOut::OnUnderflow(pa_stream*, void* self) {
    auto* out = static_cast<PulseWaveOut*>(self);
    // Past the stream's start, running dry means the server's requests came too late for what the feeder
    // keeps written: the period grows by the margin, so that more stays written. A feeder that fell silent
    // (the playout idle between calls or talk spurts) grows it too, by no more than the margin's bound.
    if (out->underflows_++ > 0) {
        const size_t request = out->attributes_.playback.minreq / out->format_.blockAlign;
        out->marginFrames_ = PulseUnderflowMargin(out->marginFrames_, request);
        out->StorePeriod(out->requestFrames_);
    }
    out->PostWhile([](const Queued& queued) { return queued.written; });
    out->cushion_ = true;
}

int PulseWaveOut::LatencyMs() const {
    const int64_t latencyUs = LatencyUs();
    return latencyUs < 0 ? -1 : static_cast<int>((latencyUs + 500) / 1000);
}

void PulseWaveOut::PostPlayed() {
    if (!Ready())
        return;
    // A header is posted back once the server took it into the sink: the sink's latency is what remains.
    if (const pa_timing_info* timing = pa_stream_get_timing_info(stream_); timing != nullptr)
        SetLatencyUs(ServerLatencyUs(timing->sink_usec, timing->transport_usec, 0));
    // The server asks for exactly the room it played out, so what it still holds of ours is the target
    // less what it asks for.
    const size_t writable = pa_stream_writable_size(stream_);
    const uint64_t held = tlength_ > writable ? tlength_ - writable : 0;
    const uint64_t played = written_ > held ? written_ - held : 0;
    PostWhile([played](const Queued& queued) { return queued.written && queued.end <= played; });
    // The period is the most the server took between two requests lately: PipeWire takes a whole graph
    // quantum at a time, which may be more than the 10 ms asked for, and whoever feeds us keeps that much
    // written or the server runs dry between requests.
    const uint64_t taken = played > lastPlayed_ ? played - lastPlayed_ : 0;
    lastPlayed_ = std::max(lastPlayed_, played);
    windowLargest_ = std::max<size_t>(windowLargest_, taken / format_.blockAlign);
    if (++windowCalls_ >= kPeriodWindow) {
        StorePeriod(std::max<size_t>(windowLargest_, attributes_.playback.minreq / format_.blockAlign));
        windowLargest_ = 0;
        windowCalls_ = 0;
    }
}

void PulseWaveOut::StorePeriod(size_t frames) {
    requestFrames_ = frames;
    periodFrames_.store(frames + marginFrames_, std::memory_order_relaxed);
}

template <typename Done>
void PulseWaveOut::PostWhile(Done done) {
    while (!queue_.empty() && done(queue_.front()))
        PostFront();
}

void PulseWaveOut::PostFront() {
    WaveHeader* header = queue_.front().header;
    queue_.pop_front();
    {
        std::lock_guard<std::mutex> guard(flagsLock_);
        header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    }
    owner_->Post(MM_WOM_DONE, 0, reinterpret_cast<LPARAM>(header));
}

void PulseWaveOut::WriteToServer(const uint8_t* data, size_t bytes) {
    if (cushion_) {
        // The server starts playing once the cushion is there: the piece after it never waits for more.
        scratch_.assign(attributes_.cushionBytes, SilenceByte(format_.bitsPerSample));
        if (pa_stream_write(stream_, scratch_.data(), scratch_.size(), nullptr, 0, PA_SEEK_RELATIVE) == 0)
            written_ += scratch_.size();
        cushion_ = false;
        // A server that was told to wait for more than the cushion (PULSE_LATENCY_MSEC sets the prebuffer
        // to the whole target) would wait for more than the feeder ever keeps written, and never play:
        // it is told to start now.
        if (prebuf_ > scratch_.size()) {
            if (pa_operation* operation = pa_stream_trigger(stream_, nullptr, nullptr); operation != nullptr)
                pa_operation_unref(operation);
        }
    }
    if (bytes > 0 && pa_stream_write(stream_, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) == 0)
        written_ += bytes;
}

// Preparing and unpreparing touch only the header: they keep off the main loop's lock, which its thread
// holds while it serves the server, so that the feeder's thread does not wait for it.
MMRESULT PulseWaveOut::Prepare(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(flagsLock_);
    return PrepareHeader(header, closed_.load(std::memory_order_relaxed));
}

MMRESULT PulseWaveOut::Unprepare(WaveHeader* header) {
    std::lock_guard<std::mutex> guard(flagsLock_);
    return UnprepareHeader(header, closed_.load(std::memory_order_relaxed));
}

MMRESULT PulseWaveOut::Write(WaveHeader* header) {
    bool ring = false;
    {
        std::lock_guard<std::mutex> guard(flagsLock_);
        if (const MMRESULT result = MarkQueued(header, closed_.load(std::memory_order_relaxed));
            result != MMSYSERR_NOERROR)
            return result;
        handed_.push_back(header);
        // One ring for all that is handed over before the loop takes it.
        ring = handed_.size() == 1;
    }
    if (ringEvent_ == nullptr) {
        // No eventfd to ring (out of descriptors): the feeder writes under the loop's lock itself.
        PulseLock lock(connection_->Loop());
        for (WaveHeader* handed : TakeHanded())
            Play(handed);
        return MMSYSERR_NOERROR;
    }
    if (ring) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(ring_, &one, sizeof one);
    }
    return MMSYSERR_NOERROR;
}

const std::vector<WaveHeader*>& PulseWaveOut::TakeHanded() {
    taken_.clear();
    std::lock_guard<std::mutex> guard(flagsLock_);
    taken_.swap(handed_);
    return taken_;
}

void PulseWaveOut::OnRing(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
    uint64_t rings = 0;
    [[maybe_unused]] const ssize_t read = ::read(fd, &rings, sizeof rings);
    auto* out = static_cast<PulseWaveOut*>(self);
    for (WaveHeader* header : out->TakeHanded())
        out->Play(header);
}

void PulseWaveOut::Play(WaveHeader* header) {
    const size_t bytes = header->bufferLength / format_.blockAlign * format_.blockAlign;
    if (Ready()) {
        const uint8_t* data = header->data;
        if ((volume_ & 0xFFFF) != 0xFFFF) {
            scaled_.assign(header->data, header->data + bytes);
            ScaleSamples(scaled_.data(), bytes, volume_ & 0xFFFF, format_.bitsPerSample);
            data = scaled_.data();
        }
        WriteToServer(data, bytes);
        queue_.push_back({header, written_, true});
        return;
    }
    // No stream: the header is done when it would have played, so the call above keeps its pace.
    const uint64_t now = NowUs();
    paceUntilUs_ = std::max(paceUntilUs_, now) +
                   uint64_t{bytes / format_.blockAlign} * 1'000'000ULL / format_.samplesPerSec;
    queue_.push_back({header, paceUntilUs_, false});
}

MMRESULT PulseWaveOut::Reset() {
    PulseLock lock(connection_->Loop());
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    // What the server holds plays out (a few tens of milliseconds); flushing it would leave the server's
    // requests out of step with what we wrote. What the loop has not taken yet is not written at all.
    while (!queue_.empty())
        PostFront();
    for (WaveHeader* header : TakeHanded()) {
        queue_.push_back({header, 0, false});
        PostFront();
    }
    return MMSYSERR_NOERROR;
}

MMRESULT PulseWaveOut::SetVolume(uint32_t volume) {
    PulseLock lock(connection_->Loop());
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    volume_ = volume;
    return MMSYSERR_NOERROR;
}

MMRESULT PulseWaveOut::Close() {
    {
        PulseLock lock(connection_->Loop());
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        std::lock_guard<std::mutex> guard(flagsLock_);
        if (!queue_.empty() || !handed_.empty())
            return WAVERR_STILLPLAYING;
        closed_ = true;
        Drop();
    }
    return MMSYSERR_NOERROR;
}

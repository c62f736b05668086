// PipeWire's record and playback streams, with their retries and their pace while the graph is away.
#include "platform/wave/PipeWireStreams.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/PcmSamples.h"
#include "platform/wave/PulseConnection.h"

namespace {

constexpr int kTickMs = 10;
// A failed stream is made anew after this many ticks (a second).
constexpr int kRetryTicks = 100;
// A latency past any real device's (a server's garbage) is held to the longest an echo canceller could use.
constexpr int64_t kMostLatencyUs = 10'000'000;

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The quantum to ask for: ours, or the one QPARLIN_PW_QUANTUM gives (samples at 48 kHz, for measuring).
uint32_t QuantumToAsk(uint32_t ours) {
    const char* text = std::getenv("QPARLIN_PW_QUANTUM");
    if (text == nullptr)
        return ours;
    const long asked = std::strtol(text, nullptr, 10);
    return asked >= 32 && asked <= 8192 ? static_cast<uint32_t>(asked) : ours;
}

pw_stream_events StreamEvents(void (*state)(void*, enum pw_stream_state, enum pw_stream_state, const char*),
                              void (*process)(void*)) {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = state;
    events.process = process;
    return events;
}

}  // namespace

PipeWireStream::PipeWireStream(std::shared_ptr<PipeWireConnection> connection, std::string device,
                               const WaveFormat& format, bool input)
    : connection_(std::move(connection)),
      device_(std::move(device)),
      format_(format),
      input_(input),
      quantum_(ChoosePipeWireQuantum(0)) {
    PipeWireLock lock(connection_->Loop());
    tick_ = connection_->NewTimer(&PipeWireStream::OnTick, this);
    connection_->Add(this);
}

PipeWireStream::~PipeWireStream() {
    Shutdown();
}

void PipeWireStream::Shutdown() {
    PipeWireLock lock(connection_->Loop());
    End();
    connection_->FreeTimer(tick_);
    connection_->Remove(this);
}

void PipeWireStream::Begin() {
    ticksToRetry_ = 0;
    if (connection_->Core() != nullptr && DeviceHere())
        Create();
    connection_->Arm(tick_, kTickMs);
}

void PipeWireStream::End() {
    Drop();
    connection_->Arm(tick_, -1);
    idleSinceUs_ = 0;
}

bool PipeWireStream::DeviceHere() const {
    if (device_.empty())
        return true;
    return connection_->HasNode(ResolvePipeWireTarget(connection_->Nodes(), device_, input_).node);
}

bool PipeWireStream::Create() {
    pw_core* core = connection_->Core();
    if (core == nullptr || stream_ != nullptr)
        return false;
    const WaveDeviceOptions& options = connection_->Options();
    PipeWireStreamSettings settings;
    settings.input = input_;
    settings.peer = options.peer;
    settings.target = ResolvePipeWireTarget(connection_->Nodes(), device_, input_);
    settings.quantum = QuantumToAsk(quantum_.load());
    settings.suppressServerEchoCancel = options.suppressServerEchoCancel;
    pw_properties* properties = pw_properties_new(nullptr, nullptr);
    for (const auto& [key, value] : PipeWireStreamProperties(settings))
        pw_properties_set(properties, key.c_str(), value.c_str());
    const std::string name = PulseStreamName(options.peer);
    pw_stream* stream = pw_stream_new(core, name.c_str(), properties);
    if (stream == nullptr) {
        ticksToRetry_ = kRetryTicks;
        return false;
    }
    static const pw_stream_events events = StreamEvents(&PipeWireStream::OnState, &PipeWireStream::OnProcess);
    pw_stream_add_listener(stream, &listener_, &events, this);

    uint8_t buffer[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = format_.bitsPerSample == 8 ? SPA_AUDIO_FORMAT_U8 : SPA_AUDIO_FORMAT_S16;
    info.rate = format_.samplesPerSec;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    // The process callback runs on PipeWire's data thread, straight from the graph's cycle: no hop through
    // our loop between the graph and the call.
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    stream_ = stream;
    if (pw_stream_connect(stream, input_ ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params,
                          1) < 0) {
        Drop();
        ticksToRetry_ = kRetryTicks;
        return false;
    }
    return true;
}

void PipeWireStream::Drop() {
    streaming_ = false;
    latencyUs_ = -1;
    if (stream_ == nullptr)
        return;
    spa_hook_remove(&listener_);
    // Waits until the data thread has left the process callback.
    pw_stream_destroy(stream_);
    stream_ = nullptr;
}

void PipeWireStream::ReportGone(const std::string& why) {
    if (goneReported_)
        return;
    goneReported_ = true;
    const std::string what = input_ ? "recording" : "playback";
    const std::string device = device_.empty() ? "default" : device_;
    PipeWireConnection::Report("Sound: the " + what + " device '" + device + "' is gone (" + why +
                               "); the call goes on without it until it is back.");
}

void PipeWireStream::OnServerReady() {
    ticksToRetry_ = 0;
    if (Wanted() && stream_ == nullptr && DeviceHere())
        Create();
}

void PipeWireStream::OnServerLost() {
    // The server took every stream with it; its coming back makes them anew.
    Drop();
    if (Wanted())
        connection_->Arm(tick_, kTickMs);
}

void PipeWireStream::OnNodesChanged() {
    if (!Wanted() || device_.empty())
        return;
    if (!DeviceHere()) {
        if (stream_ != nullptr) {
            ReportGone("it left the server");
            Drop();
            connection_->Arm(tick_, kTickMs);
        }
    } else if (stream_ == nullptr) {
        // The device is back: so is the sound, at once.
        Create();
    }
}

void PipeWireStream::OnState(void* self, enum pw_stream_state, enum pw_stream_state state,
                             const char* error) {
    auto* owner = static_cast<PipeWireStream*>(self);
    switch (state) {
        case PW_STREAM_STATE_STREAMING:
            owner->streaming_ = true;
            owner->goneReported_ = false;
            owner->idleSinceUs_ = 0;
            owner->connection_->Arm(owner->tick_, -1);
            break;
        case PW_STREAM_STATE_ERROR:
            owner->streaming_ = false;
            // With the server gone every stream fails: the connection reports that, once.
            if (owner->connection_->Core() != nullptr)
                owner->ReportGone(error != nullptr ? error : "the server refused the stream");
            // The stream is let go from the timer, not from inside its own callback.
            owner->ticksToRetry_ = kRetryTicks;
            owner->connection_->Arm(owner->tick_, kTickMs);
            break;
        default:
            owner->streaming_ = false;
            owner->connection_->Arm(owner->tick_, kTickMs);
            break;
    }
}

void PipeWireStream::OnTick(void* self, uint64_t) {
    auto* owner = static_cast<PipeWireStream*>(self);
    if (owner->stream_ != nullptr && pw_stream_get_state(owner->stream_, nullptr) == PW_STREAM_STATE_ERROR)
        owner->Drop();
    if (!owner->Wanted() || owner->streaming_)
        return;
    if (owner->stream_ == nullptr && --owner->ticksToRetry_ <= 0) {
        owner->ticksToRetry_ = kRetryTicks;
        if (owner->connection_->Core() != nullptr && owner->DeviceHere())
            owner->Create();
    }
    // Nothing runs us: the call's audio moves at its pace all the same.
    const uint64_t now = NowUs();
    if (owner->idleSinceUs_ == 0 || now < owner->idleSinceUs_) {
        owner->idleSinceUs_ = now;
    } else {
        const uint32_t rate = owner->format_.samplesPerSec;
        const uint64_t frames = (now - owner->idleSinceUs_) * rate / 1'000'000ULL;
        if (frames > 0) {
            owner->idleSinceUs_ += frames * 1'000'000ULL / rate;
            // A loop held up for long does not make up more than a second at once.
            owner->Idle(static_cast<size_t>(std::min<uint64_t>(frames, rate)));
        }
    }
    owner->connection_->Arm(owner->tick_, kTickMs);
}

void PipeWireStream::OnProcess(void* self) {
    auto* owner = static_cast<PipeWireStream*>(self);
    pw_stream* stream = owner->stream_;
    if (stream == nullptr)
        return;
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (buffer == nullptr)
        return;
    spa_buffer* spa = buffer->buffer;
    const uint32_t blockAlign = owner->format_.blockAlign;
    if (spa != nullptr && spa->n_datas >= 1 && spa->datas[0].data != nullptr &&
        spa->datas[0].chunk != nullptr) {
        spa_data& data = spa->datas[0];
        auto* bytes = static_cast<uint8_t*>(data.data);
        if (owner->input_) {
            uint32_t length = 0;
            const uint32_t offset =
                ClampPipeWireChunk(data.chunk->offset, data.chunk->size, data.maxsize, blockAlign, length);
            owner->Process(bytes + offset, length);
        } else {
            uint32_t length = data.maxsize - data.maxsize % blockAlign;
            if (buffer->requested > 0 && buffer->requested < length / blockAlign)
                length = static_cast<uint32_t>(buffer->requested) * blockAlign;
            data.chunk->offset = 0;
            data.chunk->stride = static_cast<int32_t>(blockAlign);
            data.chunk->size = owner->Process(bytes, length);
        }
    }
    pw_time time{};
    if (pw_stream_get_time_n(stream, &time, sizeof time) == 0 && time.rate.denom > 0 && time.delay >= 0) {
        const int64_t latencyUs = time.delay * 1'000'000 * static_cast<int64_t>(time.rate.num) /
                                  static_cast<int64_t>(time.rate.denom);
        owner->latencyUs_ = std::clamp<int64_t>(latencyUs, 0, kMostLatencyUs);
    }
    pw_stream_queue_buffer(stream, buffer);
}

PipeWireCapture::PipeWireCapture(std::shared_ptr<PipeWireConnection> connection, std::string device,
                                 const WaveFormat& format)
    : PipeWireStream(std::move(connection), std::move(device), format, true) {}

PipeWireCapture::~PipeWireCapture() {
    Shutdown();
}

bool PipeWireCapture::Start(Captured captured, void* context) {
    PipeWireLock lock(connection_->Loop());
    {
        std::lock_guard<std::mutex> deliver(deliverLock_);
        captured_ = captured;
        context_ = context;
    }
    // A server or device that is away now is not a refusal: the stream comes when it does.
    Begin();
    return true;
}

void PipeWireCapture::Stop() {
    PipeWireLock lock(connection_->Loop());
    End();
    std::lock_guard<std::mutex> deliver(deliverLock_);
    captured_ = nullptr;
    context_ = nullptr;
}

void PipeWireCapture::SetBufferFrames(size_t frames) {
    if (format_.samplesPerSec > 0)
        quantum_ = ChoosePipeWireQuantum(uint64_t{frames} * 1'000'000ULL / format_.samplesPerSec);
}

uint32_t PipeWireCapture::Process(uint8_t* data, uint32_t bytes) {
    std::lock_guard<std::mutex> deliver(deliverLock_);
    if (captured_ != nullptr && bytes > 0)
        captured_(context_, data, bytes / format_.blockAlign);
    return bytes;
}

void PipeWireCapture::Idle(size_t frames) {
    std::lock_guard<std::mutex> deliver(deliverLock_);
    if (captured_ == nullptr)
        return;
    constexpr size_t kPieceFrames = 1024;
    silence_.assign(kPieceFrames * format_.blockAlign, SilenceByte(format_.bitsPerSample));
    for (size_t done = 0; done < frames;) {
        const size_t count = std::min(frames - done, kPieceFrames);
        captured_(context_, silence_.data(), count);
        done += count;
    }
}

PipeWirePlayback::PipeWirePlayback(std::shared_ptr<PipeWireConnection> connection, std::string device,
                                   const WaveFormat& format)
    : PipeWireStream(std::move(connection), std::move(device), format, false) {}

PipeWirePlayback::~PipeWirePlayback() {
    Shutdown();
}

bool PipeWirePlayback::Start(Render render, void* context) {
    PipeWireLock lock(connection_->Loop());
    {
        std::lock_guard<std::mutex> deliver(deliverLock_);
        render_ = render;
        context_ = context;
    }
    Begin();
    return true;
}

void PipeWirePlayback::Stop() {
    PipeWireLock lock(connection_->Loop());
    End();
    std::lock_guard<std::mutex> deliver(deliverLock_);
    render_ = nullptr;
    context_ = nullptr;
}

uint32_t PipeWirePlayback::Process(uint8_t* data, uint32_t bytes) {
    std::lock_guard<std::mutex> deliver(deliverLock_);
    if (render_ != nullptr)
        render_(context_, data, bytes / format_.blockAlign);
    else
        std::memset(data, SilenceByte(format_.bitsPerSample), bytes);
    return bytes;
}

void PipeWirePlayback::Idle(size_t frames) {
    std::lock_guard<std::mutex> deliver(deliverLock_);
    if (render_ == nullptr)
        return;
    // What would have played is taken and let go, so that the call's headers come back at their pace.
    discard_.resize(frames * format_.blockAlign);
    render_(context_, discard_.data(), frames);
}

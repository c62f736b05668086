// The sound server's connection: main loop, context, reconnection and the device lists.
#include "platform/wave/PulseConnection.h"

#include <sys/time.h>
#include <algorithm>

#include "platform/ErrorSink.h"

namespace {

// How often a lost server is asked again.
constexpr int kRetryMs = 1000;

uint32_t BytesFor(uint32_t samplesPerSec, uint32_t bytesPerSample, uint32_t ms) {
    const uint64_t frames = uint64_t{samplesPerSec} * ms / 1000;
    return static_cast<uint32_t>(std::max<uint64_t>(frames, 1) * bytesPerSample);
}

// What pactl shows in `application.name`, and what the context's proplist says about the program.
pa_proplist* ProgramProperties() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Q-Parlin");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "qparlin");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "qparlin");
    return properties;
}

struct DeviceQuery {
    PulseConnection* connection;
    bool sources;
    std::vector<WaveDeviceInfo>* devices;
    std::string* defaultName;
};

template <typename Info>
void OnDevice(pa_context*, const Info* info, int eol, void* context) {
    auto* query = static_cast<DeviceQuery*>(context);
    if (eol != 0 || info == nullptr) {
        query->connection->Signal();
        return;
    }
    query->devices->emplace_back(info->name != nullptr ? info->name : "?", false,
                                 info->description != nullptr ? info->description : "");
}

}  // namespace

// The record fragment and the playback request.
constexpr uint32_t kPulseFragmentMs = 5;

PulseBufferAttributes ChoosePulseBufferAttributes(uint32_t samplesPerSec, uint32_t bytesPerSample) {
    PulseBufferAttributes attributes;
    attributes.record.maxlength = static_cast<uint32_t>(-1);
    attributes.record.fragsize = BytesFor(samplesPerSec, bytesPerSample, kPulseFragmentMs);
    attributes.record.tlength = static_cast<uint32_t>(-1);
    attributes.record.prebuf = static_cast<uint32_t>(-1);
    attributes.record.minreq = static_cast<uint32_t>(-1);
    attributes.cushionBytes = BytesFor(samplesPerSec, bytesPerSample, 10);
    attributes.playback.tlength = BytesFor(samplesPerSec, bytesPerSample, 60);
    attributes.playback.minreq = BytesFor(samplesPerSec, bytesPerSample, kPulseFragmentMs);
    attributes.playback.prebuf = attributes.cushionBytes;
    // The server's most: a burst the direct playout hands over at once (twelve frames of up to 100 ms) is
    // never cut; the target, not this, is the delay.
    attributes.playback.maxlength = static_cast<uint32_t>(-1);
    return attributes;
}

size_t ChooseRecordFragmentFrames(uint32_t samplesPerSec, size_t bufferFrames) {
    const size_t fragment = std::max<size_t>(samplesPerSec * kPulseFragmentMs / 1000, 1);
    if (bufferFrames == 0)
        return fragment;
    // How many fragments of about 5 ms make a buffer; then the nearest count at or below it that divides it.
    size_t parts = std::max<size_t>((bufferFrames + fragment / 2) / fragment, 1);
    for (; parts > 1; --parts) {
        if (bufferFrames % parts == 0)
            break;
    }
    return bufferFrames / parts;
}

size_t PulseUnderflowMargin(size_t margin, size_t requestFrames) {
    return std::min(requestFrames, margin + (requestFrames + 1) / 2);
}

std::string PulseStreamName(const std::string& peer) {
    return peer.empty() ? std::string("Q-Parlin") : "Q-Parlin: " + peer;
}

PulseConnection::PulseConnection(WaveDeviceOptions options)
    : options_(std::move(options)), loop_(pa_threaded_mainloop_new()) {}

PulseConnection::~PulseConnection() {
    if (loop_ == nullptr)
        return;
    {
        PulseLock lock(loop_);
        FreeTimer(retry_);
        DropContext();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

bool PulseConnection::Start(int timeoutMs, bool keepTrying, std::string& problem) {
    if (loop_ == nullptr) {
        problem = "libpulse cannot make a main loop";
        return false;
    }
    pa_threaded_mainloop_set_name(loop_, "sound server");
    if (pa_threaded_mainloop_start(loop_) < 0) {
        problem = "libpulse cannot start its main loop";
        return false;
    }
    PulseLock lock(loop_);
    retry_ = NewTimer(&PulseConnection::OnRetry, this);
    pa_time_event* deadline = NewTimer(
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* connection = static_cast<PulseConnection*>(self);
            connection->startTimedOut_ = true;
            connection->Signal();
        },
        this);
    Arm(deadline, timeoutMs);
    const bool connecting = NewContext();
    while (connecting && !ready_ && !failed_ && !startTimedOut_) {
        pa_threaded_mainloop_wait(loop_);
    }
    FreeTimer(deadline);
    if (!ready_) {
        problem = context_ != nullptr && failed_ ? pa_strerror(pa_context_errno(context_))
                                                 : (startTimedOut_ ? "no answer" : "no connection");
        DropContext();
        if (!keepTrying)
            return false;
        Report("Sound: no sound server answers (" + problem + "); sound starts when one does.");
        started_ = true;
        lostReported_ = true;
        Arm(retry_, kRetryMs);
        return true;
    }
    started_ = true;
    return true;
}

pa_time_event* PulseConnection::NewTimer(pa_time_event_cb_t callback, void* context) {
    pa_mainloop_api* api = Api();
    pa_time_event* event = api->time_new(api, nullptr, callback, context);
    return event;
}

void PulseConnection::Arm(pa_time_event* event, int ms) {
    if (event == nullptr)
        return;
    pa_mainloop_api* api = Api();
    if (ms < 0) {
        api->time_restart(event, nullptr);
        return;
    }
    struct timeval when {};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC);
    api->time_restart(event, &when);
}

void PulseConnection::FreeTimer(pa_time_event*& event) {
    if (event != nullptr)
        Api()->time_free(event);
    event = nullptr;
}

bool PulseConnection::NewContext() {
    pa_proplist* properties = ProgramProperties();
    context_ = pa_context_new_with_proplist(Api(), "Q-Parlin", properties);
    pa_proplist_free(properties);
    failed_ = false;
    if (context_ == nullptr)
        return false;
    pa_context_set_state_callback(context_, &PulseConnection::OnContextState, this);
    // Never start a server of our own: a machine without one uses PortAudio instead.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failed_ = true;
        return false;
    }
    return true;
}

void PulseConnection::DropContext() {
    if (context_ == nullptr)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
    ready_ = false;
}

void PulseConnection::OnContextState(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            connection->ready_ = true;
            connection->lostReported_ = false;
            for (PulseStreamUser* user : std::vector<PulseStreamUser*>(connection->users_))
                user->OnServerReady();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: {
            const bool wasReady = connection->ready_;
            connection->ready_ = false;
            connection->failed_ = true;
            if (!connection->started_)
                break;
            if (wasReady && !connection->lostReported_) {
                connection->lostReported_ = true;
                Report(std::string("Sound: the sound server went away (") +
                       pa_strerror(pa_context_errno(context)) +
                       "); the call goes on without sound until it is back.");
            }
            for (PulseStreamUser* user : std::vector<PulseStreamUser*>(connection->users_))
                user->OnServerLost();
            // The context is let go from the timer, not from inside its own callback.
            connection->Arm(connection->retry_, wasReady ? 0 : kRetryMs);
            break;
        }
        default:
            break;
    }
    connection->Signal();
}

void PulseConnection::OnRetry(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    connection->DropContext();
    if (!connection->NewContext())
        connection->Arm(connection->retry_, kRetryMs);
}

void PulseConnection::Add(PulseStreamUser* user) {
    users_.push_back(user);
}

void PulseConnection::Remove(PulseStreamUser* user) {
    users_.erase(std::remove(users_.begin(), users_.end(), user), users_.end());
}

bool PulseConnection::Finish(pa_operation* operation) {
    if (operation == nullptr)
        return false;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && ready_)
        pa_threaded_mainloop_wait(loop_);
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return done;
}

std::vector<WaveDeviceInfo> PulseConnection::Devices(bool sources) {
    std::vector<WaveDeviceInfo> devices;
    std::string defaultName;
    PulseLock lock(loop_);
    pa_context* context = Context();
    if (context == nullptr)
        return devices;
    DeviceQuery query{this, sources, &devices, &defaultName};
    const auto onServer = [](pa_context*, const pa_server_info* info, void* data) {
        auto* serverQuery = static_cast<DeviceQuery*>(data);
        if (info != nullptr) {
            const char* name = serverQuery->sources ? info->default_source_name : info->default_sink_name;
            *serverQuery->defaultName = name != nullptr ? name : "";
        }
        serverQuery->connection->Signal();
    };
    Finish(pa_context_get_server_info(context, onServer, &query));
    if (sources)
        Finish(pa_context_get_source_info_list(context, &OnDevice<pa_source_info>, &query));
    else
        Finish(pa_context_get_sink_info_list(context, &OnDevice<pa_sink_info>, &query));
    for (WaveDeviceInfo& device : devices)
        device.isDefault = device.name == defaultName;
    return devices;
}

void PulseConnection::Report(const std::string& text) {
    CurrentErrorSink().ReportError(text);
}

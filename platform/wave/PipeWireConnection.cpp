// PipeWire's connection: thread loop, context, core, reconnection, and the registry's audio nodes.
#include "platform/wave/PipeWireConnection.h"

#include <pipewire/extensions/metadata.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/ErrorSink.h"

// libpipewire's method macros (pw_core_sync, pw_registry_bind, ...) expand to C casts and, for clang, to
// statement expressions in our code.
#pragma GCC diagnostic ignored "-Wold-style-cast"
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace {

// How often a lost server is asked again.
constexpr int kRetryMs = 1000;

const char* Lookup(const spa_dict* props, const char* key) {
    return props != nullptr ? spa_dict_lookup(props, key) : nullptr;
}

pw_core_events CoreEvents(void (*done)(void*, uint32_t, int),
                          void (*error)(void*, uint32_t, int, int, const char*)) {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = done;
    events.error = error;
    return events;
}

pw_registry_events RegistryEvents(void (*global)(void*, uint32_t, uint32_t, const char*, uint32_t,
                                                 const spa_dict*),
                                  void (*remove)(void*, uint32_t)) {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = global;
    events.global_remove = remove;
    return events;
}

pw_metadata_events MetadataEvents(int (*property)(void*, uint32_t, const char*, const char*, const char*)) {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = property;
    return events;
}

}  // namespace

PipeWireConnection::PipeWireConnection(WaveDeviceOptions options) : options_(std::move(options)) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    loop_ = pw_thread_loop_new("sound server", nullptr);
    if (loop_ == nullptr)
        return;
    pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, "Q-Parlin", PW_KEY_APP_ID, "qparlin",
                                                  PW_KEY_APP_ICON_NAME, "qparlin", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), properties, 0);
}

PipeWireConnection::~PipeWireConnection() {
    if (loop_ == nullptr)
        return;
    {
        PipeWireLock lock(loop_);
        FreeTimer(retry_);
        Disconnect();
    }
    pw_thread_loop_stop(loop_);
    if (context_ != nullptr)
        pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

bool PipeWireConnection::Start(int timeoutMs, bool keepTrying, std::string& problem) {
    if (loop_ == nullptr || context_ == nullptr) {
        problem = "libpipewire cannot make its loop";
        return false;
    }
    PipeWireLock lock(loop_);
    // Connecting needs no loop running yet: where no server listens, no thread is ever started.
    const bool connecting = Connect();
    if (!connecting && !keepTrying) {
        problem = "no PipeWire server answers";
        return false;
    }
    if (pw_thread_loop_start(loop_) < 0) {
        problem = "libpipewire cannot start its loop";
        Disconnect();
        return false;
    }
    retry_ = NewTimer(&PipeWireConnection::OnRetry, this);
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, int64_t{timeoutMs} * SPA_NSEC_PER_MSEC);
    while (connecting && !ready_ && !failed_) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0)
            break;
    }
    if (!ready_) {
        problem = failed_ || !connecting ? "no PipeWire server answers" : "no answer";
        Disconnect();
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

bool PipeWireConnection::Connect() {
    failed_ = false;
    synced_ = false;
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        failed_ = true;
        return false;
    }
    static const pw_core_events coreEvents =
        CoreEvents(&PipeWireConnection::OnCoreDone, &PipeWireConnection::OnCoreError);
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents =
        RegistryEvents(&PipeWireConnection::OnGlobal, &PipeWireConnection::OnGlobalRemove);
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    // The server answers the sync after it announced every node it has: then the lists are whole.
    syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    return true;
}

void PipeWireConnection::Disconnect() {
    ready_ = false;
    if (metadata_ != nullptr) {
        spa_hook_remove(&metadataListener_);
        pw_proxy_destroy(metadata_);
        metadata_ = nullptr;
    }
    if (registry_ != nullptr) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    nodes_.clear();
    defaultSink_.clear();
    defaultSource_.clear();
}

void PipeWireConnection::OnCoreDone(void* self, uint32_t id, int seq) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    if (id != PW_ID_CORE || seq != connection->syncSeq_ || connection->ready_)
        return;
    if (!connection->synced_ && connection->metadata_ != nullptr) {
        // The default devices come from the metadata bound meanwhile: one more round trip for them.
        connection->synced_ = true;
        connection->syncSeq_ = pw_core_sync(connection->core_, PW_ID_CORE, 0);
        return;
    }
    connection->ready_ = true;
    connection->lostReported_ = false;
    for (PipeWireStreamUser* user : std::vector<PipeWireStreamUser*>(connection->users_))
        user->OnServerReady();
    pw_thread_loop_signal(connection->loop_, false);
}

void PipeWireConnection::OnCoreError(void* self, uint32_t id, int, int res, const char* message) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    // Errors about one of our objects reach the stream that owns it; only the core's own end the connection.
    if (id != PW_ID_CORE || res != -EPIPE)
        return;
    connection->Lost(message != nullptr ? message : std::strerror(-res));
}

void PipeWireConnection::Lost(const std::string& why) {
    const bool wasReady = ready_;
    ready_ = false;
    failed_ = true;
    if (started_ && wasReady && !lostReported_) {
        lostReported_ = true;
        Report("Sound: the sound server went away (" + why +
               "); the call goes on without sound until it is back.");
    }
    // Everything is let go from the timer, not from inside the core's own event.
    Arm(retry_, 1);
    pw_thread_loop_signal(loop_, false);
}

void PipeWireConnection::OnRetry(void* self, uint64_t) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    if (connection->core_ != nullptr) {
        if (connection->ready_)
            return;
        for (PipeWireStreamUser* user : std::vector<PipeWireStreamUser*>(connection->users_))
            user->OnServerLost();
        connection->Disconnect();
        connection->Arm(connection->retry_, kRetryMs);
        return;
    }
    if (!connection->Connect())
        connection->Arm(connection->retry_, kRetryMs);
}

void PipeWireConnection::OnGlobal(void* self, uint32_t id, uint32_t, const char* type, uint32_t,
                                  const spa_dict* props) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    if (type == nullptr)
        return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* mediaClass = Lookup(props, PW_KEY_MEDIA_CLASS);
        const char* name = Lookup(props, PW_KEY_NODE_NAME);
        if (mediaClass == nullptr || name == nullptr || std::strncmp(mediaClass, "Audio/", 6) != 0)
            return;
        const char* description = Lookup(props, PW_KEY_NODE_DESCRIPTION);
        if (description == nullptr)
            description = Lookup(props, PW_KEY_NODE_NICK);
        connection->nodes_[id] = PipeWireNode{name, description != nullptr ? description : "", mediaClass};
        connection->NotifyNodesChanged();
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && connection->metadata_ == nullptr) {
        const char* name = Lookup(props, PW_KEY_METADATA_NAME);
        if (name == nullptr || std::strcmp(name, "default") != 0)
            return;
        connection->metadata_ = static_cast<pw_proxy*>(
            pw_registry_bind(connection->registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (connection->metadata_ == nullptr)
            return;
        static const pw_metadata_events metadataEvents =
            MetadataEvents(&PipeWireConnection::OnMetadataProperty);
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(connection->metadata_),
                                 &connection->metadataListener_, &metadataEvents, connection);
    }
}

void PipeWireConnection::OnGlobalRemove(void* self, uint32_t id) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    if (connection->nodes_.erase(id) > 0)
        connection->NotifyNodesChanged();
}

int PipeWireConnection::OnMetadataProperty(void* self, uint32_t, const char* key, const char*,
                                           const char* value) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    if (key == nullptr) {
        connection->defaultSink_.clear();
        connection->defaultSource_.clear();
    } else if (std::strcmp(key, "default.audio.sink") == 0) {
        connection->defaultSink_ = DefaultNodeNameFromJson(value != nullptr ? value : "");
    } else if (std::strcmp(key, "default.audio.source") == 0) {
        connection->defaultSource_ = DefaultNodeNameFromJson(value != nullptr ? value : "");
    }
    return 0;
}

void PipeWireConnection::NotifyNodesChanged() {
    if (!ready_)
        return;
    for (PipeWireStreamUser* user : std::vector<PipeWireStreamUser*>(users_))
        user->OnNodesChanged();
}

void PipeWireConnection::Add(PipeWireStreamUser* user) {
    users_.push_back(user);
}

void PipeWireConnection::Remove(PipeWireStreamUser* user) {
    users_.erase(std::remove(users_.begin(), users_.end(), user), users_.end());
}

bool PipeWireConnection::HasNode(const std::string& name) const {
    return std::any_of(nodes_.begin(), nodes_.end(),
                       [&name](const auto& entry) { return entry.second.name == name; });
}

std::vector<WaveDeviceInfo> PipeWireConnection::Devices(bool input) {
    PipeWireLock lock(loop_);
    if (!ready_)
        return {};
    PipeWireDeviceLists lists = ListPipeWireDevices(nodes_, defaultSink_, defaultSource_);
    return input ? std::move(lists.inputs) : std::move(lists.outputs);
}

spa_source* PipeWireConnection::NewTimer(void (*callback)(void* data, uint64_t expirations), void* data) {
    return pw_loop_add_timer(pw_thread_loop_get_loop(loop_), callback, data);
}

void PipeWireConnection::Arm(spa_source* timer, int ms) {
    if (timer == nullptr)
        return;
    timespec value{};
    timespec interval{};
    // A zero value disarms a timer: "now" is a nanosecond from now.
    if (ms == 0) {
        value.tv_nsec = 1;
    } else if (ms > 0) {
        value.tv_sec = ms / 1000;
        value.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000L;
    }
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer, &value, &interval, false);
}

void PipeWireConnection::FreeTimer(spa_source*& timer) {
    if (timer != nullptr)
        pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer);
    timer = nullptr;
}

void PipeWireConnection::Report(const std::string& text) {
    CurrentErrorSink().ReportError(text);
}

// The connection of the PipeWire backend: one pw_thread_loop that runs every stream of both directions, the
// core on it, and the registry's view of the server's audio nodes and default devices. A server that goes
// away is reported once; the connection tries again every second and tells its streams when the server is
// back, so that they make themselves anew.
#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wave/PipeWireProperties.h"
#include "platform/wave/Wave.h"

// A stream that lives across servers and devices: the connection calls these with the loop locked.
class PipeWireStreamUser {
public:
    virtual ~PipeWireStreamUser() = default;
    virtual void OnServerReady() = 0;
    virtual void OnServerLost() = 0;
    // A node came or went: the user checks whether its device is there.
    virtual void OnNodesChanged() {}
};

// Holds the loop's lock for a scope (the lock is recursive).
class PipeWireLock {
public:
    explicit PipeWireLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~PipeWireLock() { pw_thread_loop_unlock(loop_); }
    PipeWireLock(const PipeWireLock&) = delete;
    PipeWireLock& operator=(const PipeWireLock&) = delete;

private:
    pw_thread_loop* loop_;
};

class PipeWireConnection {
public:
    explicit PipeWireConnection(WaveDeviceOptions options);
    ~PipeWireConnection();
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Starts the loop and connects; false, with the reason, when no server answered within `timeoutMs`
    // (unless `keepTrying`: then a server that does not answer is asked every second).
    bool Start(int timeoutMs, bool keepTrying, std::string& problem);

    pw_thread_loop* Loop() const { return loop_; }
    const WaveDeviceOptions& Options() const { return options_; }
    // The rest: loop locked.
    // The core while the server answers, else null.
    pw_core* Core() const { return ready_ ? core_ : nullptr; }
    void Add(PipeWireStreamUser* user);
    void Remove(PipeWireStreamUser* user);
    const PipeWireNodes& Nodes() const { return nodes_; }
    bool HasNode(const std::string& name) const;
    // The recording (sources and sink monitors) or playback devices, the default marked; empty when the
    // server does not answer. Any thread but the loop's.
    std::vector<WaveDeviceInfo> Devices(bool input);
    // A timer on the loop, disarmed; Arm(timer, ms) sets it off after `ms`, Arm(timer, -1) disarms.
    spa_source* NewTimer(void (*callback)(void* data, uint64_t expirations), void* data);
    void Arm(spa_source* timer, int ms);
    void FreeTimer(spa_source*& timer);
    // A device trouble the user must hear of, once (the caller keeps track), through the error sink.
    static void Report(const std::string& text);

private:
    bool Connect();
    void Disconnect();
    void Lost(const std::string& why);
    void NotifyNodesChanged();
    static void OnCoreDone(void* self, uint32_t id, int seq);
    static void OnCoreError(void* self, uint32_t id, int seq, int res, const char* message);
    static void OnGlobal(void* self, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                         const spa_dict* props);
    static void OnGlobalRemove(void* self, uint32_t id);
    static int OnMetadataProperty(void* self, uint32_t subject, const char* key, const char* type,
                                  const char* value);
    static void OnRetry(void* self, uint64_t expirations);

    const WaveDeviceOptions options_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_proxy* metadata_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook metadataListener_{};
    spa_source* retry_ = nullptr;
    int syncSeq_ = -1;
    bool synced_ = false;
    bool ready_ = false;
    bool started_ = false;  // the first connection succeeded: from now on a loss is a fault
    bool lostReported_ = false;
    bool failed_ = false;
    PipeWireNodes nodes_;
    std::string defaultSink_;
    std::string defaultSource_;
    std::vector<PipeWireStreamUser*> users_;
};

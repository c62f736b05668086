// Keeps a UDP port mapped on the home router while the program listens: on a thread of its own it asks
// each protocol in turn (NAT-PMP first, which PCP routers answer too, then UPnP IGD), renews the mapping at
// half its lifetime, asks a router that failed again only a minute later, and removes the mapping when
// stopped. What it learns is posted to a message target as one message; Current() then gives the text.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageTarget.h"
#include "reach/MappingProtocol.h"

class PortMapper {
public:
    static constexpr const char* kRefusedText = "the router does not allow port mapping";
    // What the mapping is asked for: two hours, as RFC 6886 recommends; renewed at half of what the router
    // grants.
    static constexpr int kLifetimeS = 7200;

    struct Status {
        enum class State { kOff, kTrying, kMapped, kFailed };
        State state = State::kOff;
        std::string text;     // one line for the user ("reachable from the Internet at ...", a reason)
        std::string address;  // "host:port" to give a friend, when mapped
    };

    // The default gateway's address as text, empty when there is none: the key of the pause after a
    // failure, and the reason not to try at all.
    using GatewayFinder = std::function<std::string()>;

    PortMapper(std::vector<std::unique_ptr<MappingProtocol>> protocols, MessageTarget* target,
               uint32_t message, GatewayFinder gateway);
    // The real protocols, the system's default gateway.
    static std::unique_ptr<PortMapper> MakeDefault(MessageTarget* target, uint32_t message);
    ~PortMapper();
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Starts keeping `localPort` mapped; a mapping of the same port that is kept already goes on, one of
    // another port is removed first.
    void Start(int localPort);
    // Asks the thread to remove the mapping and end, without waiting for it (the window never waits).
    void Stop();
    // Stop, then waits for the thread to end: within about two seconds (the program's exit). A removal the
    // router does not answer within kRemovalWaitMs is left to finish on a thread of its own.
    void StopAndWait();
    static constexpr int kRemovalWaitMs = 1000;
    Status Current() const;
    // Whether a router ever uses the mapping for a socket bound to `address`: not for the loopback.
    static bool ShouldMapFor(const std::string& address);

    // The text for a mapping the router granted. A public address that is itself private or shared
    // (RFC 1918, RFC 6598) means another router further out still stands in the way.
    static std::string MappedText(uint32_t publicAddress, int publicPort, const char* protocol);
    // How long after a grant of `lifetimeS` seconds the mapping is renewed: half of it, at least 1 s.
    static int RenewAfterS(int lifetimeS);

private:
    void Run(int localPort);
    void Publish(Status status);
    // Waits up to `ms` or until stopped; true when stopped.
    bool WaitStopped(int64_t ms);

    std::vector<std::unique_ptr<MappingProtocol>> protocols_;
    MessageTarget* target_;
    uint32_t message_;
    GatewayFinder gateway_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    Status status_;
    int port_ = 0;  // the port the thread keeps mapped
    std::thread thread_;
};

// The default gateway in a Linux routing table as /proc/net/route writes it ("Iface Destination Gateway
// Flags ..."), dotted; empty when the table has no default route through a gateway or cannot be read.
std::string DefaultGatewayFromRouteTable(const std::string& table);
std::string SystemDefaultGateway();

// One way of asking a home router for a port mapping (NAT-PMP, UPnP IGD), behind one interface, so that the
// port mapper's rules (renewal, the pause after a failure, removal) are the same for each and can be tested
// with a simulated router.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class MappingProtocol {
public:
    struct Outcome {
        enum class Kind {
            kMapped,    // the router maps the port: publicAddress:publicPort for lifetimeS seconds
            kRefused,   // a router answered and would not map it
            kNoRouter,  // nothing answered in this protocol
        };
        Kind kind = Kind::kNoRouter;
        std::string router;  // the router's address, the key of the pause after a failure; may be empty
        uint32_t publicAddress = 0;  // network order
        int publicPort = 0;
        int lifetimeS = 0;
        std::string detail;  // the router's own reason, for the console
        // Where the router's IPv6 firewall lets callers in, "[2001:db8::2]:5007" (a pinhole kept with the
        // mapping); empty when the router offers none or this machine has no global IPv6 address.
        std::string pinhole;
    };

    virtual ~MappingProtocol() = default;
    virtual const char* Name() const = 0;
    // Asks for a UDP mapping of `localPort` (the same port outside where the router allows it), for
    // `lifetimeS` seconds. Returns early, as kNoRouter, once `stop` is set. Bounded in time by the protocol.
    virtual Outcome Map(int localPort, int lifetimeS, const std::atomic<bool>& stop) = 0;
    // What removes the mapping Map made (and whatever was kept with it), as a task that needs nothing of
    // this object, so that it may run on a thread of its own and be left to finish there: a router that
    // stopped answering must not hold up the program's exit. The protocol forgets the mapping; an empty
    // task means there is nothing to remove.
    virtual std::function<void()> TakeRemoval(int localPort) = 0;
    // Removes the mapping on this thread; best effort.
    void Unmap(int localPort) {
        if (const std::function<void()> removal = TakeRemoval(localPort))
            removal();
    }
};

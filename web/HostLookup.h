// Name lookups that end by a deadline, for connections that must. getaddrinfo takes no time limit, and a
// name server that does not answer holds it for as long as the resolver's own retries last: the lookup runs
// on a thread of its own, and a caller whose time runs out goes on without it (the thread ends when the C
// library gives up, and its answer is dropped).
#pragma once

#include <cstdint>
#include <string>

class HostLookup {
public:
    // Lookups that callers have given up on and that still run; past this, a new lookup fails at once
    // rather than start yet another thread behind a name server that does not answer.
    static constexpr int kMaxRunning = 8;

    // ResolveHost(name), in network order, within timeoutMs milliseconds (-1: no limit, the lookup runs on
    // the caller's thread). Throws TimeoutException when the answer does not come in time and
    // UnknownHostException when the name does not resolve. A literal address needs no lookup and no thread.
    static uint32_t Resolve(const std::string& name, int timeoutMs);

    // Lookups running on threads of their own now, those given up on included.
    static int Running();
};

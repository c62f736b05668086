// Name lookups that end by a deadline, for connections that must. getaddrinfo takes no time limit, and a
// name server that does not answer holds it for as long as the resolver's own retries last: the lookup runs
// on a thread of its own, and a caller whose time runs out goes on without it (the thread ends when the C
// library gives up, and its answer is dropped).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Socket.h"

class HostLookup {
public:
    // Lookups that callers have given up on and that still run; past this, a new lookup fails at once
    // rather than start yet another thread behind a name server that does not answer.
    static constexpr int kMaxRunning = 8;

    // ResolveHost(name), in network order, within timeoutMs milliseconds (-1: no limit, the lookup runs on
    // the caller's thread). Throws TimeoutException when the answer does not come in time and
    // UnknownHostException when the name does not resolve. A literal address needs no lookup and no thread.
    static uint32_t Resolve(const std::string& name, int timeoutMs);
    // Every address of `name` (IPv6 and IPv4, in the order to try them: ResolveAddresses) with `port`,
    // within timeoutMs milliseconds in the same way. Literals of both families need no lookup; a
    // bracketed IPv6 literal is taken too.
    static std::vector<SocketAddress> ResolveAll(const std::string& name, uint16_t port, int timeoutMs);
    // Connects `socket` to the first of `addresses` that accepts, each on a new stream socket of its own
    // family (a socket whose connect failed cannot try again). While others wait, an address gets half of
    // the time left, so that one that swallows the attempt does not take all of it; the last gets all.
    // `timeLeftMs` says what remains of the caller's deadline. Throws what the last attempt threw.
    static void ConnectFirst(Socket& socket, const std::vector<SocketAddress>& addresses,
                             const std::function<int()>& timeLeftMs);

    // Lookups running on threads of their own now, those given up on included.
    static int Running();
};

// The socket layer: IPv4 and IPv6 sockets as free functions that turn every failure into an exception of the
// program's tree, give receives, accepts and connects a millisecond time-out, and resolve host names;
// plus the two small value types `SocketAddress` and `Socket`.
//
// Time-outs are in milliseconds; -1 means no time-out (block). Every wait is a poll() retried on EINTR
// with the time that remains. Sends never raise SIGPIPE.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A socket descriptor. 0 means "no socket": CreateSocket never hands out descriptors 0 to 2.
using SocketHandle = int;
constexpr SocketHandle kNoSocket = 0;

// A socket address of either family: IPv4 (family, port and address in network order, 8 zero bytes) or
// IPv6. An IPv4 address that arrives mapped into IPv6 (::ffff:a.b.c.d, from a dual-stack socket) is kept
// as the plain IPv4 address, so that it shows and compares as the peer really is.
struct SocketAddress {
    union {
        sockaddr_in sin;
        sockaddr_in6 sin6;
    };

    SocketAddress();  // IPv4 any (0.0.0.0), port 0
    SocketAddress(uint32_t addressNetworkOrder, int port);
    // From a record the kernel filled in; an unknown family or a short record gives the IPv4 any address.
    static SocketAddress FromSockaddr(const void* address, size_t length);
    // A numeric address: dotted IPv4 (ResolveHost's rule) or IPv6, the latter with or without brackets.
    // Scope ids ("fe80::1%eth0") are not taken. Nothing else: no names, no port.
    static bool ParseNumeric(std::string_view text, int port, SocketAddress* out);

    // The address becomes the first of ResolveAddresses(host) when host is given (not null) and IPv4 any
    // when not; the port changes only when port >= 0. May throw UnknownHostException.
    void Set(const char* host, int port);

    int Family() const { return sin.sin_family; }
    bool IsIpv6() const { return sin.sin_family == AF_INET6; }
    // 0.0.0.0 or ::, which is also "no peer yet" in a call's state.
    bool IsAny() const;
    // The IPv4 address in network order; 0 for an IPv6 one.
    uint32_t Ipv4() const { return IsIpv6() ? 0 : sin.sin_addr.s_addr; }
    int Port() const;  // host order
    void SetPort(int port);
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&sin); }
    socklen_t Length() const { return IsIpv6() ? sizeof(sin6) : sizeof(sin); }
    // "198.51.100.1" or "2001:db8::1".
    std::string HostText() const;
    // "198.51.100.1:5007" or "[2001:db8::1]:5007".
    std::string Text() const;

    bool operator==(const SocketAddress& other) const;
};

// "host:port" for the user, with an IPv6 host in brackets (a bracketed host is left as it is).
std::string HostPortText(std::string_view host, int port);
// A host text as the user may type it, without the brackets around an IPv6 literal ("[::1]" -> "::1").
// Text with an opening bracket and no closing one, or anything after the closing one, gives "".
std::string UnbracketHost(std::string_view host);

// Holder of one socket handle and the time-out its owner passes to receive, accept and connect.
class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Replace the handle with a new datagram or stream socket (an earlier handle is not closed).
    void CreateDatagram();
    void CreateStream();
    // Accept with the holder's time-out into `out`; false when nothing arrived in time or the accept
    // failed (the SocketException is swallowed).
    bool Accept(Socket& out, SocketAddress* from = nullptr);
    // Close the handle if there is one and forget it.
    void Close();

    SocketHandle handle = kNoSocket;
    int timeout = 1000;
};

SocketHandle CreateSocket(bool stream, int family = AF_INET);
// A datagram socket bound to `port` on every address: one IPv6 socket that also takes IPv4 (v6-only off),
// or a plain IPv4 one where the machine has no IPv6. May throw BindException.
SocketHandle BindAnyAddress(int port);
// The socket's address family (AF_INET or AF_INET6).
int SocketFamily(SocketHandle s);
void Bind(SocketHandle s, const SocketAddress& address);
void Listen(SocketHandle s, int backlog);
SocketHandle Accept(SocketHandle s, SocketAddress* from, int timeoutMs);
void Connect(SocketHandle s, const SocketAddress& address);
void ConnectTimeout(SocketHandle s, const SocketAddress& address, int timeoutMs);
// Dissolves a datagram socket's connection, and the local address its connect chose, so that the next
// connect may go to another family or network.
void Disconnect(SocketHandle s);
bool WaitWritable(SocketHandle s, int timeoutMs);
// True when a read would not block: data (an empty datagram too), an error or a hang-up is pending.
bool WaitReadable(SocketHandle s, int timeoutMs);
// Asks for reports of datagrams that found no one listening (ICMP errors) on the socket's error queue;
// without it an unconnected datagram socket hears nothing of them.
void EnableErrorReports(SocketHandle s);
// Takes every queued error report off the socket; true when one says that a datagram sent to `peer`
// found its port closed. Reports about other addresses are dropped.
bool TakePortUnreachable(SocketHandle s, const SocketAddress& peer);
// Takes every queued error report off the socket: the addresses whose port was found closed, each once
// (at most kMaxRefusedAddresses of them).
constexpr size_t kMaxRefusedAddresses = 16;
std::vector<SocketAddress> TakeRefusedAddresses(SocketHandle s);
// Waits until the socket is readable or has an error report queued, or the descriptor `wake` becomes
// readable, and says which (none after the time-out), so that the caller makes only the system calls
// that find something.
struct SocketWait {
    bool readable = false;  // data (an empty datagram too) or a hang-up
    bool error = false;     // an error report (a closed port) is queued, or the socket failed
    bool woken = false;     // `wake` is readable
    bool OnSocket() const { return readable || error; }
};
SocketWait WaitReadableOrWoken(SocketHandle s, int wake, int timeoutMs);
void SetBlocking(SocketHandle s, bool blocking);
int SendAll(SocketHandle s, const void* data, int length);
int SendTo(SocketHandle s, const SocketAddress& to, const void* data, int length);
int Receive(SocketHandle s, void* buffer, int size, int timeoutMs);
int ReceiveFrom(SocketHandle s, SocketAddress* from, void* buffer, int size, int timeoutMs);
// One waiting datagram, without waiting: its real length (0 for an empty datagram, more than `size` for
// one cut short to `size` bytes), or -1 when none waits. Only failures of the socket itself throw: a
// receiver that decides for itself what an empty or oversized datagram means (a private call) uses this.
int ReceiveAnyFrom(SocketHandle s, SocketAddress* from, void* buffer, int size);
int BytesAvailable(SocketHandle s);
void Close(SocketHandle s);
SocketAddress LocalAddress(SocketHandle s);
SocketAddress PeerAddress(SocketHandle s);
int PeerPort(SocketHandle s);
uint32_t ResolveHost(const char* name);  // network order, IPv4 only
// Every address of `host` (a name, a dotted IPv4 address or an IPv6 literal, bracketed or not) with
// `port`, in the order to try them: IPv6 and IPv4 alternating, IPv6 first, each family in the resolver's
// order, no address twice. Throws UnknownHostException when the name does not resolve and
// UnsupportedAddressException for an address this program cannot use (a scope id, a broken bracket).
std::vector<SocketAddress> ResolveAddresses(const char* host, int port);
// Addresses in the order to try them (as above), from any order.
std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& addresses);
// The machine's own addresses that a listener bound to every address can be reached at: no loopback, no
// link-local IPv6 (they need a scope id), IPv4 first.
std::vector<SocketAddress> LocalInterfaceAddresses();
std::string HostName(uint32_t addressNetworkOrder);
std::string AddressText(uint32_t addressNetworkOrder);
void StartSockets();
void StopSockets();
int64_t NowMs();

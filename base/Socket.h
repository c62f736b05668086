// The socket layer: IPv4 sockets as free functions that turn every failure into an exception of the
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

// A socket descriptor. 0 means "no socket": CreateSocket never hands out descriptors 0 to 2.
using SocketHandle = int;
constexpr SocketHandle kNoSocket = 0;

// The IPv4 socket address record: family, port and address in network order, 8 zero bytes.
struct SocketAddress {
    sockaddr_in sin;

    SocketAddress();
    SocketAddress(uint32_t addressNetworkOrder, int port);

    // The address becomes ResolveHost(host) when host is given (not null) and 0 (any) when not; the
    // port changes only when port >= 0. May throw UnknownHostException.
    void Set(const char* host, int port);

    uint32_t Address() const { return sin.sin_addr.s_addr; }  // network order
    int Port() const;                                         // host order
    void SetAddress(uint32_t addressNetworkOrder) { sin.sin_addr.s_addr = addressNetworkOrder; }
    void SetPort(int port);

    bool operator==(const SocketAddress& other) const;
};

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

SocketHandle CreateSocket(bool stream);
void Bind(SocketHandle s, const SocketAddress& address);
void Listen(SocketHandle s, int backlog);
SocketHandle Accept(SocketHandle s, SocketAddress* from, int timeoutMs);
void Connect(SocketHandle s, const SocketAddress& address);
void ConnectTimeout(SocketHandle s, const SocketAddress& address, int timeoutMs);
bool WaitWritable(SocketHandle s, int timeoutMs);
// True when a read would not block: data (an empty datagram too), an error or a hang-up is pending.
bool WaitReadable(SocketHandle s, int timeoutMs);
// Asks for reports of datagrams that found no one listening (ICMP errors) on the socket's error queue;
// without it an unconnected datagram socket hears nothing of them.
void EnableErrorReports(SocketHandle s);
// Takes every queued error report off the socket; true when one says that a datagram sent to `peer`
// found its port closed. Reports about other addresses are dropped.
bool TakePortUnreachable(SocketHandle s, const SocketAddress& peer);
// Waits until the socket is readable (or reports an error) or the descriptor `wake` becomes readable;
// true only for the socket.
bool WaitReadableOrWoken(SocketHandle s, int wake, int timeoutMs);
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
uint32_t ResolveHost(const char* name);  // network order
std::string HostName(uint32_t addressNetworkOrder);
std::string AddressText(uint32_t addressNetworkOrder);
void StartSockets();
void StopSockets();
int64_t NowMs();

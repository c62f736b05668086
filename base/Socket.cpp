// The socket layer on POSIX sockets: each failure's errno is mapped to the exception that the
// operation's row of the design names for the matching Windows sockets code.
#include "base/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "base/Exception.h"

namespace {

// Cap on each wait of ConnectTimeout, so that a refused connect shows within about this long.
constexpr int kConnectPollMs = 100;

// The operations whose rows map error codes differently.
enum class Op { Bind, Listen, Connect, Send, Receive, Other };

[[noreturn]] void ThrowFor(Op op, int err) {
    switch (op) {
        case Op::Bind:
            if (err == EADDRINUSE || err == EADDRNOTAVAIL)
                throw BindException();
            break;
        case Op::Listen:
            if (err == EADDRINUSE)
                throw BindException();
            break;
        case Op::Connect:
            if (err == EADDRINUSE)
                throw BindException();
            if (err == EADDRNOTAVAIL || err == ECONNREFUSED)
                throw ConnectException();
            if (err == ETIMEDOUT)
                throw NoRouteToHostException();
            break;
        case Op::Send:
            if (err == ETIMEDOUT || err == EHOSTUNREACH)
                throw NoRouteToHostException();
            break;
        case Op::Receive:
            if (err == ETIMEDOUT)
                throw NoRouteToHostException();
            break;
        case Op::Other:
            break;
    }
    throw SocketException();
}

bool WouldBlock(int err) {
    return err == EINPROGRESS || err == EWOULDBLOCK || err == EAGAIN;
}

// Polls one descriptor for `events`; returns the events that came (0 on time-out). A negative time-out
// blocks. Signals do not shorten the wait: poll is resumed with the time that remains.
short PollFor(SocketHandle s, short events, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    int waitMs = timeoutMs < 0 ? -1 : timeoutMs;
    for (;;) {
        pollfd entry{s, events, 0};
        const int result = ::poll(&entry, 1, waitMs);
        if (result > 0) {
            if ((entry.revents & POLLNVAL) != 0)
                throw SocketException();
            return entry.revents;
        }
        if (result == 0)
            return 0;
        if (errno != EINTR)
            throw SocketException();
        if (waitMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
    }
}

// Keeps 0 free to mean "no socket" (and stdio free for stdio): a descriptor 0..2 is moved above 2.
SocketHandle MoveAboveStdio(SocketHandle s) {
    if (s > 2)
        return s;
    const int moved = ::fcntl(s, F_DUPFD_CLOEXEC, 3);
    ::close(s);
    if (moved < 0)
        throw SocketException();
    return moved;
}

int PendingError(SocketHandle s) {
    int err = 0;
    socklen_t length = sizeof(err);
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        throw SocketException();
    return err;
}

const sockaddr* AsSockaddr(const sockaddr_in& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}
sockaddr* AsSockaddr(sockaddr_storage& address) {
    return reinterpret_cast<sockaddr*>(&address);
}

// A name is a literal address when it has exactly four dot-separated parts of at most three digits
// each, every part at most 255; an empty part counts as 0.
bool ParseLiteral(const char* name, uint32_t* addressNetworkOrder) {
    uint8_t bytes[4] = {};
    int part = 0;
    int digits = 0;
    unsigned value = 0;
    for (const char* p = name;; ++p) {
        if (*p == '.' || *p == '\0') {
            if (value > 255)
                return false;
            bytes[part] = static_cast<uint8_t>(value);
            ++part;
            if (*p == '\0')
                break;
            if (part == 4)
                return false;
            digits = 0;
            value = 0;
        } else if (*p >= '0' && *p <= '9') {
            if (++digits > 3)
                return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
        } else {
            return false;
        }
    }
    if (part != 4)
        return false;
    std::memcpy(addressNetworkOrder, bytes, sizeof(bytes));
    return true;
}

}  // namespace

// ---- SocketAddress ----

SocketAddress::SocketAddress() {
    std::memset(&sin6, 0, sizeof(sin6));
    sin.sin_family = AF_INET;
}

SocketAddress::SocketAddress(uint32_t addressNetworkOrder, int port) : SocketAddress() {
    sin.sin_addr.s_addr = addressNetworkOrder;
    SetPort(port);
}

SocketAddress SocketAddress::FromSockaddr(const void* address, size_t length) {
    SocketAddress result;
    if (address == nullptr || length < sizeof(sa_family_t))
        return result;
    sa_family_t family;
    std::memcpy(&family, static_cast<const char*>(address) + offsetof(sockaddr, sa_family), sizeof family);
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        std::memcpy(&result.sin, address, sizeof(sockaddr_in));
        std::memset(result.sin.sin_zero, 0, sizeof result.sin.sin_zero);
    } else if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 six;
        std::memcpy(&six, address, sizeof six);
        if (IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) {
            uint32_t v4;
            std::memcpy(&v4, six.sin6_addr.s6_addr + 12, sizeof v4);
            result = SocketAddress(v4, ntohs(six.sin6_port));
        } else {
            result.sin6 = six;
            result.sin6.sin6_flowinfo = 0;
        }
    }
    return result;
}

bool SocketAddress::ParseNumeric(std::string_view text, int port, SocketAddress* out) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    // The longest IPv6 text (with an IPv4 tail) is 45 characters; anything longer is no address.
    if (text.empty() || text.size() > INET6_ADDRSTRLEN)
        return false;
    const std::string copy(text);
    SocketAddress result;
    uint32_t v4 = 0;
    if (ParseLiteral(copy.c_str(), &v4)) {
        result = SocketAddress(v4, port);
    } else {
        in6_addr six{};
        if (copy.find(':') == std::string::npos || ::inet_pton(AF_INET6, copy.c_str(), &six) != 1)
            return false;
        sockaddr_in6 record{};
        record.sin6_family = AF_INET6;
        record.sin6_addr = six;
        record.sin6_port = htons(static_cast<uint16_t>(port));
        result = FromSockaddr(&record, sizeof record);
    }
    if (out != nullptr)
        *out = result;
    return true;
}

void SocketAddress::Set(const char* host, int port) {
    const int keptPort = Port();
    *this = host != nullptr ? ResolveAddresses(host, keptPort).front() : SocketAddress();
    SetPort(port >= 0 ? port : keptPort);
}

bool SocketAddress::IsAny() const {
    if (IsIpv6())
        return IN6_IS_ADDR_UNSPECIFIED(&sin6.sin6_addr);
    return sin.sin_addr.s_addr == 0;
}

int SocketAddress::Port() const {
    return ntohs(IsIpv6() ? sin6.sin6_port : sin.sin_port);
}

void SocketAddress::SetPort(int port) {
    if (IsIpv6())
        sin6.sin6_port = htons(static_cast<uint16_t>(port));
    else
        sin.sin_port = htons(static_cast<uint16_t>(port));
}

std::string SocketAddress::HostText() const {
    if (!IsIpv6())
        return AddressText(sin.sin_addr.s_addr);
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, &sin6.sin6_addr, text, sizeof text) == nullptr)
        return "::";
    return text;
}

std::string SocketAddress::Text() const {
    return HostPortText(HostText(), Port());
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    if (Family() != other.Family())
        return false;
    if (IsIpv6())
        return sin6.sin6_port == other.sin6.sin6_port && sin6.sin6_scope_id == other.sin6.sin6_scope_id &&
               std::memcmp(&sin6.sin6_addr, &other.sin6.sin6_addr, sizeof sin6.sin6_addr) == 0;
    return sin.sin_port == other.sin.sin_port && sin.sin_addr.s_addr == other.sin.sin_addr.s_addr;
}

std::string HostPortText(std::string_view host, int port) {
    const bool bare6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
    std::string text = bare6 ? "[" + std::string(host) + "]" : std::string(host);
    return text + ":" + std::to_string(port);
}

std::string UnbracketHost(std::string_view host) {
    if (!host.starts_with('['))
        return std::string(host);
    const size_t close = host.find(']');
    if (close == std::string_view::npos || close + 1 != host.size())
        return {};
    return std::string(host.substr(1, close - 1));
}

// ---- Socket ----

Socket::~Socket() {
    Close();
}

void Socket::CreateDatagram() {
    handle = CreateSocket(false);
}

void Socket::CreateStream() {
    handle = CreateSocket(true);
}

bool Socket::Accept(Socket& out, SocketAddress* from) {
    try {
        const SocketHandle accepted = ::Accept(handle, from, timeout);
        if (accepted == kNoSocket)
            return false;
        out.handle = accepted;
        return true;
    } catch (const SocketException&) {
        return false;
    }
}

void Socket::Close() {
    if (handle != kNoSocket)
        ::Close(handle);
    handle = kNoSocket;
}

// ---- The free functions ----

SocketHandle CreateSocket(bool stream, int family) {
    const int s = ::socket(family, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (s < 0) {
        if (errno == EAFNOSUPPORT)
            throw UnsupportedAddressException();
        throw SocketException();
    }
    return MoveAboveStdio(s);
}

void Bind(SocketHandle s, const SocketAddress& address) {
    if (::bind(s, address.Raw(), address.Length()) != 0)
        ThrowFor(Op::Bind, errno);
}

SocketHandle BindAnyAddress(int port) {
    const int six = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (six >= 0) {
        const int off = 0;
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_port = htons(static_cast<uint16_t>(port));
        if (::setsockopt(six, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0 &&
            ::bind(six, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0)
            return MoveAboveStdio(six);
        const int err = errno;
        ::close(six);
        // A port in use is in use for IPv4 as well; anything else is left to the IPv4 bind to tell (IPv6
        // may simply not be usable here).
        if (err == EADDRINUSE)
            ThrowFor(Op::Bind, err);
    }
    const SocketHandle four = CreateSocket(false, AF_INET);
    try {
        Bind(four, SocketAddress(0, port));
    } catch (...) {
        ::close(four);
        throw;
    }
    return four;
}

int SocketFamily(SocketHandle s) {
    int family = AF_INET;
    socklen_t length = sizeof family;
    if (::getsockopt(s, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0)
        throw SocketException();
    return family;
}

void Listen(SocketHandle s, int backlog) {
    if (::listen(s, backlog) != 0)
        ThrowFor(Op::Listen, errno);
}

SocketHandle Accept(SocketHandle s, SocketAddress* from, int timeoutMs) {
    if (timeoutMs != -1 && !WaitReadable(s, timeoutMs))
        return kNoSocket;
    sockaddr_storage peer{};
    socklen_t length = 0;
    int accepted;
    do {
        length = sizeof(peer);
        accepted = ::accept4(s, AsSockaddr(peer), &length, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0)
        ThrowFor(Op::Other, errno);
    accepted = MoveAboveStdio(accepted);
    if (from != nullptr)
        *from = SocketAddress::FromSockaddr(&peer, length);
    return accepted;
}

void Connect(SocketHandle s, const SocketAddress& address) {
    if (::connect(s, address.Raw(), address.Length()) == 0)
        return;
    int err = errno;
    // An interrupted connect goes on in the background; its outcome arrives as the pending error.
    if (err == EINTR) {
        PollFor(s, POLLOUT, -1);
        err = PendingError(s);
        if (err == 0)
            return;
    }
    ThrowFor(Op::Connect, err);
}

void Disconnect(SocketHandle s) {
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    if (::connect(s, &none, sizeof none) != 0)
        ThrowFor(Op::Connect, errno);
}

void ConnectTimeout(SocketHandle s, const SocketAddress& address, int timeoutMs) {
    if (timeoutMs == -1) {
        Connect(s, address);
        return;
    }
    // A steady clock, so that a change of the wall clock neither stretches nor cuts the wait.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    SetBlocking(s, false);
    int err = ::connect(s, address.Raw(), address.Length()) == 0 ? 0 : errno;
    if (err == EINTR)
        err = EINPROGRESS;
    SetBlocking(s, true);

    for (;;) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() < 0)
            break;
        if (err != 0 && !WouldBlock(err))
            break;
        const int waitMs =
            static_cast<int>(std::min<std::chrono::milliseconds::rep>(remaining.count(), kConnectPollMs));
        // Linux reports a failed connect as writable too, so the pending error tells the two apart.
        const bool writable = WaitWritable(s, waitMs);
        err = PendingError(s);
        if (writable) {
            if (err == 0)
                return;
            break;
        }
    }
    if (err == 0 || WouldBlock(err))
        throw TimeoutException();
    ThrowFor(Op::Connect, err);
}

bool WaitWritable(SocketHandle s, int timeoutMs) {
    return PollFor(s, POLLOUT, timeoutMs) != 0;
}

bool WaitReadable(SocketHandle s, int timeoutMs) {
    return PollFor(s, POLLIN, timeoutMs) != 0;
}

void EnableErrorReports(SocketHandle s) {
    const int on = 1;
    if (::setsockopt(s, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0)
        throw SocketException();
    // A dual-stack socket reports about IPv6 peers, and about IPv4 ones too, on the IPv6 level.
    if (SocketFamily(s) == AF_INET6 && ::setsockopt(s, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) != 0)
        throw SocketException();
}

std::vector<SocketAddress> TakeRefusedAddresses(SocketHandle s) {
    std::vector<SocketAddress> refused;
    for (;;) {
        sockaddr_storage offender{};
        char control[256];
        char data[1];
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_name = &offender;
        message.msg_namelen = sizeof offender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(s, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return refused;  // the queue is empty (or the socket has none)
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            const bool report4 = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR;
            const bool report6 = c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR;
            if (!report4 && !report6)
                continue;
            sock_extended_err report{};
            std::memcpy(&report, CMSG_DATA(c), sizeof report);
            if (report.ee_errno != ECONNREFUSED)
                continue;
            // The address is where the failed datagram went; a flood of reports names a few at most.
            const SocketAddress address = SocketAddress::FromSockaddr(&offender, message.msg_namelen);
            if (refused.size() < kMaxRefusedAddresses &&
                std::find(refused.begin(), refused.end(), address) == refused.end())
                refused.push_back(address);
        }
    }
}

bool TakePortUnreachable(SocketHandle s, const SocketAddress& peer) {
    // It must be the peer, port and all, so that a report about anyone else (or forged for anyone else)
    // changes nothing.
    const std::vector<SocketAddress> refused = TakeRefusedAddresses(s);
    return std::find(refused.begin(), refused.end(), peer) != refused.end();
}

SocketWait WaitReadableOrWoken(SocketHandle s, int wake, int timeoutMs) {
    pollfd entries[2] = {{s, POLLIN, 0}, {wake, POLLIN, 0}};
    int result;
    do {
        // An interrupted wait starts over: its callers wait again after each time-out anyway.
        result = ::poll(entries, 2, timeoutMs);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        throw SocketException();
    if ((entries[0].revents & POLLNVAL) != 0)
        throw SocketException();
    SocketWait wait;
    wait.readable = (entries[0].revents & (POLLIN | POLLHUP)) != 0;
    wait.error = (entries[0].revents & POLLERR) != 0;
    wait.woken = entries[1].revents != 0;
    return wait;
}

void SetBlocking(SocketHandle s, bool blocking) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0)
        throw SocketException();
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && ::fcntl(s, F_SETFL, wanted) != 0)
        throw SocketException();
}

int SendAll(SocketHandle s, const void* data, int length) {
    if (length == 0)
        return 0;
    if (length < 0 || data == nullptr)
        throw SocketException();
    const auto* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        PollFor(s, POLLOUT, -1);
        const ssize_t n = ::send(s, bytes + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n < 0) {
            // A non-blocking socket may find the buffer full again after the wait; then wait once more.
            if (errno == EINTR || WouldBlock(errno))
                continue;
            ThrowFor(Op::Send, errno);
        }
        sent += static_cast<int>(n);
    }
    return sent;
}

int SendTo(SocketHandle s, const SocketAddress& to, const void* data, int length) {
    if (length == 0)
        return 0;
    if (length < 0 || data == nullptr)
        throw SocketException();
    ssize_t n;
    do {
        // A dual-stack socket takes a plain IPv4 record too, so an IPv4 peer's datagrams stay as they were.
        n = ::sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL, to.Raw(), to.Length());
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        ThrowFor(Op::Send, errno);
    return static_cast<int>(n);
}

int Receive(SocketHandle s, void* buffer, int size, int timeoutMs) {
    if (size <= 0 || buffer == nullptr)
        throw SocketException();
    int flags = 0;
    if (timeoutMs != -1) {
        if (!WaitReadable(s, timeoutMs))
            return 0;
        flags = MSG_DONTWAIT;
    }
    ssize_t n;
    do {
        n = ::recv(s, buffer, static_cast<size_t>(size), flags);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        throw NoConnectionException();
    if (n < 0) {
        if (flags != 0 && WouldBlock(errno))
            return 0;
        ThrowFor(Op::Receive, errno);
    }
    return static_cast<int>(n);
}

int ReceiveFrom(SocketHandle s, SocketAddress* from, void* buffer, int size, int timeoutMs) {
    if (size <= 0 || buffer == nullptr)
        throw SocketException();
    // MSG_TRUNC makes the call return the datagram's real length, so a datagram that did not fit is seen.
    int flags = MSG_TRUNC;
    if (timeoutMs != -1) {
        if (!WaitReadable(s, timeoutMs))
            return 0;
        flags |= MSG_DONTWAIT;
    }
    sockaddr_storage sender{};
    socklen_t length = 0;
    ssize_t n;
    do {
        length = sizeof(sender);
        n = ::recvfrom(s, buffer, static_cast<size_t>(size), flags, AsSockaddr(sender), &length);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        throw NoConnectionException();
    if (n < 0) {
        if ((flags & MSG_DONTWAIT) != 0 && WouldBlock(errno))
            return 0;
        ThrowFor(Op::Receive, errno);
    }
    if (n > size)
        throw SocketException();
    if (from != nullptr)
        *from = SocketAddress::FromSockaddr(&sender, length);
    return static_cast<int>(n);
}

int ReceiveAnyFrom(SocketHandle s, SocketAddress* from, void* buffer, int size) {
    if (size <= 0 || buffer == nullptr)
        throw SocketException();
    sockaddr_storage sender{};
    socklen_t length = 0;
    ssize_t n;
    do {
        length = sizeof(sender);
        n = ::recvfrom(s, buffer, static_cast<size_t>(size), MSG_TRUNC | MSG_DONTWAIT, AsSockaddr(sender),
                       &length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (WouldBlock(errno))
            return -1;
        ThrowFor(Op::Receive, errno);
    }
    if (from != nullptr)
        *from = SocketAddress::FromSockaddr(&sender, length);
    return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

int BytesAvailable(SocketHandle s) {
    int count = 0;
    if (::ioctl(s, FIONREAD, &count) != 0)
        throw SocketException();
    return count;
}

void Close(SocketHandle s) {
    if (s <= 0)
        return;
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
}

SocketAddress LocalAddress(SocketHandle s) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(s, AsSockaddr(address), &length) != 0)
        return SocketAddress();
    return SocketAddress::FromSockaddr(&address, length);
}

SocketAddress PeerAddress(SocketHandle s) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getpeername(s, AsSockaddr(address), &length) != 0)
        return SocketAddress();
    return SocketAddress::FromSockaddr(&address, length);
}

int PeerPort(SocketHandle s) {
    return PeerAddress(s).Port();
}

uint32_t ResolveHost(const char* name) {
    if (name == nullptr)
        throw UnknownHostException();
    uint32_t address = 0;
    if (ParseLiteral(name, &address))
        return address;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    // getaddrinfo is thread-safe and may wait on the network for long: no lock is held around it, so that
    // a lookup on one thread (the banner's) never holds up another's (the window's Connect).
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0)
        throw UnknownHostException();
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in first;
            std::memcpy(&first, entry->ai_addr, sizeof(first));
            return first.sin_addr.s_addr;
        }
    }
    throw UnknownHostException();
}

std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& addresses) {
    std::vector<SocketAddress> six;
    std::vector<SocketAddress> four;
    for (const SocketAddress& address : addresses) {
        std::vector<SocketAddress>& family = address.IsIpv6() ? six : four;
        if (std::find(family.begin(), family.end(), address) == family.end())
            family.push_back(address);
    }
    std::vector<SocketAddress> ordered;
    for (size_t i = 0; i < std::max(six.size(), four.size()); ++i) {
        if (i < six.size())
            ordered.push_back(six[i]);
        if (i < four.size())
            ordered.push_back(four[i]);
    }
    return ordered;
}

std::vector<SocketAddress> ResolveAddresses(const char* host, int port) {
    if (host == nullptr)
        throw UnknownHostException();
    const std::string_view typed(host);
    const std::string name = UnbracketHost(typed);
    if (name.empty() && !typed.empty())
        throw UnsupportedAddressException();
    if (name.empty() || name.size() > NI_MAXHOST)
        throw UnknownHostException();
    SocketAddress literal;
    if (SocketAddress::ParseNumeric(name, port, &literal))
        return {literal};
    // A scope id names an interface of one machine; a peer's address never needs one, and a bracketed
    // text must be an address, never a name.
    if (name.find('%') != std::string::npos || typed.starts_with('[') || name.find(':') != std::string::npos)
        throw UnsupportedAddressException();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    // getaddrinfo is thread-safe and may wait on the network for long: no lock is held around it.
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
        throw UnknownHostException();
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr)
            continue;
        SocketAddress address = SocketAddress::FromSockaddr(entry->ai_addr, entry->ai_addrlen);
        if (address.Family() != entry->ai_family && entry->ai_family != AF_INET6)
            continue;
        if (address.IsIpv6() && address.sin6.sin6_scope_id != 0)
            continue;
        address.SetPort(port);
        addresses.push_back(address);
    }
    if (addresses.empty())
        throw UnsupportedAddressException();
    return InterleaveFamilies(addresses);
}

std::vector<SocketAddress> LocalInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    std::vector<SocketAddress> four;
    std::vector<SocketAddress> six;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
            (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6)
            continue;
        const SocketAddress address = SocketAddress::FromSockaddr(
            entry->ifa_addr, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (address.IsIpv6() &&
            (IN6_IS_ADDR_LINKLOCAL(&address.sin6.sin6_addr) || IN6_IS_ADDR_LOOPBACK(&address.sin6.sin6_addr)))
            continue;
        std::vector<SocketAddress>& into = address.IsIpv6() ? six : four;
        if (std::find(into.begin(), into.end(), address) == into.end())
            into.push_back(address);
    }
    four.insert(four.end(), six.begin(), six.end());
    return four;
}

std::string HostName(uint32_t addressNetworkOrder) {
    const SocketAddress address(addressNetworkOrder, 0);
    char name[NI_MAXHOST];
    if (::getnameinfo(AsSockaddr(address.sin), sizeof(address.sin), name, sizeof(name), nullptr, 0,
                      NI_NAMEREQD) != 0) {
        throw UnknownHostException();
    }
    return name;
}

std::string AddressText(uint32_t addressNetworkOrder) {
    uint8_t bytes[4];
    std::memcpy(bytes, &addressNetworkOrder, sizeof(bytes));
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

void StartSockets() {}

void StopSockets() {}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

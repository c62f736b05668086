#include "web/ProxyClient.h"

#include <algorithm>
#include <vector>

#include "base/ByteString.h"
#include "web/HostLookup.h"
#include "web/InputStream.h"
#include "web/ProxyAuthenticator.h"
#include "web/TunnelRelay.h"

namespace {

using Clock = std::chrono::steady_clock;

// SOCKS carries a host name with a one-byte length (SOCKS5) or in a field no proxy takes longer than
// that (SOCKS4a); longer names would arrive cut short and name another host.
constexpr size_t kMaxSocksField = 255;

constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kSocksConnect = 1;
constexpr uint8_t kSocks4Granted = 90;
constexpr uint8_t kSocks4NoIdentd = 92;
constexpr uint8_t kMethodNone = 0;
constexpr uint8_t kMethodUserPassword = 2;
constexpr uint8_t kMethodRefused = 255;
constexpr uint8_t kAddressIPv4 = 1;
constexpr uint8_t kAddressName = 3;
constexpr uint8_t kAddressIPv6 = 4;

void AppendText(std::vector<uint8_t>& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

void SendBytes(Socket& socket, const std::vector<uint8_t>& bytes) {
    SendAll(socket.handle, bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace

ProxyObserver& ProxyObserver::Null() {
    static ProxyObserver instance;
    return instance;
}

ProxyClient::ProxyClient() : observer_(&ProxyObserver::Null()) {}

ProxyClient::~ProxyClient() = default;

void ProxyClient::SetRelayLog(std::function<void(const std::string&)> log) {
    relayLog_ = log;
    if (tunnelRelay_)
        tunnelRelay_->SetLog(std::move(log));
}

int ProxyClient::RelayPort() const {
    return tunnelRelay_ ? tunnelRelay_->Port() : 0;
}

const char* ProxyClient::ReplyCodeText(int code) {
    switch (code & 0xFF) {
        case 0:
            return "Success";
        case 1:
            return "General SOCKS Server failure";
        case 2:
            return "Can't connect to the destination host";
        case 3:
            return "Network Unreachable";
        case 4:
            return "Host Unreachable";
        case 5:
            return "Connection Refused";
        case 6:
            return "TTL Expired";
        case 7:
            return "Command not supported";
        case 8:
            return "Address Type not Supported";
        case 9:
            return "to 0xFF UnAssigned";
        case 90:
            return "Request GRANTED";
        case 91:
            return "Request REJECTED or FAILED";
        case 92:
            return "Request REJECTED - SOCKS server can't connect to Identd on the client";
        case 93:
            return "Request REJECTED - Client and Identd report diff user-ID";
        default:
            return "Unknown Command";
    }
}

int ProxyClient::TimeLeft() const {
    if (timeoutMs_ < 0)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left, 0, INT32_MAX));
}

void ProxyClient::Connect(Socket& socket, const std::string& host, uint16_t port) {
    Connect(socket, host, port, proxyHost_, proxyPort_, proxyType_);
}

void ProxyClient::Connect(Socket& socket, const std::string& host, uint16_t port,
                          const std::string& proxyHost, uint16_t proxyPort, int type) {
    lastError_.clear();
    deadline_ = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs_, 0));
    destHost_ = host;
    destPort_ = port;
    proxyHost_ = proxyHost;
    proxyPort_ = proxyPort;
    proxyType_ = type;
    switch (type) {
        case Direct:
            ConnectDirect(socket);
            return;
        case Https:
            ConnectHttps(socket);
            return;
        case Socks4:
            ConnectSocks4(socket);
            return;
        case Socks5:
            ConnectSocks5(socket);
            return;
        case HttpTunnel:
            ConnectTunnel(socket);
            return;
        case Auto:
            ConnectAuto(socket);
            return;
        default:
            Fail(FormatText("Failed: Unknown proxy type #%d", type));
            return;
    }
}

void ProxyClient::ConnectTo(Socket& socket, const std::string& host, uint16_t port) {
    // The lookup counts against the deadline too: a name server that does not answer must not hold the
    // connect past it. Each address gets a socket of its family.
    HostLookup::ConnectFirst(socket, HostLookup::ResolveAll(host, port, TimeLeft()),
                             [this] { return TimeLeft(); });
}

uint8_t ProxyClient::ReadProxyByte(Socket& socket) {
    uint8_t byte = 0;
    if (Receive(socket.handle, &byte, 1, TimeLeft()) == 0) {
        Fail("Timeout expired while reading data from proxy.");
        throw TimeoutException();
    }
    return byte;
}

void ProxyClient::ReadProxyBytes(Socket& socket, uint8_t* out, int count) {
    for (int i = 0; i < count; ++i)
        out[i] = ReadProxyByte(socket);
}

// ---- Direct ----

void ProxyClient::ConnectDirect(Socket& socket) {
    observer_->OnProxyConnecting();
    observer_->OnProxyConnected();
    observer_->OnHostRequesting();
    ConnectTo(socket, destHost_, destPort_);
    observer_->OnHostConnected();
}

// ---- HTTPS proxy ----

void ProxyClient::ConnectHttps(Socket& socket) {
    observer_->OnProxyConnecting();
    try {
        ConnectTo(socket, proxyHost_, proxyPort_);
    } catch (const ProxyException&) {
        throw;
    } catch (const Exception&) {
        Fail("Cannot connect HTTPS Proxy");
        throw ProxyException();
    }
    observer_->OnProxyConnected();

    observer_->OnHostRequesting();
    try {
        SendConnectRequest(socket, std::string());
    } catch (const ProxyException&) {
        throw;
    } catch (const Exception&) {
        Fail("Exception while sending HTTPS Proxy request");
        throw ProxyException();
    }
    try {
        ReadConnectResponse(socket);
    } catch (const ProxyException&) {
        throw;
    } catch (const Exception&) {
        Fail("Exception while reading HTTPS Proxy response");
        throw ProxyException();
    }

    const int status = connectResponse_.StatusCode();
    if (status == 407) {
        AnswerChallenge(socket);
    } else if (status < 200 || status > 299) {
        Fail(FormatText("Bad HTTP Proxy response code: %d", status));
        throw HostException();
    }
    observer_->OnHostConnected();
}

void ProxyClient::SendConnectRequest(Socket& socket, const std::string& authorization) {
    // An IPv6 host goes in brackets, so that its colons are not taken for the port's.
    std::string request = "CONNECT " + HostPortText(destHost_, destPort_) + " HTTP/1.0\r\n";
    if (!authorization.empty())
        request += "Proxy-Authorization: " + authorization + "\r\n";
    request += "\r\n";
    SendAll(socket.handle, request.data(), static_cast<int>(request.size()));
}

void ProxyClient::ReadConnectResponse(Socket& socket) {
    connectResponse_.Reset();
    connectResponse_.SetTimeBudget(TimeLeft());
    // Read byte by byte up to the end of the head, then exactly the announced body: the bytes after that
    // belong to the destination.
    InputStream stream(socket.handle, kResponseReadSliceMs, kResponseLineLimit);
    connectResponse_.ReadMessage(stream);
}

void ProxyClient::AnswerChallenge(Socket& socket) {
    const ProxyAuthenticator authenticator(userName_, password_, domain_);
    const ProxyAuthenticator::Challenge challenge = ProxyAuthenticator::Choose(connectResponse_.Headers());
    switch (challenge.scheme) {
        case ProxyAuthenticator::Scheme::Basic: {
            const std::string answer = authenticator.Basic();
            ReconnectToProxy(socket);
            SendConnectRequest(socket, answer);
            ReadConnectResponse(socket);
            RequireAccepted("Basic HTTP Proxy Authentication response code: ");
            return;
        }
        case ProxyAuthenticator::Scheme::Digest: {
            const std::string answer = authenticator.Digest(challenge.value, "CONNECT", "/");
            // The nonce does not belong to the connection, so a proxy that closed it after its 407 (as it
            // may after an HTTP/1.0 request) gets the answer on a new one.
            if (!ConnectionKept(socket))
                ReconnectToProxy(socket);
            SendConnectRequest(socket, answer);
            ReadConnectResponse(socket);
            RequireAccepted("Digest HTTP Proxy Authentication response code: ");
            return;
        }
        case ProxyAuthenticator::Scheme::Ntlm: {
            // NTLM authenticates the connection: both messages travel on the one opened here.
            const std::string negotiate = authenticator.NtlmNegotiate();
            ReconnectToProxy(socket);
            SendConnectRequest(socket, negotiate);
            ReadConnectResponse(socket);
            if (connectResponse_.StatusCode() != 407)
                throw ProxyAuthenticationFailedException();
            SendConnectRequest(socket, authenticator.NtlmAuthenticate(connectResponse_.Headers()));
            ReadConnectResponse(socket);
            RequireAccepted("NTLM HTTP Proxy Authentication code: ");
            return;
        }
    }
}

void ProxyClient::ReconnectToProxy(Socket& socket) {
    socket.Close();
    ConnectTo(socket, proxyHost_, proxyPort_);
}

bool ProxyClient::ConnectionKept(Socket& socket) const {
    for (const char* field : {"Connection", "Proxy-Connection"}) {
        if (EqualsIgnoringCase(connectResponse_.Headers().Get(field), "close"))
            return false;
    }
    // Nothing may be readable: a byte would be stray, an end of stream would mean the proxy has closed.
    uint8_t byte;
    try {
        return Receive(socket.handle, &byte, 1, 0) == 0;
    } catch (const Exception&) {
        return false;
    }
}

void ProxyClient::RequireAccepted(const char* failure) {
    const int status = connectResponse_.StatusCode();
    if (status < 200 || status > 299) {
        Fail(failure + std::to_string(status));
        throw ProxyException();
    }
}

// ---- SOCKS4 and SOCKS4a ----

template <typename Failure, typename Step>
void ProxyClient::Guard(Step&& step, const char* timeoutText, const char* socketText) {
    try {
        step();
    } catch (const TimeoutException&) {
        Fail(timeoutText);
        throw Failure();
    } catch (const SocketException&) {
        Fail(socketText);
        throw Failure();
    }
}

void ProxyClient::CheckSocksVersion(int version, int expected) {
    if (version != expected) {
        Fail(FormatText("Failed: The proxy server replyed with incorrect SOCKS version: %d", version));
        throw ProxyException();
    }
}

void ProxyClient::ConnectSocks4(Socket& socket) {
    observer_->OnProxyConnecting();
    Guard<ProxyException>([&] { ConnectTo(socket, proxyHost_, proxyPort_); },
                          "Failed: Timeout expired while connecting to proxy.",
                          "Failed: Socket exception while connecting to proxy.");
    observer_->OnProxyConnected();

    Guard<HostException>([&] {
        observer_->OnHostRequesting();
        std::vector<uint8_t> request = {kSocks4Version, kSocksConnect, static_cast<uint8_t>(destPort_ >> 8),
                                        static_cast<uint8_t>(destPort_ & 0xFF)};
        bool byName = false;
        uint32_t address = 0;
        try {
            address = HostLookup::Resolve(destHost_, TimeLeft());
        } catch (const UnknownHostException&) {
            // SOCKS4a: the address 0.0.0.x (x not 0) asks the proxy to resolve the name sent after the user.
            byName = true;
        }
        if (byName) {
            if (destHost_.size() > kMaxSocksField) {
                Fail("Failed: Destination host name is longer than 255 bytes.");
                throw HostException();
            }
            request.insert(request.end(), {0, 0, 0, 255});
        } else {
            const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
            request.insert(request.end(), bytes, bytes + 4);
        }
        AppendText(request, userName_);
        request.push_back(0);
        if (byName) {
            AppendText(request, destHost_);
            request.push_back(0);
        }
        SendBytes(socket, request);

        uint8_t reply[8];
        ReadProxyBytes(socket, reply, sizeof(reply));
        CheckSocksVersion(reply[0], 0);
        const int code = reply[1];
        if (code != kSocks4Granted) {
            Fail(FormatText("Failed: Reply code: %d - %s", code, ReplyCodeText(code)));
            if (code == kSocks4NoIdentd)
                throw HostException();
            throw ProxyException();
        }
        observer_->OnHostConnected();
    });
}

// ---- SOCKS5 ----

void ProxyClient::ConnectSocks5(Socket& socket) {
    Guard<ProxyException>([&] {
        observer_->OnProxyConnecting();
        ConnectTo(socket, proxyHost_, proxyPort_);
        observer_->OnProxyConnected();
        NegotiateSocks5(socket);
    });

    Guard<HostException>([&] {
        observer_->OnHostRequesting();
        if (destHost_.size() > kMaxSocksField) {
            Fail("Failed: Destination host name is longer than 255 bytes.");
            throw HostException();
        }
        std::vector<uint8_t> request = {kSocks5Version, kSocksConnect, 0, kAddressName,
                                        static_cast<uint8_t>(destHost_.size())};
        AppendText(request, destHost_);
        request.push_back(static_cast<uint8_t>(destPort_ >> 8));
        request.push_back(static_cast<uint8_t>(destPort_ & 0xFF));
        SendBytes(socket, request);

        uint8_t head[4];
        ReadProxyBytes(socket, head, sizeof(head));
        // The bound address is read (and dropped) in full so that the stream stays in step; a name is at
        // most 255 bytes by its one-byte length.
        uint8_t skipped[256];
        const uint8_t addressType = head[3];
        if (addressType == kAddressIPv4) {
            ReadProxyBytes(socket, skipped, 4);
        } else if (addressType == kAddressName) {
            const uint8_t length = ReadProxyByte(socket);
            if (length == 0) {
                Fail("Failed: Proxy returned an invalid host name length");
                throw ProxyException();
            }
            ReadProxyBytes(socket, skipped, length);
        } else if (addressType == kAddressIPv6) {
            Fail("Failed: Unsupported address type - IP v.6");
            throw ProxyException();
        } else {
            Fail(FormatText("Failed: Unsupported address type #%d", addressType));
            throw ProxyException();
        }
        ReadProxyBytes(socket, skipped, 2);

        CheckSocksVersion(head[0], kSocks5Version);
        const int code = head[1];
        if (code != 0) {
            Fail(FormatText("Failed: Reply code: %d - %s", code, ReplyCodeText(code)));
            if (code == 3 || code == 4 || code == 6)
                throw HostException();
            throw ProxyException();
        }
        observer_->OnHostConnected();
    });
}

void ProxyClient::NegotiateSocks5(Socket& socket) {
    const bool withUser = !userName_.empty();
    if (withUser) {
        SendBytes(socket, {kSocks5Version, 2, kMethodNone, kMethodUserPassword});
    } else {
        SendBytes(socket, {kSocks5Version, 1, kMethodNone});
    }
    uint8_t answer[2];
    ReadProxyBytes(socket, answer, sizeof(answer));
    CheckSocksVersion(answer[0], kSocks5Version);
    const uint8_t method = answer[1];
    if (method == kMethodRefused) {
        if (withUser) {
            Fail("Proxy server responded with: No acceptable authentication methods.");
            throw ProxyException();
        }
        Fail("Proxy server requires authentication.");
        throw ProxyAuthenticationRequiredException();
    }
    if (method == kMethodNone)
        return;
    if (method != kMethodUserPassword) {
        Fail("Proxy requires unsupported authentication method.");
        throw ProxyException();
    }
    if (!withUser)
        throw ProxyAuthenticationRequiredException();
    // Each field carries a one-byte length; a longer one cannot be sent as it is.
    if (userName_.size() > kMaxSocksField || password_.size() > kMaxSocksField) {
        Fail("Failed: User name or password is longer than 255 bytes.");
        throw ProxyException();
    }
    std::vector<uint8_t> login = {1, static_cast<uint8_t>(userName_.size())};
    AppendText(login, userName_);
    login.push_back(static_cast<uint8_t>(password_.size()));
    AppendText(login, password_);
    SendBytes(socket, login);
    ReadProxyBytes(socket, answer, sizeof(answer));
    if (answer[1] != 0) {
        Fail("Invalid Username/Password authentication.");
        throw ProxyException();
    }
}

// ---- HTTP tunnel ----

void ProxyClient::ConnectTunnel(Socket& socket) {
    SocketAddress proxyAddress(0, 0);
    if (!proxyHost_.empty())
        proxyAddress = HostLookup::ResolveAll(proxyHost_, proxyPort_, TimeLeft()).front();
    if (!tunnelRelay_) {
        tunnelRelay_ = std::make_unique<TunnelRelay>();
        if (relayLog_)
            tunnelRelay_->SetLog(relayLog_);
        tunnelRelay_->Configure(proxyAddress, tunnelUrl_, userName_, password_, domain_, tunnelInterval_);
        tunnelRelay_->Start(SocketAddress(htonl(INADDR_LOOPBACK), 0));
    } else {
        tunnelRelay_->Configure(proxyAddress, tunnelUrl_, userName_, password_, domain_, tunnelInterval_);
    }
    Connect(socket, destHost_, destPort_, "127.0.0.1", static_cast<uint16_t>(tunnelRelay_->Port()), Https);
}

// ---- Automatic ----

void ProxyClient::ConnectAuto(Socket& socket) {
    const std::string host = proxyHost_;
    const uint16_t port = proxyPort_;
    const std::string destHost = destHost_;
    const uint16_t destPort = destPort_;
    const int order[] = {Https, Socks5, Socks4, HttpTunnel};
    bool first = true;
    for (const int type : order) {
        if (type == HttpTunnel && !tunnelAllowed_)
            break;
        if (!first) {
            socket.Close();
            socket.CreateStream();
        }
        first = false;
        try {
            Connect(socket, destHost, destPort, host, port, type);
            return;
        } catch (const Exception&) {
            // Fall through to the next kind of proxy.
        }
    }
    Fail("Unknown proxy type");
    throw ProxyException();
}

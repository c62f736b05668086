// Opens a TCP connection to a destination, directly or through a proxy: an HTTPS proxy ("CONNECT"), a
// SOCKS4/4a or SOCKS5 server, or an HTTP tunnel carried by a local relay; the automatic mode tries them
// in turn. On success the caller's socket is connected end to end to the destination.
//
// Failures throw ProxyException (the proxy failed or refused) or HostException (the proxy was reached,
// the destination was not); the text of the last failure is kept in LastError() for the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Exception.h"
#include "base/Socket.h"
#include "web/HttpResponse.h"
#include "web/ProxyObserver.h"

class TunnelRelay;

class ProxyClient {
public:
    class ProxyException : public Exception {
    public:
        ~ProxyException() override = default;
    };
    class HostException : public Exception {
    public:
        ~HostException() override = default;
    };
    class ProxyAuthenticationRequiredException : public ProxyException {
    public:
        ~ProxyAuthenticationRequiredException() override = default;
    };
    class ProxyAuthenticationFailedException : public ProxyException {
    public:
        ~ProxyAuthenticationFailedException() override = default;
    };
    class ProxyBasicAuthenticationRequiredException : public ProxyAuthenticationRequiredException {
    public:
        ~ProxyBasicAuthenticationRequiredException() override = default;
    };
    class ProxyDigestAuthenticationRequiredException : public ProxyAuthenticationRequiredException {
    public:
        ~ProxyDigestAuthenticationRequiredException() override = default;
    };
    class ProxyNTLMAuthenticationRequiredException : public ProxyAuthenticationRequiredException {
    public:
        ~ProxyNTLMAuthenticationRequiredException() override = default;
    };
    class ProxyUnknownAuthenticationRequiredException : public ProxyAuthenticationRequiredException {
    public:
        ~ProxyUnknownAuthenticationRequiredException() override = default;
    };

    enum ProxyType : int {
        Direct = 0,
        Https = 1,
        Socks4 = 2,
        Socks5 = 3,
        HttpTunnel = 4,  // for HttpClient: an HTTP proxy spoken to with absolute URLs
        Auto = 5,
    };

    static constexpr int kDefaultTimeoutMs = 15000;
    static constexpr int kDefaultTunnelInterval = 500;
    // The longest line of an HTTPS proxy's answer; long enough for an NTLM challenge.
    static constexpr int kResponseLineLimit = 8192;
    // The per-read time limit while an HTTPS proxy's answer is read; the overall limit is the deadline.
    static constexpr int kResponseReadSliceMs = 200;

    ProxyClient();
    ~ProxyClient();
    ProxyClient(const ProxyClient&) = delete;
    ProxyClient& operator=(const ProxyClient&) = delete;

    // Connects `socket` to host:port with the stored proxy settings.
    void Connect(Socket& socket, const std::string& host, uint16_t port);
    // Stores destination, proxy and type into the settings, then connects by the procedure of the type.
    // An unknown type only sets LastError() and returns without connecting.
    void Connect(Socket& socket, const std::string& host, uint16_t port, const std::string& proxyHost,
                 uint16_t proxyPort, int type);

    int ProxyType() const { return proxyType_; }
    void SetProxyType(int type) { proxyType_ = type; }
    const std::string& ProxyHost() const { return proxyHost_; }
    void SetProxyHost(std::string host) { proxyHost_ = std::move(host); }
    uint16_t ProxyPort() const { return proxyPort_; }
    void SetProxyPort(uint16_t port) { proxyPort_ = port; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(std::string name) { userName_ = std::move(name); }
    const std::string& Password() const { return password_; }
    void SetPassword(std::string password) { password_ = std::move(password); }
    const std::string& Domain() const { return domain_; }
    void SetDomain(std::string domain) { domain_ = std::move(domain); }
    const std::string& LastError() const { return lastError_; }
    // Not owned; null restores the do-nothing observer.
    void SetObserver(ProxyObserver* observer) {
        observer_ = observer != nullptr ? observer : &ProxyObserver::Null();
    }
    void SetTimeoutMs(int ms) { timeoutMs_ = ms; }
    void SetTunnelUrl(std::string url) { tunnelUrl_ = std::move(url); }
    void SetTunnelAllowed(bool allowed) { tunnelAllowed_ = allowed; }
    void SetTunnelInterval(int interval) { tunnelInterval_ = interval; }
    // Where the tunnel relay writes its log lines (by default nowhere); kept for a relay started later.
    void SetRelayLog(std::function<void(const std::string&)> log);
    // The port of the running tunnel relay, 0 before the first tunnel connect.
    int RelayPort() const;

    // The text for a SOCKS reply code, looked up by its low 8 bits.
    static const char* ReplyCodeText(int code);

private:
    void ConnectDirect(Socket& socket);
    void ConnectHttps(Socket& socket);
    void ConnectSocks4(Socket& socket);
    void ConnectSocks5(Socket& socket);
    void ConnectTunnel(Socket& socket);
    void ConnectAuto(Socket& socket);

    // Creates the socket when the holder has none and connects it to host:port within the time left.
    void ConnectTo(Socket& socket, const std::string& host, uint16_t port);
    void SendConnectRequest(Socket& socket, const std::string& authorization);
    void ReadConnectResponse(Socket& socket);
    // Answers a proxy's 407 to "CONNECT" with Basic, Digest or NTLM; returns when the tunnel is open.
    void AnswerChallenge(Socket& socket);
    // Closes the socket and connects a new one to the proxy.
    void ReconnectToProxy(Socket& socket);
    // Whether the proxy left the connection of its last answer open.
    bool ConnectionKept(Socket& socket) const;
    // Unless the last answer was a 2xx: sets LastError() to `failure` followed by the status in decimal and
    // throws ProxyException.
    void RequireAccepted(const char* failure);
    void NegotiateSocks5(Socket& socket);
    // One byte from the proxy within the time left.
    uint8_t ReadProxyByte(Socket& socket);
    void ReadProxyBytes(Socket& socket, uint8_t* out, int count);
    // Runs one step of a proxy exchange: a time-out or socket failure in it is reported with the text given
    // and thrown on as Failure, which tells the caller whether the proxy or the host failed.
    template <typename Failure, typename Step>
    void Guard(Step&& step, const char* timeoutText = "Failed: Timeout expired.",
               const char* socketText = "Failed: Socket exception.");
    // Throws ProxyException, reported, when a reply's version byte is not the one expected.
    void CheckSocksVersion(int version, int expected);
    // Milliseconds left before the deadline (never below 0), or -1 when there is no limit.
    int TimeLeft() const;
    void Fail(std::string text) { lastError_ = std::move(text); }

    int proxyType_ = Direct;
    std::string proxyHost_;
    uint16_t proxyPort_ = 0;
    std::string userName_;
    std::string password_;
    std::string domain_;
    std::string destHost_;
    uint16_t destPort_ = 0;
    std::string lastError_;
    ProxyObserver* observer_;
    int timeoutMs_ = kDefaultTimeoutMs;
    std::chrono::steady_clock::time_point deadline_{};
    std::unique_ptr<TunnelRelay> tunnelRelay_;
    std::string tunnelUrl_;
    bool tunnelAllowed_ = false;
    int tunnelInterval_ = kDefaultTunnelInterval;
    std::function<void(const std::string&)> relayLog_;
    HttpResponse connectResponse_;
};

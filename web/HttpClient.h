// Fetches resources over HTTP/1.0 into a caller's buffer. Keeps one TCP connection open between requests
// (tested before each reuse), follows 301/302/303 redirects to plain "http://" addresses, and connects
// directly, through the embedded ProxyClient, or to an HTTP proxy with absolute request URLs (proxy type
// HttpTunnel). There is no TLS: "https://" redirects are not followed.
//
// One HttpClient is used by one thread at a time. After a failed request the response (status, reason,
// headers) stays readable through Response().
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "base/ByteBuffer.h"
#include "base/Socket.h"
#include "web/CookieStore.h"
#include "web/HeaderList.h"
#include "web/HttpRequest.h"
#include "web/HttpResponse.h"
#include "web/ProxyAuthenticator.h"
#include "web/ProxyClient.h"
#include "web/WebExceptions.h"

class HttpClient {
public:
    // A status the client does not accept, or a redirect chain longer than kMaxRedirects.
    class BadResponseException : public HttpException {
    public:
        ~BadResponseException() override = default;
    };
    // The server answered 401.
    class AuthenticationRequiredException : public HttpException {
    public:
        ~AuthenticationRequiredException() override = default;
    };
    // The body is larger than SetMaxBodyBytes allows.
    class BodyTooLargeException : public HttpException {
    public:
        ~BodyTooLargeException() override = default;
    };

    static constexpr int kDefaultTimeoutSeconds = 60;
    // Redirects followed in a row before the request fails.
    static constexpr int kMaxRedirects = 10;
    // The longest line of a response head.
    static constexpr int kLineLimit = 1000;
    // Each line read of the head waits at most this long before the deadline is checked again.
    static constexpr int kLineReadSliceMs = 100;
    // What one receive of a body without "Content-Length" asks for.
    static constexpr int kBodyBlock = 10240;

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // GET `url`; the body of the final response is left in `out` (emptied first). Returns on 200, and on
    // 301..303 when the redirect is not followed; throws otherwise.
    void Get(const std::string& url, ByteBuffer& out);
    // POST `body` to `url` with its "Content-Length"; otherwise as Get. Redirects continue with GET.
    void Post(const std::string& url, const ByteBuffer& body, ByteBuffer& out);

    // Seconds each request (and each redirect) may take; negative for no limit.
    void SetTimeout(int seconds) { timeout_ = seconds; }
    int Timeout() const { return timeout_; }
    // Milliseconds the whole of each Get or Post may take, name lookups, connects, every redirect and
    // every answer to a proxy included; negative (the default) for no limit beyond SetTimeout's. (The
    // automatic proxy type is the exception: each type it tries may take the time then left.)
    void SetCallTimeoutMs(int ms) { callTimeoutMs_ = ms; }
    // The proxy settings: type, host, port, user name, password and domain live in the ProxyClient.
    ProxyClient& Proxy() { return proxy_; }
    const ProxyClient& Proxy() const { return proxy_; }
    // Fields copied into every request.
    HeaderList& DefaultHeaders() { return defaultHeaders_; }
    void SetCookiesEnabled(bool enabled) { cookiesEnabled_ = enabled; }
    const CookieStore& Cookies() const { return cookieStore_; }
    void SetFollowRedirects(bool follow) { followRedirects_ = follow; }
    // The most body bytes a response may bring (at most HttpMessage::kMaxBodyLength, the default). A
    // "Content-Length" over it is refused before any of the body is read; a body without one is read to
    // one byte past it and no further. Either throws BodyTooLargeException, with `out` holding what was
    // read.
    void SetMaxBodyBytes(int32_t bytes) {
        maxBodyBytes_ = std::clamp<int32_t>(bytes, 0, HttpMessage::kMaxBodyLength);
    }
    void SetKeepAlive(bool keepAlive) { keepAlive_ = keepAlive; }

    const HttpRequest& Request() const { return request_; }
    const HttpResponse& Response() const { return response_; }
    // Whether a connection is held open for the next request.
    bool Connected() const { return connection_.handle != kNoSocket; }

private:
    void Execute(const std::string& method, const std::string& url, const ByteBuffer* body, ByteBuffer& out);
    void BuildRequest(const std::string& method, const std::string& url);
    // Sends the request and reads the response, then dispatches on its status: returns for 200 and
    // 301..303, answers 407 in HTTP-proxy mode, throws for everything else.
    void SendAndRead();
    void SendRequest();
    void ReadResponse();
    void ReadBody();
    // The address a 301..303 response sends us to, or empty when it is not to be followed.
    std::string RedirectTarget() const;
    // True when the kept connection can carry another request.
    bool ConnectionAlive();
    void Reconnect();
    // Answers a 407 with Basic, Digest or NTLM and sends the request again; the new response goes
    // through the same status dispatch.
    void AnswerProxyChallenge();
    void AnswerNtlm(const ProxyAuthenticator& authenticator);
    // Counts one more answer to a 407 in this request; throws ProxyAuthenticationFailedException past
    // ProxyAuthenticator::kMaxAnswers.
    void CountProxyAnswer();
    bool HttpProxyMode() const { return proxy_.ProxyType() == ProxyClient::HttpTunnel; }
    // HTTP-proxy mode with a proxy to send to (without one the request goes to its own host).
    bool SentToHttpProxy() const {
        return HttpProxyMode() && !proxy_.ProxyHost().empty() && proxy_.ProxyPort() != 0;
    }
    // Milliseconds before the request's deadline or the call's, whichever comes first (never below 0), or
    // -1 without a time limit.
    int TimeLeft() const;

    int timeout_ = kDefaultTimeoutSeconds;
    std::chrono::steady_clock::time_point deadline_{};
    int callTimeoutMs_ = -1;
    std::chrono::steady_clock::time_point callDeadline_{};
    Socket connection_;
    std::string connectionHost_;
    uint16_t connectionPort_ = 0;
    ProxyClient proxy_;
    HttpRequest request_;
    HttpResponse response_;
    HeaderList defaultHeaders_;
    CookieStore cookieStore_;
    bool cookiesEnabled_ = false;
    bool followRedirects_ = true;
    bool keepAlive_ = true;
    int32_t maxBodyBytes_ = HttpMessage::kMaxBodyLength;
    // Set while an NTLM exchange runs, so that the 407 carrying the proxy's challenge is left to it.
    bool ntlmInProgress_ = false;
    int proxyAnswers_ = 0;
    ByteBuffer* out_ = nullptr;
    ByteBuffer sendBuffer_;
};

#include "web/HttpClient.h"

#include <algorithm>

#include "base/ByteString.h"
#include "web/HostLookup.h"
#include "web/InputStream.h"
#include "web/ProxyAuthenticator.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

HttpClient::HttpClient() = default;

HttpClient::~HttpClient() = default;

void HttpClient::Get(const std::string& url, ByteBuffer& out) {
    Execute("GET", url, nullptr, out);
}

void HttpClient::Post(const std::string& url, const ByteBuffer& body, ByteBuffer& out) {
    Execute("POST", url, &body, out);
}

namespace {

int MsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left, 0, INT32_MAX));
}

}  // namespace

int HttpClient::TimeLeft() const {
    int left = timeout_ < 0 ? -1 : MsUntil(deadline_);
    if (callTimeoutMs_ >= 0) {
        const int call = MsUntil(callDeadline_);
        left = left < 0 ? call : std::min(left, call);
    }
    return left;
}

void HttpClient::Execute(const std::string& method, const std::string& url, const ByteBuffer* body,
                         ByteBuffer& out) {
    out.Clear();
    out_ = &out;
    callDeadline_ = Clock::now() + std::chrono::milliseconds(std::max(callTimeoutMs_, 0));
    std::string nextMethod = method;
    std::string nextUrl = url;
    for (int redirects = 0;; ++redirects) {
        BuildRequest(nextMethod, nextUrl);
        if (body != nullptr) {
            request_.Body().Write(body->Data(), body->Length(), false);
            request_.Headers().Set("Content-Length", std::to_string(body->Length()));
        }
        SendAndRead();
        if (response_.StatusCode() == 200)
            return;
        const std::string target = RedirectTarget();
        if (target.empty())
            return;
        // Each redirect is a new request with its own deadline, so a loop must end by count.
        if (redirects == kMaxRedirects)
            throw BadResponseException();
        nextMethod = "GET";
        nextUrl = target;
        body = nullptr;
    }
}

void HttpClient::BuildRequest(const std::string& method, const std::string& url) {
    request_.Reset();
    request_.SetUrl(url);
    if (cookiesEnabled_) {
        const std::string cookie = cookieStore_.CookieFor(request_.Url());
        if (!cookie.empty())
            request_.Headers().Add("Cookie", cookie);
    }
    request_.Headers().Append(defaultHeaders_);
    request_.SetMethod(method);
    request_.SetVersion("HTTP/1.0");
    request_.SetAbsoluteForm(HttpProxyMode());
    if (keepAlive_) {
        request_.Headers().Set("Connection", "Keep-Alive");
        if (HttpProxyMode())
            request_.Headers().Set("Proxy-Connection", "Keep-Alive");
    }
    deadline_ = Clock::now() + std::chrono::seconds(std::max(timeout_, 0));
    proxyAnswers_ = 0;
}

void HttpClient::SendAndRead() {
    // A failure before the answer arrives must not leave the previous answer's status readable.
    response_.Reset();
    try {
        SendRequest();
        ReadResponse();
    } catch (...) {
        // What is left on a half-read connection belongs to this response, never to the next one.
        connection_.Close();
        connectionHost_.clear();
        throw;
    }
    if (cookiesEnabled_)
        cookieStore_.Store(request_.Host(), request_.Port(), response_.Headers());
    const int status = response_.StatusCode();
    if (status == 200 || (status >= 301 && status <= 303))
        return;
    if (status == 401)
        throw AuthenticationRequiredException();
    // Only a request sent to an HTTP proxy is the proxy's to challenge. Otherwise the 407 comes from the
    // server itself (reached directly, through SOCKS or through a tunnel), which must never receive the
    // proxy's credentials; a proxy's 407 to "CONNECT" is ProxyClient's to answer.
    if (status == 407 && SentToHttpProxy()) {
        AnswerProxyChallenge();
        return;
    }
    throw BadResponseException();
}

void HttpClient::AnswerProxyChallenge() {
    deadline_ = Clock::now() + std::chrono::seconds(std::max(timeout_, 0));
    const ProxyAuthenticator authenticator(proxy_.UserName(), proxy_.Password(), proxy_.Domain());
    const ProxyAuthenticator::Challenge challenge = ProxyAuthenticator::Choose(response_.Headers());
    HeaderList& headers = request_.Headers();
    switch (challenge.scheme) {
        case ProxyAuthenticator::Scheme::Basic: {
            std::string answer = authenticator.Basic();
            CountProxyAnswer();
            headers.Add("Proxy-Authorization", std::move(answer));
            SendAndRead();
            return;
        }
        case ProxyAuthenticator::Scheme::Digest: {
            std::string answer = authenticator.Digest(challenge.value, request_.Method(), request_.Path());
            CountProxyAnswer();
            headers.Add("Proxy-Authorization", std::move(answer));
            SendAndRead();
            return;
        }
        case ProxyAuthenticator::Scheme::Ntlm:
            AnswerNtlm(authenticator);
            return;
    }
}

void HttpClient::AnswerNtlm(const ProxyAuthenticator& authenticator) {
    // The proxy's challenge to our negotiate message comes back through SendAndRead as a 407; it is
    // answered below, so the nested call leaves it to us.
    if (ntlmInProgress_)
        return;
    const std::string negotiate = authenticator.NtlmNegotiate();
    CountProxyAnswer();
    // Cleared also when the exchange fails, or every later request would take the proxy's 407 as final.
    struct Guard {
        bool& flag;
        ~Guard() { flag = false; }
    };
    ntlmInProgress_ = true;
    const Guard guard{ntlmInProgress_};
    HeaderList& headers = request_.Headers();
    // NTLM authenticates the connection: it must stay open between the messages.
    headers.Set("Proxy-Connection", "Keep-Alive");
    headers.Set("Connection", "Keep-Alive");
    headers.Set("Proxy-Authorization", negotiate);
    SendAndRead();
    if (response_.StatusCode() != 407)
        throw ProxyClient::ProxyAuthenticationFailedException();
    std::string authenticate = authenticator.NtlmAuthenticate(response_.Headers());
    CountProxyAnswer();
    headers.Set("Proxy-Authorization", std::move(authenticate));
    SendAndRead();
}

void HttpClient::CountProxyAnswer() {
    // A proxy that refuses every answer would otherwise be answered again and again, each time deeper.
    if (proxyAnswers_ == ProxyAuthenticator::kMaxAnswers)
        throw ProxyClient::ProxyAuthenticationFailedException();
    ++proxyAnswers_;
}

bool HttpClient::ConnectionAlive() {
    // A kept connection is fit for reuse only when nothing is readable on it: a byte would be left over
    // from an earlier answer, an end of stream would mean the server has closed.
    uint8_t byte;
    try {
        return Receive(connection_.handle, &byte, 1, 0) == 0;
    } catch (const Exception&) {
        return false;
    }
}

void HttpClient::SendRequest() {
    bool reconnect = connection_.handle == kNoSocket || !ConnectionAlive();
    if (!reconnect && !HttpProxyMode()) {
        reconnect = request_.Host() != connectionHost_ || request_.Port() != connectionPort_;
    }
    if (reconnect)
        Reconnect();
    try {
        request_.Serialize(sendBuffer_);
        SendAll(connection_.handle, sendBuffer_.Data(), sendBuffer_.Length());
    } catch (const Exception&) {
        Reconnect();
        request_.Serialize(sendBuffer_);
        SendAll(connection_.handle, sendBuffer_.Data(), sendBuffer_.Length());
    }
}

void HttpClient::Reconnect() {
    connection_.Close();
    connectionHost_.clear();
    connection_.CreateStream();
    const int limit = TimeLeft();
    if (HttpProxyMode()) {
        std::string host = proxy_.ProxyHost();
        uint16_t port = proxy_.ProxyPort();
        if (host.empty() || port == 0) {
            host = request_.Host();
            port = request_.Port();
        }
        HostLookup::ConnectFirst(connection_, HostLookup::ResolveAll(host, port, limit),
                                 [this] { return TimeLeft(); });
    } else {
        proxy_.SetTimeoutMs(limit);
        proxy_.Connect(connection_, request_.Host(), request_.Port());
    }
    connectionHost_ = request_.Host();
    connectionPort_ = request_.Port();
}

void HttpClient::ReadResponse() {
    response_.Reset();
    InputStream stream(connection_.handle, kLineReadSliceMs, kLineLimit);
    response_.SetTimeBudget(TimeLeft());
    response_.ReadHead(stream);
    ReadBody();
}

void HttpClient::ReadBody() {
    ByteBuffer& out = *out_;
    out.Clear();
    if (response_.State() == HttpMessage::kComplete)
        return;
    const bool sized = response_.HasContentLength();
    const int32_t expected = sized ? response_.ContentLength() : 0;
    // Refused on its word: nothing of a body that is too large is taken off the socket.
    if (sized && expected > maxBodyBytes_)
        throw BodyTooLargeException();
    if (sized)
        out.Reserve(expected);
    for (;;) {
        const int32_t held = out.Length();
        if (sized && held >= expected)
            return;
        // Without a length the body may grow to one byte past the limit, which is then refused.
        const int32_t request =
            sized ? expected - held : std::min<int32_t>(kBodyBlock, maxBodyBytes_ + 1 - held);
        if (out.Capacity() - held < request) {
            const int64_t doubled = 2 * (static_cast<int64_t>(request) + held);
            out.Reserve(static_cast<int32_t>(std::min<int64_t>(doubled, int64_t{maxBodyBytes_} + 1)));
            out.Reserve(held + request);
        }
        int received = 0;
        try {
            received = Receive(connection_.handle, out.Data() + held, request, TimeLeft());
        } catch (const Exception&) {
            // Without a length, the server closing the connection is how the body ends.
            if (!sized)
                return;
            throw Exception();
        }
        if (received == 0)
            throw TimeoutException();
        out.SetLength(held + received);
        if (!sized && out.Length() > maxBodyBytes_)
            throw BodyTooLargeException();
    }
}

std::string HttpClient::RedirectTarget() const {
    const int status = response_.StatusCode();
    if (!followRedirects_ || status < 301 || status > 303)
        return std::string();
    const std::string location = response_.Headers().Get("Location");
    // No TLS here: a redirect to a secure address ends the call with the redirect's own body.
    if (StartsWithIgnoringCase(location, "https://"))
        return std::string();
    if (StartsWithIgnoringCase(location, "http://") || location.empty())
        return location;
    std::string target = location;
    if (target[0] != '/') {
        const std::string& path = request_.Path();
        const size_t slash = path.rfind('/');
        target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
    const uint16_t port = request_.Port();
    return "http://" + request_.Host() + (port != 80 ? ":" + std::to_string(port) : std::string()) + target;
}

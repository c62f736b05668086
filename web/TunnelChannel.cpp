#include "web/TunnelChannel.h"

#include <algorithm>
#include <chrono>

#include "base/ByteString.h"
#include "web/HttpRequest.h"
#include "web/InputStream.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Command { kOpen = 0, kData = 1, kClose = 2 };

// How long each read of the client's request waits before the stop flag is looked at again.
constexpr int kReadSliceMs = 200;
// The longest line of the client's request.
constexpr int kRequestLineLimit = 8192;

}  // namespace

TunnelChannel::TunnelChannel(const TunnelRelay& relay, TunnelRelay::Settings settings, Socket& client,
                             WorkerThread& worker)
    : relay_(relay), settings_(std::move(settings)), client_(client), worker_(worker), block_(kBlockSize) {
    ProxyClient& proxy = http_.Proxy();
    proxy.SetProxyType(ProxyClient::HttpTunnel);
    if (!settings_.proxy.IsAny()) {
        proxy.SetProxyHost(settings_.proxy.HostText());
        proxy.SetProxyPort(static_cast<uint16_t>(settings_.proxy.Port()));
    }
    proxy.SetUserName(settings_.userName);
    proxy.SetPassword(settings_.password);
    proxy.SetDomain(settings_.domain);
    http_.SetTimeout(kSetupTimeMs / 1000);
    http_.DefaultHeaders().Add("Pragma", "no-cache");
    http_.DefaultHeaders().Add("Content-Type", "application/octet-stream");
}

void TunnelChannel::Run() {
    Log("Accepted connection");
    try {
        if (!ReadConnect()) {
            client_.Close();
            return;
        }
        while (clientOpen_) {
            worker_.CheckStop();
            block_.Clear();
            // Until the tunnel is open the client waits for our answer, so there is nothing to wait for.
            const int wait = open_ ? std::max(settings_.intervalMs, 0) : 0;
            try {
                const int received = Receive(client_.handle, block_.Data(), kBlockSize, wait);
                block_.SetLength(received);
            } catch (const Exception&) {
                Log("Client socket closed");
                clientOpen_ = false;  // the empty block tells the tunnel server, then the channel closes
            }
            if (!Transmit())
                break;
        }
        Log("Closing channel");
    } catch (const ThreadStopException&) {
        Log("Closing channel");
    } catch (...) {
        Log("Uncaught exception");
    }
    CloseTunnel();
    client_.Close();
    Log("Channel closed");
}

bool TunnelChannel::ReadConnect() {
    HttpRequest request;
    InputStream stream(client_.handle, kReadSliceMs, kRequestLineLimit);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kSetupTimeMs);
    for (;;) {
        worker_.CheckStop();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            Log("Session establishment timeout expired");
            return false;
        }
        // A short budget per pass keeps the stop flag in view; the request and stream keep their place.
        request.SetTimeBudget(static_cast<int>(std::min<int64_t>(left, kReadSliceMs)));
        try {
            request.ReadHead(stream);
            break;
        } catch (const TimeoutException&) {
            continue;
        } catch (const Exception&) {
            Log("Session establishment failed");
            return false;
        }
    }
    if (request.Method() != "CONNECT") {
        Log(FormatText("Bad method: %s", request.Method().c_str()));
        return false;
    }
    destHost_ = request.Host();
    destPort_ = request.Port();
    return true;
}

std::string TunnelChannel::Query(int command) const {
    if (command == kOpen) {
        return FormatText("cmd=%d&host=%s&port=%d&rid=%d", command, destHost_.c_str(), destPort_, rid_);
    }
    return FormatText("cmd=%d&id=%s&rid=%d", command, id_.c_str(), rid_);
}

bool TunnelChannel::Transmit() {
    for (int attempt = 1; attempt <= kMaxTries; ++attempt) {
        worker_.CheckStop();
        switch (PostOnce(attempt)) {
            case Outcome::Sent:
                return true;
            case Outcome::Close:
                return false;
            case Outcome::Retry:
                break;
        }
        WorkerThread::Sleep(std::max(settings_.intervalMs, 0));
    }
    Log(FormatText("Max number of tries %d reached. Close the channel.", kMaxTries));
    return false;
}

TunnelChannel::Outcome TunnelChannel::PostOnce(int attempt) {
    const std::string url = settings_.tunnelUrl + "?" + Query(open_ ? kData : kOpen);
    bool failed = false;
    try {
        http_.Post(url, block_, reply_);
    } catch (const ThreadStopException&) {
        throw;
    } catch (const Exception&) {
        failed = true;
    }
    const HttpResponse& response = http_.Response();
    const bool answered = response.State() >= HttpMessage::kBody;
    const int status = answered ? response.StatusCode() : 0;
    if (!failed && status == 200) {
        ++rid_;
        Deliver();
        return Outcome::Sent;
    }
    switch (status) {
        case 500:
            Log(FormatText("VodUrazIzerUza FAILED to connect to the destination server. rid %d, response %d",
                           rid_, status));
            return Outcome::Close;
        case 502:
            Log(FormatText("VodUrazIzerUza FAILED to find the tunnel - rid %d, response %d", rid_, status));
            return Outcome::Close;
        case 503:
            Log(FormatText("VodUrazIzerUza FAILED to create a tunnel. rid %d, response %d", rid_, status));
            return Outcome::Close;
        case 501:
            Log(FormatText("VodUrazIzerUza FAILED to transmit data. Try %d/%d, rid %d, response %d", attempt,
                           kMaxTries, rid_, status));
            return Outcome::Retry;
        default:
            break;
    }
    if (status == 0 || status == 200) {
        // No answer at all, or an answer cut short: the request may be repeated.
        Log(FormatText("FAILED to send data to the server. Try %d/%d, rid %d, response %d", attempt,
                       kMaxTries, rid_, status));
        return Outcome::Retry;
    }
    Log(FormatText("Response code: %d", status));
    if (!open_)
        Answer(status, "Cannot connect");
    return Outcome::Close;
}

void TunnelChannel::Deliver() {
    const auto* data = reinterpret_cast<const char*>(reply_.Data());
    const std::string_view body(data != nullptr ? data : "", static_cast<size_t>(reply_.Length()));
    const size_t newline = body.find('\n');
    const std::string id = std::string(TrimBytes(body.substr(0, newline)));
    // The id goes back into our request lines: refuse what would break them.
    if (id.size() > kMaxIdLength || std::any_of(id.begin(), id.end(), IsByteWhitespace))
        throw HttpException();
    id_ = id;
    if (!open_) {
        Answer(200, "OK");
        open_ = true;
    }
    if (newline == std::string_view::npos || !clientOpen_)
        return;
    const std::string_view rest = body.substr(newline + 1);
    try {
        if (!rest.empty())
            SendAll(client_.handle, rest.data(), static_cast<int>(rest.size()));
    } catch (const Exception&) {
        Log("Client socket closed");
        clientOpen_ = false;
    }
}

void TunnelChannel::Answer(int code, const char* reason) {
    const std::string answer = FormatText("HTTP/1.0 %d %s\r\n", code, reason) + "\r\n";
    try {
        SendAll(client_.handle, answer.data(), static_cast<int>(answer.size()));
    } catch (const Exception&) {
        // The client has gone; the channel closes anyway or finds out on its next read.
    }
}

void TunnelChannel::CloseTunnel() {
    if (!open_)
        return;
    open_ = false;
    block_.Clear();
    http_.SetTimeout(kCloseTimeoutSeconds);
    try {
        http_.Post(settings_.tunnelUrl + "?" + Query(kClose), block_, reply_);
    } catch (const Exception&) {
        // The tunnel server forgets idle tunnels on its own.
    }
}

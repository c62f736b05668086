#include "web/TunnelRelay.h"

#include "web/TunnelChannel.h"

TunnelRelay::~TunnelRelay() {
    Stop();
}

void TunnelRelay::Configure(const SocketAddress& proxy, const std::string& tunnelUrl,
                            const std::string& userName, const std::string& password,
                            const std::string& domain, int intervalMs) {
    std::lock_guard<std::mutex> guard(lock_);
    settings_.proxy = proxy;
    settings_.tunnelUrl = tunnelUrl;
    settings_.userName = userName;
    settings_.password = password;
    settings_.domain = domain;
    settings_.intervalMs = intervalMs;
}

TunnelRelay::Settings TunnelRelay::CurrentSettings() const {
    std::lock_guard<std::mutex> guard(lock_);
    return settings_;
}

void TunnelRelay::SetLog(Log log) {
    std::lock_guard<std::mutex> guard(logLock_);
    log_ = std::move(log);
}

void TunnelRelay::Write(const std::string& line) const {
    // Called under the lock, so that once SetLog has returned the old log is never called again.
    std::lock_guard<std::mutex> guard(logLock_);
    if (log_)
        log_(line);
}

void TunnelRelay::Serve(Socket& connection, WorkerThread& worker) {
    TunnelChannel channel(*this, CurrentSettings(), connection, worker);
    channel.Run();
}

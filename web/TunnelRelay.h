// The local relay of the HTTP-tunnel proxy type: a TCPServer on 127.0.0.1 that answers each "CONNECT"
// and then carries the connection's bytes to a tunnel server inside HTTP POST requests (see
// TunnelChannel), through an HTTP proxy when one is configured. Its settings may change at any time;
// each channel uses those in force when it was accepted.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "base/Socket.h"
#include "web/TCPServer.h"

class TunnelRelay : public TCPServer {
public:
    struct Settings {
        SocketAddress proxy{0, 0};  // address 0: no HTTP proxy, straight to the tunnel server
        std::string tunnelUrl;
        std::string userName;
        std::string password;
        std::string domain;
        int intervalMs = 500;
    };
    using Log = std::function<void(const std::string&)>;

    TunnelRelay() = default;
    ~TunnelRelay() override;

    void Configure(const SocketAddress& proxy, const std::string& tunnelUrl, const std::string& userName,
                   const std::string& password, const std::string& domain, int intervalMs);
    Settings CurrentSettings() const;
    // Receives one line per event of every channel, one call at a time; by default the lines go nowhere.
    // The log must not call back into the relay. After SetLog returns, the previous log is not called.
    void SetLog(Log log);
    void Write(const std::string& line) const;

protected:
    void Serve(Socket& connection, WorkerThread& worker) override;

private:
    mutable std::mutex lock_;
    Settings settings_;  // under lock_
    mutable std::mutex logLock_;
    Log log_;  // under logLock_
};

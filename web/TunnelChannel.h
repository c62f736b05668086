// One connection of the tunnel relay. It reads the client's "CONNECT", then loops: whatever the client
// has sent (possibly nothing, which makes the request a poll) goes as the body of a POST to the tunnel
// server, and the answer's body, after its first line (the tunnel id), goes back to the client.
//
// The queries are "cmd=0&host=H&port=P&rid=N" to open the tunnel, "cmd=1&id=I&rid=N" to carry data and
// "cmd=2&id=I&rid=N" to close it; rid counts the requests that succeeded.
#pragma once

#include <string>

#include "base/ByteBuffer.h"
#include "base/Socket.h"
#include "base/WorkerThread.h"
#include "web/HttpClient.h"
#include "web/TunnelRelay.h"

class TunnelChannel {
public:
    // The most the client's bytes one request carries.
    static constexpr int kBlockSize = 16 * 1024;
    // Time for the client's "CONNECT", and for each request to the tunnel server.
    static constexpr int kSetupTimeMs = 30000;
    // Tries of one request before the channel gives up.
    static constexpr int kMaxTries = 5;
    // The time the closing request may take: the relay may be stopping.
    static constexpr int kCloseTimeoutSeconds = 2;
    // The longest tunnel id taken from the server.
    static constexpr size_t kMaxIdLength = 256;

    TunnelChannel(const TunnelRelay& relay, TunnelRelay::Settings settings, Socket& client,
                  WorkerThread& worker);

    void Run();

private:
    enum class Outcome { Sent, Retry, Close };

    // Reads the client's request; false when the channel is to close.
    bool ReadConnect();
    // Posts `block_` until it succeeds, the tries run out or the answer closes the channel.
    bool Transmit();
    Outcome PostOnce(int attempt);
    void Deliver();
    void Answer(int code, const char* reason);
    void CloseTunnel();
    std::string Query(int command) const;
    void Log(const std::string& line) const { relay_.Write(line); }

    const TunnelRelay& relay_;
    TunnelRelay::Settings settings_;
    Socket& client_;
    WorkerThread& worker_;
    HttpClient http_;
    std::string destHost_;
    int destPort_ = 0;
    std::string id_;
    bool open_ = false;
    bool clientOpen_ = true;
    int rid_ = 0;
    ByteBuffer block_;
    ByteBuffer reply_;
};

// Helpers of the web tests: a scripted TCP server on 127.0.0.1 (ephemeral port) that hands each accepted
// connection in turn to the test's script on its own thread, and a few byte helpers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ByteBuffer.h"
#include "base/Exception.h"
#include "base/Socket.h"

namespace webtest {

inline std::string Text(const ByteBuffer& b) {
    return b.Length() == 0 ? std::string() : std::string(reinterpret_cast<const char*>(b.Data()), b.Length());
}

inline void Fill(ByteBuffer& b, const std::string& text) {
    b.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()), false);
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// Up to `count` bytes from a socket, fewer when it closes or stays quiet for `timeoutMs`.
inline std::string ReadFrom(SocketHandle s, size_t count, int timeoutMs = 5000) {
    std::string out;
    char buffer[4096];
    while (out.size() < count) {
        int n = 0;
        try {
            n = Receive(s, buffer, static_cast<int>(std::min(sizeof(buffer), count - out.size())), timeoutMs);
        } catch (const Exception&) {
            break;
        }
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

inline void WriteTo(SocketHandle s, const std::string& bytes) {
    try {
        SendAll(s, bytes.data(), static_cast<int>(bytes.size()));
    } catch (const Exception&) {
        // The other side has gone; the test's own checks tell whether that was expected.
    }
}

// One accepted connection, as the script sees it.
class Peer {
public:
    Peer(SocketHandle handle, int index) : handle_(handle), index_(index) {}
    int Index() const { return index_; }
    std::string Read(size_t count) { return ReadFrom(handle_, count); }
    void Send(const std::string& bytes) { WriteTo(handle_, bytes); }
    // Sends `block` again and again, up to `total` bytes, until the client stops taking them; the bytes
    // the socket accepted. The send buffer is kept small (the kernel would otherwise grow it to megabytes
    // on loopback), so that what the socket accepts is close to what reached the client's side.
    size_t Stream(const std::string& block, size_t total) {
        const int buffer = 64 * 1024;
        ::setsockopt(handle_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
        size_t sent = 0;
        while (sent < total) {
            const size_t size = std::min(block.size(), total - sent);
            const ssize_t n = ::send(handle_, block.data(), size, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        return sent;
    }
    // Sends `bytes` with the end of the stream in the same segment: the client cannot read the last byte
    // without finding the connection closed behind it.
    void SendLast(const std::string& bytes) {
        const int on = 1;
        ::setsockopt(handle_, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
        WriteTo(handle_, bytes);
        ::shutdown(handle_, SHUT_WR);
    }

    // Bytes up to and including the next 0 byte.
    std::string ReadUntilNul() {
        std::string out;
        for (std::string c = Read(1); !c.empty(); c = Read(1)) {
            out += c;
            if (c[0] == 0)
                break;
        }
        return out;
    }

    // A request head with its empty line, plus a body of its "Content-Length"; empty when the client
    // closed first.
    std::string ReadRequest() {
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            const std::string c = Read(1);
            if (c.empty())
                return std::string();
            head += c;
        }
        std::string lower;
        for (char c : head)
            lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        const size_t field = lower.find("\r\ncontent-length:");
        return head + (field == std::string::npos ? "" : Read(std::stoul(head.substr(field + 17))));
    }

    // True when the client closes within `timeoutMs`; what it sends meanwhile is dropped.
    bool WaitForClose(int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[256];
        while (std::chrono::steady_clock::now() < end) {
            try {
                Receive(handle_, buffer, sizeof(buffer), 20);
            } catch (const Exception&) {
                return true;
            }
        }
        return false;
    }

private:
    SocketHandle handle_;
    int index_;
};

// Serves connections one after another with the script; each is closed when the script returns.
class ScriptServer {
public:
    using Script = std::function<void(Peer&)>;

    // On 127.0.0.1, or on the numeric address given ("::1").
    explicit ScriptServer(Script script, const char* address = "127.0.0.1") : script_(std::move(script)) {
        SocketAddress at;
        if (!SocketAddress::ParseNumeric(address, 0, &at))
            throw SocketException();
        listener_.handle = CreateSocket(true, at.Family());
        Bind(listener_.handle, at);
        Listen(listener_.handle, 16);
        port_ = static_cast<uint16_t>(LocalAddress(listener_.handle).Port());
        thread_ = std::thread([this] {
            while (!stop_) {
                SocketHandle s = kNoSocket;
                try {
                    s = Accept(listener_.handle, nullptr, 20);
                } catch (const Exception&) {
                }
                if (s == kNoSocket)
                    continue;
                current_ = s;
                Peer peer(s, accepted_++);
                script_(peer);
                current_ = kNoSocket;
                Close(s);
                ++served_;
            }
        });
    }
    ~ScriptServer() {
        stop_ = true;
        // Cuts a waiting script short; only the server thread closes the handle.
        if (const SocketHandle s = current_.load(); s != kNoSocket)
            ::shutdown(s, SHUT_RDWR);
        thread_.join();
    }

    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int Accepted() const { return accepted_.load(); }
    bool WaitServed(int count) const {
        for (int i = 0; i < 2500 && served_.load() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return served_.load() >= count;
    }

private:
    Script script_;
    Socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<SocketHandle> current_{kNoSocket};
    std::atomic<int> accepted_{0};
    std::atomic<int> served_{0};
    std::thread thread_;
};

// What scripts and logs saw, handed to the test thread under a lock.
class Recorder {
public:
    void Add(std::string item) {
        std::lock_guard<std::mutex> guard(lock_);
        items_.push_back(std::move(item));
    }
    std::vector<std::string> Items() const {
        std::lock_guard<std::mutex> guard(lock_);
        return items_;
    }
    size_t Count() const { return Items().size(); }
    std::string At(size_t i) const {
        const auto items = Items();
        return i < items.size() ? items[i] : std::string();
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        items_.clear();
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> items_;
};

// A port on 127.0.0.1 where nothing listens (bound once and released).
inline uint16_t UnusedPort() {
    Socket probe;
    probe.CreateStream();
    Bind(probe.handle, SocketAddress(htonl(INADDR_LOOPBACK), 0));
    return static_cast<uint16_t>(LocalAddress(probe.handle).Port());
}

// A destination that answers "ping" with "pong", for checking that a tunnel carries bytes both ways.
inline void PingPong(Peer& peer) {
    if (peer.Read(4) == "ping")
        peer.Send("pong");
    peer.WaitForClose();
}

// Sends "ping" on a socket tunnelled to a PingPong destination and tells whether "pong" came back.
inline bool PingPongs(SocketHandle s) {
    WriteTo(s, "ping");
    return ReadFrom(s, 4) == "pong";
}

}  // namespace webtest

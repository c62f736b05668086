// Test helpers of the web tests: a scripted TCP server on 127.0.0.1 with an ephemeral port, which hands
// each accepted connection in turn to the test's script on its own thread, and a few byte helpers.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

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

inline std::string Text(const ByteBuffer& buffer) {
    return buffer.Length() == 0 ? std::string()
                                : std::string(reinterpret_cast<const char*>(buffer.Data()),
                                              static_cast<size_t>(buffer.Length()));
}

inline void Fill(ByteBuffer& buffer, const std::string& text) {
    buffer.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()), false);
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// One accepted connection, as the script sees it. Every read gives up after `timeoutMs`.
class Peer {
public:
    Peer(SocketHandle handle, int index) : handle_(handle), index_(index) {}

    int Index() const { return index_; }
    SocketHandle Handle() const { return handle_; }

    // Exactly `count` bytes, or fewer when the client closes or goes quiet first.
    std::string Read(size_t count, int timeoutMs = 5000) {
        std::string out;
        char buffer[4096];
        while (out.size() < count) {
            const int want = static_cast<int>(std::min(sizeof(buffer), count - out.size()));
            const int n = ReceiveSome(buffer, want, timeoutMs);
            if (n <= 0)
                break;
            out.append(buffer, static_cast<size_t>(n));
        }
        return out;
    }

    // A request head up to and including its empty line, plus a body of its "Content-Length". Empty
    // when the client closed (or said nothing) first.
    std::string ReadRequest(int timeoutMs = 5000) {
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            char c;
            if (ReceiveSome(&c, 1, timeoutMs) <= 0)
                return std::string();
            head.push_back(c);
        }
        size_t length = 0;
        std::string lower;
        for (char c : head)
            lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        const size_t field = lower.find("\r\ncontent-length:");
        if (field != std::string::npos)
            length = std::stoul(head.substr(field + 17));
        return head + Read(length, timeoutMs);
    }

    // Bytes up to and including the next 0 byte.
    std::string ReadUntilNul(int timeoutMs = 5000) {
        std::string out;
        char c = 1;
        while (c != 0) {
            if (ReceiveSome(&c, 1, timeoutMs) <= 0)
                break;
            out.push_back(c);
        }
        return out;
    }

    void Send(const std::string& bytes) {
        try {
            SendAll(handle_, bytes.data(), static_cast<int>(bytes.size()));
        } catch (const Exception&) {
            // The client has gone; the test's own checks tell whether that was expected.
        }
    }

    // True when the client closes its end within `timeoutMs` (bytes it sends meanwhile are dropped).
    bool WaitForClose(int timeoutMs = 5000) {
        char buffer[256];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            try {
                Receive(handle_, buffer, sizeof(buffer), 50);
            } catch (const Exception&) {
                return true;
            }
        }
        return false;
    }

private:
    int ReceiveSome(char* buffer, int size, int timeoutMs) {
        try {
            return Receive(handle_, buffer, size, timeoutMs);
        } catch (const Exception&) {
            return -1;
        }
    }

    SocketHandle handle_;
    int index_;
};

// Accepts connections one after another and runs the script on each; the connection is closed when the
// script returns (unless the script closed it already).
class ScriptServer {
public:
    using Script = std::function<void(Peer&)>;

    explicit ScriptServer(Script script) : script_(std::move(script)) {
        listener_.CreateStream();
        Bind(listener_.handle, SocketAddress(htonl(INADDR_LOOPBACK), 0));
        Listen(listener_.handle, 16);
        port_ = static_cast<uint16_t>(LocalAddress(listener_.handle).Port());
        thread_ = std::thread([this] { Loop(); });
    }

    ~ScriptServer() {
        stop_ = true;
        // Cuts a script's wait short; the handle is closed by the server thread only.
        const SocketHandle current = current_.load();
        if (current != kNoSocket)
            ::shutdown(current, SHUT_RDWR);
        thread_.join();
    }

    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int Accepted() const { return accepted_.load(); }
    // True once `count` connections have been served to their end.
    bool WaitServed(int count, int timeoutMs = 5000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (served_.load() < count) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    void Loop() {
        while (!stop_) {
            SocketHandle accepted = kNoSocket;
            try {
                accepted = Accept(listener_.handle, nullptr, 20);
            } catch (const Exception&) {
                continue;
            }
            if (accepted == kNoSocket)
                continue;
            current_ = accepted;
            Peer peer(accepted, accepted_++);
            script_(peer);
            current_ = kNoSocket;
            Close(accepted);
            ++served_;
        }
    }

    Script script_;
    Socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<SocketHandle> current_{kNoSocket};
    std::atomic<int> accepted_{0};
    std::atomic<int> served_{0};
    std::thread thread_;
};

// What a script saw, handed to the test thread under a lock.
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
    size_t Count() const {
        std::lock_guard<std::mutex> guard(lock_);
        return items_.size();
    }
    std::string At(size_t i) const {
        std::lock_guard<std::mutex> guard(lock_);
        return i < items_.size() ? items_[i] : std::string();
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> items_;
};

// Reads what has arrived on a client socket within `timeoutMs`, up to `count` bytes.
inline std::string ReadFrom(SocketHandle socket, size_t count, int timeoutMs = 5000) {
    std::string out;
    char buffer[4096];
    while (out.size() < count) {
        int n = 0;
        try {
            n = Receive(socket, buffer, static_cast<int>(std::min(sizeof(buffer), count - out.size())),
                        timeoutMs);
        } catch (const Exception&) {
            break;
        }
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

inline void WriteTo(SocketHandle socket, const std::string& bytes) {
    SendAll(socket, bytes.data(), static_cast<int>(bytes.size()));
}

// A port on 127.0.0.1 where nothing listens (bound once and released).
inline uint16_t UnusedPort() {
    Socket probe;
    probe.CreateStream();
    Bind(probe.handle, SocketAddress(htonl(INADDR_LOOPBACK), 0));
    return static_cast<uint16_t>(LocalAddress(probe.handle).Port());
}

}  // namespace webtest

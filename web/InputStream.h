// Reads a TCP socket byte by byte, in blocks or line by line under a per-call time limit. Message heads
// are read through it one byte per receive so that no byte after the head is ever taken off the socket.
#pragma once

#include <string>

#include "base/Socket.h"
#include "web/WebExceptions.h"

class InputStream {
public:
    // A line grew past the line limit before its end arrived.
    class LineSizeLimitExceeded : public IOException {
    public:
        ~LineSizeLimitExceeded() override = default;
    };

    static constexpr int kEndOfStream = -1;

    // timeLimitMs: the limit of each call, -1 for none. lineLimit: the most bytes a line may hold, 0 for
    // no limit.
    InputStream(SocketHandle socket, int timeLimitMs, int lineLimit)
        : socket_(socket), timeLimitMs_(timeLimitMs), lineLimit_(lineLimit) {}

    // One byte (0..255), or kEndOfStream when the peer has closed. TimeoutException when nothing came in
    // time, IOException on any other socket failure.
    int ReadByte();
    int ReadByte(int timeLimitMs);

    // Up to `size` bytes; at least one. TimeoutException when nothing came in time; IOException on any
    // socket failure, the peer closing included.
    int ReadBlock(void* buffer, int size);
    int ReadBlock(void* buffer, int size, int timeLimitMs);

    // One line without its "\n" and without one trailing "\r". The line also ends when the peer closes
    // (then AtEnd() turns true). When the time limit passes, TimeoutException is thrown and the bytes read
    // so far are kept: the next call continues the same line.
    std::string ReadLine();
    std::string ReadLine(int timeLimitMs);

    bool AtEnd() const { return atEnd_; }
    int TimeLimit() const { return timeLimitMs_; }
    void SetTimeLimit(int ms) { timeLimitMs_ = ms; }

private:
    SocketHandle socket_;
    int timeLimitMs_;
    int lineLimit_;
    std::string pending_;
    bool atEnd_ = false;
};

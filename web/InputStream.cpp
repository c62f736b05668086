#include "web/InputStream.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left before `end`, never below 0.
int MsLeft(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left, 0, INT32_MAX));
}

}  // namespace

int InputStream::ReadByte() {
    return ReadByte(timeLimitMs_);
}

int InputStream::ReadByte(int timeLimitMs) {
    uint8_t byte = 0;
    try {
        if (Receive(socket_, &byte, 1, timeLimitMs < 0 ? -1 : timeLimitMs) == 0)
            throw TimeoutException();
    } catch (const TimeoutException&) {
        throw;
    } catch (const NoConnectionException&) {
        atEnd_ = true;
        return kEndOfStream;
    } catch (const Exception&) {
        throw IOException();
    }
    return byte;
}

int InputStream::ReadBlock(void* buffer, int size) {
    return ReadBlock(buffer, size, timeLimitMs_);
}

int InputStream::ReadBlock(void* buffer, int size, int timeLimitMs) {
    int received = 0;
    try {
        received = Receive(socket_, buffer, size, timeLimitMs < 0 ? -1 : timeLimitMs);
    } catch (const NoConnectionException&) {
        atEnd_ = true;
        throw IOException();
    } catch (const Exception&) {
        throw IOException();
    }
    if (received == 0)
        throw TimeoutException();
    return received;
}

std::string InputStream::ReadLine() {
    return ReadLine(timeLimitMs_);
}

std::string InputStream::ReadLine(int timeLimitMs) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(timeLimitMs, 0));
    for (;;) {
        const int byte = ReadByte(timeLimitMs < 0 ? -1 : MsLeft(end));
        if (byte == kEndOfStream || byte == '\n')
            break;
        if (lineLimit_ > 0 && pending_.size() >= static_cast<size_t>(lineLimit_)) {
            // The rest of this line is of no use; start the next call afresh.
            pending_.clear();
            throw LineSizeLimitExceeded();
        }
        pending_.push_back(static_cast<char>(byte));
    }
    std::string line;
    line.swap(pending_);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// A POSIX file descriptor owned for its scope, and the two loops every whole-file reader and writer needs:
// read until the buffer is full or the file ends, write until everything is out, both retried on EINTR.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <utility>

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    // A close that fails during clean-up is swallowed; Close() reports it.
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    // Closes now, for a writer that must know the close worked. Not retried on EINTR: Linux has released
    // the descriptor either way.
    bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

// Reads until `size` bytes are in or the file ends: the count read, or nothing on a read error.
inline std::optional<size_t> ReadFully(int fd, void* buffer, size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(fd, bytes + total, size - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        total += static_cast<size_t>(got);
    }
    return total;
}

// Writes all `length` bytes; false when the file takes no more (errno says why after a failed call).
inline bool WriteFully(int fd, const void* buffer, size_t length) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
        // A short write is followed by another call, which then names the error (a full disk, a size limit).
        if (written <= 0)
            return false;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

#include "base/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>

#include "base/Exception.h"

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0)
        throw SocketException();
}

WakeEvent::~WakeEvent() {
    ::close(fd_);
}

void WakeEvent::Signal() {
    const uint64_t one = 1;
    // A full counter (never reached) or an interrupted write still leaves the descriptor readable.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeEvent::Clear() {
    uint64_t count = 0;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

// A descriptor that one thread makes readable to end another thread's poll at once: the link's worker
// waits on its socket and on this together, so that a frame queued by the recorder leaves now rather
// than at the end of the receive time-out.
#pragma once

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // Makes the descriptor readable (any thread; never blocks).
    void Signal();
    // Makes it unreadable again (the waiting thread, before it looks at what it was woken for).
    void Clear();
    int Fd() const { return fd_; }

private:
    int fd_;
};

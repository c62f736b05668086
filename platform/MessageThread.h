// A thread with its own message queue and a virtual handler: the stand-in for a message-loop worker
// thread and its thread-message map. Any thread may post to it; a WM_QUIT message ends its loop.
//
// The most-derived class calls StartThread() at the end of its constructor (so the thread never sees a
// half-built object), and its owner ends the thread (post a quit message, then Join) before destroying it.
#pragma once

#include <atomic>
#include <thread>

#include "platform/MessageQueue.h"

class MessageThread : public MessageTarget {
public:
    MessageThread() = default;
    ~MessageThread() override;
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // `name` (at most 15 characters) is what `top -H` and the debugger show for the thread.
    void StartThread(const char* name = nullptr);

    // Queues a message for the thread; never waits.
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;
    // Queues WM_QUIT: the loop ends when it reaches it, after the messages posted before it.
    void PostQuit(int exitCode = 0);
    // Waits without limit for the thread to end. Safe to call more than once, not from the thread itself.
    void Join();

    bool IsCurrentThread() const;
    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    int ExitCode() const { return exitCode_.load(std::memory_order_acquire); }

protected:
    // Start-up hook: false ends the thread before its loop.
    virtual bool InitInstance() { return true; }
    // Exit hook: given the quit message's code, returns the thread's exit code.
    virtual int ExitInstance(int quitCode) { return quitCode; }
    // Handles one message on the thread.
    virtual void OnMessage(const Message& message) = 0;

private:
    void Loop();

    MessageQueue queue_;
    const char* name_ = nullptr;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<int> exitCode_{0};
};

// A thread-safe first-in first-out queue of messages. Any thread posts; one thread takes.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/MessageTarget.h"

class MessageQueue final : public MessageTarget {
public:
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;

    // Blocks until a message is there.
    Message Get();
    // Waits up to timeoutMs (-1: no limit); nothing when the time passes.
    std::optional<Message> Get(int timeoutMs);
    // Takes a message only if one is waiting.
    std::optional<Message> TryGet();

    size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable posted_;
    std::deque<Message> messages_;
};

#include "platform/MessageQueue.h"

#include <chrono>

void MessageQueue::Post(uint32_t message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(Message{message, wParam, lParam});
    }
    posted_.notify_one();
}

Message MessageQueue::Get() {
    std::unique_lock<std::mutex> guard(lock_);
    posted_.wait(guard, [this] { return !messages_.empty(); });
    Message m = messages_.front();
    messages_.pop_front();
    return m;
}

std::optional<Message> MessageQueue::Get(int timeoutMs) {
    if (timeoutMs < 0)
        return Get();
    std::unique_lock<std::mutex> guard(lock_);
    if (!posted_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                          [this] { return !messages_.empty(); })) {
        return std::nullopt;
    }
    Message m = messages_.front();
    messages_.pop_front();
    return m;
}

std::optional<Message> MessageQueue::TryGet() {
    std::lock_guard<std::mutex> guard(lock_);
    if (messages_.empty())
        return std::nullopt;
    Message m = messages_.front();
    messages_.pop_front();
    return m;
}

size_t MessageQueue::Size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
}

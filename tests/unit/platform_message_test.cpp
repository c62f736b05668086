// MessageQueue and MessageThread: order, cross-thread posting, quit and its exit code.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Exception.h"
#include "platform/MessageQueue.h"
#include "platform/MessageThread.h"

namespace {

class RecordingThread final : public MessageThread {
public:
    RecordingThread() { StartThread(); }
    ~RecordingThread() override {
        PostQuit(0);
        Join();
    }

    std::vector<Message> Seen() {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }
    std::atomic<bool> handledOnOwnThread{true};

protected:
    void OnMessage(const Message& message) override {
        if (!IsCurrentThread())
            handledOnOwnThread = false;
        if (message.message == 99)
            throw MemoryException();
        std::lock_guard<std::mutex> guard(lock_);
        seen_.push_back(message);
    }
    int ExitInstance(int quitCode) override { return quitCode + 1000; }

private:
    std::mutex lock_;
    std::vector<Message> seen_;
};

}  // namespace

TEST(MessageQueueTest, DeliversInOrderAndTimesOut) {
    MessageQueue queue;
    EXPECT_FALSE(queue.TryGet().has_value());
    EXPECT_FALSE(queue.Get(10).has_value());
    queue.Post(1, 10, -10);
    queue.Post(2, 20, -20);
    EXPECT_EQ(queue.Size(), 2u);
    const Message first = queue.Get();
    EXPECT_EQ(first.message, 1u);
    EXPECT_EQ(first.wParam, 10u);
    EXPECT_EQ(first.lParam, -10);
    const auto second = queue.Get(0);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->message, 2u);
}

TEST(MessageQueueTest, AWaitingReaderWakesForAPostFromAnotherThread) {
    MessageQueue queue;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.Post(7, 0, 0);
    });
    const auto got = queue.Get(10000);
    poster.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->message, 7u);
}

TEST(MessageThreadTest, HandlesPostsFromManyThreadsOnItsOwnThreadInPerSenderOrder) {
    RecordingThread thread;
    constexpr int kSenders = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i)
                thread.Post(1, static_cast<WPARAM>(s), i);
        });
    }
    for (auto& t : senders)
        t.join();
    thread.PostQuit(5);
    thread.Join();
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.ExitCode(), 1005);
    EXPECT_TRUE(thread.handledOnOwnThread);
    const auto seen = thread.Seen();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kSenders * kEach));
    std::vector<LPARAM> next(kSenders, 0);
    for (const Message& m : seen)
        EXPECT_EQ(m.lParam, next[m.wParam]++);
}

TEST(MessageThreadTest, QuitEndsTheLoopAfterTheMessagesBeforeItAndDropsTheRest) {
    RecordingThread thread;
    thread.Post(1, 0, 0);
    thread.PostQuit(0);
    thread.Post(2, 0, 0);
    thread.Join();
    const auto seen = thread.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, 1u);
}

TEST(MessageThreadTest, AHandlerThatThrowsLosesOnlyItsMessage) {
    RecordingThread thread;
    thread.Post(99, 0, 0);
    thread.Post(3, 0, 0);
    thread.PostQuit(0);
    thread.Join();
    const auto seen = thread.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, 3u);
}

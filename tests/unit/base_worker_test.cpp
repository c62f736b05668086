// WorkerThread: its life cycle, the stop protocol, the interruptible sleep and the two events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/Exception.h"
#include "base/WorkerThread.h"

namespace {

using Clock = std::chrono::steady_clock;

// A worker whose body is a lambda given by the test.
class LambdaWorker : public WorkerThread {
public:
    explicit LambdaWorker(std::function<void(LambdaWorker&)> body, bool deleteOnExit = false,
                          std::atomic<bool>* deleted = nullptr)
        : body_(std::move(body)), deleteOnExit_(deleteOnExit), deleted_(deleted) {}
    ~LambdaWorker() override {
        if (deleted_ != nullptr)
            deleted_->store(true);
    }

    std::atomic<bool> ran{false};

protected:
    void Run() override {
        ran = true;
        body_(*this);
    }
    bool DeleteOnExit() override { return deleteOnExit_; }

private:
    std::function<void(LambdaWorker&)> body_;
    bool deleteOnExit_;
    std::atomic<bool>* deleted_;
};

bool WaitUntil(const std::function<bool()>& condition, int ms = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

}  // namespace

TEST(WorkerThreadTest, MovesThroughItsStatesAndEndsWhenRunReturns) {
    std::atomic<bool> release{false};
    LambdaWorker worker([&](LambdaWorker&) {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(worker.State(), WorkerThread::kNotCreated);
    worker.Create();
    EXPECT_EQ(worker.State(), WorkerThread::kCreated);
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return worker.ran.load(); }));
    EXPECT_EQ(worker.State(), WorkerThread::kRunning);
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return worker.State() == WorkerThread::kFinished; }));
    worker.Stop(true);
}

TEST(WorkerThreadTest, StartWithoutCreateThrows) {
    LambdaWorker worker([](LambdaWorker&) {});
    EXPECT_THROW(worker.Start(), ThreadCreateException);
}

TEST(WorkerThreadTest, StopUnwindsALoopThatChecksTheFlag) {
    std::atomic<int> passes{0};
    std::atomic<bool> unwound{false};
    LambdaWorker worker([&](LambdaWorker& self) {
        struct Guard {
            std::atomic<bool>& flag;
            ~Guard() { flag = true; }
        } guard{unwound};
        for (;;) {
            self.CheckStop();
            ++passes;
            WorkerThread::Sleep(5);
        }
    });
    worker.Create();
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return passes.load() > 2; }));
    worker.Stop(true);
    EXPECT_TRUE(unwound);  // the stack was unwound, releasing what the loop held
    EXPECT_EQ(worker.State(), WorkerThread::kFinished);
    EXPECT_TRUE(worker.StopRequested());
}

TEST(WorkerThreadTest, TheEntrySwallowsEverythingRunThrows) {
    LambdaWorker ours([](LambdaWorker&) { throw SocketException(); });
    LambdaWorker foreign([](LambdaWorker&) { throw std::runtime_error("not ours"); });
    LambdaWorker plain([](LambdaWorker&) { throw 42; });
    for (LambdaWorker* w : {&ours, &foreign, &plain}) {
        w->Create();
        w->Start();
    }
    for (LambdaWorker* w : {&ours, &foreign, &plain}) {
        w->Stop(true);
        EXPECT_EQ(w->State(), WorkerThread::kFinished);
    }
}

TEST(WorkerThreadTest, AWorkerThatDeletesItselfOnExitIsDeleted) {
    std::atomic<bool> deleted{false};
    auto* worker = new LambdaWorker([](LambdaWorker&) {}, true, &deleted);
    worker->Create();
    worker->Start();
    EXPECT_TRUE(WaitUntil([&] { return deleted.load(); }));
}

TEST(WorkerThreadTest, DestroyingAFinishedWorkerWithoutStopIsSafe) {
    auto worker = std::make_unique<LambdaWorker>([](LambdaWorker&) {});
    worker->Create();
    worker->Start();
    ASSERT_TRUE(WaitUntil([&] { return worker->State() == WorkerThread::kFinished; }));
    worker.reset();
}

TEST(WorkerThreadTest, SleepOnAWorkerIsCutShortByWake) {
    std::atomic<int> result{-1};
    std::atomic<bool> sleeping{false};
    LambdaWorker worker([&](LambdaWorker&) {
        sleeping = true;
        result = WorkerThread::Sleep(60000) ? 1 : 0;
    });
    worker.Create();
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return worker.State() == WorkerThread::kSleeping; }));
    worker.Wake();
    worker.Stop(true);
    EXPECT_EQ(result, 1);
}

TEST(WorkerThreadTest, SleepTimesOutWithFalseAndWakeIsConsumedOnce) {
    std::atomic<int> first{-1};
    std::atomic<int> second{-1};
    std::atomic<bool> go{false};
    LambdaWorker worker([&](LambdaWorker&) {
        while (!go)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        first = WorkerThread::Sleep(1000) ? 1 : 0;  // the wake set before the sleep ends it at once
        second = WorkerThread::Sleep(10) ? 1 : 0;   // auto-reset: nothing left for this one
    });
    worker.Create();
    worker.Start();
    worker.Wake();
    go = true;
    worker.Stop(true);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(WorkerThreadTest, SleepOffAWorkerIsAPlainSleep) {
    EXPECT_EQ(WorkerThread::Current(), nullptr);
    const auto start = Clock::now();
    EXPECT_FALSE(WorkerThread::Sleep(20));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST(WorkerThreadTest, CurrentIsTheWorkerOnItsOwnThread) {
    std::atomic<WorkerThread*> seen{nullptr};
    LambdaWorker worker([&](LambdaWorker&) { seen = WorkerThread::Current(); });
    worker.Create();
    worker.Start();
    worker.Stop(true);
    EXPECT_EQ(seen.load(), &worker);
}

TEST(WorkerThreadTest, WaitForSignalReleasesTheLockAndReportsHowItEnded) {
    std::atomic<int> signalled{-1};
    std::atomic<int> timedOut{-1};
    LambdaWorker worker([&](LambdaWorker& self) {
        std::unique_lock<std::mutex> lock(self.Lock());
        signalled = self.WaitForSignal(lock, 60000);
        timedOut = self.WaitForWake(lock, 10);
    });
    worker.Create();
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return worker.State() == WorkerThread::kWaiting; }));
    worker.Signal();  // takes the worker's lock: possible only because the wait released it
    worker.Stop(true);
    EXPECT_EQ(signalled, 2);
    EXPECT_EQ(timedOut, 0);
}

TEST(WorkerThreadTest, PriorityIsClampedAndStored) {
    LambdaWorker worker([](LambdaWorker&) {});
    worker.SetPriority(5);
    EXPECT_EQ(worker.Priority(), 2);
    worker.SetPriority(-7);
    EXPECT_EQ(worker.Priority(), -2);
    worker.Create();
    worker.SetPriority(1);  // stored before the thread exists, applied when it starts
    worker.Start();
    worker.Stop(true);
    EXPECT_EQ(worker.Priority(), 1);
}

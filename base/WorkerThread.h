// Base class of the program's worker threads: a cooperative stop flag, an interruptible sleep and two
// auto-reset events (wake and signal) for monitor-style waits under the worker's own lock.
//
// The owner calls Create, then Start; later Stop(true) before destroying the object (unless the worker
// deletes itself on exit). Every loop in Run tests the stop flag at the top of each pass and throws
// ThreadStopException when it is set; the thread entry swallows it.
#pragma once

#include <pthread.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class WorkerThread {
public:
    enum State : int {
        kNotCreated = 0,
        kCreated = 1,
        kRunning = 2,
        kFinished = 4,
        kWaiting = 5,
        kSleeping = 6,
    };

    static constexpr int kLowestPriority = -2;
    static constexpr int kHighestPriority = 2;

    WorkerThread() = default;
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Create();
    void Start();
    // Sets the stop flag; with `wait`, blocks until the thread has ended. Signals no event: a sleeping
    // worker finishes its sleep first.
    void Stop(bool wait);
    void SetPriority(int priority);

    // Cuts a Sleep or WaitForWake short (sets the auto-reset wake event).
    void Wake();
    // Ends a WaitForSignal (sets the auto-reset signal event).
    void Signal();

    // Sleeps the calling thread. On a worker: interruptible by Wake, true when woken. On any other
    // thread: a plain sleep, false.
    static bool Sleep(int ms);

    // For the calling worker, which holds its own lock in `lock`: release it while waiting up to ms for
    // the event, then take it again. 0 on time-out, 2 when the event ended the wait.
    int WaitForWake(std::unique_lock<std::mutex>& lock, int ms);
    int WaitForSignal(std::unique_lock<std::mutex>& lock, int ms);

    // The worker running on the calling thread, or null (for example on the user-interface thread).
    static WorkerThread* Current();

    bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
    // Throws ThreadStopException when the stop flag is set; for the top of every loop pass.
    void CheckStop() const;

    int State() const;
    int Priority() const;
    void SetStackSize(uint32_t bytes);
    std::mutex& Lock() { return lock_; }

protected:
    virtual void Run() = 0;
    // True when the object deletes itself after Run ends.
    virtual bool DeleteOnExit() = 0;

private:
    static void* Entry(void* self);
    void Join();
    void ApplyPriority();  // with the lock held, on a started thread
    int WaitForEvent(std::unique_lock<std::mutex>& lock, bool& event, std::condition_variable& cv, int ms,
                     int waitState);

    mutable std::mutex lock_;
    std::condition_variable wakeCv_;
    std::condition_variable signalCv_;
    bool wakeEvent_ = false;
    bool signalEvent_ = false;
    pthread_t thread_{};
    bool threadStarted_ = false;  // under lock_
    std::mutex joinLock_;         // held while joining, so that two waiters join once
    bool joined_ = false;         // under joinLock_
    std::atomic<bool> stop_{false};
    int priority_ = 0;
    std::atomic<int> kernelTid_{0};
    int state_ = kNotCreated;
    uint32_t stackSize_ = 0;
};

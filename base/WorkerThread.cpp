#include "base/WorkerThread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "base/Exception.h"

namespace {

thread_local WorkerThread* currentWorker = nullptr;

// Relative priority -2..2 as a nice value. Raising a thread above normal needs privileges the process
// may lack; then the priority is only stored.
int NiceFor(int priority) {
    return -5 * priority;
}

}  // namespace

WorkerThread::~WorkerThread() {
    std::unique_lock<std::mutex> guard(lock_);
    if (state_ == kNotCreated)
        return;
    const bool started = threadStarted_;
    guard.unlock();
    if (!started)
        return;
    if (pthread_equal(thread_, pthread_self())) {
        // A worker deleting itself on exit cannot wait for its own end.
        std::lock_guard<std::mutex> joinGuard(joinLock_);
        if (!joined_)
            pthread_detach(thread_);
        joined_ = true;
        return;
    }
    // The owner should have stopped a running worker; if not, stop it now rather than leave a thread
    // running on a destroyed object.
    stop_.store(true, std::memory_order_release);
    Join();
}

void WorkerThread::Create() {
    std::lock_guard<std::mutex> guard(lock_);
    wakeEvent_ = false;
    signalEvent_ = false;
    state_ = kCreated;
}

void WorkerThread::Start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ != kCreated)
        throw ThreadCreateException();
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        throw ThreadCreateException();
    if (stackSize_ != 0)
        pthread_attr_setstacksize(&attributes, std::max<size_t>(stackSize_, PTHREAD_STACK_MIN));
    // The new thread blocks on lock_ until Start returns, which stands in for creating it suspended.
    const int result = pthread_create(&thread_, &attributes, &WorkerThread::Entry, this);
    pthread_attr_destroy(&attributes);
    if (result != 0)
        throw ThreadCreateException();
    threadStarted_ = true;
    state_ = kRunning;
}

void WorkerThread::Stop(bool wait) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_.store(true, std::memory_order_release);
    }
    if (wait)
        Join();
}

void WorkerThread::Join() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!threadStarted_ || pthread_equal(thread_, pthread_self()))
            return;
    }
    std::lock_guard<std::mutex> joinGuard(joinLock_);
    if (joined_)
        return;
    pthread_join(thread_, nullptr);
    joined_ = true;
}

void WorkerThread::SetPriority(int priority) {
    std::lock_guard<std::mutex> guard(lock_);
    priority_ = std::clamp(priority, kLowestPriority, kHighestPriority);
    if (state_ != kCreated && state_ != kFinished)
        ApplyPriority();
}

void WorkerThread::ApplyPriority() {
    const int tid = kernelTid_.load(std::memory_order_acquire);
    if (tid != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceFor(priority_));
}

void WorkerThread::SetStackSize(uint32_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    stackSize_ = bytes;
}

int WorkerThread::State() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
}

int WorkerThread::Priority() const {
    std::lock_guard<std::mutex> guard(lock_);
    return priority_;
}

void WorkerThread::CheckStop() const {
    if (StopRequested())
        throw ThreadStopException();
}

WorkerThread* WorkerThread::Current() {
    return currentWorker;
}

void WorkerThread::Wake() {
    std::lock_guard<std::mutex> guard(lock_);
    wakeEvent_ = true;
    wakeCv_.notify_one();
}

void WorkerThread::Signal() {
    std::lock_guard<std::mutex> guard(lock_);
    signalEvent_ = true;
    signalCv_.notify_one();
}

int WorkerThread::WaitForEvent(std::unique_lock<std::mutex>& lock, bool& event, std::condition_variable& cv,
                               int ms, int waitState) {
    const int previous = state_;
    state_ = waitState;
    const bool woken = cv.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)), [&] { return event; });
    // Auto-reset: whoever ends a wait consumes the event.
    event = false;
    state_ = previous;
    return woken ? 2 : 0;
}

bool WorkerThread::Sleep(int ms) {
    WorkerThread* self = currentWorker;
    if (self == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(ms, 0)));
        return false;
    }
    std::unique_lock<std::mutex> lock(self->lock_);
    self->state_ = kSleeping;
    const bool woken = self->wakeCv_.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)),
                                              [self] { return self->wakeEvent_; });
    self->state_ = kRunning;
    self->wakeEvent_ = false;
    return woken;
}

int WorkerThread::WaitForWake(std::unique_lock<std::mutex>& lock, int ms) {
    return WaitForEvent(lock, wakeEvent_, wakeCv_, ms, kWaiting);
}

int WorkerThread::WaitForSignal(std::unique_lock<std::mutex>& lock, int ms) {
    return WaitForEvent(lock, signalEvent_, signalCv_, ms, kWaiting);
}

void* WorkerThread::Entry(void* argument) {
    auto* self = static_cast<WorkerThread*>(argument);
    currentWorker = self;
    self->kernelTid_.store(static_cast<int>(syscall(SYS_gettid)), std::memory_order_release);
    {
        // Waits for Start to finish, then applies the priority stored before the thread existed.
        std::lock_guard<std::mutex> guard(self->lock_);
        self->ApplyPriority();
    }
    try {
        self->Run();
    } catch (const ThreadStopException&) {
    } catch (const Exception&) {
    } catch (...) {
    }
    // Asked while the object is certainly alive: once the state says finished, the owner may destroy it.
    const bool deleteSelf = self->DeleteOnExit();
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->state_ = kFinished;
    }
    currentWorker = nullptr;
    if (deleteSelf)
        delete self;
    return nullptr;
}

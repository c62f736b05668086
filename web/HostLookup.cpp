#include "web/HostLookup.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/Exception.h"
#include "base/Socket.h"

namespace {

// One lookup's outcome, shared by the lookup's thread and the caller, whichever ends last frees it.
struct Outcome {
    std::mutex lock;
    std::condition_variable ready;
    bool done = false;
    bool found = false;
    uint32_t address = 0;
};

std::atomic<int> running{0};

}  // namespace

uint32_t HostLookup::Resolve(const std::string& name, int timeoutMs) {
    in_addr literal{};
    if (timeoutMs < 0 || ::inet_pton(AF_INET, name.c_str(), &literal) == 1)
        return ResolveHost(name.c_str());
    if (timeoutMs == 0)
        throw TimeoutException();
    if (running.fetch_add(1) >= kMaxRunning) {
        running.fetch_sub(1);
        throw TimeoutException();
    }
    auto outcome = std::make_shared<Outcome>();
    try {
        std::thread([outcome, name] {
            uint32_t address = 0;
            bool found = false;
            try {
                address = ResolveHost(name.c_str());
                found = true;
            } catch (const Exception&) {
            }
            {
                std::lock_guard<std::mutex> guard(outcome->lock);
                outcome->done = true;
                outcome->found = found;
                outcome->address = address;
            }
            outcome->ready.notify_all();
            running.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        running.fetch_sub(1);
        throw SocketException();
    }
    std::unique_lock<std::mutex> guard(outcome->lock);
    if (!outcome->ready.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return outcome->done; }))
        throw TimeoutException();
    if (!outcome->found)
        throw UnknownHostException();
    return outcome->address;
}

int HostLookup::Running() {
    return running.load();
}

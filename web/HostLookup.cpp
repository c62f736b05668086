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
    std::vector<SocketAddress> addresses;
};

std::atomic<int> running{0};

// Runs `lookup` (which fills an outcome) on a thread of its own and waits for it up to timeoutMs.
void RunWithDeadline(const std::shared_ptr<Outcome>& outcome, std::function<void(Outcome&)> lookup,
                     int timeoutMs) {
    if (timeoutMs == 0)
        throw TimeoutException();
    if (running.fetch_add(1) >= HostLookup::kMaxRunning) {
        running.fetch_sub(1);
        throw TimeoutException();
    }
    try {
        std::thread([outcome, lookup = std::move(lookup)] {
            Outcome found;
            try {
                lookup(found);
                found.found = true;
            } catch (const Exception&) {
            }
            {
                std::lock_guard<std::mutex> guard(outcome->lock);
                outcome->done = true;
                outcome->found = found.found;
                outcome->address = found.address;
                outcome->addresses = std::move(found.addresses);
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
}

}  // namespace

uint32_t HostLookup::Resolve(const std::string& name, int timeoutMs) {
    in_addr literal{};
    if (timeoutMs < 0 || ::inet_pton(AF_INET, name.c_str(), &literal) == 1)
        return ResolveHost(name.c_str());
    auto outcome = std::make_shared<Outcome>();
    RunWithDeadline(
        outcome, [name](Outcome& found) { found.address = ResolveHost(name.c_str()); }, timeoutMs);
    return outcome->address;
}

std::vector<SocketAddress> HostLookup::ResolveAll(const std::string& name, uint16_t port, int timeoutMs) {
    SocketAddress literal;
    if (SocketAddress::ParseNumeric(name, port, &literal))
        return {literal};
    if (timeoutMs < 0)
        return ResolveAddresses(name.c_str(), port);
    auto outcome = std::make_shared<Outcome>();
    RunWithDeadline(
        outcome, [name, port](Outcome& found) { found.addresses = ResolveAddresses(name.c_str(), port); },
        timeoutMs);
    if (outcome->addresses.empty())
        throw UnknownHostException();
    return outcome->addresses;
}

void HostLookup::ConnectFirst(Socket& socket, const std::vector<SocketAddress>& addresses,
                              const std::function<int()>& timeLeftMs) {
    if (addresses.empty())
        throw UnknownHostException();
    for (size_t i = 0; i < addresses.size(); ++i) {
        const bool last = i + 1 == addresses.size();
        socket.Close();
        try {
            socket.handle = CreateSocket(true, addresses[i].Family());
            const int left = timeLeftMs();
            ConnectTimeout(socket.handle, addresses[i], last || left < 0 ? left : left / 2);
            return;
        } catch (const Exception&) {
            if (last)
                throw;
        }
    }
}

int HostLookup::Running() {
    return running.load();
}

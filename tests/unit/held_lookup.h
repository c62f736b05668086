// A name server that does not answer, for the tests of name lookups: this program's own getaddrinfo
// stands in front of the C library's and holds every lookup of a name ending in ".held.test" until the
// test lets it go (the lookup then fails); every other name goes to the C library.
//
// It defines getaddrinfo itself, so include it in one source file of a test program only.
#pragma once

#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>

namespace heldlookup {

struct State {
    std::mutex lock;
    std::condition_variable changed;
    bool holding = false;
    int waiting = 0;  // lookups held now
    int started = 0;  // lookups of held names since the last Hold
};

inline State& Shared() {
    static State state;
    return state;
}

inline bool IsHeldName(const char* name) {
    constexpr std::string_view kSuffix = ".held.test";
    return name != nullptr && std::string_view(name).ends_with(kSuffix);
}

// While one exists, lookups of held names wait; its end lets them all go.
class Hold {
public:
    Hold() {
        std::lock_guard<std::mutex> guard(Shared().lock);
        Shared().holding = true;
        Shared().started = 0;
    }
    ~Hold() { Release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    void Release() {
        {
            std::lock_guard<std::mutex> guard(Shared().lock);
            Shared().holding = false;
        }
        Shared().changed.notify_all();
    }
    // True once `count` lookups of held names have started, within ten seconds.
    bool WaitForStarted(int count) {
        std::unique_lock<std::mutex> guard(Shared().lock);
        return Shared().changed.wait_for(guard, std::chrono::seconds(10),
                                         [&] { return Shared().started >= count; });
    }
    int Waiting() {
        std::lock_guard<std::mutex> guard(Shared().lock);
        return Shared().waiting;
    }
};

}  // namespace heldlookup

extern "C" int getaddrinfo(const char* __restrict name, const char* __restrict service,
                           const struct addrinfo* __restrict hints,
                           struct addrinfo** __restrict found) noexcept {
    if (heldlookup::IsHeldName(name)) {
        heldlookup::State& state = heldlookup::Shared();
        std::unique_lock<std::mutex> guard(state.lock);
        ++state.started;
        ++state.waiting;
        state.changed.notify_all();
        state.changed.wait(guard, [&] { return !state.holding; });
        --state.waiting;
        return EAI_NONAME;
    }
    using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const auto next = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return next(name, service, hints, found);
}

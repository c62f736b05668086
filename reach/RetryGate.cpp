#include "reach/RetryGate.h"

#include <algorithm>

bool RetryGate::MayTry(const std::string& router, int64_t nowMs) const {
    const auto found = failedAtMs_.find(router);
    return found == failedAtMs_.end() || nowMs - found->second >= kPauseMs;
}

void RetryGate::Failed(const std::string& router, int64_t nowMs) {
    failedAtMs_[router] = nowMs;
}

void RetryGate::Succeeded(const std::string& router) {
    failedAtMs_.erase(router);
}

int64_t RetryGate::WaitMs(int64_t nowMs) const {
    int64_t wait = 0;
    bool first = true;
    for (const auto& [router, failedAtMs] : failedAtMs_) {
        const int64_t left = std::max<int64_t>(0, failedAtMs + kPauseMs - nowMs);
        wait = first ? left : std::min(wait, left);
        first = false;
    }
    return wait;
}

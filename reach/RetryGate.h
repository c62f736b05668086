// The pause after a failed port-mapping attempt: a router that refused, or did not answer, is asked again
// no sooner than a minute later, so that a program left listening never floods it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class RetryGate {
public:
    static constexpr int64_t kPauseMs = 60000;

    // Whether `router` may be asked at `nowMs` (any monotonic clock in milliseconds).
    bool MayTry(const std::string& router, int64_t nowMs) const;
    void Failed(const std::string& router, int64_t nowMs);
    void Succeeded(const std::string& router);
    // How long until the first router that failed may be asked again (0: one may be asked now or none
    // failed).
    int64_t WaitMs(int64_t nowMs) const;

private:
    std::map<std::string, int64_t> failedAtMs_;
};

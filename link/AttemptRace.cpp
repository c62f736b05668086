#include "link/AttemptRace.h"

#include <utility>

void AttemptRace::Start(std::vector<SocketAddress> addresses, int64_t nowMs) {
    Reset();
    for (SocketAddress& address : addresses) {
        if (Find(address) == nullptr)
            attempts_.push_back(Attempt{std::move(address), State::kWaiting});
    }
    nextStartMs_ = nowMs;
}

void AttemptRace::Reset() {
    attempts_.clear();
    nextAttempt_ = 0;
    nextStartMs_ = 0;
    winner_.reset();
}

std::vector<SocketAddress> AttemptRace::StartDue(int64_t nowMs) {
    std::vector<SocketAddress> started;
    // A clock that stalled may make several due at once; each starts the delay over for the next.
    while (!winner_ && nextAttempt_ < attempts_.size() && nowMs >= nextStartMs_) {
        Attempt& attempt = attempts_[nextAttempt_++];
        attempt.state = State::kStarted;
        started.push_back(attempt.address);
        nextStartMs_ += kAttemptDelayMs;
        if (nextStartMs_ <= nowMs && nextAttempt_ < attempts_.size())
            nextStartMs_ = nowMs + kAttemptDelayMs;
    }
    return started;
}

std::vector<SocketAddress> AttemptRace::Live() const {
    if (winner_)
        return {*winner_};
    std::vector<SocketAddress> live;
    for (size_t i = 0; i < nextAttempt_; ++i)
        if (attempts_[i].state == State::kStarted)
            live.push_back(attempts_[i].address);
    return live;
}

std::optional<SocketAddress> AttemptRace::Primary() const {
    if (winner_)
        return winner_;
    for (size_t i = 0; i < nextAttempt_; ++i)
        if (attempts_[i].state == State::kStarted)
            return attempts_[i].address;
    return std::nullopt;
}

AttemptRace::Source AttemptRace::Heard(const SocketAddress& from) {
    if (winner_)
        return *winner_ == from ? Source::kWinner
                                : (Find(from) != nullptr ? Source::kLoser : Source::kStranger);
    const Attempt* attempt = Find(from);
    // An address not yet tried has not heard from us: whatever comes from it is not an answer.
    if (attempt == nullptr || attempt->state == State::kWaiting)
        return Source::kStranger;
    if (attempt->state == State::kFailed)
        return Source::kLoser;
    winner_ = attempt->address;
    return Source::kWinner;
}

void AttemptRace::Failed(const SocketAddress& address, int64_t nowMs) {
    if (winner_)
        return;
    for (Attempt& attempt : attempts_) {
        if (attempt.address == address && attempt.state == State::kStarted) {
            attempt.state = State::kFailed;
            // Nothing left to wait for on this one: the next need not wait out the delay.
            nextStartMs_ = nowMs;
            return;
        }
    }
}

bool AttemptRace::AllFailed() const {
    if (winner_ || nextAttempt_ < attempts_.size())
        return false;
    for (const Attempt& attempt : attempts_)
        if (attempt.state != State::kFailed)
            return false;
    return !attempts_.empty();
}

const AttemptRace::Attempt* AttemptRace::Find(const SocketAddress& address) const {
    for (const Attempt& attempt : attempts_)
        if (attempt.address == address)
            return &attempt;
    return nullptr;
}

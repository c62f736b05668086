// A flag shown to the user that follows a judgement which may waver (the echo canceller's, made every half
// second): a new value is shown only once it has held for a while, so that a wavering judgement changes
// the window's mark and prints a console line once per real change, not at every waver.
#pragma once

#include <chrono>

class SteadyFlag {
public:
    using Clock = std::chrono::steady_clock;

    explicit SteadyFlag(Clock::duration hold) : hold_(hold) {}
    bool Shown() const { return shown_; }
    // The judgement as it is `now`; true when the shown value changed with it.
    bool Observe(bool value, Clock::time_point now) {
        if (value == shown_) {
            pending_ = false;
            return false;
        }
        if (!pending_) {
            pending_ = true;
            since_ = now;
        }
        if (now - since_ < hold_)
            return false;
        shown_ = value;
        pending_ = false;
        return true;
    }
    // Shows `value` at once (a call that ended stops the echo canceller with it); true when it changed.
    bool Force(bool value) {
        pending_ = false;
        const bool changed = shown_ != value;
        shown_ = value;
        return changed;
    }

private:
    Clock::duration hold_;
    bool shown_ = false;
    bool pending_ = false;  // the judgement differs from what is shown, since `since_`
    Clock::time_point since_{};
};

// Folds a storm of repeated console lines: when the same line, or the same cycle of up to four lines (a
// flood of empty datagrams makes "Listening...", "Connected.", "Disconnected." go round), comes a third time
// within a second, further lines of that cycle, in any order, are counted instead of printed. The count is
// printed as one line ("... (repeated 1200 times)") at the next line from outside the cycle, when nothing has
// come for a second, and at exit; after a cycle of several lines, the last one folded follows it, so that
// the last line shown is the state the storm left.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

class LineFolder {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxCycle = 4;
    // Repeats fold only when two rounds and the next line came within this long: a storm, not a user's
    // calls one after another.
    static constexpr std::chrono::milliseconds kStormWindow{1000};
    // A fold is printed once nothing has come for this long.
    static constexpr std::chrono::milliseconds kQuiet{1000};

    // The lines to print now for `line` (none while it is folded).
    std::vector<std::string> Add(const std::string& line, Clock::time_point now);
    // Ends a fold: the count line and an unfinished round's lines; nothing when not folding.
    std::vector<std::string> Flush();
    // Flush, once nothing has come for kQuiet.
    std::vector<std::string> FlushIfQuiet(Clock::time_point now);
    bool Folding() const { return period_ > 0; }

private:
    struct Seen {
        std::string line;
        Clock::time_point at;
    };
    std::deque<Seen> recent_;  // the last 2 * kMaxCycle lines printed; while folding, the cycle ends it
    std::size_t period_ = 0;   // the cycle's length while folding, else 0
    void Remember(const std::string& line, Clock::time_point at);

    std::size_t folded_ = 0;  // lines counted instead of printed
    std::string lastFolded_;
    Clock::time_point lastAt_;  // when the last line came
};

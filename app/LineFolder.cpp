#include "app/LineFolder.h"

#include <algorithm>

std::vector<std::string> LineFolder::Add(const std::string& line, Clock::time_point now) {
    lastAt_ = now;
    std::vector<std::string> out;
    if (period_ > 0) {
        // A storm's lines need not keep their order (a listener's status messages overtake each other):
        // any of the cycle's lines goes on with the fold.
        const auto cycle = recent_.end() - static_cast<std::ptrdiff_t>(period_);
        if (std::find_if(cycle, recent_.end(), [&line](const Seen& seen) { return seen.line == line; }) !=
            recent_.end()) {
            ++folded_;
            lastFolded_ = line;
            return out;
        }
        out = Flush();
    }
    // A third round begins: the last 2p lines are two equal rounds, this line starts them again, and all of
    // it came within the storm window.
    const std::size_t size = recent_.size();
    for (std::size_t p = 1; p <= kMaxCycle && 2 * p <= size; ++p) {
        if (line != recent_[size - p].line || now - recent_[size - 2 * p].at > kStormWindow)
            continue;
        bool rounds = true;
        for (std::size_t i = 0; i < p && rounds; ++i)
            rounds = recent_[size - p + i].line == recent_[size - 2 * p + i].line;
        if (!rounds)
            continue;
        period_ = p;
        folded_ = 1;
        lastFolded_ = line;
        return out;
    }
    out.push_back(line);
    Remember(line, now);
    return out;
}

void LineFolder::Remember(const std::string& line, Clock::time_point at) {
    recent_.push_back({line, at});
    if (recent_.size() > 2 * kMaxCycle)
        recent_.pop_front();
}

std::vector<std::string> LineFolder::Flush() {
    std::vector<std::string> out;
    if (period_ == 0)
        return out;
    if (period_ == 1) {
        out.push_back("\u2026 (repeated " + std::to_string(folded_) + " times)");
    } else {
        out.push_back("\u2026 (the last " + std::to_string(period_) + " lines repeated " +
                      std::to_string(folded_) + " times in all)");
        // The line the storm ended on is the state now: it is shown last.
        out.push_back(lastFolded_);
        Remember(lastFolded_, lastAt_);
    }
    period_ = 0;
    folded_ = 0;
    return out;
}

std::vector<std::string> LineFolder::FlushIfQuiet(Clock::time_point now) {
    if (period_ == 0 || now - lastAt_ < kQuiet)
        return {};
    return Flush();
}

// The console's folding of repeated lines: when it starts (a third round within a second), what it counts,
// what it prints and when.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/LineFolder.h"

namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

class LineFolderTest : public ::testing::Test {
protected:
    // Each line `stepMs` after the one before; returns everything printed.
    Lines Feed(const Lines& lines, int stepMs = 1) {
        Lines printed;
        for (const std::string& line : lines) {
            now_ += milliseconds(stepMs);
            for (std::string& out : folder_.Add(line, now_))
                printed.push_back(std::move(out));
        }
        return printed;
    }
    LineFolder folder_;
    LineFolder::Clock::time_point now_{};
};

TEST_F(LineFolderTest, TheSameLineFoldsFromItsThirdTimeAndTheCountComesWithTheNextOtherLine) {
    EXPECT_EQ(Feed({"Call: x", "Call: x"}), Lines({"Call: x", "Call: x"}));
    EXPECT_EQ(Feed(Lines(1200, "Call: x")), Lines{});
    EXPECT_TRUE(folder_.Folding());
    EXPECT_EQ(Feed({"Disconnected."}), Lines({"\u2026 (repeated 1200 times)", "Disconnected."}));
    EXPECT_FALSE(folder_.Folding());
}

TEST_F(LineFolderTest, RepeatsSlowerThanTheStormWindowAreAllPrinted) {
    // Two rounds and the third line within 1000 ms fold; 1001 ms do not.
    EXPECT_EQ(Feed({"a", "a"}, 500), Lines({"a", "a"}));
    now_ += milliseconds(500);
    EXPECT_EQ(folder_.Add("a", now_), Lines{});
    folder_.Flush();
    LineFolder slow;
    auto t = LineFolder::Clock::time_point{};
    EXPECT_EQ(slow.Add("b", t), Lines{"b"});
    EXPECT_EQ(slow.Add("b", t += milliseconds(501)), Lines{"b"});
    EXPECT_EQ(slow.Add("b", t += milliseconds(500)), Lines{"b"});
    // Reconnections every few seconds are a user's to read, line by line.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(slow.Add("Connected.", t += milliseconds(2000)), Lines{"Connected."});
        EXPECT_EQ(slow.Add("Disconnected.", t += milliseconds(2000)), Lines{"Disconnected."});
    }
}

TEST_F(LineFolderTest, ACycleOfStatusesFoldsInAnyOrderAndEndsOnTheLastState) {
    const Lines round = {"Listening...", "Connected.", "Disconnected."};
    EXPECT_EQ(Feed(round), round);
    EXPECT_EQ(Feed(round), round);
    // A flood's status messages overtake each other: the cycle's lines in any order go on folding.
    EXPECT_EQ(Feed({"Listening...", "Connected.", "Connected.", "Disconnected.", "Listening..."}), Lines{});
    // Quiet for a second: the count, then the state the storm left.
    EXPECT_EQ(folder_.FlushIfQuiet(now_ + milliseconds(999)), Lines{});
    EXPECT_EQ(folder_.FlushIfQuiet(now_ + milliseconds(1000)),
              Lines({"\u2026 (the last 3 lines repeated 5 times in all)", "Listening..."}));
    EXPECT_EQ(folder_.Flush(), Lines{});  // nothing more to say
}

TEST_F(LineFolderTest, ALineFromOutsideTheCycleEndsTheFoldAndIsPrinted) {
    Feed({"a", "b", "a", "b"});
    EXPECT_EQ(Feed({"a", "b", "a"}), Lines{});
    EXPECT_EQ(Feed({"Statistics: 1"}),
              Lines({"\u2026 (the last 2 lines repeated 3 times in all)", "a", "Statistics: 1"}));
    // Cycles longer than four lines are never taken for a storm.
    const Lines five = {"1", "2", "3", "4", "5"};
    Feed(five);
    Feed(five);
    EXPECT_EQ(Feed(five), five);
}

}  // namespace

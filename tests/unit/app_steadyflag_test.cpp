// The echo canceller's mark: a wavering judgement shows once per real change (SteadyFlag, with the
// controller's two seconds), and the console prints one line for each change it is told of.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "app/ConsoleFrontEnd.h"
#include "app/Settings.h"
#include "app/SteadyFlag.h"

namespace {

using std::chrono::milliseconds;

struct Step {
    int atMs;
    bool judged;
    bool changed;  // what Observe returns
    bool shown;
};

void Play(SteadyFlag& flag, const std::vector<Step>& steps) {
    const SteadyFlag::Clock::time_point start{};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.atMs);
        EXPECT_EQ(flag.Observe(step.judged, start + milliseconds(step.atMs)), step.changed);
        EXPECT_EQ(flag.Shown(), step.shown);
    }
}

TEST(SteadyFlagTest, ANewValueShowsOnceItHasHeldTwoSecondsAndNotOneMillisecondBefore) {
    SteadyFlag flag(std::chrono::seconds(2));
    Play(flag, {{0, false, false, false},
                {100, true, false, false},  // first seen different: the hold starts
                {2099, true, false, false},
                {2100, true, true, true},  // exactly two seconds later
                {2150, true, false, true},
                {3000, false, false, true},
                {4999, false, false, true},
                {5000, false, true, false}});
}

TEST(SteadyFlagTest, AJudgementThatWaversBackStartsTheHoldAgain) {
    SteadyFlag flag(std::chrono::seconds(2));
    // Every half second the other way for 1.5 s: never shown, however long it goes on.
    std::vector<Step> steps;
    for (int at = 0; at < 20000; at += 500)
        steps.push_back({at, (at / 500) % 4 != 3, false, false});
    Play(flag, steps);
    // Back to what is shown for one look: the next change needs two whole seconds from there.
    Play(flag, {{20000, true, false, false},
                {21000, false, false, false},
                {21500, true, false, false},
                {23499, true, false, false},
                {23500, true, true, true}});
}

TEST(SteadyFlagTest, ForceShowsAtOnceAndSaysWhetherItChanged) {
    SteadyFlag flag(std::chrono::seconds(2));
    Play(flag, {{0, true, false, false}, {2000, true, true, true}});
    EXPECT_TRUE(flag.Force(false));
    EXPECT_FALSE(flag.Shown());
    EXPECT_FALSE(flag.Force(false));
    // A judgement pending before the force starts over.
    Play(flag, {{2500, true, false, false}, {4499, true, false, false}, {4500, true, true, true}});
}

TEST(ConsoleEchoLineTest, OneLineForEachChangeItIsTold) {
    std::ostringstream out;
    std::ostringstream err;
    Settings settings;
    ConsoleFrontEnd console(settings, out, err);
    console.ShowEchoCancelling(true);
    console.ShowEchoCancelling(false);
    EXPECT_EQ(out.str(), "Echo cancellation: removing echo\nEcho cancellation: not removing echo\n");
    EXPECT_EQ(err.str(), "");
}

}  // namespace

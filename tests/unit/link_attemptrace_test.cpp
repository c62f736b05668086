// The race of a caller's hellos over its peer's addresses, on a clock the test moves: when each address
// starts, which answer wins, what a failure and a late loser do.
#include <gtest/gtest.h>

#include <vector>

#include "base/Socket.h"
#include "link/AttemptRace.h"

namespace {

SocketAddress Address(const char* text) {
    SocketAddress address;
    EXPECT_TRUE(SocketAddress::ParseNumeric(text, 5007, &address)) << text;
    return address;
}

const SocketAddress kSix = Address("2001:db8:1::1");
const SocketAddress kFour = Address("198.51.100.1");
const SocketAddress kSixB = Address("2001:db8:1::2");

using Addresses = std::vector<SocketAddress>;

TEST(AttemptRace, OneAddressIsNoRace) {
    AttemptRace race;
    race.Start({kSix}, 0);
    EXPECT_FALSE(race.Active());
    EXPECT_FALSE(race.Racing());
}

TEST(AttemptRace, TheNextAddressStartsAfter250MsWhileTheFirstGoesOnTrying) {
    AttemptRace race;
    race.Start({kSix, kFour, kSixB}, 1000);
    EXPECT_EQ(race.StartDue(1000), Addresses{kSix});
    EXPECT_EQ(race.StartDue(1249), Addresses{}) << "one millisecond early";
    EXPECT_EQ(race.StartDue(1250), Addresses{kFour});
    EXPECT_EQ(race.Live(), (Addresses{kSix, kFour})) << "the first is still in the race";
    EXPECT_EQ(race.Primary(), kSix) << "audio stays with the first";
    EXPECT_EQ(race.StartDue(1499), Addresses{});
    EXPECT_EQ(race.StartDue(1500), Addresses{kSixB});
    EXPECT_EQ(race.StartDue(5000), Addresses{}) << "nothing left to start";
}

TEST(AttemptRace, AStalledClockStartsOneAddressAndTheDelayOver) {
    AttemptRace race;
    race.Start({kSix, kFour, kSixB}, 0);
    EXPECT_EQ(race.StartDue(0), Addresses{kSix});
    EXPECT_EQ(race.StartDue(2000), Addresses{kFour});
    EXPECT_EQ(race.StartDue(2249), Addresses{});
    EXPECT_EQ(race.StartDue(2250), Addresses{kSixB});
}

TEST(AttemptRace, TheFirstAnswerWinsAndTheOthersAreOut) {
    AttemptRace race;
    race.Start({kSix, kFour}, 0);
    race.StartDue(0);
    race.StartDue(250);
    EXPECT_EQ(race.Heard(kFour), AttemptRace::Source::kWinner);
    EXPECT_FALSE(race.Racing());
    EXPECT_TRUE(race.Active());
    EXPECT_EQ(race.Winner(), kFour);
    EXPECT_EQ(race.Primary(), kFour) << "audio moves to the winner";
    EXPECT_EQ(race.Live(), Addresses{kFour}) << "nothing more goes to the loser";
    EXPECT_EQ(race.Heard(kSix), AttemptRace::Source::kLoser) << "a late answer is ignored";
    EXPECT_EQ(race.Winner(), kFour) << "and takes nothing over";
    EXPECT_EQ(race.Heard(kFour), AttemptRace::Source::kWinner);
    EXPECT_EQ(race.Heard(Address("203.0.113.5")), AttemptRace::Source::kStranger);
}

TEST(AttemptRace, OnlyAnAddressAlreadyTriedCanWin) {
    AttemptRace race;
    race.Start({kSix, kFour}, 0);
    race.StartDue(0);
    EXPECT_EQ(race.Heard(kFour), AttemptRace::Source::kStranger) << "not sent to yet at 0 ms";
    EXPECT_EQ(race.Heard(Address("203.0.113.5")), AttemptRace::Source::kStranger);
    SocketAddress otherPort = kSix;
    otherPort.SetPort(5008);
    EXPECT_EQ(race.Heard(otherPort), AttemptRace::Source::kStranger) << "the port is part of the address";
    EXPECT_TRUE(race.Racing());
    EXPECT_EQ(race.Heard(kSix), AttemptRace::Source::kWinner);
    EXPECT_EQ(race.StartDue(250), Addresses{}) << "a won race starts nothing more";
}

TEST(AttemptRace, AFailedAddressLetsTheNextStartAtOnceAndNeverWins) {
    AttemptRace race;
    race.Start({kSix, kFour, kSixB}, 0);
    race.StartDue(0);
    race.Failed(kSix, 40);
    EXPECT_EQ(race.Live(), Addresses{});
    EXPECT_EQ(race.Primary(), std::nullopt);
    EXPECT_EQ(race.StartDue(40), Addresses{kFour}) << "without waiting for 250 ms";
    EXPECT_EQ(race.Primary(), kFour);
    EXPECT_EQ(race.Heard(kSix), AttemptRace::Source::kLoser);
    EXPECT_TRUE(race.Racing());
    EXPECT_EQ(race.StartDue(289), Addresses{});
    EXPECT_EQ(race.StartDue(290), Addresses{kSixB}) << "the delay counts from the start after the failure";
}

TEST(AttemptRace, EveryAddressFailedEndsTheRaceButNotBefore) {
    AttemptRace race;
    race.Start({kSix, kFour}, 0);
    race.StartDue(0);
    race.Failed(kSix, 10);
    EXPECT_FALSE(race.AllFailed()) << "the second has not been tried yet";
    race.StartDue(10);
    race.Failed(kFour, 20);
    EXPECT_TRUE(race.AllFailed());
    race.Failed(kFour, 30);  // reported twice
    EXPECT_TRUE(race.AllFailed());
}

TEST(AttemptRace, AFailureAfterTheWinChangesNothingAndAddressesTwiceCountOnce) {
    AttemptRace race;
    race.Start({kSix, kFour, kSix}, 0);
    race.StartDue(0);
    EXPECT_EQ(race.StartDue(250), Addresses{kFour});
    EXPECT_EQ(race.StartDue(500), Addresses{}) << "the repeated address is not tried again";
    race.Heard(kSix);
    race.Failed(kSix, 600);
    EXPECT_EQ(race.Winner(), kSix);
    EXPECT_FALSE(race.AllFailed());
}

}  // namespace

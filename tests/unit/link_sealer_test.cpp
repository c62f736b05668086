// The sealed datagram: its layout, the nonce rule, the replay window, forgeries of every kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "link/DatagramSealer.h"

namespace {

DatagramSealer::Key TestKey(uint8_t fill) {
    DatagramSealer::Key key;
    key.fill(fill);
    return key;
}

class SealerTest : public ::testing::Test {
protected:
    // One sender, one receiver, one key.
    DatagramSealer sender_{TestKey(7), 0x1122334455667788ULL, 0};
    DatagramSealer receiver_{TestKey(7), 0x99, 0};

    std::vector<uint8_t> Seal(const std::vector<uint8_t>& inner) {
        std::vector<uint8_t> out(inner.size() + 64);
        const int n = sender_.Seal(inner.data(), static_cast<int>(inner.size()), out.data(),
                                   static_cast<int>(out.size()));
        out.resize(static_cast<size_t>(n));
        return out;
    }

    DatagramSealer::Result Open(const std::vector<uint8_t>& datagram, std::vector<uint8_t>* inner = nullptr,
                                uint64_t* counter = nullptr) {
        std::vector<uint8_t> out(datagram.size() + 1);
        int length = -1;
        uint64_t number = 0;
        const auto result = receiver_.Open(datagram.data(), static_cast<int>(datagram.size()), out.data(),
                                           static_cast<int>(out.size()), length, number);
        if (inner != nullptr)
            *inner = std::vector<uint8_t>(out.begin(), out.begin() + std::max(length, 0));
        if (counter != nullptr)
            *counter = number;
        return result;
    }
};

TEST_F(SealerTest, SealedDatagramIsTypeTwoSenderIdCounterThenCiphertextWithTag) {
    std::vector<uint8_t> inner(51, 0x55);
    inner[0] = 0x00;
    const std::vector<uint8_t> first = Seal(inner);
    const std::vector<uint8_t> second = Seal(inner);
    ASSERT_EQ(first.size(), 51u + 33u);
    EXPECT_EQ(first[0], 0x02);
    const std::vector<uint8_t> id = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(std::vector<uint8_t>(first.begin() + 1, first.begin() + 9), id);
    EXPECT_EQ(std::vector<uint8_t>(first.begin() + 9, first.begin() + 17), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(second[9], 0x01);
    // Neither the payload nor its repetition shows: the same inner datagram seals differently each time.
    EXPECT_EQ(std::search(first.begin(), first.end(), inner.begin() + 1, inner.begin() + 9), first.end());
    EXPECT_NE(std::vector<uint8_t>(first.begin() + 17, first.end()),
              std::vector<uint8_t>(second.begin() + 17, second.end()));
}

// Bytes computed apart from this code (libsodium's XChaCha20-Poly1305 called from Python): type 2, the
// sender id and the counter little-endian, the nonce those 16 bytes and 8 zeros, the 17-byte header as the
// associated data. Any other salt, nonce layout or header changes them.
std::vector<uint8_t> Hex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST_F(SealerTest, AFixedKeySenderAndCounterGiveFixedBytes) {
    EXPECT_EQ(Seal({0, 1, 2, 3}),
              Hex("028877665544332211000000000000000016bd086c417d41d2fb2a2135704d0848e5364e07"));
    EXPECT_EQ(Seal({0, 1, 2, 3}),
              Hex("0288776655443322110100000000000000668b526e1a6b7f696109868ccf21d7bf2b9737f2"));
    DatagramSealer late(TestKey(7), 0x1122334455667788ULL, 0x0102030405060708ULL);
    uint8_t out[64];
    const uint8_t inner[] = {0};
    ASSERT_EQ(late.Seal(inner, 1, out, sizeof out), 34);
    const std::vector<uint8_t> shortest =
        Hex("0288776655443322110807060504030201879c4edab923598beb280feb80f1ed4d9a");
    EXPECT_EQ(std::vector<uint8_t>(out, out + 34), shortest);
    // The shortest that opens is 34 bytes, one inner byte; one byte less is a forgery.
    std::vector<uint8_t> opened;
    uint64_t counter = 0;
    EXPECT_EQ(Open(shortest, &opened, &counter), DatagramSealer::Result::kOpened);
    EXPECT_EQ(opened, std::vector<uint8_t>{0});
    EXPECT_EQ(counter, 0x0102030405060708ULL);
    const std::vector<uint8_t> cut(shortest.begin(), shortest.end() - 1);
    EXPECT_EQ(Open(cut), DatagramSealer::Result::kForged);
}

TEST_F(SealerTest, OpensWhatWasSealedAtEveryLengthWithItsCounter) {
    for (int length : {1, 2, 50, 1000, 9967}) {
        std::vector<uint8_t> inner(static_cast<size_t>(length));
        for (int i = 0; i < length; ++i)
            inner[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7);
        const std::vector<uint8_t> sealed = Seal(inner);
        ASSERT_EQ(sealed.size(), static_cast<size_t>(length) + 33u);
        std::vector<uint8_t> opened;
        uint64_t counter = 99;
        ASSERT_EQ(Open(sealed, &opened, &counter), DatagramSealer::Result::kOpened) << length;
        EXPECT_EQ(opened, inner);
        EXPECT_EQ(counter, sender_.NextCounter() - 1);
    }
}

TEST_F(SealerTest, SealRefusesWhatDoesNotFitOrIsEmpty) {
    uint8_t inner[10] = {0};
    uint8_t out[43];
    EXPECT_EQ(sender_.Seal(inner, 10, out, 42), 0);
    EXPECT_EQ(sender_.Seal(inner, 0, out, 43), 0);
    EXPECT_EQ(sender_.Seal(inner, 10, out, 43), 43);
}

TEST_F(SealerTest, CounterAtItsEndSealsNothingRatherThanWrapping) {
    DatagramSealer last(TestKey(7), 5, 0xFFFFFFFFFFFFFFFEULL);
    uint8_t inner[1] = {0};
    uint8_t out[64];
    EXPECT_EQ(last.Seal(inner, 1, out, 64), 34);
    EXPECT_EQ(last.Seal(inner, 1, out, 64), 0);
}

TEST_F(SealerTest, RandomSenderIdsDifferBetweenStarts) {
    // Each start of the program makes one sealer; its id is the part of the nonce that keeps starts apart.
    std::set<uint64_t> ids;
    for (int i = 0; i < 100; ++i)
        ids.insert(DatagramSealer(TestKey(7)).SenderId());
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(DatagramSealer(TestKey(7)).NextCounter(), 0u);
}

TEST_F(SealerTest, EachDatagramOpensOnceAndOldCountersBeyondTheWindowNever) {
    std::vector<std::vector<uint8_t>> sealed;
    for (int i = 0; i < 70; ++i)
        sealed.push_back(Seal({0x00, static_cast<uint8_t>(i)}));
    // Out of order within the window: each opens once.
    EXPECT_EQ(Open(sealed[5]), DatagramSealer::Result::kOpened);
    EXPECT_EQ(Open(sealed[3]), DatagramSealer::Result::kOpened);
    EXPECT_EQ(Open(sealed[4]), DatagramSealer::Result::kOpened);
    EXPECT_EQ(Open(sealed[3]), DatagramSealer::Result::kReplayed);
    EXPECT_EQ(Open(sealed[5]), DatagramSealer::Result::kReplayed);
    EXPECT_EQ(Open(sealed[69]), DatagramSealer::Result::kOpened);
    // 69 - 6 = 63 behind: still in the window of 64.
    EXPECT_EQ(Open(sealed[6]), DatagramSealer::Result::kOpened);
    EXPECT_EQ(Open(sealed[6]), DatagramSealer::Result::kReplayed);
    // 64 behind: out of the window, refused though it never opened.
    EXPECT_EQ(Open(sealed[5]), DatagramSealer::Result::kReplayed);
    EXPECT_EQ(Open(sealed[2]), DatagramSealer::Result::kReplayed);
    EXPECT_EQ(Open(sealed[69]), DatagramSealer::Result::kReplayed);
}

TEST_F(SealerTest, TheWindowIsTheHighestCounterAndTheSixtyThreeBeforeIt) {
    std::vector<std::vector<uint8_t>> sealed;
    for (int i = 0; i < 200; ++i)
        sealed.push_back(Seal({0x00, static_cast<uint8_t>(i)}));
    using R = DatagramSealer::Result;
    ASSERT_EQ(Open(sealed[70]), R::kOpened);
    // 64 behind: refused though it never opened, and refusing it changes nothing.
    EXPECT_EQ(Open(sealed[6]), R::kReplayed);
    EXPECT_EQ(Open(sealed[6]), R::kReplayed);
    EXPECT_EQ(Open(sealed[5]), R::kReplayed);
    // 63 behind: opens once.
    EXPECT_EQ(Open(sealed[7]), R::kOpened);
    EXPECT_EQ(Open(sealed[7]), R::kReplayed);
    EXPECT_EQ(Open(sealed[70]), R::kReplayed);
    // One more moves the window by one: 7 is now 64 behind, 8 is 63 behind and still fresh.
    ASSERT_EQ(Open(sealed[71]), R::kOpened);
    EXPECT_EQ(Open(sealed[7]), R::kReplayed);
    EXPECT_EQ(Open(sealed[8]), R::kOpened);
    EXPECT_EQ(Open(sealed[8]), R::kReplayed);
    for (int i = 9; i < 70; ++i)
        ASSERT_EQ(Open(sealed[static_cast<size_t>(i)]), R::kOpened) << i;
}

TEST_F(SealerTest, AJumpOfExactlyTheWindowForgetsEverythingBeforeIt) {
    std::vector<std::vector<uint8_t>> sealed;
    for (int i = 0; i < 200; ++i)
        sealed.push_back(Seal({0x00, static_cast<uint8_t>(i)}));
    using R = DatagramSealer::Result;
    for (int i = 0; i <= 10; ++i)
        ASSERT_EQ(Open(sealed[static_cast<size_t>(i)]), R::kOpened);
    // From 10 to 74, 64 ahead: every counter from 11 to 73 is fresh and opens once, 10 and before are
    // out of the window, and 74 is taken.
    ASSERT_EQ(Open(sealed[74]), R::kOpened);
    for (int i = 73; i >= 11; --i) {
        ASSERT_EQ(Open(sealed[static_cast<size_t>(i)]), R::kOpened) << i;
        ASSERT_EQ(Open(sealed[static_cast<size_t>(i)]), R::kReplayed) << i;
    }
    EXPECT_EQ(Open(sealed[10]), R::kReplayed);
    EXPECT_EQ(Open(sealed[74]), R::kReplayed);
    // From 74 to 137, 63 ahead: 74 stays remembered at the window's far end, 73 falls out.
    ASSERT_EQ(Open(sealed[137]), R::kOpened);
    EXPECT_EQ(Open(sealed[74]), R::kReplayed);
    EXPECT_EQ(Open(sealed[73]), R::kReplayed);
    for (int i = 75; i < 137; ++i)
        ASSERT_EQ(Open(sealed[static_cast<size_t>(i)]), R::kOpened) << i;
}

TEST_F(SealerTest, ReplayWindowIsKeptPerSender) {
    DatagramSealer other(TestKey(7), 0xABCDEF, 0);
    const std::vector<uint8_t> ours = Seal({0x00, 1});
    std::vector<uint8_t> theirs(64);
    const uint8_t inner[2] = {0x00, 2};
    theirs.resize(static_cast<size_t>(other.Seal(inner, 2, theirs.data(), 64)));
    // The same counter 0 from two senders: both open, each once.
    EXPECT_EQ(Open(ours), DatagramSealer::Result::kOpened);
    EXPECT_EQ(Open(theirs), DatagramSealer::Result::kOpened);
    EXPECT_EQ(Open(theirs), DatagramSealer::Result::kReplayed);
}

TEST_F(SealerTest, NinthSenderTakesTheSlotOfTheOneHeardLeastRecently) {
    std::vector<std::vector<uint8_t>> first;
    for (uint64_t id = 1; id <= 9; ++id) {
        DatagramSealer one(TestKey(7), id, 0);
        const uint8_t inner[1] = {0x00};
        std::vector<uint8_t> sealed(64);
        sealed.resize(static_cast<size_t>(one.Seal(inner, 1, sealed.data(), 64)));
        EXPECT_EQ(Open(sealed), DatagramSealer::Result::kOpened);
        first.push_back(sealed);
    }
    // Senders 2 to 9 are remembered; sender 1 was forgotten, so its datagram opens again (8 senders kept).
    EXPECT_EQ(Open(first[8]), DatagramSealer::Result::kReplayed);
    EXPECT_EQ(Open(first[1]), DatagramSealer::Result::kReplayed);
    EXPECT_EQ(Open(first[0]), DatagramSealer::Result::kOpened);
}

TEST_F(SealerTest, OurOwnDatagramsSentBackAreRefused) {
    DatagramSealer self(TestKey(7), 0x99, 100);  // the receiver's own id
    const uint8_t inner[2] = {0x00, 1};
    std::vector<uint8_t> sealed(64);
    sealed.resize(static_cast<size_t>(self.Seal(inner, 2, sealed.data(), 64)));
    EXPECT_EQ(Open(sealed), DatagramSealer::Result::kReplayed);
}

TEST_F(SealerTest, AnyChangedBitOrOtherKeyIsAForgeryAndMovesNoWindow) {
    const std::vector<uint8_t> sealed = Seal({0x00, 1, 2, 3, 4, 5});
    for (size_t byte = 1; byte < sealed.size(); ++byte) {
        std::vector<uint8_t> changed = sealed;
        changed[byte] ^= 0x01;
        EXPECT_EQ(Open(changed), DatagramSealer::Result::kForged) << byte;
    }
    DatagramSealer stranger(TestKey(8), 0x1122334455667788ULL, 0);
    const uint8_t inner[6] = {0x00, 1, 2, 3, 4, 5};
    std::vector<uint8_t> foreign(64);
    foreign.resize(static_cast<size_t>(stranger.Seal(inner, 6, foreign.data(), 64)));
    EXPECT_EQ(Open(foreign), DatagramSealer::Result::kForged);
    // A forgery with a far-ahead counter has not pushed the sender's window: the real one still opens.
    std::vector<uint8_t> ahead = sealed;
    ahead[16] = 0x7F;
    EXPECT_EQ(Open(ahead), DatagramSealer::Result::kForged);
    EXPECT_EQ(Open(sealed), DatagramSealer::Result::kOpened);
}

TEST_F(SealerTest, PlainShortAndEmptyDatagramsNeverOpen) {
    EXPECT_EQ(Open({}), DatagramSealer::Result::kNotSealed);
    EXPECT_EQ(Open({0x00, 1, 2}), DatagramSealer::Result::kNotSealed);
    EXPECT_EQ(Open({0x01}), DatagramSealer::Result::kNotSealed);
    for (size_t length = 1; length <= 33; ++length)
        EXPECT_EQ(Open(std::vector<uint8_t>(length, 0x02)), DatagramSealer::Result::kForged) << length;
    // The bare header and tag of an empty inner datagram: nothing honest sends it.
    const std::vector<uint8_t> sealed = Seal({0x00});
    EXPECT_EQ(Open(std::vector<uint8_t>(sealed.begin(), sealed.end() - 1)), DatagramSealer::Result::kForged);
    // An output buffer too small is refused, not overrun.
    uint8_t out[1];
    int length = 0;
    uint64_t counter = 0;
    const std::vector<uint8_t> longer = Seal({0x00, 1});
    EXPECT_EQ(receiver_.Open(longer.data(), static_cast<int>(longer.size()), out, 1, length, counter),
              DatagramSealer::Result::kForged);
}

}  // namespace

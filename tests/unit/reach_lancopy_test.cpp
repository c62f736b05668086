// What a copy announces on the LAN, and what is kept of what others announce: anyone on the LAN can
// announce anything, so every field is bounded and checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reach/LanCopy.h"

TEST(LanCopyTest, TheAnnouncementCarriesCodecAndPrivacy) {
    EXPECT_EQ(AnnouncementTxt("ilbc_11khz", false),
              (std::vector<std::string>{"txtvers=1", "codec=ilbc_11khz", "private=no"}));
    EXPECT_EQ(AnnouncementTxt("gsm_8khz", true),
              (std::vector<std::string>{"txtvers=1", "codec=gsm_8khz", "private=yes"}));
}

TEST(LanCopyTest, AnnouncedCopyReadsBackAsOneLine) {
    const auto copy =
        LanCopyFromAnnouncement("Q-Parlin on alpha", "198.51.100.2", 5007, AnnouncementTxt("gsm_8khz", true));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->Text(), "Q-Parlin on alpha at 198.51.100.2:5007 (gsm_8khz, private calls only)");
    EXPECT_EQ(copy->Address(), "198.51.100.2:5007");
    const auto v6 = LanCopyFromAnnouncement("b", "2001:db8::2", 65535, {"codec=g711_8khz", "private=no"});
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->Text(), "b at [2001:db8::2]:65535 (g711_8khz)");
}

TEST(LanCopyTest, UnusablePortsAndAddressesAreDropped) {
    EXPECT_TRUE(LanCopyFromAnnouncement("a", "198.51.100.2", 1, {}));
    EXPECT_TRUE(LanCopyFromAnnouncement("a", "128.0.0.1", 1, {}));
    EXPECT_TRUE(LanCopyFromAnnouncement("a", "126.255.255.255", 1, {}));
    EXPECT_TRUE(LanCopyFromAnnouncement("a", "fec0::1", 1, {}));
    EXPECT_FALSE(LanCopyFromAnnouncement("a", "198.51.100.2", 0, {}));
    EXPECT_FALSE(LanCopyFromAnnouncement("a", "198.51.100.2", 65536, {}));
    EXPECT_FALSE(LanCopyFromAnnouncement("a", "198.51.100.2", -1, {}));
    for (const char* bad : {"", "host.local", "198.51.100", "198.51.100.2 ", "198.51.100.2\n1", "127.0.0.1",
                            "127.255.255.255", "0.0.0.0", "::1", "::", "fe80::1", "febf::1"})
        EXPECT_FALSE(LanCopyFromAnnouncement("a", bad, 5007, {})) << bad;
    EXPECT_FALSE(LanCopyFromAnnouncement("a", std::string(5000, '1'), 5007, {}));
}

TEST(LanCopyTest, NamesAreCutToALabelAndMadePrintable) {
    const std::string sixtyThree(63, 'n');
    EXPECT_EQ(LanCopyFromAnnouncement(sixtyThree, "198.51.100.2", 5007, {})->name, sixtyThree);
    EXPECT_EQ(LanCopyFromAnnouncement(sixtyThree + "x", "198.51.100.2", 5007, {})->name, sixtyThree);
    // A two-byte character across the 63rd byte is left out whole.
    const std::string split = std::string(62, 'n') + "\xC3\xA9";
    EXPECT_EQ(LanCopyFromAnnouncement(split, "198.51.100.2", 5007, {})->name, std::string(62, 'n'));
    EXPECT_EQ(LanCopyFromAnnouncement("a\nFound: b\x1b[2J\x7f", "198.51.100.2", 5007, {})->name,
              "a?Found: b?[2J?");
    EXPECT_EQ(LanCopyFromAnnouncement(std::string("a\0b", 3), "198.51.100.2", 5007, {})->name, "a?b");
}

TEST(LanCopyTest, OnlyPlainCodecNamesAndAnExactYesAreTaken) {
    const auto read = [](std::vector<std::string> txt) {
        return *LanCopyFromAnnouncement("a", "198.51.100.2", 5007, txt);
    };
    EXPECT_EQ(read({"codec=" + std::string(32, 'a')}).codec, std::string(32, 'a'));
    EXPECT_EQ(read({"codec=" + std::string(33, 'a')}).codec, "");
    for (const char* bad : {"codec=", "codec=Ilbc", "codec=ilbc 11khz", "codec=ilbc\n", "codec=ilbc-11"})
        EXPECT_EQ(read({bad}).codec, "") << bad;
    EXPECT_EQ(read({"codec=ilbc_11khz=x"}).codec, "");
    EXPECT_TRUE(read({"private=yes"}).privateCalls);
    for (const char* notYes : {"private=YES", "private=yes ", "private=", "private", "private=1"})
        EXPECT_FALSE(read({notYes}).privateCalls) << notYes;
    // Keys without a value, unknown keys and empty strings are passed over; a later entry wins.
    const LanCopy copy = read({"", "=", "codec", "colour=blue", "codec=gsm_8khz", "codec=g711_8khz"});
    EXPECT_EQ(copy.codec, "g711_8khz");
}

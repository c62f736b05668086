// The list of verified peers: a key verified once is known again, a remembered address with another key is
// a change, and the file is bounded, private and read defensively.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "app/VerifiedPeers.h"

namespace {

VerifiedPeers::Key KeyOf(uint8_t byte) {
    VerifiedPeers::Key key;
    key.fill(byte);
    return key;
}

const std::string kAbHex(64, 'a');  // the key 0xAA...

std::string TempPath(const std::string& name) {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr ? folder : "/tmp") + "/qparlin-verified-" +
           std::to_string(::getpid()) + "-" + name;
}

}  // namespace

TEST(VerifiedPeersTest, AVerifiedKeyIsKnownAnywhereAndARememberedAddressWithAnotherKeyIsAChange) {
    VerifiedPeers peers;
    EXPECT_EQ(peers.Look(KeyOf(1), "192.0.2.7"), VerifiedPeers::Standing::kUnknown);
    peers.Add(KeyOf(1), "192.0.2.7");
    EXPECT_EQ(peers.Look(KeyOf(1), "192.0.2.7"), VerifiedPeers::Standing::kVerified);
    EXPECT_EQ(peers.Look(KeyOf(1), "198.51.100.9"), VerifiedPeers::Standing::kVerified) << "a roaming peer";
    EXPECT_EQ(peers.Look(KeyOf(2), "192.0.2.7"), VerifiedPeers::Standing::kChanged);
    EXPECT_EQ(peers.Look(KeyOf(2), "198.51.100.9"), VerifiedPeers::Standing::kUnknown);
    // Verifying the new key replaces the old one under that address.
    peers.Add(KeyOf(2), "192.0.2.7");
    ASSERT_EQ(peers.Entries().size(), 1u);
    EXPECT_EQ(peers.Look(KeyOf(1), "192.0.2.7"), VerifiedPeers::Standing::kChanged);
}

TEST(VerifiedPeersTest, TheFileReadsBackAsWrittenAndSkipsWhatDoesNotCheckOut) {
    VerifiedPeers peers;
    peers.Add(KeyOf(0xAA), "192.0.2.7");
    peers.Add(KeyOf(0x0F), "[2001:db8::1]");
    const std::string text = peers.Serialize();
    EXPECT_NE(text.find(kAbHex + " 192.0.2.7\n"), std::string::npos);
    EXPECT_EQ(VerifiedPeers::Parse(text).Entries(), peers.Entries());

    const std::string bad = "# a comment\n\n" + kAbHex.substr(1) + " short.key\n" +  // 63 digits
                            std::string(63, 'a') + "g host\n" +                      // not hex
                            std::string(64, 'A') + " upper.case\n" +                 // hex is lower case
                            kAbHex + "  two.spaces\n" +                              // a label with a space
                            kAbHex + " \n" +                                         // no label
                            kAbHex + " " + std::string(256, 'x') + "\n" +            // label too long
                            kAbHex + " " + std::string(255, 'y') + "\r\n" +          // the longest, CRLF
                            std::string(64, 'b') + " last.line.unterminated";
    const VerifiedPeers parsed = VerifiedPeers::Parse(bad);
    ASSERT_EQ(parsed.Entries().size(), 2u);
    EXPECT_EQ(parsed.Entries()[0].label, std::string(255, 'y'));
    EXPECT_EQ(parsed.Entries()[1].label, "last.line.unterminated");
    // A label that would not read back is kept as "-".
    VerifiedPeers odd;
    odd.Add(KeyOf(3), "has space\n");
    EXPECT_EQ(odd.Entries()[0].label, "-");
    EXPECT_EQ(VerifiedPeers::Parse(odd.Serialize()).Entries(), odd.Entries());
}

TEST(VerifiedPeersTest, AtMostAThousandPeersAreKeptTheOldestGoingFirst) {
    VerifiedPeers peers;
    for (int i = 0; i < 1001; ++i) {
        VerifiedPeers::Key key{};
        key[0] = static_cast<uint8_t>(i & 0xFF);
        key[1] = static_cast<uint8_t>(i >> 8);
        peers.Add(key, "host" + std::to_string(i));
    }
    ASSERT_EQ(peers.Entries().size(), 1000u);
    EXPECT_EQ(peers.Entries().front().label, "host1");
    EXPECT_EQ(peers.Entries().back().label, "host1000");
}

TEST(VerifiedPeersTest, TheFileIsPrivateBoundedAndNeverReadWhenOthersCouldChangeIt) {
    const std::string path = TempPath("list");
    std::string problem;
    ::unlink(path.c_str());
    std::optional<VerifiedPeers> loaded = VerifiedPeers::Load(path, problem);
    ASSERT_TRUE(loaded) << "no file yet: an empty list";
    EXPECT_TRUE(loaded->Entries().empty());

    VerifiedPeers peers;
    peers.Add(KeyOf(7), "127.0.0.1");
    ASSERT_TRUE(peers.Save(path, problem)) << problem;
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    loaded = VerifiedPeers::Load(path, problem);
    ASSERT_TRUE(loaded) << problem;
    EXPECT_EQ(loaded->Entries(), peers.Entries());

    ::chmod(path.c_str(), 0644);
    EXPECT_FALSE(VerifiedPeers::Load(path, problem));
    EXPECT_NE(problem.find("chmod 600"), std::string::npos);
    ::chmod(path.c_str(), 0600);

    // 131072 bytes are read; one more is refused whole.
    std::string text = peers.Serialize();
    text.resize(131072, '#');
    text[text.size() - 1] = '\n';
    std::ofstream(path, std::ios::trunc) << text;
    EXPECT_TRUE(VerifiedPeers::Load(path, problem)) << problem;
    std::ofstream(path, std::ios::app) << "#";
    EXPECT_FALSE(VerifiedPeers::Load(path, problem));
    EXPECT_NE(problem.find("longer than 131072"), std::string::npos);

    // A link in the file's place is not followed.
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink("/etc/hostname", path.c_str()), 0);
    EXPECT_FALSE(VerifiedPeers::Load(path, problem));
    ::unlink(path.c_str());
}

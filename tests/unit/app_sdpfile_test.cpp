// --write-sdp: the option, the description of a call's audio, and the file replaced whole. When the call
// controller writes it is tested with the controller.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/SdpFile.h"
#include "base/Socket.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A fresh folder of its own for each test, removed with everything in it.
class SdpFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/qparlin-sdp-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    size_t Entries() const {
        const std::filesystem::directory_iterator entries(dir);
        return static_cast<size_t>(std::distance(begin(entries), end(entries)));
    }
    std::string dir;
};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

}  // namespace

TEST(WriteSdpOptionTest, TakesAFileAndAnOptionalPortFromOneToTheLast) {
    Settings s = ParseCommandLine({"--encrypt=off", "--write-sdp=call.sdp"}).settings.value();
    EXPECT_EQ(s.sdpFile, "call.sdp");
    EXPECT_EQ(s.sdpPort, 0) << "no port: the peer's";
    s = ParseCommandLine({"--encrypt=off", "--write-sdp=/tmp/a:b/call.sdp:40000"}).settings.value();
    EXPECT_EQ(s.sdpFile, "/tmp/a:b/call.sdp") << "the port follows the last colon";
    EXPECT_EQ(s.sdpPort, 40000);
    EXPECT_EQ(ParseCommandLine({"--encrypt=off", "--write-sdp=f:1"}).settings.value().sdpPort, 1);
    EXPECT_EQ(ParseCommandLine({"--encrypt=off", "--write-sdp=f:65535"}).settings.value().sdpPort, 65535);
    EXPECT_TRUE(Contains(HelpOutput(), "--write-sdp=FILE[:PORT]"));
}

TEST(WriteSdpOptionTest, RefusesBadValuesAndOptionsWhoseCallsNoToolCanRead) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--write-sdp"}, "qparlin: --write-sdp: needs a value, as in --write-sdp=FILE[:PORT]"},
        {{"--write-sdp="}, "qparlin: --write-sdp=: needs a value, as in --write-sdp=FILE[:PORT]"},
        {{"--write-sdp=:40000"}, "qparlin: --write-sdp=:40000: file name must not be empty"},
        {{"--write-sdp=f:0"}, "qparlin: --write-sdp=f:0: port must be a number from 1 to 65535"},
        {{"--write-sdp=f:65536"}, "qparlin: --write-sdp=f:65536: port must be a number from 1 to 65535"},
        {{"--write-sdp=f:"}, "qparlin: --write-sdp=f:: port must be a number from 1 to 65535"},
        {{"--write-sdp=a:b"}, "qparlin: --write-sdp=a:b: port must be a number from 1 to 65535"},
        {{"--session=off", "--write-sdp=f"},
         "qparlin: --write-sdp=f: cannot be used with --session=off, whose calls send no numbered audio"},
        {{"--write-sdp=f:9", "--secret=k"},
         "qparlin: --write-sdp=f:9: cannot be used with --secret: no tool can read a private call's audio"},
        // Encrypted by default: a tool could not read the call either.
        {{"--write-sdp=f"},
         "qparlin: --write-sdp=f: needs --encrypt=off: no tool can read an encrypted call's audio"},
        {{"--encrypt=on", "--write-sdp=f"},
         "qparlin: --write-sdp=f: needs --encrypt=off: no tool can read an encrypted call's audio"},
        {{"--encrypt=maybe"}, "qparlin: --encrypt=maybe: encrypt must be on or off"},
    };
    for (const auto& [args, error] : bad) {
        const ParsedCommandLine parsed = ParseCommandLine(args);
        EXPECT_FALSE(parsed.Ok()) << args.back();
        EXPECT_EQ(parsed.error, error);
    }
}

TEST(SdpDescribeTest, TheAudioSentToThePeerAtThePortGivenOrThePeers) {
    std::string text = SdpFile::Describe(SocketAddress(kLoopback, 5007), 0, 0x85);
    EXPECT_TRUE(Contains(text, "\r\nc=IN IP4 127.0.0.1\r\n")) << text;
    EXPECT_TRUE(Contains(text, "\r\nm=audio 5007 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")) << text;

    text = SdpFile::Describe(SocketAddress(htonl(0x0A010203), 5007), 40000, 0x82);
    EXPECT_TRUE(Contains(text, "\r\nc=IN IP4 10.1.2.3\r\n")) << text;
    EXPECT_TRUE(Contains(text, "\r\nm=audio 40000 RTP/AVP 3\r\na=rtpmap:3 GSM/8000\r\n")) << text;

    SocketAddress six;
    ASSERT_TRUE(SocketAddress::ParseNumeric("[2001:db8::1]", 5007, &six));
    text = SdpFile::Describe(six, 0, 0x85);
    EXPECT_TRUE(Contains(text, "\r\nc=IN IP6 2001:db8::1\r\n")) << text;

    EXPECT_EQ(SdpFile::Describe(SocketAddress(0, 5007), 40000, 0x85), "")
        << "a listener that has no peer yet";
    SocketAddress anySix;
    ASSERT_TRUE(SocketAddress::ParseNumeric("::", 5007, &anySix));
    EXPECT_EQ(SdpFile::Describe(anySix, 40000, 0x85), "");
    EXPECT_EQ(SdpFile::Describe(SocketAddress(kLoopback, 0), 40000, 0x85), "");
    EXPECT_EQ(SdpFile::Describe(SocketAddress(kLoopback, 5007), 0, 0x05), "")
        << "an 8-bit format has no payload type";
}

TEST_F(SdpFileTest, ReplacesTheFileWholeAndLeavesNothingBeside) {
    const std::string path = dir + "/call.sdp";
    std::string problem;
    ASSERT_TRUE(SdpFile::Write(path, "first\r\n", problem)) << problem;
    EXPECT_EQ(ReadFile(path), "first\r\n");

    // A reader that opened the old description keeps reading it whole: the new one is a new file.
    std::ifstream reader(path, std::ios::binary);
    ASSERT_TRUE(SdpFile::Write(path, "second, longer\r\n", problem)) << problem;
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), std::istreambuf_iterator<char>()),
              "first\r\n");
    EXPECT_EQ(ReadFile(path), "second, longer\r\n");
    EXPECT_EQ(Entries(), 1u);

    // Made as any new file is, for every reader the umask lets read it (a tool may run as another user).
    const mode_t umask = ::umask(022);
    ::umask(umask);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666 & ~umask);
}

TEST_F(SdpFileTest, AFailureSaysWhyAndChangesNothing) {
    std::string problem;
    EXPECT_FALSE(SdpFile::Write(dir + "/missing/call.sdp", "x", problem));
    EXPECT_TRUE(Contains(problem, dir + "/missing/call.sdp")) << problem;
    EXPECT_TRUE(Contains(problem, "No such file or directory")) << problem;

    // A folder in the file's place is not replaced, and the temporary made beside it goes again.
    ASSERT_EQ(::mkdir((dir + "/call.sdp").c_str(), 0755), 0);
    EXPECT_FALSE(SdpFile::Write(dir + "/call.sdp", "x", problem));
    EXPECT_TRUE(Contains(problem, "cannot replace")) << problem;
    EXPECT_EQ(Entries(), 1u);
}

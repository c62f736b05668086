// The secret file: what is read from it, what is refused, and what --make-secret writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/SecretFile.h"

namespace {

class SecretFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qparlin-secret-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const char* name : {"key", "made", "fifo", "dir"}) {
            std::remove((dir_ + "/" + name).c_str());
            rmdir((dir_ + "/" + name).c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string Write(const std::string& bytes, mode_t mode) {
        const std::string path = dir_ + "/key";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        chmod(path.c_str(), mode);
        return path;
    }
    std::optional<std::vector<uint8_t>> Read(const std::string& path) {
        return SecretFile::Read(path, problem_);
    }

    std::string dir_;
    std::string problem_;
};

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST_F(SecretFileTest, APassphraseLosesOnlyItsLineEndAndAnyBytesAreKept) {
    EXPECT_EQ(Read(Write("correct horse\n", 0600)), Bytes("correct horse"));
    EXPECT_EQ(Read(Write("correct horse\r\n", 0600)), Bytes("correct horse"));
    EXPECT_EQ(Read(Write("two\nlines\n\n", 0400)), Bytes("two\nlines\n"));
    const std::string binary("\x00\xff\n\x01", 4);
    EXPECT_EQ(Read(Write(binary, 0600)), Bytes(std::string("\x00\xff\n\x01", 4)));
    EXPECT_EQ(Read(Write(std::string(4096, 'k'), 0600))->size(), 4096u);
}

TEST_F(SecretFileTest, AFileOthersCanReachIsRefusedWithTheWayToFixIt) {
    for (mode_t mode : {0644, 0640, 0604, 0620, 0602}) {
        EXPECT_FALSE(Read(Write("secret\n", mode)).has_value()) << std::oct << mode;
        EXPECT_NE(problem_.find("chmod 600"), std::string::npos) << problem_;
    }
}

TEST_F(SecretFileTest, EmptyOversizedMissingAndNonRegularFilesAreRefused) {
    EXPECT_FALSE(Read(Write("", 0600)).has_value());
    EXPECT_NE(problem_.find("empty"), std::string::npos);
    EXPECT_FALSE(Read(Write("\n", 0600)).has_value());
    EXPECT_FALSE(Read(Write(std::string(4097, 'k'), 0600)).has_value());
    EXPECT_NE(problem_.find("4096"), std::string::npos);
    EXPECT_FALSE(Read(dir_ + "/none").has_value());
    EXPECT_NE(problem_.find("cannot open"), std::string::npos);
    // A FIFO would block a plain reader for ever; a directory is no secret.
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(Read(dir_ + "/fifo").has_value());
    EXPECT_NE(problem_.find("regular"), std::string::npos);
    ASSERT_EQ(mkdir((dir_ + "/dir").c_str(), 0700), 0);
    EXPECT_FALSE(Read(dir_ + "/dir").has_value());
}

TEST_F(SecretFileTest, MakeWritesThirtyTwoRandomBytesInBase64ForOwnerOnlyAndNeverOverwrites) {
    const std::string path = dir_ + "/made";
    const mode_t old = umask(0);  // even a permissive umask gives 0600
    const bool made = SecretFile::Make(path, problem_);
    umask(old);
    ASSERT_TRUE(made) << problem_;
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line.size(), 44u) << "32 bytes in Base64 with padding";
    EXPECT_EQ(line.back(), '=');
    const auto secret = Read(path);
    ASSERT_TRUE(secret.has_value()) << problem_;
    EXPECT_EQ(*secret, Bytes(line));

    EXPECT_FALSE(SecretFile::Make(path, problem_));
    EXPECT_NE(problem_.find("never overwritten"), std::string::npos);
    EXPECT_EQ(Read(path), secret) << "the old secret is still there";
    std::remove(path.c_str());
    ASSERT_TRUE(SecretFile::Make(path, problem_));
    EXPECT_NE(Read(path), secret) << "a second secret is another one";
}

}  // namespace

TEST(SecretWeaknessTest, PassphrasesOfElevenCharactersAreRefusedTwelveTakenAndMadeKeysAlways) {
    const auto bytes = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    const std::optional<std::string> eleven = SecretFile::Weakness(bytes("abcdefghijk"));
    ASSERT_TRUE(eleven);
    EXPECT_EQ(
        *eleven,
        "the passphrase has 11 characters, fewer than the 12 needed: write a longer one, or make a random "
        "key with --make-secret");
    EXPECT_TRUE(SecretFile::Weakness(bytes("a")));
    EXPECT_FALSE(SecretFile::Weakness(bytes("abcdefghijkl")));
    EXPECT_FALSE(SecretFile::Weakness(bytes("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=")));
}

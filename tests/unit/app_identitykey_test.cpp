// The identity key pair on disk: made on first use with mode 0600 in folders of its own, the same pair
// read back, and a file others can read, or one that holds no key, refused without a pair.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "app/IdentityKey.h"

namespace {

class IdentityKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::string(QPARLIN_BINARY_DIR) + "/test-home/identity-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::system(("rm -rf '" + folder_ + "'").c_str());
    }
    static mode_t Mode(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }
    static void Write(const std::string& path, const std::string& text, mode_t mode) {
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
    }
    std::string folder_;
};

TEST_F(IdentityKeyTest, IsMadeOnFirstUseWithModeSixHundredAndReadBackTheSame) {
    const std::string path = folder_ + "/qparlin/identity.key";
    std::string problem;
    std::optional<IdentityKey> first = IdentityKey::LoadOrMake(path, problem);
    ASSERT_TRUE(first) << problem;
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(Mode(folder_ + "/qparlin"), 0700u);
    std::optional<IdentityKey> again = IdentityKey::LoadOrMake(path, problem);
    ASSERT_TRUE(again) << problem;
    EXPECT_EQ(again->publicKey, first->publicKey);
    // The halves belong together: what the secret half signs, the public half verifies.
    const unsigned char message[] = "transcript";
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, message, sizeof message, again->secretKey.data());
    EXPECT_EQ(crypto_sign_verify_detached(signature, message, sizeof message, first->publicKey.data()), 0);
    // Another place, another identity.
    std::optional<IdentityKey> other = IdentityKey::LoadOrMake(folder_ + "/other/identity.key", problem);
    ASSERT_TRUE(other);
    EXPECT_NE(other->publicKey, first->publicKey);
}

TEST_F(IdentityKeyTest, AFileOthersCanReadOrOneWithoutAKeyIsRefused) {
    const std::string path = folder_ + "/identity.key";
    std::string problem;
    ASSERT_TRUE(IdentityKey::LoadOrMake(path, problem)) << problem;
    for (const mode_t mode : {0640, 0604, 0620}) {
        ::chmod(path.c_str(), mode);
        problem.clear();
        EXPECT_FALSE(IdentityKey::LoadOrMake(path, problem)) << std::oct << mode;
        EXPECT_NE(problem.find("chmod 600"), std::string::npos) << problem;
    }
    // 32 bytes in Base64 are 44 characters: one less, one more, or no Base64 at all is no key. The file
    // is never replaced by a new one, which would change the identity unasked.
    for (const std::string& text : {std::string("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"),
                                    std::string("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=A"),
                                    std::string(44, '!'), std::string()}) {
        Write(path, text, 0600);
        problem.clear();
        EXPECT_FALSE(IdentityKey::LoadOrMake(path, problem)) << text;
        EXPECT_FALSE(problem.empty());
        std::ifstream in(path);
        const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kept, text);
    }
    // The 44 characters of a made key: taken.
    Write(path, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", 0600);
    EXPECT_TRUE(IdentityKey::LoadOrMake(path, problem)) << problem;
}

}  // namespace

#include "app/IdentityKey.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "app/SecretFile.h"
#include "app/SettingsFile.h"

namespace {

constexpr char kFileName[] = "identity.key";

// Makes every missing folder above `path` with mode 0700: the folder holds the identity's secret half.
bool MakeParentFolders(const std::string& path) {
    const std::size_t last = path.rfind('/');
    if (last == std::string::npos || last == 0)
        return true;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos && slash <= last;
         slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

}  // namespace

std::string IdentityKey::DefaultPath() {
    const std::string folder = settings_file::DataDirectory();
    return folder.empty() ? std::string() : folder + "/" + kFileName;
}

std::optional<IdentityKey> IdentityKey::LoadOrMake(const std::string& path, std::string& problem) {
    if (sodium_init() < 0) {
        problem = "the cryptography library could not start";
        return std::nullopt;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            problem = "cannot look at " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (!MakeParentFolders(path)) {
            problem = "cannot make the folder of " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (!SecretFile::Make(path, problem))
            return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> text = SecretFile::Read(path, problem);
    if (!text)
        return std::nullopt;
    uint8_t seed[crypto_sign_SEEDBYTES];
    size_t length = 0;
    const bool decoded =
        sodium_base642bin(seed, sizeof seed, reinterpret_cast<const char*>(text->data()), text->size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
        length == sizeof seed;
    sodium_memzero(text->data(), text->size());
    if (!decoded) {
        sodium_memzero(seed, sizeof seed);
        problem = path + " holds no identity key (32 bytes in Base64): move it away, and a new one is made";
        return std::nullopt;
    }
    IdentityKey key;
    crypto_sign_seed_keypair(key.publicKey.data(), key.secretKey.data(), seed);
    sodium_memzero(seed, sizeof seed);
    return key;
}

void IdentityKey::Wipe() {
    sodium_memzero(secretKey.data(), secretKey.size());
}

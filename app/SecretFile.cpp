#include "app/SecretFile.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/FileDescriptor.h"
#include "link/CallKeys.h"

namespace {

std::string SystemProblem(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::optional<std::string> SecretFile::Weakness(const std::vector<uint8_t>& secret) {
    if (CallKeys::Secret::From(secret).key || secret.size() >= kMinPassphraseBytes)
        return std::nullopt;
    return "the passphrase has " + std::to_string(secret.size()) + " characters, fewer than the " +
           std::to_string(kMinPassphraseBytes) +
           " needed: write a longer one, or make a random key with --make-secret";
}

std::optional<std::vector<uint8_t>> SecretFile::Read(const std::string& path, std::string& problem) {
    // O_NONBLOCK: a FIFO in the secret's place is refused below, not waited on here.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) {
        problem = SystemProblem("cannot open the secret file");
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        problem = SystemProblem("cannot read the secret file");
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "the secret file is not a regular file";
        return std::nullopt;
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        problem = "the secret file can be read or changed by others; make it private with chmod 600";
        return std::nullopt;
    }
    if (status.st_size > static_cast<off_t>(kMaxBytes)) {
        problem = "the secret file is longer than " + std::to_string(kMaxBytes) + " bytes";
        return std::nullopt;
    }
    // One byte more than allowed, so that a file that grew since fstat is still seen to be too long.
    std::vector<uint8_t> secret(kMaxBytes + 1);
    const std::optional<size_t> got = ReadFully(file.Get(), secret.data(), secret.size());
    if (!got) {
        problem = SystemProblem("cannot read the secret file");
        sodium_memzero(secret.data(), secret.size());
        return std::nullopt;
    }
    size_t length = *got;
    if (length > kMaxBytes) {
        sodium_memzero(secret.data(), secret.size());
        problem = "the secret file is longer than " + std::to_string(kMaxBytes) + " bytes";
        return std::nullopt;
    }
    // A passphrase written with an editor or echo ends in a line end that is not part of it.
    if (length > 0 && secret[length - 1] == '\n')
        --length;
    if (length > 0 && secret[length - 1] == '\r')
        --length;
    if (length == 0) {
        problem = "the secret file is empty";
        return std::nullopt;
    }
    secret.resize(length);
    return secret;
}

bool SecretFile::Make(const std::string& path, std::string& problem) {
    if (sodium_init() < 0) {
        problem = "no source of random bytes";
        return false;
    }
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.Get() < 0) {
        problem = errno == EEXIST ? "the file exists already; a secret is never overwritten"
                                  : SystemProblem("cannot create the secret file");
        return false;
    }
    // The umask may have taken bits away, never added them; fchmod makes sure of 0600 all the same.
    ::fchmod(file.Get(), 0600);
    uint8_t random[kRandomBytes];
    randombytes_buf(random, sizeof random);
    char text[sodium_base64_ENCODED_LEN(kRandomBytes, sodium_base64_VARIANT_ORIGINAL) + 1];
    sodium_bin2base64(text, sizeof text - 1, random, sizeof random, sodium_base64_VARIANT_ORIGINAL);
    sodium_memzero(random, sizeof random);
    size_t length = std::strlen(text);
    text[length++] = '\n';
    const bool written = WriteFully(file.Get(), text, length);
    sodium_memzero(text, sizeof text);
    if (!written || ::fsync(file.Get()) != 0 || !file.Close()) {
        problem = SystemProblem("cannot write the secret file");
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

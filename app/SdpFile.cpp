#include "app/SdpFile.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/FileDescriptor.h"
#include "base/Socket.h"
#include "link/SdpDescription.h"

namespace {

// Seconds from 1900 (NTP's era) to 1970: RFC 4566 asks for an NTP time as the origin's session id.
constexpr uint64_t kNtpToUnixSeconds = 2208988800ULL;
// Names tried for the temporary file before giving up: each is random, so a clash means a stale file.
constexpr int kTemporaryNameTries = 16;
constexpr int kRandomNameLetters = 8;

std::string SystemProblem(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

std::string SdpFile::Describe(const SocketAddress& peer, int port, int formatCode) {
    const int peerPort = peer.Port();
    if (peer.IsAny() || peerPort == 0)
        return {};
    SdpDescription description;
    description.address = peer.HostText();
    description.port = port != 0 ? port : peerPort;
    description.formatCode = formatCode;
    description.sessionId = static_cast<uint64_t>(std::time(nullptr)) + kNtpToUnixSeconds;
    return description.Text();
}

bool SdpFile::Write(const std::string& path, std::string_view text, std::string& problem) {
    if (sodium_init() < 0) {
        problem = "no source of random bytes for a temporary file name";
        return false;
    }
    // Beside the file, so that the rename stays on one file system and is atomic.
    std::string temporary;
    int fd = -1;
    for (int i = 0; i < kTemporaryNameTries && fd < 0; ++i) {
        temporary = path + ".writing-";
        for (int letter = 0; letter < kRandomNameLetters; ++letter)
            temporary += static_cast<char>('a' + randombytes_uniform(26));
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        problem = SystemProblem("cannot create a file beside " + path, errno);
        return false;
    }
    FileDescriptor file(fd);
    bool written = WriteFully(file.Get(), text.data(), text.size());
    int error = errno;
    if (written && !file.Close()) {
        written = false;
        error = errno;
    }
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = SystemProblem("cannot replace " + path, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (!written) {
        problem = SystemProblem("cannot write " + path, error);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// ReadWholeFile, WriteWholeFile and MakeAbsolutePath on POSIX file descriptors.
#include "addressbook/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>
#include <utility>

#include "addressbook/FileException.h"
#include "base/FileDescriptor.h"

namespace {

// Removes the temporary file unless it was renamed into place.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(const std::string& path) : path_(path) {}
    ~TemporaryFileGuard() {
        if (armed_)
            ::unlink(path_.c_str());
    }
    TemporaryFileGuard(const TemporaryFileGuard&) = delete;
    TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
    void Release() { armed_ = false; }

private:
    const std::string& path_;
    bool armed_ = true;
};

// Makes the rename itself durable. Best effort: the new file is complete whether or not this succeeds.
void SyncDirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// The file a path names once its symbolic links are followed, as far as they lead: a link to a file that
// does not exist yet gives that file's path. Empty past kMaxLinks links in a row (a loop), or for a link
// that cannot be read.
std::string FollowLinks(std::string path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::string target(static_cast<size_t>(PATH_MAX), '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size())
            return std::string();
        target.resize(static_cast<size_t>(length));
        if (target.front() != '/') {
            const size_t slash = path.rfind('/');
            target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
        }
        path = std::move(target);
    }
    return std::string();
}

}  // namespace

std::string MakeAbsolutePath(std::string_view path) {
    if (path.empty() || path.front() == '/')
        return std::string(path);
    std::error_code error;
    std::string directory = std::filesystem::current_path(error).string();
    if (error || directory.empty())
        return std::string(path);
    if (directory.back() != '/')
        directory += '/';
    return directory.append(path);
}

bool ReadWholeFile(std::string_view path, std::string& text) {
    text.clear();
    if (path.empty())
        return false;
    const std::string absolute = MakeAbsolutePath(path);
    try {
        // Non-blocking so that a FIFO in the file's place cannot hang the open; it is refused below.
        FileDescriptor file(::open(absolute.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file.Get() < 0)
            throw FileCantOpenException();
        struct stat status {};
        if (::fstat(file.Get(), &status) != 0)
            throw FileCantReadException();
        if (!S_ISREG(status.st_mode) || status.st_size <= 0 || status.st_size > kMaxWholeFileSize)
            return false;

        const size_t size = static_cast<size_t>(status.st_size);
        text.resize(size);
        // A file that shrank since fstat keeps what is there.
        const std::optional<size_t> total = ReadFully(file.Get(), text.data(), size);
        if (!total)
            throw FileCantReadException();
        text.resize(*total);
        if (!file.Close())
            throw FileCantCloseException();
        return *total != 0;
    } catch (const Exception&) {
        text.clear();
        return false;
    }
}

bool WriteWholeFile(std::string_view path, const char* bytes, size_t length) {
    if (path.empty())
        return false;
    // A book that is a symbolic link is saved where the link leads: the rename replaces the file there
    // and the link stays, as an editor's save would leave it.
    const std::string target = FollowLinks(MakeAbsolutePath(path));
    if (target.empty())
        return false;
    std::string temporary = target + ".XXXXXX";
    try {
        FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
        if (file.Get() < 0)
            throw FileCantCreateException();
        TemporaryFileGuard guard(temporary);

        // A replaced file keeps its permissions; a new one is readable and writable by its owner only.
        struct stat old {};
        if (::stat(target.c_str(), &old) == 0)
            ::fchmod(file.Get(), old.st_mode & 07777);

        if (bytes != nullptr && length > 0 && !WriteFully(file.Get(), bytes, length))
            throw FileCantWriteException();
        if (::fsync(file.Get()) != 0)
            throw FileCantWriteException();
        if (!file.Close())
            throw FileCantCloseException();
        if (::rename(temporary.c_str(), target.c_str()) != 0)
            throw FileCantWriteException();
        guard.Release();
        SyncDirectoryOf(target);
        return true;
    } catch (const FileException&) {
        return false;
    }
}

// ReadWholeFile, WriteWholeFile, MakeAbsolutePath and the clean-up of temporary files, on POSIX file
// descriptors.
#include "addressbook/WholeFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "addressbook/FileException.h"
#include "base/FileDescriptor.h"

namespace {

// Between the book's name and the six characters that mkostemp fills in. A name no user gives a file, so
// that the clean-up can never take one of theirs (such as "contacts.txt.backup").
constexpr std::string_view kTemporaryMark = ".saving-";
constexpr size_t kTemporaryRandomLength = 6;

std::atomic<int> injectedStep{0};
std::atomic<int> injectedError{0};

// Throws, keeping the errno of the call that failed: the clean-up on the way out may change errno.
template <typename FailureException>
[[noreturn]] void Fail(int& error) {
    error = errno;
    throw FailureException();
}

// Fails as a test asked, at this step.
void FailIfInjected(WriteStep step, int& error) {
    const int injected = injectedError.load();
    if (injected != 0 && injectedStep.load() == static_cast<int>(step)) {
        errno = injected;
        Fail<FileCantWriteException>(error);
    }
}

FileResult FromErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return {FileStatus::NoPermission, error};
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return {FileStatus::DiskFull, error};
        case EEXIST:
            return {FileStatus::Exists, error};
        case ENOENT:
            return {FileStatus::Missing, error};
        default:
            return {FileStatus::Failed, error};
    }
}

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

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself durable. Best effort: the new file is complete whether or not this succeeds.
void SyncDirectoryOf(const std::string& path) {
    const int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

// Moves `from` to `to` unless `to` exists, in one step, so that a file another program made in between
// is not lost either. A file system without that kind of rename gets a hard link, which fails the same way.
bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

bool IsTemporaryNameOf(std::string_view name, std::string_view book) {
    if (name.size() != book.size() + kTemporaryMark.size() + kTemporaryRandomLength ||
        !name.starts_with(book) || name.substr(book.size(), kTemporaryMark.size()) != kTemporaryMark)
        return false;
    for (const char c : name.substr(book.size() + kTemporaryMark.size())) {
        const bool alphanumeric = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alphanumeric)
            return false;
    }
    return true;
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

FileResult ReadWholeFile(std::string_view path, std::string& text) {
    text.clear();
    if (path.empty())
        return {FileStatus::Failed, ENOENT};
    const std::string absolute = MakeAbsolutePath(path);
    int error = 0;
    try {
        // Non-blocking so that a FIFO in the file's place cannot hang the open; it is refused below.
        FileDescriptor file(::open(absolute.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file.Get() < 0)
            Fail<FileCantOpenException>(error);
        struct stat status {};
        if (::fstat(file.Get(), &status) != 0)
            Fail<FileCantReadException>(error);
        if (!S_ISREG(status.st_mode))
            return {FileStatus::NotAFile, 0};
        if (status.st_size > kMaxWholeFileSize)
            return {FileStatus::TooLarge, 0};

        const size_t size = static_cast<size_t>(status.st_size);
        text.resize(size);
        // A file that shrank since fstat keeps what is there.
        const std::optional<size_t> total = ReadFully(file.Get(), text.data(), size);
        if (!total)
            Fail<FileCantReadException>(error);
        text.resize(*total);
        if (!file.Close())
            Fail<FileCantCloseException>(error);
        return *total != 0 ? FileResult{} : FileResult{FileStatus::Empty, 0};
    } catch (const Exception&) {
        text.clear();
        return FromErrno(error);
    }
}

FileResult WriteWholeFile(std::string_view path, const char* bytes, size_t length, WriteMode mode) {
    if (path.empty())
        return {FileStatus::Failed, ENOENT};
    // A book that is a symbolic link is saved where the link leads: the rename replaces the file there
    // and the link stays, as an editor's save would leave it.
    const std::string target = FollowLinks(MakeAbsolutePath(path));
    if (target.empty())
        return {FileStatus::Failed, ELOOP};
    std::string temporary = target;
    temporary.append(kTemporaryMark).append(kTemporaryRandomLength, 'X');
    int error = 0;
    try {
        FailIfInjected(WriteStep::Create, error);
        FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
        if (file.Get() < 0)
            Fail<FileCantCreateException>(error);
        TemporaryFileGuard guard(temporary);
        // Held until the file is in place, so that a clean-up by another copy of the program leaves it.
        ::flock(file.Get(), LOCK_EX);

        // A replaced file keeps its permissions; a new one is readable and writable by its owner only.
        struct stat old {};
        if (mode == WriteMode::Replace && ::stat(target.c_str(), &old) == 0)
            ::fchmod(file.Get(), old.st_mode & 07777);

        FailIfInjected(WriteStep::Write, error);
        if (bytes != nullptr && length > 0 && !WriteFully(file.Get(), bytes, length))
            Fail<FileCantWriteException>(error);
        FailIfInjected(WriteStep::Sync, error);
        if (::fsync(file.Get()) != 0)
            Fail<FileCantWriteException>(error);
        FailIfInjected(WriteStep::Rename, error);
        const bool renamed = mode == WriteMode::Replace ? ::rename(temporary.c_str(), target.c_str()) == 0
                                                        : RenameWithoutReplacing(temporary, target);
        if (!renamed)
            Fail<FileCantWriteException>(error);
        guard.Release();
        // The data reached the disk at the fsync; a close can no longer lose it.
        file.Close();
        SyncDirectoryOf(target);
        return {};
    } catch (const FileException&) {
        return FromErrno(error);
    }
}

int RemoveStaleTemporaryFiles(std::string_view path) {
    const std::string target = FollowLinks(MakeAbsolutePath(path));
    if (target.empty())
        return 0;
    const std::string directory = DirectoryOf(target);
    const std::string book = target.substr(target.rfind('/') + 1);
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), ::closedir);
    if (!listing)
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        if (!IsTemporaryNameOf(entry->d_name, book))
            continue;
        const std::string candidate = directory + "/" + entry->d_name;
        FileDescriptor file(
            ::open(candidate.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
        struct stat status {};
        if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_uid != ::geteuid())
            continue;
        // A write in progress holds the lock; a killed one released it when it died.
        if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (::unlink(candidate.c_str()) == 0)
            ++removed;
    }
    return removed;
}

void InjectWriteFault(WriteStep step, int error) {
    injectedStep.store(static_cast<int>(step));
    injectedError.store(error);
}

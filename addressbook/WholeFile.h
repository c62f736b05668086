// Reading and writing a whole file in one call, for the address book. Both helpers report what became of
// the call in their result, which converts to true only on success; the file exceptions stay inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A larger file is refused unread: a hostile one must not take the memory. An address book of 100,000
// contacts takes about 11 MB, 15 MB with a phone number in each (bench/addressbook_bench.cpp).
constexpr int64_t kMaxWholeFileSize = 32 * 1024 * 1024;

// What a read or a write came to, as far as the user can act on it.
enum class FileStatus {
    Done,
    Missing,       // read: nothing by that name
    Empty,         // read: a file of no bytes
    TooLarge,      // read: larger than kMaxWholeFileSize
    NotAFile,      // read: a directory, a FIFO or a device
    NoPermission,  // the file or its directory may not be read or written, or is on a read-only file system
    DiskFull,      // no space left, a quota or the file-size limit reached
    Exists,        // a write that may not replace anything found the name taken
    Failed,        // any other error
};

struct FileResult {
    FileStatus status = FileStatus::Done;
    int error = 0;  // the errno behind NoPermission, DiskFull and Failed

    explicit operator bool() const { return status == FileStatus::Done; }
};

enum class WriteMode {
    Replace,     // the file is replaced, or created
    NewFileOnly  // the file is created; a name that is taken fails with Exists and is left alone
};

// A path starting with "/" is returned as it is; any other gets the current directory and "/" in front.
// When the current directory cannot be read, the path is returned unchanged and stays relative to it.
std::string MakeAbsolutePath(std::string_view path);

// Replaces `text` with the file's bytes. Fails, with `text` empty, when the path is empty (Failed), the
// file is missing, empty, not a regular file, larger than kMaxWholeFileSize or unreadable.
FileResult ReadWholeFile(std::string_view path, std::string& text);

// Puts exactly `length` bytes in the file: they go to a temporary file in the same directory (the file's
// name and ".saving-" and six letters or digits), which is flushed to disk and then renamed into place, so
// that a failure at any point leaves the old file as it was. A symbolic link is followed: the file it leads
// to is written (its temporary file beside it) and the link stays. A replaced file keeps its permission
// bits. On any failure the temporary file is removed.
FileResult WriteWholeFile(std::string_view path, const char* bytes, size_t length,
                          WriteMode mode = WriteMode::Replace);

// Removes the temporary files that writes of `path` left behind when they were killed or the machine
// stopped; the one of a write still under way is locked by it and stays. Returns how many went.
int RemoveStaleTemporaryFiles(std::string_view path);

// The steps of WriteWholeFile at which a test can make it fail, as a full disk or a read-only directory
// would where the test cannot arrange either for real (tests run as root, which permission bits do not stop).
enum class WriteStep { Create, Write, Sync, Rename };
// Every following WriteWholeFile fails at `step` with errno `error`; an error of 0 ends it.
void InjectWriteFault(WriteStep step, int error);

// Reading and writing a whole file in one call, for the address book. Both helpers report failure by
// their result only; the file exceptions stay inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A larger file is refused unread: nothing the program keeps comes near it, and a hostile one must not
// take the memory.
constexpr int64_t kMaxWholeFileSize = 16 * 1024 * 1024;

// A path starting with "/" is returned as it is; any other gets the current directory and "/" in front.
// When the current directory cannot be read, the path is returned unchanged and stays relative to it.
std::string MakeAbsolutePath(std::string_view path);

// Replaces `text` with the file's bytes. False, with `text` empty, when the path is empty, the file is
// missing, empty, not a regular file, larger than kMaxWholeFileSize or unreadable.
bool ReadWholeFile(std::string_view path, std::string& text);

// Replaces the file with exactly `length` bytes: they go to a temporary file in the same directory, which
// is flushed to disk and then renamed over the file, so that a failure at any point leaves the old file
// as it was. A symbolic link is followed: the file it leads to is replaced (its temporary file beside it)
// and the link stays. The file keeps its permission bits. False on any failure, with the temporary file
// removed.
bool WriteWholeFile(std::string_view path, const char* bytes, size_t length);

#include "app/VerifiedPeers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/SettingsFile.h"
#include "base/FileDescriptor.h"

namespace {

constexpr char kFileName[] = "verified-peers";
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kKeyHexDigits = 64;

std::optional<uint8_t> HexValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

// A label is a word of printable characters: it must read back as it was written.
bool GoodLabel(std::string_view label) {
    if (label.empty() || label.size() > VerifiedPeers::kMaxLabelBytes)
        return false;
    return std::all_of(label.begin(), label.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

std::optional<VerifiedPeers::Entry> ParseLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.size() < kKeyHexDigits + 2 || line[kKeyHexDigits] != ' ')
        return std::nullopt;
    VerifiedPeers::Entry entry;
    for (size_t i = 0; i < entry.identity.size(); ++i) {
        const std::optional<uint8_t> high = HexValue(line[2 * i]);
        const std::optional<uint8_t> low = HexValue(line[2 * i + 1]);
        if (!high || !low)
            return std::nullopt;
        entry.identity[i] = static_cast<uint8_t>(*high << 4 | *low);
    }
    const std::string_view label = line.substr(kKeyHexDigits + 1);
    if (!GoodLabel(label))
        return std::nullopt;
    entry.label = std::string(label);
    return entry;
}

std::string Problem(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::string VerifiedPeers::DefaultPath() {
    const std::string folder = settings_file::DataDirectory();
    return folder.empty() ? std::string() : folder + "/" + kFileName;
}

VerifiedPeers VerifiedPeers::Parse(std::string_view text) {
    VerifiedPeers peers;
    if (text.size() > kMaxFileBytes)
        text = text.substr(0, kMaxFileBytes);
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (std::optional<Entry> entry = ParseLine(line))
            peers.Add(entry->identity, entry->label);
    }
    return peers;
}

std::string VerifiedPeers::Serialize() const {
    std::string text = "# Peers whose code was compared: identity key, then the address it came from\n";
    for (const Entry& entry : entries_) {
        for (uint8_t byte : entry.identity) {
            text += kHexDigits[byte >> 4];
            text += kHexDigits[byte & 0x0F];
        }
        text += ' ';
        text += entry.label;
        text += '\n';
    }
    return text;
}

std::optional<VerifiedPeers> VerifiedPeers::Load(const std::string& path, std::string& problem) {
    // O_NONBLOCK: a FIFO in the file's place is refused below, not waited on here.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (file.Get() < 0) {
        if (errno == ENOENT)
            return VerifiedPeers();
        problem = Problem("cannot open " + path);
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        problem = Problem("cannot read " + path);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = path + " is not a regular file";
        return std::nullopt;
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        // Whoever may write it could make any key "verified".
        problem = path + " can be read or changed by others; make it private with chmod 600";
        return std::nullopt;
    }
    // One byte more than allowed, so that a file that grew since fstat is still seen to be too long.
    std::string text(kMaxFileBytes + 1, '\0');
    const std::optional<size_t> got = ReadFully(file.Get(), text.data(), text.size());
    if (!got) {
        problem = Problem("cannot read " + path);
        return std::nullopt;
    }
    if (*got > kMaxFileBytes) {
        problem = path + " is longer than " + std::to_string(kMaxFileBytes) + " bytes";
        return std::nullopt;
    }
    text.resize(*got);
    return Parse(text);
}

bool VerifiedPeers::Save(const std::string& path, std::string& problem) const {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    FileDescriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.Get() < 0) {
        problem = Problem("cannot create " + temporary);
        return false;
    }
    ::fchmod(file.Get(), 0600);
    const std::string text = Serialize();
    if (!WriteFully(file.Get(), text.data(), text.size()) || ::fsync(file.Get()) != 0 || !file.Close() ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = Problem("cannot write " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

VerifiedPeers::Standing VerifiedPeers::Look(const Key& identity, const std::string& label) const {
    bool labelKnown = false;
    for (const Entry& entry : entries_) {
        if (entry.identity == identity)
            return Standing::kVerified;
        labelKnown = labelKnown || entry.label == label;
    }
    return labelKnown ? Standing::kChanged : Standing::kUnknown;
}

void VerifiedPeers::Add(const Key& identity, const std::string& label) {
    const std::string stored = GoodLabel(label) ? label : "-";
    std::erase_if(entries_, [&](const Entry& entry) {
        return entry.identity == identity || (stored != "-" && entry.label == stored);
    });
    if (entries_.size() >= kMaxEntries)
        entries_.erase(entries_.begin(),
                       entries_.begin() + static_cast<std::ptrdiff_t>(entries_.size() - kMaxEntries + 1));
    entries_.push_back({identity, stored});
}

// The peers whose code was compared and found the same, remembered by their identity key so that a later
// call from the same key is shown as verified at once, and a remembered peer's address that comes with
// another key is shown as a warning, as ssh does with a host key that changed.
//
// On disk: verified-peers in the data folder ($XDG_DATA_HOME/qparlin), mode 0600, one peer a line: the
// identity key as 64 lower-case hex digits, one space, the peer's label (its host address, no spaces, at
// most kMaxLabelBytes). Lines starting with '#', blank lines and lines that do not check out are skipped;
// a file over kMaxFileBytes, or one others can read, is not read at all. At most kMaxEntries peers are
// kept: the oldest goes first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class VerifiedPeers {
public:
    using Key = std::array<uint8_t, 32>;
    static constexpr size_t kMaxFileBytes = 131072;
    static constexpr size_t kMaxEntries = 1000;
    static constexpr size_t kMaxLabelBytes = 255;

    enum class Standing {
        kUnknown,   // never verified, and nothing remembered under its label
        kVerified,  // this identity key was verified
        kChanged,   // its label was verified with another key: somebody else, or the peer made a new one
    };
    struct Entry {
        Key identity{};
        std::string label;
        bool operator==(const Entry&) const = default;
    };

    // verified-peers in the data folder; empty when there is no home to put it in.
    static std::string DefaultPath();
    // The entries of a file's text; what does not check out is skipped, never read past.
    static VerifiedPeers Parse(std::string_view text);
    std::string Serialize() const;
    // The file at `path`; an empty list when none is there. None, with `problem` set to one sentence, when
    // the file cannot be used (others may read it, too long, not a regular file).
    static std::optional<VerifiedPeers> Load(const std::string& path, std::string& problem);
    // Writes the list to `path` whole (a new file, mode 0600, then renamed over the old). False, with
    // `problem` set, when it could not.
    bool Save(const std::string& path, std::string& problem) const;

    Standing Look(const Key& identity, const std::string& label) const;
    // Remembers `identity` as verified under `label` (a label has one key: a newly verified key replaces
    // the old). A label that is empty or would not parse back is stored as "-".
    void Add(const Key& identity, const std::string& label);
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

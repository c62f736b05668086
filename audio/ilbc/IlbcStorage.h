// The RFC 3952 storage format of iLBC files: a header line naming the mode ("#!iLBC20\n" or
// "#!iLBC30\n") followed by whole frames back to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "audio/ilbc/IlbcMode.h"

namespace ilbc {

// The header line of a storage file in the given mode.
std::string_view StorageHeader(Mode mode);

// A storage file read in place: its mode and its whole frames. Bytes after the last whole frame (a
// truncated file) are counted but not handed out.
struct StorageView {
    Mode mode = Mode::k30ms;
    const uint8_t* frames = nullptr;
    size_t frameCount = 0;
    size_t trailingBytes = 0;

    // Frame i (FrameBytes of the mode long), or null when i is not below frameCount.
    const uint8_t* Frame(size_t i) const;
};

// Reads the header and frames of a storage file held in memory; nothing when the header is missing.
std::optional<StorageView> ParseStorage(const uint8_t* data, size_t size);

// A storage file of `frameCount` frames taken from `frames` (frameCount times the mode's frame bytes).
std::vector<uint8_t> MakeStorage(Mode mode, const uint8_t* frames, size_t frameCount);

}  // namespace ilbc

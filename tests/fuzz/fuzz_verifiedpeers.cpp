// The verified peers' file on arbitrary text: parsing never reads past the text, keeps no more than its
// bound, and what it kept, written back, reads back as the same list: no byte of a label can make another
// line in the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/VerifiedPeers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const VerifiedPeers peers = VerifiedPeers::Parse(text);
    if (peers.Entries().size() > VerifiedPeers::kMaxEntries)
        abort();
    for (const VerifiedPeers::Entry& entry : peers.Entries())
        if (entry.label.empty() || entry.label.size() > VerifiedPeers::kMaxLabelBytes)
            abort();
    if (!(VerifiedPeers::Parse(peers.Serialize()).Entries() == peers.Entries()))
        abort();
    return 0;
}

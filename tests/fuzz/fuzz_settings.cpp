// The remembered settings' file on arbitrary text: parsing never reads past the text or takes a value that
// does not check out, and what it took, written back by Compose, reads back as the same values with no
// warning: no byte of a value can make another line in the file it is saved to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> warnings;
    const RememberedSettings remembered = settings_file::Parse(text, warnings);
    if (warnings.size() > settings_file::kMaxWarnings + 1)
        abort();
    std::vector<std::string> again;
    const RememberedSettings reread = settings_file::Parse(settings_file::Compose(remembered), again);
    if (!again.empty() || !(reread == remembered))
        abort();
    return 0;
}

// The remembered settings' file on arbitrary text: parsing never reads past the text or takes a value that
// does not check out, and what it took, written back by Compose, reads back as the same values with no
// warning but one for each line kept for its unknown key: no byte of a value can make another line in the
// file it is saved to.
#include <algorithm>
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
    // The lines kept for their unknown keys are warned about again, and nothing else is.
    if (again.size() != std::min(remembered.otherLines.size(), settings_file::kMaxWarnings + 1) ||
        !(reread == remembered))
        abort();
    for (size_t i = 0; i < again.size() && i < settings_file::kMaxWarnings; ++i)
        if (again[i].find("; kept in the file, unused") == std::string::npos)
            abort();
    return 0;
}

// The banner sanitizer on arbitrary bytes. Its output must be a well-formed tree of the elements it keeps,
// within the nesting caps, no more than a constant times the input, and sanitizing it again must change
// nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/BannerSanitizer.h"

namespace {

// Aborts unless every tag of `html` is closed in order, no deeper than the caps allow.
void CheckTree(const std::string& html) {
    std::vector<std::string> open;
    int tables = 0;
    int lists = 0;
    for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
        const size_t end = html.find('>', at);
        if (end == std::string::npos)
            abort();
        const bool closing = html[at + 1] == '/';
        const size_t nameStart = at + (closing ? 2 : 1);
        const std::string name = html.substr(nameStart, html.find_first_of(" >", nameStart) - nameStart);
        if (name == "br" || name == "img" || name == "hr")
            continue;
        if (closing) {
            if (open.empty() || open.back() != name)
                abort();
            open.pop_back();
            tables -= name == "table";
            lists -= name == "ul" || name == "ol";
            continue;
        }
        open.push_back(name);
        tables += name == "table";
        lists += name == "ul" || name == "ol";
        if (open.size() > static_cast<size_t>(BannerSanitizer::kMaxDepth) ||
            tables > BannerSanitizer::kMaxTableDepth || lists > BannerSanitizer::kMaxListDepth)
            abort();
    }
    if (!open.empty())
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view page(reinterpret_cast<const char*>(data), size);
    const std::string clean = BannerSanitizer::Clean(page);
    CheckTree(clean);
    if (clean.size() > 10 * size + 64)
        abort();
    if (BannerSanitizer::Clean(clean) != clean)
        abort();
    return 0;
}

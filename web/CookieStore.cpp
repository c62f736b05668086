#include "web/CookieStore.h"

#include "base/ByteString.h"

namespace {

// Splits "name=value" at its first "="; an item without one is a name with an empty value.
std::pair<std::string, std::string> SplitPair(std::string_view item) {
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos)
        return {std::string(TrimBytes(item)), std::string()};
    return {std::string(TrimBytes(item.substr(0, equals))), std::string(TrimBytes(item.substr(equals + 1)))};
}

std::vector<std::pair<std::string, std::string>> SplitItems(const std::string& value) {
    std::vector<std::pair<std::string, std::string>> items;
    size_t start = 0;
    for (;;) {
        const size_t semicolon = value.find(';', start);
        auto item = SplitPair(std::string_view(value).substr(start, semicolon - start));
        // An empty item (as after a trailing ";") names nothing.
        if (!item.first.empty())
            items.push_back(std::move(item));
        if (semicolon == std::string::npos)
            break;
        start = semicolon + 1;
    }
    return items;
}

}  // namespace

void CookieStore::Store(const std::string& host, uint16_t port, const HeaderList& headers) {
    for (int i = headers.Find("set-cookie"); i >= 0; i = headers.Find("set-cookie", i + 1)) {
        const auto items = SplitItems(headers.Value(i));
        std::string path;
        for (const auto& [name, value] : items) {
            if (EqualsIgnoringCase(name, "path"))
                path = value;
        }
        const std::string key =
            LowerAscii("http://" + host + (port != 80 ? ":" + std::to_string(port) : std::string()) + path);
        Pairs* pairs = nullptr;
        for (auto& entry : entries_) {
            if (entry.first == key)
                pairs = &entry.second;
        }
        for (const auto& [name, value] : items) {
            if (EqualsIgnoringCase(name, "path") || EqualsIgnoringCase(name, "expires"))
                continue;
            if (pairs == nullptr) {
                entries_.emplace_back(key, Pairs());
                pairs = &entries_.back().second;
            }
            bool replaced = false;
            for (auto& stored : *pairs) {
                if (EqualsIgnoringCase(stored.first, name)) {
                    stored.second = value;
                    replaced = true;
                    break;
                }
            }
            if (!replaced)
                pairs->emplace_back(name, value);
        }
    }
}

std::string CookieStore::CookieFor(const std::string& url) const {
    const std::string lowered = LowerAscii(url);
    std::string cookie;
    for (const auto& [key, pairs] : entries_) {
        if (lowered.compare(0, key.size(), key) != 0)
            continue;
        for (const auto& [name, value] : pairs) {
            if (!cookie.empty())
                cookie += ';';
            cookie += name + "=" + value;
        }
    }
    return cookie;
}

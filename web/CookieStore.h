// Cookies kept by one HttpClient: name and value pairs filed under a key made of the server's address
// and the cookie's path, sent back with every request whose URL starts with the key.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "web/HeaderList.h"

class CookieStore {
public:
    // Files every pair of every "Set-Cookie" field of a response from host:port.
    void Store(const std::string& host, uint16_t port, const HeaderList& headers);
    // The value of the "Cookie" field for a request of `url` (empty when no key matches).
    std::string CookieFor(const std::string& url) const;
    void Clear() { entries_.clear(); }
    bool Empty() const { return entries_.empty(); }

private:
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    std::vector<std::pair<std::string, Pairs>> entries_;  // key (lower case) and its pairs, in store order
};

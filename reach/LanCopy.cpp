#include "reach/LanCopy.h"

#include <arpa/inet.h>

namespace {

// Cuts to `maxBytes` without splitting a UTF-8 sequence, and replaces control characters, so that a name
// is always one printable line.
std::string Printable(std::string_view text, std::size_t maxBytes) {
    std::size_t length = std::min(text.size(), maxBytes);
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out.push_back(c < 0x20 || c == 0x7F ? '?' : text[i]);
    }
    return out;
}

bool IsCodecName(std::string_view text) {
    if (text.empty() || text.size() > LanCopy::kMaxCodecBytes)
        return false;
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

}  // namespace

std::string LanCopy::Address() const {
    return host.find(':') != std::string::npos ? "[" + host + "]:" + std::to_string(port)
                                               : host + ":" + std::to_string(port);
}

std::string LanCopy::Text() const {
    std::string text = name + " at " + Address();
    text += " (" + (codec.empty() ? std::string("codec not said") : codec);
    text += privateCalls ? ", private calls only)" : ")";
    return text;
}

std::vector<std::string> AnnouncementTxt(const std::string& codec, bool privateCalls) {
    return {"txtvers=1", "codec=" + codec, std::string("private=") + (privateCalls ? "yes" : "no")};
}

std::optional<LanCopy> LanCopyFromAnnouncement(std::string_view name, std::string_view address, int port,
                                               const std::vector<std::string>& txt) {
    if (port <= 0 || port > 65535 || address.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string host(address);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        // The loopback is this machine's own copy again, which its LAN address names too.
        if ((ntohl(v4.s_addr) >> 24) == 127 || v4.s_addr == 0)
            return std::nullopt;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        // A link-local address cannot be called without its interface, which the announcement does not
        // carry.
        if (IN6_IS_ADDR_LINKLOCAL(&v6) || IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    LanCopy copy;
    copy.name = Printable(name, LanCopy::kMaxNameBytes);
    copy.host = host;
    copy.port = port;
    for (const std::string& entry : txt) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string_view key = std::string_view(entry).substr(0, equals);
        const std::string_view value = std::string_view(entry).substr(equals + 1);
        if (key == "codec" && IsCodecName(value))
            copy.codec = std::string(value);
        else if (key == "private")
            copy.privateCalls = value == "yes";
    }
    return copy;
}

// A copy of the program announced on the LAN (DNS-SD service "_qparlin._udp"), and the TXT record that
// carries its codec and whether it takes only private calls. Anything on the LAN can announce anything:
// every field is checked and bounded before a copy is shown.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LanCopy {
    static constexpr const char* kServiceType = "_qparlin._udp";
    // A DNS label's length: the most a service name can hold.
    static constexpr std::size_t kMaxNameBytes = 63;
    static constexpr std::size_t kMaxCodecBytes = 32;

    std::string name;  // the service's name, control characters replaced
    std::string host;  // the address it resolved to, as text
    int port = 0;
    std::string codec;  // as the copy names it ("ilbc_11khz"); empty when it did not say
    bool privateCalls = false;

    // "name at host:port (codec, private)", one line for the console and the address book.
    std::string Text() const;
    // "host:port", what Connect takes; an IPv6 host in brackets.
    std::string Address() const;
};

// The TXT strings that announce a copy: "txtvers=1", "codec=...", "private=yes|no".
std::vector<std::string> AnnouncementTxt(const std::string& codec, bool privateCalls);

// The copy from a resolved announcement, or nothing when its address or port is unusable (a loopback or
// link-local address among them). Unknown TXT keys
// are ignored, bad values dropped, over-long texts cut.
std::optional<LanCopy> LanCopyFromAnnouncement(std::string_view name, std::string_view address, int port,
                                               const std::vector<std::string>& txt);

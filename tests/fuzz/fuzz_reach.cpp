// What reaches the program from the network around it: a routing table (where the gateway is), a LAN
// copy's announcement (name, address, port and TXT strings from anyone on the LAN), an IGD's outside
// address. The first byte picks which; the rest is the input. Whatever is kept must be within its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "reach/LanCopy.h"
#include "reach/PortMapper.h"
#include "reach/UpnpIgdProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            const std::string gateway = DefaultGatewayFromRouteTable(input);
            if (gateway.size() > 15)
                std::abort();
            break;
        }
        case 1: {
            // name NUL address NUL two port bytes, then TXT strings separated by NUL.
            std::vector<std::string> parts;
            std::size_t start = 0;
            while (start <= input.size() && parts.size() < 40) {
                const std::size_t end = std::min(input.find('\0', start), input.size());
                parts.push_back(input.substr(start, end - start));
                start = end + 1;
            }
            while (parts.size() < 3)
                parts.emplace_back();
            const int port = parts[2].size() >= 2
                                 ? static_cast<uint8_t>(parts[2][0]) << 8 | static_cast<uint8_t>(parts[2][1])
                                 : -1;
            const std::vector<std::string> txt(parts.begin() + 3, parts.end());
            const auto copy = LanCopyFromAnnouncement(parts[0], parts[1], port, txt);
            if (copy) {
                if (copy->name.size() > LanCopy::kMaxNameBytes ||
                    copy->codec.size() > LanCopy::kMaxCodecBytes || copy->port < 1 || copy->port > 65535)
                    std::abort();
                for (char c : copy->name + copy->Text())
                    if (static_cast<unsigned char>(c) < 0x20)
                        std::abort();
            }
            break;
        }
        default: {
            UpnpIgdProtocol::CheckedExternalAddress(input.data(), input.size());
            const std::optional<std::string> id =
                UpnpIgdProtocol::CheckedPinholeId(input.data(), input.size());
            if (id && (id->empty() || id->size() > 5))
                std::abort();
            break;
        }
    }
    return 0;
}

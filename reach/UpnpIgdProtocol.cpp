#include "reach/UpnpIgdProtocol.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <cstring>
#include <memory>

namespace {

// How long SSDP discovery listens for routers (miniupnpc's delay, in milliseconds).
constexpr int kDiscoveryMs = 1000;
constexpr unsigned char kDiscoveryTtl = 2;
// UPnP's error for an IGD that takes only leases without end (lease 0).
constexpr int kOnlyPermanentLeases = 725;
constexpr const char* kDescription = "Q-Parlin";

struct DeviceListFree {
    void operator()(UPNPDev* list) const { freeUPNPDevlist(list); }
};

class Urls {
public:
    Urls() = default;
    ~Urls() { FreeUPNPUrls(&urls_); }
    Urls(const Urls&) = delete;
    Urls& operator=(const Urls&) = delete;
    UPNPUrls* Get() { return &urls_; }

private:
    UPNPUrls urls_{};
};

std::string ErrorText(int code) {
    const char* text = strupnperror(code);
    return text != nullptr ? std::to_string(code) + " " + text : "error " + std::to_string(code);
}

// GetStatusInfo's connection status, which the router fills into a 64-byte buffer.
bool ReportsConnected(const char* controlUrl, const char* serviceType) {
    char status[64] = {};
    char lastError[64] = {};
    unsigned int uptime = 0;
    if (UPNP_GetStatusInfo(controlUrl, serviceType, status, &uptime, lastError) != UPNPCOMMAND_SUCCESS)
        return false;
    status[sizeof status - 1] = '\0';
    return std::strcmp(status, "Connected") == 0;
}

}  // namespace

std::optional<uint32_t> UpnpIgdProtocol::CheckedExternalAddress(const char* text, std::size_t capacity) {
    if (text == nullptr || capacity == 0)
        return std::nullopt;
    // miniupnpc writes at most 16 bytes with the terminator; anything unterminated is not an address.
    if (std::memchr(text, '\0', capacity) == nullptr)
        return std::nullopt;
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1 || address.s_addr == 0)
        return std::nullopt;
    return address.s_addr;
}

MappingProtocol::Outcome UpnpIgdProtocol::Map(int localPort, int lifetimeS, const std::atomic<bool>& stop) {
    Outcome outcome;
    int error = 0;
    std::unique_ptr<UPNPDev, DeviceListFree> devices(
        upnpDiscover(kDiscoveryMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, kDiscoveryTtl, &error));
    if (!devices || stop.load())
        return outcome;
    Urls urls;
    IGDdatas data{};
    char lanAddress[64] = {};
    int found = UPNP_GetValidIGD(devices.get(), urls.Get(), &data, lanAddress, sizeof lanAddress);
    if (found == 0 || urls.Get()->controlURL == nullptr) {
        outcome.detail = "no gateway device among the UPnP devices that answered";
        return outcome;
    }
    outcome.router = urls.Get()->controlURL;
    // miniupnpc also counts a connected IGD whose outside address is a reserved one (a router behind the
    // provider's NAT) as not connected (2); that router can still map the port, so its own word decides.
    if (found == 2 && !ReportsConnected(urls.Get()->controlURL, data.first.servicetype))
        found = 0;
    if (found != 1 && found != 2) {
        outcome.kind = Outcome::Kind::kRefused;
        outcome.detail = "the gateway device reports no connection";
        return outcome;
    }
    char external[40] = {};
    const int addressResult =
        UPNP_GetExternalIPAddress(urls.Get()->controlURL, data.first.servicetype, external);
    const std::optional<uint32_t> publicAddress = CheckedExternalAddress(external, sizeof external);
    if (addressResult != UPNPCOMMAND_SUCCESS || !publicAddress) {
        outcome.kind = Outcome::Kind::kRefused;
        outcome.detail =
            addressResult != UPNPCOMMAND_SUCCESS ? ErrorText(addressResult) : "no external address";
        return outcome;
    }
    const std::string port = std::to_string(localPort);
    std::string lease = std::to_string(lifetimeS);
    lanAddress[sizeof lanAddress - 1] = '\0';
    int result = UPNP_AddPortMapping(urls.Get()->controlURL, data.first.servicetype, port.c_str(),
                                     port.c_str(), lanAddress, kDescription, "UDP", nullptr, lease.c_str());
    if (result == kOnlyPermanentLeases) {
        lease = "0";
        result = UPNP_AddPortMapping(urls.Get()->controlURL, data.first.servicetype, port.c_str(),
                                     port.c_str(), lanAddress, kDescription, "UDP", nullptr, lease.c_str());
    }
    if (result != UPNPCOMMAND_SUCCESS) {
        outcome.kind = Outcome::Kind::kRefused;
        outcome.detail = ErrorText(result);
        return outcome;
    }
    controlUrl_ = urls.Get()->controlURL;
    serviceType_ = data.first.servicetype;
    publicPort_ = localPort;
    outcome.kind = Outcome::Kind::kMapped;
    outcome.publicAddress = *publicAddress;
    outcome.publicPort = localPort;
    // A permanent lease is still renewed now and then, in case the router forgot it.
    outcome.lifetimeS = lifetimeS;
    return outcome;
}

void UpnpIgdProtocol::Unmap(int localPort) {
    (void)localPort;
    if (controlUrl_.empty())
        return;
    const std::string port = std::to_string(publicPort_);
    UPNP_DeletePortMapping(controlUrl_.c_str(), serviceType_.c_str(), port.c_str(), "UDP", nullptr);
    controlUrl_.clear();
    publicPort_ = 0;
}

#include "reach/UpnpIgdProtocol.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/Socket.h"

namespace {

// How long SSDP discovery listens for routers (miniupnpc's delay, in milliseconds).
constexpr int kDiscoveryMs = 1000;
constexpr unsigned char kDiscoveryTtl = 2;
// UPnP's error for an IGD that takes only leases without end (lease 0).
constexpr int kOnlyPermanentLeases = 725;
constexpr const char* kDescription = "Q-Parlin";
// WANIPv6FirewallControl's protocol numbers and its longest lease (a day).
constexpr const char* kUdpProtocolNumber = "17";
constexpr int kMaxPinholeLeaseS = 86400;
constexpr int kMaxPinholeId = 65535;

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

std::optional<std::string> UpnpIgdProtocol::CheckedPinholeId(const char* text, std::size_t capacity) {
    if (text == nullptr || capacity == 0)
        return std::nullopt;
    const void* end = std::memchr(text, '\0', capacity);
    if (end == nullptr)
        return std::nullopt;
    const std::string id(text, static_cast<const char*>(end));
    // At most five digits, no sign, no blanks: what ui2 allows, and nothing to smuggle into the next request.
    if (id.empty() || id.size() > 5 || id.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    if (std::stoi(id) > kMaxPinholeId)
        return std::nullopt;
    return id;
}

std::optional<SocketAddress> UpnpIgdProtocol::PinholeClient(const std::vector<SocketAddress>& own) {
    for (const SocketAddress& address : own) {
        if (!address.IsIpv6())
            continue;
        const in6_addr& bytes = address.sin6.sin6_addr;
        // Unique-local (fc00::/7) and link-local addresses never come from the Internet.
        if (IN6_IS_ADDR_LOOPBACK(&bytes) || IN6_IS_ADDR_LINKLOCAL(&bytes) || IN6_IS_ADDR_V4MAPPED(&bytes) ||
            (bytes.s6_addr[0] & 0xFE) == 0xFC || IN6_IS_ADDR_MULTICAST(&bytes) ||
            IN6_IS_ADDR_UNSPECIFIED(&bytes))
            continue;
        return address;
    }
    return std::nullopt;
}

std::string UpnpIgdProtocol::KeepPinhole(const char* controlUrl, const char* serviceType, int localPort,
                                         int lifetimeS) {
    if (controlUrl == nullptr || controlUrl[0] == '\0' || serviceType == nullptr || serviceType[0] == '\0') {
        // A router that no longer offers the firewall service (or another router) holds no pinhole of ours.
        pinholeId_.clear();
        return {};
    }
    std::optional<SocketAddress> client = PinholeClient(LocalInterfaceAddresses());
    if (!client)
        return {};
    client->SetPort(localPort);
    int firewallEnabled = 0;
    int pinholesAllowed = 0;
    if (UPNP_GetFirewallStatus(controlUrl, serviceType, &firewallEnabled, &pinholesAllowed) !=
        UPNPCOMMAND_SUCCESS)
        return {};
    // Without a firewall the address is reachable as it is; with one that takes no pinholes it is not.
    if (firewallEnabled == 0)
        return client->Text();
    if (pinholesAllowed == 0)
        return {};
    const std::string lease = std::to_string(lifetimeS < 1 ? 1 : std::min(lifetimeS, kMaxPinholeLeaseS));
    const std::string text = client->Text();
    if (!pinholeId_.empty() && pinholeUrl_ == controlUrl && pinholeText_ == text &&
        UPNP_UpdatePinhole(controlUrl, serviceType, pinholeId_.c_str(), lease.c_str()) == UPNPCOMMAND_SUCCESS)
        return text;
    ClosePinhole();
    const std::string host = client->HostText();
    const std::string port = std::to_string(localPort);
    // miniupnpc writes at most 8 bytes of the id; the rest stays zero.
    char id[32] = {};
    if (UPNP_AddPinhole(controlUrl, serviceType, "", "0", host.c_str(), port.c_str(), kUdpProtocolNumber,
                        lease.c_str(), id) != UPNPCOMMAND_SUCCESS)
        return {};
    const std::optional<std::string> checked = CheckedPinholeId(id, sizeof id);
    if (!checked)
        return {};
    pinholeUrl_ = controlUrl;
    pinholeService_ = serviceType;
    pinholeId_ = *checked;
    pinholeText_ = text;
    return text;
}

void UpnpIgdProtocol::ClosePinhole() {
    if (pinholeId_.empty())
        return;
    UPNP_DeletePinhole(pinholeUrl_.c_str(), pinholeService_.c_str(), pinholeId_.c_str());
    pinholeId_.clear();
    pinholeText_.clear();
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
    outcome.pinhole = KeepPinhole(urls.Get()->controlURL_6FC, data.IPv6FC.servicetype, localPort, lifetimeS);
    outcome.publicAddress = *publicAddress;
    outcome.publicPort = localPort;
    // A permanent lease is still renewed now and then, in case the router forgot it.
    outcome.lifetimeS = lifetimeS;
    return outcome;
}

std::function<void()> UpnpIgdProtocol::TakeRemoval(int localPort) {
    (void)localPort;
    if (controlUrl_.empty() && pinholeId_.empty())
        return {};
    // Copies of what the router needs to hear: the task may outlive this object.
    std::function<void()> removal = [controlUrl = controlUrl_, serviceType = serviceType_,
                                     port = std::to_string(publicPort_), pinholeUrl = pinholeUrl_,
                                     pinholeService = pinholeService_, pinholeId = pinholeId_] {
        if (!pinholeId.empty())
            UPNP_DeletePinhole(pinholeUrl.c_str(), pinholeService.c_str(), pinholeId.c_str());
        if (!controlUrl.empty())
            UPNP_DeletePortMapping(controlUrl.c_str(), serviceType.c_str(), port.c_str(), "UDP", nullptr);
    };
    controlUrl_.clear();
    publicPort_ = 0;
    pinholeId_.clear();
    pinholeText_.clear();
    return removal;
}

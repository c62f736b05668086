// UPnP IGD through miniupnpc: SSDP discovery of the router, its external address, then AddPortMapping on
// its WANIPConnection or WANPPPConnection service; and where the router has an IPv6 firewall it lets us
// control (IGDv2's WANIPv6FirewallControl), a pinhole for the same port to this machine's IPv6 address,
// renewed and removed with the mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reach/MappingProtocol.h"

struct SocketAddress;

class UpnpIgdProtocol final : public MappingProtocol {
public:
    const char* Name() const override { return "UPnP IGD"; }
    Outcome Map(int localPort, int lifetimeS, const std::atomic<bool>& stop) override;
    std::function<void()> TakeRemoval(int localPort) override;

    // The external address an IGD reported, checked: a dotted IPv4 address that is not 0.0.0.0, or
    // nothing. The text comes from the router's SOAP answer.
    static std::optional<uint32_t> CheckedExternalAddress(const char* text, std::size_t capacity);
    // The pinhole id an IGD returned, checked: the decimal number 0..65535 the service defines, terminated
    // within `capacity`, or nothing.
    static std::optional<std::string> CheckedPinholeId(const char* text, std::size_t capacity);
    // Which of this machine's addresses a pinhole lets callers reach: the first IPv6 one that the
    // Internet can route to (not unique-local, not link-local, not loopback); nothing without one.
    static std::optional<SocketAddress> PinholeClient(const std::vector<SocketAddress>& own);

private:
    // Opens (or renews) the pinhole for `localPort`; its "[address]:port", or empty.
    std::string KeepPinhole(const char* controlUrl, const char* serviceType, int localPort, int lifetimeS);
    void ClosePinhole();

    // What Unmap needs of the router that mapped the port.
    std::string controlUrl_;
    std::string serviceType_;
    int publicPort_ = 0;
    // The pinhole kept open: the firewall service's control URL and type, and the id the router gave.
    std::string pinholeUrl_;
    std::string pinholeService_;
    std::string pinholeId_;
    std::string pinholeText_;
};

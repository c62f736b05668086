// UPnP IGD through miniupnpc: SSDP discovery of the router, its external address, then AddPortMapping on
// its WANIPConnection or WANPPPConnection service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "reach/MappingProtocol.h"

class UpnpIgdProtocol final : public MappingProtocol {
public:
    const char* Name() const override { return "UPnP IGD"; }
    Outcome Map(int localPort, int lifetimeS, const std::atomic<bool>& stop) override;
    void Unmap(int localPort) override;

    // The external address an IGD reported, checked: a dotted IPv4 address that is not 0.0.0.0, or
    // nothing. The text comes from the router's SOAP answer.
    static std::optional<uint32_t> CheckedExternalAddress(const char* text, std::size_t capacity);

private:
    // What Unmap needs of the router that mapped the port.
    std::string controlUrl_;
    std::string serviceType_;
    int publicPort_ = 0;
};

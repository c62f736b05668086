// NAT-PMP (RFC 6886) through libnatpmp: the gateway's public address, then a UDP mapping. PCP routers
// answer it too (RFC 6887's version negotiation).
#pragma once

#include "reach/MappingProtocol.h"

class NatPmpProtocol final : public MappingProtocol {
public:
    const char* Name() const override { return "NAT-PMP"; }
    Outcome Map(int localPort, int lifetimeS, const std::atomic<bool>& stop) override;
    std::function<void()> TakeRemoval(int localPort) override;

private:
    int publicPort_ = 0;
};

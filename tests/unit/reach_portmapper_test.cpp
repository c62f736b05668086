// The port mapper's rules against a simulated router: which protocol is asked, what the user is told, the
// renewal, the minute's pause after a failure, the removal; and the routing table it finds the gateway in.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>

#include "base/Socket.h"
#include "reach/PortMapper.h"
#include "reach/RetryGate.h"
#include "reach/UpnpIgdProtocol.h"

namespace {

uint32_t Ip(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// A router that answers each Map with the next scripted outcome (the last one repeats) and counts.
class ScriptedProtocol final : public MappingProtocol {
public:
    // The removals the router took, shared with the removal tasks (which may outlive the protocol).
    struct Removals {
        std::mutex lock;
        std::condition_variable changed;
        bool hang = false;
        bool started = false;
        std::vector<int> ports;
    };
    ScriptedProtocol(const char* name, std::vector<Outcome> script)
        : name_(name), script_(std::move(script)) {}
    const char* Name() const override { return name_; }
    Outcome Map(int localPort, int lifetimeS, const std::atomic<bool>&) override {
        std::lock_guard<std::mutex> guard(lock_);
        ports_.push_back(localPort);
        lifetimes_.push_back(lifetimeS);
        const Outcome outcome = script_[std::min(maps_, script_.size() - 1)];
        ++maps_;
        return outcome;
    }
    std::function<void()> TakeRemoval(int localPort) override {
        // The removal may outlive this object (a router that does not answer): it owns what it uses.
        return [removals = removals_, localPort] {
            std::unique_lock<std::mutex> guard(removals->lock);
            removals->started = true;
            removals->changed.notify_all();
            // A hanging router answers only when the test lets it (or after 10 s, so that a fault fails
            // the test instead of hanging it).
            removals->changed.wait_for(guard, std::chrono::seconds(10), [&] { return !removals->hang; });
            removals->ports.push_back(localPort);
        };
    }
    // The router stops answering removals until `hang` is cleared.
    void Hang() {
        std::lock_guard<std::mutex> guard(removals_->lock);
        removals_->hang = true;
    }
    std::shared_ptr<Removals> SharedRemovals() const { return removals_; }
    bool RemovalStarted() const {
        std::lock_guard<std::mutex> guard(removals_->lock);
        return removals_->started;
    }
    std::size_t Maps() const {
        std::lock_guard<std::mutex> guard(lock_);
        return maps_;
    }
    std::vector<int> Unmapped() const {
        std::lock_guard<std::mutex> guard(removals_->lock);
        return removals_->ports;
    }

    std::vector<int> Ports() const {
        std::lock_guard<std::mutex> guard(lock_);
        return ports_;
    }
    std::vector<int> Lifetimes() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lifetimes_;
    }

private:
    const char* name_;
    std::vector<Outcome> script_;
    mutable std::mutex lock_;
    std::size_t maps_ = 0;
    std::shared_ptr<Removals> removals_ = std::make_shared<Removals>();
    std::vector<int> ports_;
    std::vector<int> lifetimes_;
};

class CountingTarget final : public MessageTarget {
public:
    void Post(uint32_t message, WPARAM, LPARAM) override {
        if (message == 0x9000)
            posts.fetch_add(1);
    }
    std::atomic<int> posts{0};
};

MappingProtocol::Outcome Mapped(const char* address, int port, int lifetimeS) {
    MappingProtocol::Outcome outcome;
    outcome.kind = MappingProtocol::Outcome::Kind::kMapped;
    outcome.publicAddress = Ip(address);
    outcome.publicPort = port;
    outcome.lifetimeS = lifetimeS;
    return outcome;
}

MappingProtocol::Outcome Refused(const char* detail) {
    MappingProtocol::Outcome outcome;
    outcome.kind = MappingProtocol::Outcome::Kind::kRefused;
    outcome.detail = detail;
    return outcome;
}

MappingProtocol::Outcome Silent() {
    return {};
}

struct Fixture {
    Fixture(std::vector<MappingProtocol::Outcome> first, std::vector<MappingProtocol::Outcome> second,
            std::string gatewayText = "198.51.100.1") {
        auto a = std::make_unique<ScriptedProtocol>("NAT-PMP", std::move(first));
        auto b = std::make_unique<ScriptedProtocol>("UPnP IGD", std::move(second));
        natPmp = a.get();
        upnp = b.get();
        std::vector<std::unique_ptr<MappingProtocol>> protocols;
        protocols.push_back(std::move(a));
        protocols.push_back(std::move(b));
        mapper = std::make_unique<PortMapper>(std::move(protocols), &target, 0x9000,
                                              [gatewayText] { return gatewayText; });
    }
    // Waits up to 3 s for the state.
    bool WaitFor(PortMapper::Status::State state) {
        for (int i = 0; i < 300; ++i) {
            if (mapper->Current().state == state)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    CountingTarget target;
    ScriptedProtocol* natPmp = nullptr;
    ScriptedProtocol* upnp = nullptr;
    std::unique_ptr<PortMapper> mapper;
};

}  // namespace

TEST(PortMapperTest, TheFirstProtocolThatMapsWinsAndTheOtherIsNotAsked) {
    Fixture f({Mapped("203.0.113.7", 41822, 7200)}, {Mapped("203.0.113.9", 1, 7200)});
    f.mapper->Start(41822);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    const PortMapper::Status status = f.mapper->Current();
    EXPECT_EQ(status.text, "reachable from the Internet at 203.0.113.7:41822 (NAT-PMP)");
    EXPECT_EQ(status.address, "203.0.113.7:41822");
    EXPECT_EQ(f.natPmp->Ports(), std::vector<int>{41822});
    EXPECT_EQ(f.natPmp->Lifetimes(), std::vector<int>{7200});
    EXPECT_EQ(f.upnp->Maps(), 0u);
    EXPECT_GE(f.target.posts.load(), 2);  // trying, then mapped
}

TEST(PortMapperTest, NoNatPmpAnswerFallsBackToUpnp) {
    Fixture f({Silent()}, {Mapped("203.0.113.9", 5007, 3600)});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    EXPECT_EQ(f.mapper->Current().text, "reachable from the Internet at 203.0.113.9:5007 (UPnP IGD)");
}

TEST(PortMapperTest, ARefusalIsToldInPlainWordsWithEachProtocolsReason) {
    Fixture f({Silent()}, {Refused("718 ConflictInMappingEntry")});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kFailed));
    EXPECT_EQ(
        f.mapper->Current().text,
        "the router does not allow port mapping (NAT-PMP: no answer; UPnP IGD: 718 ConflictInMappingEntry)");
    EXPECT_EQ(f.mapper->Current().address, "");
}

TEST(PortMapperTest, NoAnswerAtAllIsNotCalledARefusal) {
    Fixture f({Silent()}, {Silent()});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kFailed));
    EXPECT_EQ(f.mapper->Current().text,
              "no router answered a port-mapping request (NAT-PMP: no answer; UPnP IGD: no answer)");
}

TEST(PortMapperTest, AFailedRouterIsNotAskedAgainWithinTheMinute) {
    Fixture f({Refused("not authorized")}, {Refused("606 Action not authorized")});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kFailed));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(f.natPmp->Maps(), 1u);
    EXPECT_EQ(f.upnp->Maps(), 1u);
}

TEST(PortMapperTest, WithoutADefaultRouteNoRouterIsAsked) {
    Fixture f({Mapped("203.0.113.7", 5007, 7200)}, {Silent()}, "");
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kFailed));
    EXPECT_EQ(f.mapper->Current().text,
              "no router to ask for a port mapping: this machine has no default route");
    EXPECT_EQ(f.natPmp->Maps(), 0u);
}

TEST(PortMapperTest, TheMappingIsRenewedAtHalfItsLifetime) {
    // Granted for 2 s: asked again after 1 s, and not before.
    Fixture f({Mapped("203.0.113.7", 5007, 2)}, {Silent()});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(f.natPmp->Maps(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(f.natPmp->Maps(), 2u);
}

TEST(PortMapperTest, StoppingRemovesTheMappingOnceAndSaysNothingMore) {
    Fixture f({Mapped("203.0.113.7", 5007, 7200)}, {Silent()});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    const auto before = std::chrono::steady_clock::now();
    f.mapper->StopAndWait();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_EQ(f.natPmp->Unmapped(), std::vector<int>{5007});
    EXPECT_EQ(f.upnp->Unmapped(), std::vector<int>{});
    EXPECT_EQ(f.mapper->Current().state, PortMapper::Status::State::kOff);
    EXPECT_EQ(f.mapper->Current().text, "");
}

TEST(PortMapperTest, ARouterThatStopsAnsweringDoesNotHoldUpTheStopAndStillGetsItsRemoval) {
    Fixture f({Silent()}, {Mapped("203.0.113.9", 5007, 7200)});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    f.upnp->Hang();
    // Were the stop to wait for the router, it would return only when the router answers, which it does
    // only after the stop returned (or 10 s later): the test would fail, not hang.
    f.mapper->StopAndWait();
    EXPECT_TRUE(f.upnp->RemovalStarted());
    EXPECT_EQ(f.upnp->Unmapped(), std::vector<int>{}) << "the removal still waits for the router";
    EXPECT_EQ(f.mapper->Current().state, PortMapper::Status::State::kOff);
    // The removal goes on without the mapper and its protocols, and reaches the router once it answers.
    const std::shared_ptr<ScriptedProtocol::Removals> removals = f.upnp->SharedRemovals();
    f.mapper.reset();
    f.upnp = nullptr;
    std::unique_lock<std::mutex> guard(removals->lock);
    removals->hang = false;
    removals->changed.notify_all();
    EXPECT_TRUE(
        removals->changed.wait_for(guard, std::chrono::seconds(3), [&] { return !removals->ports.empty(); }));
    EXPECT_EQ(removals->ports, std::vector<int>{5007});
}

TEST(PortMapperTest, AFailedRenewalStillRemovesTheEarlierMapping) {
    Fixture f({Mapped("203.0.113.7", 5007, 2), Silent()}, {Silent()});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kFailed));
    f.mapper->StopAndWait();
    EXPECT_EQ(f.natPmp->Unmapped(), std::vector<int>{5007});
}

TEST(PortMapperTest, StartingTheSamePortAgainKeepsTheMappingAndAnotherPortReplacesIt) {
    Fixture f({Mapped("203.0.113.7", 5007, 7200)}, {Silent()});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    f.mapper->Start(5007);
    EXPECT_EQ(f.natPmp->Maps(), 1u);
    EXPECT_EQ(f.natPmp->Unmapped(), std::vector<int>{});
    f.mapper->Start(5008);
    EXPECT_EQ(f.natPmp->Unmapped(), std::vector<int>{5007});
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    EXPECT_EQ(f.natPmp->Ports(), (std::vector<int>{5007, 5008}));
}

TEST(PortMapperTest, APrivateOrSharedOutsideAddressSaysAnotherRouterIsInTheWay) {
    for (const char* address :
         {"10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.1", "100.64.0.1", "100.127.255.255"})
        EXPECT_NE(PortMapper::MappedText(Ip(address), 5007, "NAT-PMP").find("another router"),
                  std::string::npos)
            << address;
    for (const char* address :
         {"172.15.255.255", "172.32.0.0", "100.63.255.255", "100.128.0.0", "203.0.113.7"})
        EXPECT_EQ(PortMapper::MappedText(Ip(address), 5007, "NAT-PMP"),
                  std::string("reachable from the Internet at ") + address + ":5007 (NAT-PMP)");
}

TEST(PortMapperTest, RenewalIsAtHalfTheGrantAndNeverSoonerThanASecond) {
    EXPECT_EQ(PortMapper::RenewAfterS(7200), 3600);
    EXPECT_EQ(PortMapper::RenewAfterS(3), 1);
    EXPECT_EQ(PortMapper::RenewAfterS(4), 2);
    EXPECT_EQ(PortMapper::RenewAfterS(1), 1);
    EXPECT_EQ(PortMapper::RenewAfterS(0), 1);
}

TEST(PortMapperTest, NothingIsMappedForTheLoopback) {
    EXPECT_FALSE(PortMapper::ShouldMapFor("127.0.0.1"));
    EXPECT_FALSE(PortMapper::ShouldMapFor("127.255.255.254"));
    EXPECT_FALSE(PortMapper::ShouldMapFor("::1"));
    EXPECT_FALSE(PortMapper::ShouldMapFor("localhost"));
    EXPECT_TRUE(PortMapper::ShouldMapFor("128.0.0.1"));
    EXPECT_TRUE(PortMapper::ShouldMapFor("126.255.255.255"));
    EXPECT_TRUE(PortMapper::ShouldMapFor("0.0.0.0"));
    EXPECT_TRUE(PortMapper::ShouldMapFor("::"));
}

TEST(RetryGateTest, ARouterThatFailedWaitsExactlyAMinute) {
    RetryGate gate;
    EXPECT_TRUE(gate.MayTry("198.51.100.1", 0));
    gate.Failed("198.51.100.1", 1000);
    EXPECT_FALSE(gate.MayTry("198.51.100.1", 60999));
    EXPECT_TRUE(gate.MayTry("198.51.100.1", 61000));
    EXPECT_EQ(gate.WaitMs(60999), 1);
    EXPECT_EQ(gate.WaitMs(61000), 0);
    EXPECT_EQ(gate.WaitMs(70000), 0);
    // Another router is not held up, and a success lifts the pause.
    EXPECT_TRUE(gate.MayTry("198.51.100.254", 1000));
    gate.Succeeded("198.51.100.1");
    EXPECT_TRUE(gate.MayTry("198.51.100.1", 1001));
    EXPECT_EQ(gate.WaitMs(1001), 0);
}

TEST(RouteTableTest, TheDefaultRouteThroughAGatewayIsFound) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t006433C6\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t00000000\t016433C6\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(DefaultGatewayFromRouteTable(table), "198.51.100.1");
}

TEST(RouteTableTest, AnythingElseGivesNoGateway) {
    const std::string head = "Iface\tDestination\tGateway \tFlags\n";
    // A default route without the gateway flag, a route that is down, a gateway of 0, bad hex, short and
    // long fields, a line cut short, no heading line to skip, nothing at all.
    for (const std::string& body :
         {std::string("eth0\t00000000\t016433C6\t0001\n"), std::string("eth0\t00000000\t016433C6\t0002\n"),
          std::string("eth0\t00000000\t00000000\t0003\n"), std::string("eth0\t00000000\t01643XC6\t0003\n"),
          std::string("eth0\t00000000\t16433C6\t0003\n"), std::string("eth0\t00000000\t0016433C6\t0003\n"),
          std::string("eth0\t00000000\t016433C6\t000000003\n"), std::string("eth0\t00000000\t016433C6\n"),
          std::string("eth0\t00000000\t-16433C6\t0003\n")})
        EXPECT_EQ(DefaultGatewayFromRouteTable(head + body), "") << body;
    EXPECT_EQ(DefaultGatewayFromRouteTable("eth0\t00000000\t016433C6\t0003\n"), "");
    EXPECT_EQ(DefaultGatewayFromRouteTable(""), "");
    EXPECT_EQ(DefaultGatewayFromRouteTable(std::string(200000, 'x')), "");
}

TEST(UpnpAnswerTest, OnlyATerminatedDottedAddressIsTakenAsTheOutsideAddress) {
    char exact[16] = "203.0.113.7";
    EXPECT_EQ(UpnpIgdProtocol::CheckedExternalAddress(exact, sizeof exact), Ip("203.0.113.7"));
    char unterminated[4] = {'1', '.', '2', '.'};
    EXPECT_EQ(UpnpIgdProtocol::CheckedExternalAddress(unterminated, sizeof unterminated), std::nullopt);
    for (const char* bad : {"", "0.0.0.0", "203.0.113.7 ", "203.0.113", "203.0.113.256", "::1", "router"})
        EXPECT_EQ(UpnpIgdProtocol::CheckedExternalAddress(bad, std::strlen(bad) + 1), std::nullopt) << bad;
    EXPECT_EQ(UpnpIgdProtocol::CheckedExternalAddress(nullptr, 16), std::nullopt);
}

TEST(PortMapperTest, APinholeBesideTheMappingIsShownWithIt) {
    MappingProtocol::Outcome withPinhole = Mapped("203.0.113.9", 5007, 7200);
    withPinhole.pinhole = "[2001:db8:2::2]:5007";
    Fixture f({Silent()}, {withPinhole});
    f.mapper->Start(5007);
    ASSERT_TRUE(f.WaitFor(PortMapper::Status::State::kMapped));
    EXPECT_EQ(f.mapper->Current().text,
              "reachable from the Internet at 203.0.113.9:5007 (UPnP IGD); over IPv6 at [2001:db8:2::2]:5007 "
              "(the router's firewall lets callers in)");
    EXPECT_EQ(f.mapper->Current().address, "203.0.113.9:5007");
}

TEST(UpnpAnswerTest, APinholeIdIsTakenOnlyAsATerminatedNumberUpTo65535) {
    char exact[8] = "65535";
    EXPECT_EQ(UpnpIgdProtocol::CheckedPinholeId(exact, sizeof exact), "65535");
    EXPECT_EQ(UpnpIgdProtocol::CheckedPinholeId("0", 2), "0");
    char unterminated[5] = {'1', '2', '3', '4', '5'};
    EXPECT_EQ(UpnpIgdProtocol::CheckedPinholeId(unterminated, sizeof unterminated), std::nullopt);
    for (const char* bad : {"", "65536", "123456", "-1", "+1", " 1", "1 ", "1a", "0x10"})
        EXPECT_EQ(UpnpIgdProtocol::CheckedPinholeId(bad, std::strlen(bad) + 1), std::nullopt) << bad;
    EXPECT_EQ(UpnpIgdProtocol::CheckedPinholeId(nullptr, 8), std::nullopt);
    EXPECT_EQ(UpnpIgdProtocol::CheckedPinholeId("1", 0), std::nullopt);
}

TEST(UpnpAnswerTest, APinholeLetsCallersReachTheFirstAddressTheInternetRoutesTo) {
    const auto address = [](const char* text) {
        SocketAddress parsed;
        EXPECT_TRUE(SocketAddress::ParseNumeric(text, 0, &parsed)) << text;
        return parsed;
    };
    EXPECT_EQ(UpnpIgdProtocol::PinholeClient({}), std::nullopt);
    EXPECT_EQ(UpnpIgdProtocol::PinholeClient({address("198.51.100.2"), address("fd00::5"), address("fc00::1"),
                                              address("fe80::1"), address("::1")}),
              std::nullopt)
        << "IPv4, unique-local, link-local and loopback are never reached from outside";
    const std::optional<SocketAddress> chosen = UpnpIgdProtocol::PinholeClient(
        {address("198.51.100.2"), address("fdff::5"), address("2001:db8:2::2"), address("2001:db8:2::3")});
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->HostText(), "2001:db8:2::2");
    EXPECT_EQ(UpnpIgdProtocol::PinholeClient({address("fbff::1")})->HostText(), "fbff::1")
        << "just below fc00::/7";
}

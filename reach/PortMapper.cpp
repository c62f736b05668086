#include "reach/PortMapper.h"

#include <arpa/inet.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "reach/NatPmpProtocol.h"
#include "reach/RetryGate.h"
#include "reach/UpnpIgdProtocol.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string AddressText(uint32_t addressNetworkOrder) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = addressNetworkOrder;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool IsPrivateOrShared(uint32_t addressNetworkOrder) {
    const uint32_t a = ntohl(addressNetworkOrder);
    return (a >> 24) == 10 || (a >> 20) == (172u << 4 | 1) || (a >> 16) == (192u << 8 | 168) ||
           (a >> 22) == (100u << 2 | 1) || a == 0;
}

// Runs `task` on a thread of its own and waits for it up to `waitMs`; a task still running then is left to
// finish alone (it owns everything it uses).
void RunBounded(std::function<void()> task, int waitMs) {
    if (!task)
        return;
    struct Done {
        std::mutex lock;
        std::condition_variable finished;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    try {
        std::thread([task = std::move(task), done] {
            task();
            {
                std::lock_guard<std::mutex> guard(done->lock);
                done->done = true;
            }
            done->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return;  // no thread to be had: the router keeps the mapping until its lifetime ends
    }
    std::unique_lock<std::mutex> guard(done->lock);
    done->finished.wait_for(guard, std::chrono::milliseconds(waitMs), [&] { return done->done; });
}

// A routing table is a few lines; a file that does not end is not one.
constexpr std::size_t kMaxRouteTableBytes = 65536;

}  // namespace

PortMapper::PortMapper(std::vector<std::unique_ptr<MappingProtocol>> protocols, MessageTarget* target,
                       uint32_t message, GatewayFinder gateway)
    : protocols_(std::move(protocols)), target_(target), message_(message), gateway_(std::move(gateway)) {}

std::unique_ptr<PortMapper> PortMapper::MakeDefault(MessageTarget* target, uint32_t message) {
    std::vector<std::unique_ptr<MappingProtocol>> protocols;
    protocols.push_back(std::make_unique<NatPmpProtocol>());
    protocols.push_back(std::make_unique<UpnpIgdProtocol>());
    return std::make_unique<PortMapper>(std::move(protocols), target, message, SystemDefaultGateway);
}

PortMapper::~PortMapper() {
    StopAndWait();
}

bool PortMapper::ShouldMapFor(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) != 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return !IN6_IS_ADDR_LOOPBACK(&v6);
    return address != "localhost";
}

void PortMapper::Start(int localPort) {
    if (thread_.joinable() && !stop_.load() && port_ == localPort)
        return;
    StopAndWait();
    stop_.store(false);
    port_ = localPort;
    Publish({Status::State::kTrying, "asking the router to map port " + std::to_string(localPort), ""});
    thread_ = std::thread([this, localPort] { Run(localPort); });
}

void PortMapper::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_.store(true);
    }
    wake_.notify_all();
}

void PortMapper::StopAndWait() {
    Stop();
    if (thread_.joinable())
        thread_.join();
}

PortMapper::Status PortMapper::Current() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

std::string PortMapper::MappedText(uint32_t publicAddress, int publicPort, const char* protocol) {
    const std::string where = AddressText(publicAddress) + ":" + std::to_string(publicPort);
    if (IsPrivateOrShared(publicAddress))
        return "the router maps the port to " + where + " (" + protocol +
               "), a private address: another router (the provider's) stands between it and the Internet";
    return "reachable from the Internet at " + where + " (" + protocol + ")";
}

int PortMapper::RenewAfterS(int lifetimeS) {
    return lifetimeS / 2 < 1 ? 1 : lifetimeS / 2;
}

void PortMapper::Publish(Status status) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        status_ = std::move(status);
    }
    if (target_ != nullptr)
        target_->Post(message_, 0, 0);
}

bool PortMapper::WaitStopped(int64_t ms) {
    std::unique_lock<std::mutex> guard(lock_);
    return wake_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

void PortMapper::Run(int localPort) {
    RetryGate gate;
    MappingProtocol* mappedBy = nullptr;
    while (!stop_.load()) {
        const std::string router = gateway_ ? gateway_() : std::string();
        if (router.empty()) {
            Publish({Status::State::kFailed,
                     "no router to ask for a port mapping: this machine has no default route", ""});
            if (WaitStopped(RetryGate::kPauseMs))
                break;
            continue;
        }
        if (!gate.MayTry(router, NowMs())) {
            if (WaitStopped(gate.WaitMs(NowMs())))
                break;
            continue;
        }
        MappingProtocol::Outcome outcome;
        std::string reasons;
        bool refused = false;
        MappingProtocol* nowMapped = nullptr;
        for (const std::unique_ptr<MappingProtocol>& protocol : protocols_) {
            if (stop_.load())
                break;
            outcome = protocol->Map(localPort, kLifetimeS, stop_);
            if (outcome.kind == MappingProtocol::Outcome::Kind::kMapped) {
                // Kept for the removal even when a later renewal fails: the router may hold it still.
                mappedBy = nowMapped = protocol.get();
                break;
            }
            refused = refused || outcome.kind == MappingProtocol::Outcome::Kind::kRefused;
            reasons += std::string(reasons.empty() ? "" : "; ") + protocol->Name() + ": " +
                       (outcome.detail.empty() ? "no answer" : outcome.detail);
        }
        if (stop_.load())
            break;
        if (nowMapped != nullptr) {
            gate.Succeeded(router);
            const std::string address =
                AddressText(outcome.publicAddress) + ":" + std::to_string(outcome.publicPort);
            std::string text = MappedText(outcome.publicAddress, outcome.publicPort, nowMapped->Name());
            if (!outcome.pinhole.empty())
                text += "; over IPv6 at " + outcome.pinhole + " (the router's firewall lets callers in)";
            Publish({Status::State::kMapped, text, address});
            if (WaitStopped(int64_t{RenewAfterS(outcome.lifetimeS)} * 1000))
                break;
            continue;
        }
        gate.Failed(router, NowMs());
        Publish({Status::State::kFailed,
                 std::string(refused ? kRefusedText : "no router answered a port-mapping request") + " (" +
                     reasons + ")",
                 ""});
    }
    if (mappedBy != nullptr)
        RunBounded(mappedBy->TakeRemoval(localPort), kRemovalWaitMs);
    Publish({});
}

std::string DefaultGatewayFromRouteTable(const std::string& table) {
    std::istringstream lines(table.substr(0, kMaxRouteTableBytes));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags;
        if (!(fields >> iface >> destination >> gateway >> flags))
            continue;
        // RTF_UP | RTF_GATEWAY, to 0.0.0.0; the table writes addresses as 8 hex digits in memory order.
        if (destination != "00000000" || gateway.size() != 8 || flags.size() > 8)
            continue;
        const auto hex = [](const std::string& text, uint32_t& value) {
            // stoul would take a sign or blanks; the table writes bare hex digits only.
            if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            value = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
            return true;
        };
        uint32_t flagBits = 0, gatewayBits = 0;
        if (!hex(flags, flagBits) || !hex(gateway, gatewayBits))
            continue;
        if ((flagBits & 0x3) != 0x3 || gatewayBits == 0)
            continue;
        return AddressText(gatewayBits);
    }
    return {};
}

std::string SystemDefaultGateway() {
    std::ifstream file("/proc/net/route");
    std::string table(kMaxRouteTableBytes, '\0');
    file.read(table.data(), static_cast<std::streamsize>(table.size()));
    table.resize(static_cast<std::size_t>(file.gcount()));
    return DefaultGatewayFromRouteTable(table);
}

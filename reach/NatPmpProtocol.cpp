#include "reach/NatPmpProtocol.h"

#include <arpa/inet.h>
#define ENABLE_STRNATPMPERR  // the library has it; the header declares it only when asked
#include <natpmp.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace {

// RFC 6886 retries from 250 ms, doubling; a router that has not answered within three tries (1.75 s) is
// taken not to speak it, so that stopping is never held up for long.
constexpr int kRequestBudgetMs = 1750;
// The removal when listening stops: the program may be ending.
constexpr int kRemovalBudgetMs = 1000;
// The longest single wait, so that a stop is seen soon.
constexpr int kPollMs = 50;

class Session {
public:
    Session() { ok_ = initnatpmp(&natpmp_, 0, 0) == 0; }
    ~Session() {
        if (ok_)
            closenatpmp(&natpmp_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool Ok() const { return ok_; }
    natpmp_t* Get() { return &natpmp_; }
    std::string Gateway() const {
        char text[INET_ADDRSTRLEN] = {};
        in_addr address{};
        address.s_addr = natpmp_.gateway;
        inet_ntop(AF_INET, &address, text, sizeof text);
        return text;
    }

private:
    natpmp_t natpmp_{};
    bool ok_ = false;
};

// Waits for the answer to the request just sent, resending as libnatpmp schedules it, for up to `budgetMs`;
// returns libnatpmp's result (0 with `response` filled, or an error).
int Await(Session& session, natpmpresp_t& response, int budgetMs, const std::atomic<bool>* stop) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    for (;;) {
        if (stop != nullptr && stop->load())
            return NATPMP_TRYAGAIN;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return NATPMP_TRYAGAIN;
        timeval timeout{};
        if (getnatpmprequesttimeout(session.Get(), &timeout) < 0)
            return NATPMP_ERR_NOPENDINGREQ;
        const int64_t leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        int64_t waitMs = timeout.tv_sec * 1000 + timeout.tv_usec / 1000;
        waitMs = std::min<int64_t>({waitMs, leftMs, kPollMs});
        timeval wait{};
        wait.tv_sec = 0;
        wait.tv_usec = static_cast<suseconds_t>(waitMs * 1000);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(session.Get()->s, &readable);
        select(session.Get()->s + 1, &readable, nullptr, nullptr, &wait);
        const int result = readnatpmpresponseorretry(session.Get(), &response);
        if (result != NATPMP_TRYAGAIN)
            return result;
    }
}

std::string ErrorText(int result) {
    const char* text = strnatpmperr(result);
    return text != nullptr ? text : "error " + std::to_string(result);
}

// Whether an error means that a router answered and said no, rather than that none answered.
bool IsRefusal(int result) {
    switch (result) {
        case NATPMP_ERR_UNSUPPORTEDVERSION:
        case NATPMP_ERR_UNSUPPORTEDOPCODE:
        case NATPMP_ERR_UNDEFINEDERROR:
        case NATPMP_ERR_NOTAUTHORIZED:
        case NATPMP_ERR_NETWORKFAILURE:
        case NATPMP_ERR_OUTOFRESOURCES:
            return true;
        default:
            return false;
    }
}

}  // namespace

MappingProtocol::Outcome NatPmpProtocol::Map(int localPort, int lifetimeS, const std::atomic<bool>& stop) {
    Outcome outcome;
    Session session;
    if (!session.Ok()) {
        outcome.detail = "no gateway";
        return outcome;
    }
    outcome.router = session.Gateway();
    natpmpresp_t response{};
    int result = sendpublicaddressrequest(session.Get());
    if (result >= 0)
        result = Await(session, response, kRequestBudgetMs, &stop);
    if (result != 0 || response.type != NATPMP_RESPTYPE_PUBLICADDRESS) {
        outcome.kind = IsRefusal(result) ? Outcome::Kind::kRefused : Outcome::Kind::kNoRouter;
        outcome.detail = result == NATPMP_TRYAGAIN ? "no answer" : ErrorText(result);
        return outcome;
    }
    const uint32_t publicAddress = response.pnu.publicaddress.addr.s_addr;
    const auto port = static_cast<uint16_t>(localPort);
    result = sendnewportmappingrequest(session.Get(), NATPMP_PROTOCOL_UDP, port, port,
                                       static_cast<uint32_t>(lifetimeS));
    if (result >= 0)
        result = Await(session, response, kRequestBudgetMs, &stop);
    if (result != 0 || response.type != NATPMP_RESPTYPE_UDPPORTMAPPING ||
        response.pnu.newportmapping.privateport != port ||
        response.pnu.newportmapping.mappedpublicport == 0) {
        // A router that answered the address request speaks the protocol: anything else is its no.
        outcome.kind = result == NATPMP_TRYAGAIN ? Outcome::Kind::kNoRouter : Outcome::Kind::kRefused;
        outcome.detail = result == NATPMP_TRYAGAIN ? "no answer"
                         : result != 0             ? ErrorText(result)
                                                   : "bad answer";
        return outcome;
    }
    outcome.kind = Outcome::Kind::kMapped;
    outcome.publicAddress = publicAddress;
    outcome.publicPort = response.pnu.newportmapping.mappedpublicport;
    outcome.lifetimeS = static_cast<int>(std::min<uint32_t>(response.pnu.newportmapping.lifetime, 1u << 30));
    publicPort_ = outcome.publicPort;
    return outcome;
}

std::function<void()> NatPmpProtocol::TakeRemoval(int localPort) {
    publicPort_ = 0;
    return [localPort] {
        Session session;
        if (!session.Ok())
            return;
        // RFC 6886: a request with lifetime 0 (and suggested external port 0) deletes the mapping.
        const auto port = static_cast<uint16_t>(localPort);
        if (sendnewportmappingrequest(session.Get(), NATPMP_PROTOCOL_UDP, port, 0, 0) < 0)
            return;
        natpmpresp_t response{};
        Await(session, response, kRemovalBudgetMs, nullptr);
    };
}

// A caller's race of its first datagrams to its peer's addresses, after RFC 8305's connection attempts:
// the first address is tried at once, each next one a short delay later (or at once when one before it
// fails) while the earlier ones go on trying, and the first address that answers wins. From then on the
// others are out: nothing more goes to them, and what they send late is ignored.
//
// Only the decisions live here, on a clock the caller passes in; VoiceLink does the sending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/Socket.h"

class AttemptRace {
public:
    // RFC 8305's "Connection Attempt Delay": long enough for a nearby peer to answer the first address,
    // short enough that a dead one costs the caller little.
    static constexpr int kAttemptDelayMs = 250;

    // What a datagram's source is to the race.
    enum class Source {
        kWinner,    // the address that won (now or earlier)
        kLoser,     // an address tried that lost: its datagram is ignored
        kStranger,  // no address this race has sent to
    };

    // A race over `addresses` in the order to try them; the first starts at `nowMs`. With fewer than two
    // addresses there is nothing to race: Active() stays false.
    void Start(std::vector<SocketAddress> addresses, int64_t nowMs);
    // Stops racing, for a call that does not race.
    void Reset();

    // Attempts whose time has come by `nowMs`, started now (earliest first); none once the race is won.
    std::vector<SocketAddress> StartDue(int64_t nowMs);
    // The attempts started and not failed, earliest first (just the winner once there is one).
    std::vector<SocketAddress> Live() const;
    // Where the call's audio goes: the winner, or else the earliest live attempt.
    std::optional<SocketAddress> Primary() const;
    // A datagram arrived from `from`: a started, live attempt's address wins unless another did first.
    Source Heard(const SocketAddress& from);
    // The attempt to `address` failed (its port is closed, or there is no route): the next one starts at
    // once. A failed attempt never wins.
    void Failed(const SocketAddress& address, int64_t nowMs);

    bool Active() const { return attempts_.size() > 1; }
    // Active and not yet won.
    bool Racing() const { return Active() && !winner_; }
    // Every address was tried and every one failed.
    bool AllFailed() const;
    std::optional<SocketAddress> Winner() const { return winner_; }

private:
    enum class State { kWaiting, kStarted, kFailed };
    struct Attempt {
        SocketAddress address;
        State state = State::kWaiting;
    };
    const Attempt* Find(const SocketAddress& address) const;

    std::vector<Attempt> attempts_;
    size_t nextAttempt_ = 0;  // the first attempt not yet started
    int64_t nextStartMs_ = 0;
    std::optional<SocketAddress> winner_;
};

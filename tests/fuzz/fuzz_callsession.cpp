// The call's session on any sequence of datagrams: a listener that is offered a session and one already in
// it take each datagram from the peer's address or another, answer what falls due, and compose audio in
// between. Whatever arrives, nothing may read outside the datagram, the session's own id never changes,
// a payload to play lies inside the datagram it came in, and what is composed is a datagram a receiver
// takes (at most 10000 bytes).
//
// Input: records of a flags byte (bit 0: from the peer's address; bit 1: compose a muted frame after it),
// a length byte and that many bytes of datagram (fewer at the end).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/CallSession.h"
#include "link/SessionControl.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void Take(CallSession& session, const std::vector<uint8_t>& datagram, bool fromPeer, int64_t nowMs) {
    const CallSession::Incoming in = session.Receive(datagram, fromPeer, nowMs);
    if (in.action == CallSession::Incoming::Action::kPlay) {
        Check(!in.payload.empty() || !in.sequence);
        Check(in.payload.data() >= datagram.data() &&
              in.payload.data() + in.payload.size() <= datagram.data() + datagram.size());
    }
    Check(!(in.stranger && in.movePeer));
}

void Answer(CallSession& session, bool muted, int64_t nowMs) {
    std::vector<uint8_t> out(10000);
    for (int i = 0; i < 4; ++i)
        Check(session.ComposeDue(out, nowMs) <= 10000);
    const std::vector<uint8_t> frame(50, 0x5A);
    Check(session.ComposeAudio(frame, muted, out, nowMs) <= 10000);
    session.TakeFormatChange();
    session.TakeMismatch();
    session.TakeBadPayload();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CallSession::Config config;
    config.listener = true;
    config.sessionId = 0x1122334455667788;
    config.formatCode = 0xA4;
    CallSession offered, inSession;
    offered.Start(config, 0);
    inSession.Start(config, 0);
    // The second one is in a session with peer 42 from the start.
    SessionControl hello;
    hello.senderId = 42;
    hello.formatCode = 0xA4;
    hello.capabilities = SessionControl::kNumberedAudio | SessionControl::kQualityReports;
    std::vector<uint8_t> bytes(SessionControl::kBytes);
    hello.Compose(bytes);
    inSession.Receive(bytes, false, 0);
    inSession.SetPeerKnown(true);

    int64_t nowMs = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t flags = data[at];
        const size_t length = data[at + 1];
        at += 2;
        const size_t take = length < size - at ? length : size - at;
        const std::vector<uint8_t> datagram(data + at, data + at + take);
        at += take;
        nowMs += 7;
        Take(offered, datagram, (flags & 1) != 0, nowMs);
        Take(inSession, datagram, (flags & 1) != 0, nowMs);
        Answer(offered, (flags & 2) != 0, nowMs);
        Answer(inSession, (flags & 2) != 0, nowMs);
        Check(offered.SessionId() == config.sessionId && inSession.SessionId() == config.sessionId);
        offered.PeerTimedOut(nowMs);
        offered.SetPeerKnown(true);
    }
    return 0;
}

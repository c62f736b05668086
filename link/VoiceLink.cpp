#include "link/VoiceLink.h"

#include <pthread.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/Exception.h"
#include "link/LinkMessages.h"
#include "link/RtpPacket.h"
#include "link/SessionWire.h"
#include "platform/ErrorSink.h"

namespace {

// An idle link looks at its state about every 300 ms.
constexpr int kIdleFirstSleepMs = 100;
constexpr int kIdleSecondSleepMs = 200;
constexpr int kAfterCallSleepMs = 200;
// How long one look for the listener's first datagram waits before the stop flag is checked again.
constexpr int kPeerWaitMs = 50;
// Sources of unsealed datagrams reported per call: enough to name the few that matter, never a flood.
constexpr size_t kMaxReportedSources = 8;

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

VoiceLink::VoiceLink() {
    pipeline_.SetFormat(kInitialFormat);
    pipeline_.SetFrameSink(this);
}

void VoiceLink::SetSecret(std::vector<uint8_t> secret) {
    secret_ = std::move(secret);
    private_ = true;
}

void VoiceLink::SetCallKey(const DatagramSealer::Key& key) {
    key_ = key;
    private_ = true;
}

VoiceLink::~VoiceLink() {
    // The worker runs on this object: end it before anything here goes away.
    Stop(true);
    pipeline_.Shutdown();
    if (identity_)
        sodium_memzero(identity_->secretKey.data(), identity_->secretKey.size());
    std::lock_guard<std::mutex> guard(socketLock_);
    socket_.Close();
}

void VoiceLink::InstallSocket(SocketHandle handle, const SocketAddress& peer) {
    std::lock_guard<std::mutex> guard(socketLock_);
    // A previous call may still hold its own socket until it notices it is over; it closes that one.
    socket_.handle = handle;
    socket_.timeout = kReceiveTimeoutMs;
    peer_ = peer;
    {
        // What the last call knew of its peer is not this one's.
        std::lock_guard<std::mutex> stateGuard(stateLock_);
        callState_ = CallState();
        callState_.peer = peer;
    }
    generation_.fetch_add(1, std::memory_order_acq_rel);
    // The state goes last: the worker looks at socket and peer only once it sees the link active.
    state_.store(kActive, std::memory_order_release);
    // Cut the idle worker's poll short, so that the call starts now rather than within 300 ms.
    Wake();
}

void VoiceLink::Listen(const char* address, int port) {
    if (GetState() != kIdle)
        return;
    // A call closed before the worker took it still holds its socket, and its port.
    DropUnstartedCall();
    SocketAddress local;
    local.Set(address, port);
    // On every address a listener takes callers of both families on one socket.
    SocketHandle handle = kNoSocket;
    try {
        if (local.IsAny()) {
            handle = BindAnyAddress(port);
        } else {
            handle = CreateSocket(false, local.Family());
            Bind(handle, local);
        }
        // An unconnected socket hears of a departed peer only through its error queue.
        EnableErrorReports(handle);
    } catch (...) {
        ::Close(handle);
        throw;
    }
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        candidates_.clear();
    }
    InstallSocket(handle, SocketAddress(0, 0));
    PostWindow(WM_LINK_LISTENING);
}

void VoiceLink::Connect(const char* host, int port) {
    if (GetState() != kIdle)
        return;
    ConnectAddresses(ResolveAddresses(host, port));
}

void VoiceLink::ConnectAddresses(const std::vector<SocketAddress>& addresses) {
    if (GetState() != kIdle || addresses.empty())
        return;
    DropUnstartedCall();
    bool ipv6 = false;
    bool ipv4 = false;
    for (const SocketAddress& address : addresses)
        (address.IsIpv6() ? ipv6 : ipv4) = true;
    // A name with addresses of both families gets one dual-stack socket, so that the call can move from
    // one family to the other without a new socket; a single family keeps a socket of its own kind, and
    // an IPv4 call's datagrams are the same either way.
    const SocketHandle handle =
        ipv6 && ipv4 ? BindAnyAddress(0) : CreateSocket(false, addresses.front().Family());
    try {
        EnableErrorReports(handle);
    } catch (...) {
        ::Close(handle);
        throw;
    }
    // The first address this machine has a route to (IPv6 first): a datagram socket's connect sends
    // nothing, so it is quick, and it fails at once for a family or network the machine cannot reach.
    for (size_t i = 0; i < addresses.size(); ++i) {
        SocketAddress peer;
        try {
            ConnectTimeout(handle, addresses[i], kReceiveTimeoutMs);
            peer = PeerAddress(handle);
        } catch (...) {
            if (i + 1 == addresses.size()) {
                ::Close(handle);
                throw;
            }
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(socketLock_);
            // The others, from this one on, for the worker to go on to when this one stays silent.
            candidates_.assign(addresses.begin() + static_cast<std::ptrdiff_t>(i), addresses.end());
            candidates_.insert(candidates_.end(), addresses.begin(),
                               addresses.begin() + static_cast<std::ptrdiff_t>(i));
        }
        InstallSocket(handle, peer);
        return;
    }
}

void VoiceLink::Close() {
    state_.store(kIdle, std::memory_order_release);
}

SocketAddress VoiceLink::Peer() const {
    std::lock_guard<std::mutex> guard(socketLock_);
    return peer_;
}

SocketAddress VoiceLink::LocalAddress() const {
    std::lock_guard<std::mutex> guard(socketLock_);
    return socket_.handle != kNoSocket ? ::LocalAddress(socket_.handle) : SocketAddress();
}

int VoiceLink::LocalPort() const {
    std::lock_guard<std::mutex> guard(socketLock_);
    return socket_.handle != kNoSocket ? ::LocalAddress(socket_.handle).Port() : 0;
}

VoiceLink::Statistics VoiceLink::GetStatistics() {
    Statistics statistics;
    statistics.datagramsSent = sent_.load(std::memory_order_relaxed);
    statistics.datagramsReceived = received_.load(std::memory_order_relaxed);
    statistics.sendQueueDrops = dropped_.load(std::memory_order_relaxed);
    const int stream = streamIndex_.load(std::memory_order_acquire);
    statistics.playbackDrops = pipeline_.StreamDrops(stream);
    const PlayoutBuffer::Statistics playout = pipeline_.StreamPlayout(stream);
    statistics.framesConcealed = playout.framesConcealed;
    statistics.framesLate = playout.framesLate;
    statistics.playoutDepthMs = playout.depthMs;
    statistics.jitterMs = playout.jitterMs;
    statistics.droppedNotSealed = droppedNotSealed_.load(std::memory_order_relaxed);
    statistics.droppedForged = droppedForged_.load(std::memory_order_relaxed);
    statistics.droppedReplayed = droppedReplayed_.load(std::memory_order_relaxed);
    return statistics;
}

int VoiceLink::QueuedFrames() const {
    std::lock_guard<std::mutex> guard(queueLock_);
    return static_cast<int>(queue_.size());
}

bool VoiceLink::CallGoesOn(uint32_t generation) const {
    return GetState() == kActive && generation_.load(std::memory_order_acquire) == generation;
}

void VoiceLink::PostSource(uint32_t message, const SocketAddress& source) {
    if (!source.IsIpv6()) {
        PostWindow(message, source.Ipv4(), source.Port());
        return;
    }
    // An IPv6 address does not fit the message: the window takes it back from here by its ticket.
    std::lock_guard<std::mutex> guard(postedLock_);
    const uint64_t ticket = nextTicket_++;
    postedSources_[ticket % postedSources_.size()] = {ticket, source};
    PostWindow(message, static_cast<WPARAM>(ticket), source.Port() | kSourceHeldByLink);
}

SocketAddress VoiceLink::PostedSource(WPARAM ticket) const {
    std::lock_guard<std::mutex> guard(postedLock_);
    const auto& entry = postedSources_[ticket % postedSources_.size()];
    return entry.first == ticket ? entry.second : SocketAddress();
}

void VoiceLink::PostWindow(uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (window_ != nullptr)
        window_->Post(message, wParam, lParam);
}

void VoiceLink::Run() {
    pthread_setname_np(pthread_self(), "call");
    StartSockets();
    pipeline_.ResetInputLevel();
    streamIndex_.store(pipeline_.AddStream(outputDevice_), std::memory_order_release);
    try {
        sealed_.assign(kMaxDatagram, 0);
        opened_.assign(kMaxDatagram, 0);
        if (private_) {
            // Each call's agreement takes the secret in: nothing slow here. A private call is always a
            // session: the older wire, one key from the secret for every call, is gone.
            auto secret = std::make_shared<CallKeys::Secret>(CallKeys::Secret::From(secret_));
            if (key_ && secret_.empty())
                secret->key = *key_;
            callSecret_ = std::move(secret);
            std::fill(secret_.begin(), secret_.end(), 0);
        }
        while (!StopRequested()) {
            if (GetState() == kIdle) {
                DropUnstartedCall();
                if (!Sleep(kIdleFirstSleepMs))
                    Sleep(kIdleSecondSleepMs);
            } else {
                RunCall();
                Sleep(kAfterCallSleepMs);
            }
        }
    } catch (const Exception&) {
        // The stop flag, or a failure the worker cannot go on after (out of memory while decoding).
    }
    pipeline_.Shutdown();
    StopSockets();
}

void VoiceLink::RunCall() {
    SocketHandle handle;
    SocketAddress peer;
    uint32_t generation;
    std::vector<SocketAddress> candidates;
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        handle = socket_.handle;
        peer = peer_;
        candidates = candidates_;
        generation = generation_.load(std::memory_order_acquire);
        // From here this call's socket is the worker's to close, whatever happens next.
        if (handle != kNoSocket)
            startedGeneration_ = generation;
    }
    if (handle == kNoSocket)
        return;
    if (!CallGoesOn(generation)) {
        // Closed before it began: no capture, no connected message, only the end.
        EndCall(handle, generation, true);
        return;
    }

    // Nothing captured for another call, or between calls, goes into this one.
    TrimQueue(0);
    reportedSources_.clear();
    peerProven_ = false;
    waitingForPeer_.store(peer.IsAny(), std::memory_order_release);
    // A format one call agreed on is not the next call's: every call starts from the one set.
    if (configuredFormat_ < 0)
        configuredFormat_ = pipeline_.FormatCode();
    else if (pipeline_.FormatCode() != configuredFormat_)
        ChangeFormat(configuredFormat_, false);
    StartSession(peer);
    pipeline_.StartCapture();
    nextLevelReport_.store(0, std::memory_order_relaxed);
    try {
        ByteBuffer buffer(kMaxDatagram, 0);
        connectPending_ = false;
        int64_t attemptStartMs = MonotonicMs();
        size_t closedInRow = 0;  // of the peer's addresses, found closed one after the other
        // A caller offering a session races its hellos over its peer's addresses (audio goes to one of
        // them only, so that a plain peer hears one source); without a session it tries them in turn.
        race_.Reset();
        lastHello_.clear();
        if (!peer.IsAny() && candidates.size() > 1 && sessionOffer_) {
            // Unconnected, the socket sends to every address and hears them all; the winner connects it.
            Disconnect(handle);
            race_.Start(candidates, attemptStartMs);
            StartDueAttempts(handle, attemptStartMs);
            FollowPrimary(generation, peer);
        }
        const bool listening = peer.IsAny();
        ListenRestarts restarts;
        if (listening) {
            WaitForPeer(handle, generation);
            // A listener offering keys is connected once a datagram of its peer opens with them (a
            // private one: once its peer has proven the secret), or once the peer turns out to agree no
            // keys; not by a hello, which anybody may have recorded and sent again.
            connectPending_ = callSecret_ != nullptr || (sessionOffer_ && encryptionOffer_);
        }
        waitingForPeer_.store(false, std::memory_order_release);
        TrimQueue(kFramesKeptForPeer);
        if (!connectPending_)
            PostWindow(WM_LINK_CONNECTED);
        // Whatever ends a listener's call before anybody was connected (keys never completed, the sender
        // gone) only sends it back to waiting for the next caller.
        const auto listenAgain = [&](int64_t nowMs) {
            if (!listening || !connectPending_ || !CallGoesOn(generation) || !restarts.Admit(nowMs))
                return false;
            ListenAgain(handle, generation, peer);
            return true;
        };

        while (CallGoesOn(generation)) {
            CheckStop();
            bool woken = true;
            try {
                // A queued frame cuts the wait short; the time-out still bounds it when nothing comes.
                const SocketWait wait = WaitReadableOrWoken(handle, frameQueued_.Fd(), kReceiveTimeoutMs);
                woken = wait.woken;
                if (wait.OnSocket()) {
                    // The peer's port found closed is a failed receive: the call is over, unless the peer
                    // has other addresses not all found closed in a row. (Reports are looked for only
                    // when the socket says one is queued: a pass makes no system call that finds nothing.)
                    if (race_.Racing()) {
                        // Each address found closed is out of the race, and the next starts at once.
                        if (wait.error) {
                            for (const SocketAddress& refused : TakeRefusedAddresses(handle))
                                race_.Failed(refused, MonotonicMs());
                        }
                        if (race_.AllFailed())
                            break;
                        StartDueAttempts(handle, MonotonicMs());
                        FollowPrimary(generation, peer);
                    } else if (wait.error && !peer.IsAny() && TakePortUnreachable(handle, peer)) {
                        if (listenAgain(MonotonicMs()))
                            continue;
                        if (++closedInRow >= candidates.size() ||
                            !TryNextAddress(handle, generation, candidates, peer))
                            break;
                        attemptStartMs = MonotonicMs();
                    }
                    if (ReceivePlain(handle, generation, peer, buffer) == Received::kEndOfCall) {
                        if (listenAgain(MonotonicMs()))
                            continue;
                        break;
                    }
                }
            } catch (const Exception&) {
                // The socket failed, or the peer's port was found closed: the call is over.
                if (listenAgain(MonotonicMs()))
                    continue;
                break;
            }
            const int64_t nowMs = MonotonicMs();
            if (session_.PeerTimedOut(nowMs)) {
                // A session peer silent for the time-out has gone: the call ends as a failed receive would.
                if (listenAgain(nowMs))
                    continue;
                break;
            }
            if (session_.KeyAgreementFailed(nowMs)) {
                if (listenAgain(nowMs))
                    continue;
                // One side would seal what the other cannot open: better ended, and said, than talked past.
                PostWindow(WM_LINK_KEYS_INCOMPLETE);
                break;
            }
            // Cleared only when it woke the wait: a frame queued since then keeps it set, and the next
            // wait returns at once for it.
            if (woken)
                frameQueued_.Clear();
            // A caller not yet heard at one address of its peer's goes on to the next after a while (all
            // in turn), until one answers: then it stays there.
            if (race_.Racing()) {
                StartDueAttempts(handle, nowMs);
                FollowPrimary(generation, peer);
                if (race_.AllFailed())
                    break;
            } else if (!race_.Active() && candidates.size() > 1 && !session_.HeardAnything() &&
                       nowMs - attemptStartMs >= kNextAddressMs) {
                TryNextAddress(handle, generation, candidates, peer);
                attemptStartMs = nowMs;
                closedInRow = 0;
            }
            // A hello due goes ahead of the audio, so that a session peer learns the format before the
            // first frame.
            SendSessionTraffic(handle, peer, buffer, nowMs);
            SendQueued(handle, peer, buffer);
            PublishCallState(peer, nowMs);
        }
    } catch (const ThreadStopException&) {
        // The program is ending: no closed message, the pipeline is shut down by Run.
        SendEndOfCall(handle, peer);
        EndCall(handle, generation, false);
        throw;
    } catch (const SocketException&) {
        // Anything else the socket reports ends the call as a failed receive does, so that the window
        // learns the link is idle and capture stops.
    }
    // A call closed here (Disconnect) tells its peer; one the peer or the network ended has no one to tell.
    if (!CallGoesOn(generation))
        SendEndOfCall(handle, peer);
    EndCall(handle, generation, true);
}

bool VoiceLink::TryNextAddress(SocketHandle handle, uint32_t generation,
                               std::vector<SocketAddress>& candidates, SocketAddress& peer) {
    if (candidates.size() < 2 || session_.HeardAnything())
        return false;
    // The current one goes to the back; the first of the others this machine can reach becomes the peer.
    for (size_t tries = 1; tries < candidates.size(); ++tries) {
        std::rotate(candidates.begin(), candidates.begin() + 1, candidates.end());
        try {
            // The source address the last connect chose belongs to the last address's family or network.
            Disconnect(handle);
            ::Connect(handle, candidates.front());
        } catch (const SocketException&) {
            continue;
        }
        peer = candidates.front();
        std::lock_guard<std::mutex> guard(socketLock_);
        if (generation_.load(std::memory_order_acquire) == generation)
            peer_ = peer;
        return true;
    }
    return false;
}

void VoiceLink::SendToAttempts(SocketHandle handle, const uint8_t* data, int length, int64_t nowMs) {
    // Only a hello goes to every address; everything else of the call goes to its one peer.
    if (!IsHello(std::span<const uint8_t>(data, static_cast<size_t>(length))))
        return;
    lastHello_.assign(data, data + length);
    for (const SocketAddress& address : race_.Live()) {
        try {
            if (SendDatagram(handle, address, data, length))
                sent_.fetch_add(1, std::memory_order_relaxed);
        } catch (const SocketException&) {
            // No route to this one (or its family): it is out, and the next need not wait.
            race_.Failed(address, nowMs);
        }
    }
}

void VoiceLink::StartDueAttempts(SocketHandle handle, int64_t nowMs) {
    // An attempt that fails at once lets the next start at once: round again until none is due (each
    // round starts at least one of the race's few addresses, so the rounds end).
    for (;;) {
        const std::vector<SocketAddress> started = race_.StartDue(nowMs);
        if (started.empty() || lastHello_.empty())
            return;
        for (const SocketAddress& address : started) {
            try {
                if (SendDatagram(handle, address, lastHello_.data(), static_cast<int>(lastHello_.size())))
                    sent_.fetch_add(1, std::memory_order_relaxed);
            } catch (const SocketException&) {
                race_.Failed(address, nowMs);
            }
        }
    }
}

void VoiceLink::FollowPrimary(uint32_t generation, SocketAddress& peer) {
    const std::optional<SocketAddress> primary = race_.Primary();
    if (!primary || *primary == peer)
        return;
    peer = *primary;
    std::lock_guard<std::mutex> guard(socketLock_);
    if (generation_.load(std::memory_order_acquire) == generation)
        peer_ = peer;
}

bool VoiceLink::RaceAdmits(SocketHandle handle, uint32_t generation, const SocketAddress& from,
                           SocketAddress& peer) {
    const bool racing = race_.Racing();
    switch (race_.Heard(from)) {
        case AttemptRace::Source::kLoser:
            // The peer itself, at an address the call has left: its late answer changes nothing.
            return false;
        case AttemptRace::Source::kStranger:
            if (!racing)
                return true;  // the session judges strangers once the call has its peer
            NoteStranger(from);
            return false;
        case AttemptRace::Source::kWinner:
            break;
    }
    if (racing) {
        // The first answer: the call stays at this address, and the socket hears nobody else from now on.
        try {
            ::Connect(handle, from);
        } catch (const SocketException&) {
            // Unconnected, the race still keeps the losers out.
        }
        FollowPrimary(generation, peer);
    }
    return true;
}

void VoiceLink::StartSession(const SocketAddress& peer) {
    CallSession::Config config;
    // A private call needs the session's fresh keys, whatever the offer says.
    config.offer = sessionOffer_ || private_;
    config.listener = peer.IsAny();
    config.formatCode = pipeline_.FormatCode();
    config.formatChosen = formatChosen_;
    config.peerTimeoutMs = peerTimeoutMs_;
    do
        randombytes_buf(&config.sessionId, sizeof(config.sessionId));
    while (config.sessionId == 0);
    randombytes_buf(&config.firstSequence, sizeof(config.firstSequence));
    randombytes_buf(&config.firstTimestamp, sizeof(config.firstTimestamp));
    config.opusFormat = opusOffer_;
    // Every session offers a key pair of its own, new for every call; a private one always does.
    config.encrypt = private_ || (sessionOffer_ && encryptionOffer_);
    config.secret = callSecret_;
    config.requireKeys = requireEncryption_;
    if (config.encrypt) {
        config.keyPair = CallKeys::MakeKeyPair();
        config.identity = identity_;
    }
    callSealer_.reset();
    pendingCode_.reset();
    pendingIdentity_.reset();
    encryptionShown_.reset();
    encrypted_.store(false, std::memory_order_relaxed);
    session_.Start(config, MonotonicMs());
    sodium_memzero(config.keyPair.secretKey.data(), config.keyPair.secretKey.size());
    if (config.identity)
        sodium_memzero(config.identity->secretKey.data(), config.identity->secretKey.size());
    // Opus set for the call waits for the peer's hello: the call begins in the plain format.
    if (session_.TakeFormatChange())
        ChangeFormat(session_.FormatCode(), false);
    nextFiguresMs_ = 0;
    lastAdaptedReport_ = -1;
    senderBitRate_ = CallSession::kOpusTopBitRate;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        callState_ = CallState();
        callState_.peer = peer;
        callState_.formatCode = config.formatCode;
        callState_.mode = session_.GetMode();
    }
}

void VoiceLink::AdaptSender() {
    const CallSession::Quality& quality = session_.GetQuality();
    if (!session_.OpusAgreed() || !quality.peerBlock)
        return;
    // One step per report: the same block seen again says nothing new.
    const auto reportKey = static_cast<int64_t>(quality.peerBlock->highestSequence);
    if (reportKey == lastAdaptedReport_)
        return;
    lastAdaptedReport_ = reportKey;
    const CallSession::SenderSettings settings = CallSession::AdaptOpusSender(
        quality.peerBlock->fractionLost, senderBitRate_, format_code::Rate(session_.FormatCode()));
    senderBitRate_ = settings.bitRate;
    pipeline_.AdaptSender(settings.expectedLossPercent, settings.bitRate);
}

void VoiceLink::ChangeFormat(int formatCode, bool capturing) {
    // The pipeline takes a new format only while nothing captures and no stream plays.
    pipeline_.StopCapture();
    pipeline_.RemoveStream(streamIndex_.load(std::memory_order_acquire));
    pipeline_.SetFormat(formatCode);
    streamIndex_.store(pipeline_.AddStream(outputDevice_), std::memory_order_release);
    TrimQueue(0);
    if (capturing)
        pipeline_.StartCapture();
}

VoiceLink::Received VoiceLink::ReceivePlain(SocketHandle handle, uint32_t generation, SocketAddress& peer,
                                            ByteBuffer& buffer) {
    SocketAddress from;
    const int n = ReceiveAnyFrom(handle, &from, buffer.Data(), kMaxDatagram);
    if (n < 0)
        return Received::kNothing;
    if (race_.Active() && !RaceAdmits(handle, generation, from, peer))
        return Received::kNothing;
    if (n > kMaxDatagram) {
        // Oversized: a failed receive ends a plain call; in a session only the peer's own could, and in a
        // private call, where anybody could send one, none does.
        if (callSecret_ != nullptr) {
            NoteDrop(DatagramSealer::Result::kForged, from);
            return Received::kNothing;
        }
        if (session_.InSession() && !(from == peer)) {
            NoteStranger(from);
            return Received::kNothing;
        }
        return Received::kEndOfCall;
    }
    const std::span<const uint8_t> datagram(buffer.Data(), static_cast<size_t>(n));
    if (callSealer_ != nullptr)
        return ReceiveEncrypted(datagram, from, generation, peer);
    if (callSecret_ != nullptr && !IsHello(datagram)) {
        // A private call before its keys: only a hello may come in the clear.
        NoteDrop(session_wire::Classify(datagram) == session_wire::DatagramKind::kSealed
                     ? DatagramSealer::Result::kForged
                     : DatagramSealer::Result::kNotSealed,
                 from);
        return Received::kNothing;
    }
    return TakeDatagram(datagram, from, generation, peer);
}

VoiceLink::Received VoiceLink::ReceiveEncrypted(std::span<const uint8_t> datagram, const SocketAddress& from,
                                                uint32_t generation, SocketAddress& peer) {
    const session_wire::DatagramKind kind = session_wire::Classify(datagram);
    // Hellos travel in the clear, since they carry the keys; the session checks that they are its peer's.
    const bool hello = kind == session_wire::DatagramKind::kControl && datagram.size() > 2 &&
                       datagram[2] == static_cast<uint8_t>(SessionControl::Kind::kHello);
    if (hello)
        return TakeDatagram(datagram, from, generation, peer);
    if (kind == session_wire::DatagramKind::kPlainAudio && from == peer && pendingCode_ &&
        callSecret_ == nullptr && !requireEncryption_) {
        // Nothing of the peer has opened yet: it has not heard our answer, and the plain frames it sent
        // meanwhile are the call's first words (the session plays them until numbered audio comes).
        return TakeDatagram(datagram, from, generation, peer);
    }
    if (kind != session_wire::DatagramKind::kSealed) {
        // In a private call it is named as not sealed with our secret, as before the keys.
        if (callSecret_ != nullptr) {
            NoteDrop(DatagramSealer::Result::kNotSealed, from);
            return Received::kNothing;
        }
        droppedNotSealed_.fetch_add(1, std::memory_order_relaxed);
        if (!(from == peer))
            NoteStranger(from);
        return Received::kNothing;
    }
    int innerLength = 0;
    uint64_t counter = 0;
    const DatagramSealer::Result result =
        callSealer_->Open(datagram.data(), static_cast<int>(datagram.size()), opened_.data(),
                          static_cast<int>(opened_.size()), innerLength, counter);
    if (result != DatagramSealer::Result::kOpened) {
        if (callSecret_ != nullptr) {
            NoteDrop(result, from);
            return Received::kNothing;
        }
        (result == DatagramSealer::Result::kReplayed ? droppedReplayed_ : droppedForged_)
            .fetch_add(1, std::memory_order_relaxed);
        if (!(from == peer))
            NoteStranger(from);
        return Received::kNothing;
    }
    session_.SetKeysConfirmed();
    SettleConnect(peer);
    if (pendingCode_) {
        // The keys are confirmed: the peer derived the same ones.
        {
            std::lock_guard<std::mutex> guard(stateLock_);
            callState_.peerIdentity = std::exchange(pendingIdentity_, std::nullopt);
        }
        encrypted_.store(true, std::memory_order_relaxed);
        encryptionShown_ = true;
        PostWindow(WM_LINK_ENCRYPTED, static_cast<WPARAM>(*std::exchange(pendingCode_, std::nullopt)), 0);
    }
    if (callSecret_ != nullptr && (!session_.PeerProven() || !(provenPeer_ == from))) {
        // The first datagram that opens with this call's keys: the peer holds the secret.
        session_.SetPeerProven();
        peerProven_ = true;
        provenPeer_ = from;
        if (std::exchange(connectPending_, false))
            PostWindow(WM_LINK_CONNECTED);
        PostSource(WM_LINK_PEER_PROVEN, from);
    }
    return TakeDatagram(std::span<const uint8_t>(opened_.data(), static_cast<size_t>(innerLength)), from,
                        generation, peer);
}

bool VoiceLink::IsHello(std::span<const uint8_t> datagram) {
    return datagram.size() > 2 && datagram[0] == session_wire::kControlType &&
           datagram[2] == static_cast<uint8_t>(SessionControl::Kind::kHello);
}

bool VoiceLink::FollowEncryption() {
    if (session_.TakeRefusal())
        PostWindow(WM_LINK_NO_AGREEMENT);
    if (std::optional<CallKeys> keys = session_.TakeNewKeys()) {
        callSealer_ = std::make_unique<DatagramSealer>(keys->sendKey, keys->openKey, session_.SessionId());
        keys->Wipe();
        pendingCode_ = keys->code;
        pendingIdentity_ = keys->peerIdentity;
        return true;
    }
    const CallSession::Mode mode = session_.GetMode();
    // With sessions off the window says so itself, from the settings.
    if (mode != CallSession::Mode::kSession && mode != CallSession::Mode::kPlain)
        return true;
    if (!session_.Encrypted() && callSealer_ != nullptr) {
        // The peer started again without a key.
        callSealer_.reset();
        pendingCode_.reset();
        encrypted_.store(false, std::memory_order_relaxed);
    }
    // A peer that committed to a key is agreeing one: the call is not unencrypted before that fails.
    if (session_.AwaitsKeys())
        return true;
    if (!private_ && !session_.Encrypted() && encryptionShown_ != false) {
        encryptionShown_ = false;
        PostWindow(WM_LINK_NOT_ENCRYPTED);
    }
    return !(requireEncryption_ && !session_.Encrypted());
}

VoiceLink::Received VoiceLink::TakeDatagram(std::span<const uint8_t> datagram, const SocketAddress& from,
                                            uint32_t generation, SocketAddress& peer) {
    const int64_t nowMs = MonotonicMs();
    const CallSession::Incoming in = session_.Receive(datagram, from == peer, nowMs);
    if (in.stranger) {
        NoteStranger(from);
        return Received::kNothing;
    }
    if (in.movePeer) {
        received_.fetch_add(1, std::memory_order_relaxed);
        peer = from;
        session_.SetPeerKnown(true);
        std::lock_guard<std::mutex> guard(socketLock_);
        if (generation_.load(std::memory_order_acquire) == generation)
            peer_ = from;
    }
    SettleConnect(peer);
    if (!FollowEncryption() || in.action == CallSession::Incoming::Action::kEndCall)
        return Received::kEndOfCall;
    // A copy that offered Opus names the format it falls back to, and why, in one notice.
    const std::optional<CallSession::OpusFallback> fallback = session_.TakeOpusFallback();
    if (session_.TakeFormatChange()) {
        ChangeFormat(session_.FormatCode(), true);
        PostWindow(WM_LINK_FORMAT, static_cast<WPARAM>(session_.FormatCode()), fallback ? 1 : 0);
    }
    if (const std::optional<int> theirs = session_.TakeMismatch())
        PostWindow(WM_LINK_FORMAT_MISMATCH, static_cast<WPARAM>(*theirs),
                   static_cast<LPARAM>(session_.FormatCode()));
    if (fallback)
        PostWindow(WM_LINK_OPUS_FALLBACK, static_cast<WPARAM>(fallback->formatCode),
                   static_cast<LPARAM>((fallback->sessionPeer ? kOpusFallbackSessionPeer : 0) |
                                       (fallback->peersFormat ? kOpusFallbackPeersFormat : 0)));
    if (const std::optional<int> size = session_.TakeBadPayload())
        PostWindow(WM_LINK_BAD_PAYLOAD, static_cast<WPARAM>(*size),
                   static_cast<LPARAM>(session_.FormatCode()));
    if (in.action == CallSession::Incoming::Action::kPlay && !MuteSpeakers()) {
        // A session numbers its frames itself; the plain wire's frames go unnumbered.
        pipeline_.Deliver(streamIndex_.load(std::memory_order_acquire), in.payload.data(),
                          static_cast<int>(in.payload.size()), in.sequence, in.sequence && in.restart);
    }
    return Received::kOpened;
}

void VoiceLink::SendSessionTraffic(SocketHandle handle, const SocketAddress& peer, ByteBuffer& buffer,
                                   int64_t nowMs) {
    if (!session_.InSession() && session_.GetMode() != CallSession::Mode::kOffering)
        return;
    if (peer.IsAny())
        return;
    if (session_.InSession() && nowMs >= nextFiguresMs_) {
        nextFiguresMs_ = nowMs + CallSession::kReportIntervalMs;
        const PlayoutBuffer::Statistics playout =
            pipeline_.StreamPlayout(streamIndex_.load(std::memory_order_acquire));
        RtcpQuality figures;
        figures.framesReceived = static_cast<uint32_t>(playout.framesArrived);
        figures.framesConcealed = static_cast<uint32_t>(playout.framesConcealed);
        figures.framesLate = static_cast<uint32_t>(playout.framesLate);
        figures.playoutDelayUs = static_cast<uint32_t>(playout.depthMs * 1000);
        figures.jitterUs = static_cast<uint32_t>(playout.jitterMs * 1000);
        session_.SetPlayoutFigures(figures);
        AdaptSender();
    }
    // A few datagrams at most: a hello or its answer, a report, a keep-alive.
    for (int i = 0; i < 3; ++i) {
        const int length = session_.ComposeDue(std::span<uint8_t>(buffer.Data(), kMaxDatagram), nowMs);
        if (length <= 0)
            return;
        if (race_.Racing()) {
            SendToAttempts(handle, buffer.Data(), length, nowMs);
            continue;
        }
        try {
            if (SendDatagram(handle, peer, buffer.Data(), length))
                sent_.fetch_add(1, std::memory_order_relaxed);
        } catch (const SocketException&) {
            // Lost like any datagram; the next one is due soon.
        }
    }
}

void VoiceLink::PublishCallState(const SocketAddress& peer, int64_t nowMs) {
    std::lock_guard<std::mutex> guard(stateLock_);
    callState_.mode = session_.GetMode();
    // Until the listener is connected, its would-be peer is nobody's business: it still waits.
    callState_.peer = connectPending_ ? SocketAddress(0, 0) : peer;
    callState_.heardAnything = session_.HeardAnything();
    callState_.silentForMs = session_.SilentForMs(nowMs);
    callState_.formatCode = session_.FormatCode();
    callState_.quality = session_.GetQuality();
}

VoiceLink::CallState VoiceLink::GetCallState() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return callState_;
}

void VoiceLink::NoteStranger(const SocketAddress& from) {
    strangers_.fetch_add(1, std::memory_order_relaxed);
    NameSourceOnce(WM_LINK_STRANGER, from);
}

void VoiceLink::NameSourceOnce(uint32_t message, const SocketAddress& from) {
    if (reportedSources_.size() >= kMaxReportedSources)
        return;
    for (const SocketAddress& source : reportedSources_)
        if (source == from)
            return;
    reportedSources_.push_back(from);
    PostSource(message, from);
}

void VoiceLink::SendEndOfCall(SocketHandle handle, const SocketAddress& peer) {
    // A plain call has no end-of-call datagram: its peer notices the silence, or the closed port. A session
    // ends with its goodbye, sealed when the call is encrypted.
    if (peer.IsAny())
        return;
    uint8_t goodbye[SessionControl::kBytes];
    const int length = session_.ComposeGoodbye(goodbye);
    if (length <= 0)
        return;
    try {
        if (SendDatagram(handle, peer, goodbye, length))
            sent_.fetch_add(1, std::memory_order_relaxed);
    } catch (const SocketException&) {
        // The peer learns nothing, and its call ends when it finds our port closed.
    }
}

bool VoiceLink::SendDatagram(SocketHandle handle, const SocketAddress& peer, const uint8_t* data,
                             int length) {
    // An encrypted session seals everything but its hellos, which carry the keys; a private call sends
    // nothing else unsealed.
    const bool hello = IsHello(std::span<const uint8_t>(data, static_cast<size_t>(length)));
    if (callSealer_ == nullptr && callSecret_ != nullptr && !hello)
        return false;
    if (callSealer_ == nullptr || hello) {
        SendTo(handle, peer, data, length);
        return true;
    }
    const int sealed = callSealer_->Seal(data, length, sealed_.data(), static_cast<int>(sealed_.size()));
    if (sealed == 0)
        return false;
    SendTo(handle, peer, sealed_.data(), sealed);
    return true;
}

void VoiceLink::NoteDrop(DatagramSealer::Result result, const SocketAddress& from) {
    switch (result) {
        case DatagramSealer::Result::kNotSealed:
            droppedNotSealed_.fetch_add(1, std::memory_order_relaxed);
            break;
        case DatagramSealer::Result::kForged:
            droppedForged_.fetch_add(1, std::memory_order_relaxed);
            break;
        case DatagramSealer::Result::kReplayed:
            // Only what was sealed with our key can be replayed: the source is an attacker, or the network
            // doubled a datagram, not a peer with the wrong secret.
            droppedReplayed_.fetch_add(1, std::memory_order_relaxed);
            return;
        case DatagramSealer::Result::kOpened:
            return;
    }
    NameSourceOnce(WM_LINK_NOT_SEALED, from);
}

void VoiceLink::SettleConnect(const SocketAddress& peer) {
    // A private listener waits for the proof of the secret instead (ReceiveEncrypted).
    if (!connectPending_ || callSecret_ != nullptr || peer.IsAny() || session_.AwaitsKeys() ||
        (session_.Encrypted() && !session_.KeysConfirmed()))
        return;
    // The keys are confirmed, or the peer agrees none (a plain peer, or one with --encrypt=off).
    connectPending_ = false;
    PostWindow(WM_LINK_CONNECTED);
}

bool VoiceLink::ListenRestarts::Admit(int64_t nowMs) {
    // A socket that fails at once every time would otherwise spin: a few quick restarts, then the call
    // ends as any other would.
    if (nowMs - lastMs >= kQuickRestartMs)
        quick = 0;
    lastMs = nowMs;
    return ++quick <= kMaxQuickRestarts;
}

void VoiceLink::ListenAgain(SocketHandle handle, uint32_t generation, SocketAddress& peer) {
    peer = SocketAddress(0, 0);
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        if (generation_.load(std::memory_order_acquire) == generation)
            peer_ = peer;
    }
    TrimQueue(0);
    peerProven_ = false;
    if (pipeline_.FormatCode() != configuredFormat_)
        ChangeFormat(configuredFormat_, false);
    // New ids and a new key pair: the next caller learns nothing from what the last one was sent.
    StartSession(peer);
    waitingForPeer_.store(true, std::memory_order_release);
    WaitForPeer(handle, generation);
    waitingForPeer_.store(false, std::memory_order_release);
    TrimQueue(kFramesKeptForPeer);
}

void VoiceLink::WaitForPeer(SocketHandle handle, uint32_t generation) {
    // Any pending datagram ends the wait, an empty one too: poll sees it where a byte count would not.
    while (CallGoesOn(generation)) {
        CheckStop();
        if (WaitReadable(handle, kPeerWaitMs))
            return;
    }
}

void VoiceLink::SendQueued(SocketHandle handle, const SocketAddress& peer, ByteBuffer& buffer) {
    const int64_t nowMs = MonotonicMs();
    // Sealing adds its overhead: a frame that would not fit a receiver's limit sealed is not sent.
    // An offer of encryption keeps the frames queued until the peer answers it, or the wait is over.
    if (session_.HoldsAudio(nowMs)) {
        // Waiting for the peer's key may take a few retries: only the newest frames are worth sending then.
        if (session_.AwaitsKeys())
            TrimQueue(static_cast<size_t>(session_.HeldFramesKept()));
        return;
    }
    const bool sealing = callSealer_ != nullptr;
    const size_t room = static_cast<size_t>(kMaxDatagram - (sealing ? DatagramSealer::kOverhead : 0));
    std::lock_guard<std::mutex> guard(queueLock_);
    while (!queue_.empty()) {
        CheckStop();
        const std::unique_ptr<Frame> frame = std::move(queue_.front());
        queue_.pop_front();
        const std::span<const uint8_t> bytes(frame->bytes.Data(), static_cast<size_t>(frame->bytes.Length()));
        if (!frame->marker && bytes.size() + RtpHeader::kBytes > room)
            continue;  // a frame no receiver would take
        const int length =
            session_.ComposeAudio(bytes, frame->marker, std::span<uint8_t>(buffer.Data(), room), nowMs);
        if (length <= 0)
            continue;
        try {
            if (SendDatagram(handle, peer, buffer.Data(), length))
                sent_.fetch_add(1, std::memory_order_relaxed);
        } catch (const SocketException&) {
            // A failed send loses this one frame.
        }
    }
}

void VoiceLink::EndCall(SocketHandle handle, uint32_t generation, bool announce) {
    pipeline_.StopCapture();
    waitingForPeer_.store(false, std::memory_order_release);
    TrimQueue(0);
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        if (socket_.handle == handle)
            socket_.handle = kNoSocket;
        // A Listen or Connect that came while this call wound down owns the state now.
        if (generation_.load(std::memory_order_acquire) == generation)
            state_.store(kIdle, std::memory_order_release);
    }
    ::Close(handle);
    if (announce)
        PostWindow(WM_LINK_CLOSED);
}

void VoiceLink::TrimQueue(size_t keep) {
    std::lock_guard<std::mutex> guard(queueLock_);
    while (queue_.size() > keep)
        queue_.pop_front();
}

void VoiceLink::DropUnstartedCall() {
    SocketHandle handle = kNoSocket;
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        // Listen and Connect install the socket and make the link active under this lock, and a call
        // notes here that it began: a socket of an idle link that no call took is one closed unused.
        if (socket_.handle == kNoSocket || GetState() != kIdle ||
            startedGeneration_ == generation_.load(std::memory_order_acquire))
            return;
        handle = socket_.handle;
        socket_.handle = kNoSocket;
    }
    ::Close(handle);
    PostWindow(WM_LINK_CLOSED);
}

void VoiceLink::SetMuteMicrophone(bool mute) {
    // The pipeline silences the capture itself, so that the audio its stages hold back is silence too. It
    // is muted before the frames are marked and unmuted after: a frame in between is silence sent as audio,
    // never held-back muted audio.
    if (mute)
        pipeline_.SetCaptureMuted(true);
    muteMicrophone_.store(mute, std::memory_order_release);
    if (!mute)
        pipeline_.SetCaptureMuted(false);
}

void VoiceLink::OnFrame(const uint8_t* data, int length) {
    if (data == nullptr || length <= 0)
        return;
    auto frame = std::make_unique<Frame>();
    // The mute applies when the frame is captured: a frame of a muted microphone never becomes audio.
    frame->marker = MuteMicrophone();
    if (!frame->marker)
        frame->bytes.Write(data, length, false);
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        const int most =
            waitingForPeer_.load(std::memory_order_acquire) ? kFramesKeptForPeer : kMaxQueuedFrames;
        while (static_cast<int>(queue_.size()) >= most) {
            queue_.pop_front();
            if (most == kMaxQueuedFrames)
                dropped_.fetch_add(1, std::memory_order_relaxed);
        }
        queue_.push_back(std::move(frame));
    }
    frameQueued_.Signal();
    const int64_t now = NowMs();
    if (now >= nextLevelReport_.load(std::memory_order_relaxed)) {
        const int microphone = MuteMicrophone() ? 0 : pipeline_.InputLevel();
        const int speaker = pipeline_.StreamLevel(streamIndex_.load(std::memory_order_acquire));
        if (uiThread_ != nullptr)
            uiThread_->Post(WM_AUDIO_LEVELS, static_cast<WPARAM>(microphone), static_cast<LPARAM>(speaker));
        nextLevelReport_.store(now + kLevelIntervalMs, std::memory_order_relaxed);
    }
}

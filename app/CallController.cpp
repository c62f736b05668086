#include "app/CallController.h"

#include <netinet/in.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "app/IdentityKey.h"
#include "app/SdpFile.h"
#include "app/VerifiedPeers.h"
#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/ByteString.h"
#include "base/Exception.h"
#include "base/Socket.h"
#include "link/CallKeys.h"
#include "link/LinkMessages.h"
#include "platform/ErrorSink.h"
#include "reach/LanAnnouncer.h"
#include "reach/PortMapper.h"

namespace {

// A meter shows at least its bottom segment, so that a silent but working line is told from a dead one.
int MeterValue(int level) {
    return level <= 0 ? 1 : level;
}

std::string PeerText(const SocketAddress& peer) {
    return peer.Text();
}

// The peer counts as silent, and is shown so, once nothing has come from it for this long: with the
// window's one-second look, a peer that went away shows within three seconds.
constexpr int64_t kSilentShownMs = 2000;

}  // namespace

std::string CallController::FormatName(int formatCode) {
    for (const NamedFormat& format : NamedFormats())
        if (format.formatCode == formatCode)
            return format.name;
    return FormatText("format 0x%02X", formatCode & 0xFF);
}

std::string CallController::OpusFallbackNotice(int formatCode, int flags) {
    if ((flags & kOpusFallbackSessionPeer) == 0)
        return "The peer speaks only the plain wire, without Opus: this call uses " + FormatName(formatCode);
    return "The peer offers no Opus (a copy not asked for it with -a:opus, or one without it): this call "
           "uses " +
           FormatName(formatCode) + ((flags & kOpusFallbackPeersFormat) != 0 ? ", the peer's format" : "");
}

std::string CallController::CallStateText(const VoiceLink::CallState& state) {
    if (state.peer.IsAny())
        return "waiting for the peer";
    const std::string peer = PeerText(state.peer);
    const int64_t silentS = state.silentForMs / 1000;
    if (!state.heardAnything) {
        if (state.silentForMs < kSilentShownMs)
            return "calling " + peer;
        return "no answer from " + peer + " for " + std::to_string(silentS) + " s";
    }
    std::string text;
    switch (state.mode) {
        case CallSession::Mode::kSession:
            text = "in a session with " + peer;
            break;
        case CallSession::Mode::kOffering:
            text = "peer " + peer;
            break;
        case CallSession::Mode::kPlain:
        case CallSession::Mode::kOff:
            text = "plain peer " + peer;
            break;
    }
    if (state.silentForMs >= kSilentShownMs)
        text += ", no sound from the peer for " + std::to_string(silentS) + " s";
    return text;
}

namespace {

struct QualityFigures {
    std::optional<double> roundTripMs;
    double weLosePercent = 0;
    double weJitterMs = 0;
    std::optional<double> peerLosesPercent;
    std::optional<double> peerJitterMs;
    std::optional<double> peerPlayoutMs;
};

QualityFigures Figures(const VoiceLink::CallState& state) {
    QualityFigures f;
    const CallSession::Quality& q = state.quality;
    const double rate = format_code::Rate(state.formatCode);
    if (q.roundTripUs)
        f.roundTripMs = static_cast<double>(*q.roundTripUs) / 1000.0;
    const int64_t expected = q.received + q.lost;
    f.weLosePercent = expected > 0 ? 100.0 * static_cast<double>(q.lost) / static_cast<double>(expected) : 0;
    f.weJitterMs = 1000.0 * q.jitterTimestampUnits / rate;
    if (q.peerBlock) {
        // The whole call's loss, as for our side (a report's own fraction covers only half a second: three
        // frames lost in it would read as 13 %).
        const int64_t lost = std::max<int64_t>(0, q.peerBlock->cumulativeLost);
        f.peerLosesPercent = q.peerExpected > 0
                                 ? 100.0 * static_cast<double>(std::min(lost, q.peerExpected)) /
                                       static_cast<double>(q.peerExpected)
                                 : 0.0;
        f.peerJitterMs = 1000.0 * q.peerBlock->jitter / rate;
    }
    if (q.peerQuality)
        f.peerPlayoutMs = q.peerQuality->playoutDelayUs / 1000.0;
    return f;
}

// A call is fair from 1 % loss, 150 ms round trip or 30 ms jitter either way, and poor from 5 %, 400 ms or
// 80 ms: where speech begins to break up and where talking over each other begins.
constexpr double kFairLossPercent = 1, kPoorLossPercent = 5;
constexpr double kFairRoundTripMs = 150, kPoorRoundTripMs = 400;
constexpr double kFairJitterMs = 30, kPoorJitterMs = 80;

}  // namespace

std::string CallController::QualityText(const VoiceLink::CallState& state) {
    if (state.mode != CallSession::Mode::kSession)
        return {};
    const QualityFigures f = Figures(state);
    std::string text =
        f.roundTripMs ? FormatText("round trip %.0f ms", *f.roundTripMs) : "round trip not known yet";
    text += FormatText("; we receive: %.1f %% lost, jitter %.0f ms", f.weLosePercent, f.weJitterMs);
    if (f.peerLosesPercent)
        text += FormatText("; the peer receives: %.1f %% lost, jitter %.0f ms", *f.peerLosesPercent,
                           *f.peerJitterMs);
    if (f.peerPlayoutMs)
        text += FormatText(", playout %.0f ms", *f.peerPlayoutMs);
    return text;
}

std::string CallController::QualityMark(const VoiceLink::CallState& state) {
    if (state.mode != CallSession::Mode::kSession)
        return {};
    const QualityFigures f = Figures(state);
    const double loss = std::max(f.weLosePercent, f.peerLosesPercent.value_or(0));
    const double jitter = std::max(f.weJitterMs, f.peerJitterMs.value_or(0));
    const double roundTrip = f.roundTripMs.value_or(0);
    if (loss >= kPoorLossPercent || roundTrip >= kPoorRoundTripMs || jitter >= kPoorJitterMs)
        return "poor";
    if (loss >= kFairLossPercent || roundTrip >= kFairRoundTripMs || jitter >= kFairJitterMs)
        return "fair";
    return "good";
}

void CallController::OnTick() {
    TakeResolveProbe();
    if (ticksUntilReconnect_ > 0 && --ticksUntilReconnect_ == 0 && settings_.autoConnect &&
        link_.GetState() == VoiceLink::kIdle) {
        // A name that did not resolve is looked up again on a thread of its own: a name server that does
        // not answer holds the lookup for seconds, and the window must not wait with it.
        if (resolveWaitTicks_ > 0)
            StartResolveProbe();
        else
            OnConnect();
    }
    WritePendingDescription();
    const bool inCall =
        link_.GetState() == VoiceLink::kActive && (status_ == kConnected || status_ == kListening);
    const VoiceLink::CallState state = inCall ? link_.GetCallState() : VoiceLink::CallState();
    view_.ShowQuality(QualityMark(state), QualityText(state));
    const std::string text = inCall ? CallStateText(state) : "";
    if (text == callState_)
        return;
    callState_ = text;
    view_.ShowCallState(text);
}

CallController::CallController(VoiceLink& link, const Settings& settings, CallView& view)
    : link_(link), settings_(settings), view_(view) {}

CallController::~CallController() = default;

void CallController::StartReach() {
    if (!reachEnabled_ || !PortMapper::ShouldMapFor(kListenAddress))
        return;
    const int port = link_.LocalPort();
    if (settings_.portMapping) {
        if (!mapper_)
            mapper_ = PortMapper::MakeDefault(window_, WM_REACH_MAPPING);
        mapper_->Start(port);
    }
    if (settings_.announce) {
        if (!announcer_)
            announcer_ = std::make_unique<LanAnnouncer>();
        LanAnnouncer::Announcement announcement;
        announcement.port = port;
        announcement.codec = FormatName(settings_.codecFormat);
        announcement.privateCalls = !settings_.secret.empty();
        std::string problem;
        // Not an error box: calls work without it. Said once, not at every listen after a call.
        if (!announcer_->Announce(announcement, problem) && !announceProblemShown_) {
            announceProblemShown_ = true;
            view_.ShowNotice("This copy is not announced on the LAN: " + problem);
        }
    }
}

void CallController::StopReach() {
    if (mapper_)
        mapper_->Stop();
    if (announcer_)
        announcer_->Withdraw();
}

void CallController::Initialize(MessageTarget* window, MessageTarget* uiThread) {
    SetButtons(true, false);
    SetStatus("");
    host_ = settings_.host;
    port_ = settings_.port;
    link_.Pipeline().SetFormat(settings_.codecFormat);
    link_.SetFormatChosen(settings_.codecChosen);
    link_.SetSessionOffer(settings_.session);
    link_.SetPeerTimeoutMs(settings_.peerTimeoutSeconds * 1000);
    link_.Pipeline().SetInputDevice(settings_.inputDevice);
    link_.SetOutputDevice(settings_.outputDevice);
    link_.Pipeline().SetPlayout(settings_.directPlayout ? AudioPipeline::Playout::kDirect
                                                        : AudioPipeline::Playout::kAdaptive);
    link_.Pipeline().SetVoiceProcessing(VoiceProcessingFor(settings_));
    muteSpeakers_ = !settings_.playEnabled;
    muteMicrophone_ = !settings_.sendEnabled;
    link_.SetMuteSpeakers(muteSpeakers_);
    link_.SetMuteMicrophone(muteMicrophone_);
    WriteFields();

    window_ = window;
    link_.SetOwner(window, uiThread);
    link_.SetEncryptionOffer(settings_.encrypt);
    link_.SetRequireEncryption(settings_.requirePrivate);
    if (settings_.session && (settings_.encrypt || !settings_.secret.empty())) {
        // The identity is named in every call's agreement; without one, calls are encrypted all the same.
        const std::string path = IdentityKey::DefaultPath();
        std::string problem;
        std::optional<IdentityKey> identity =
            path.empty() ? std::nullopt : IdentityKey::LoadOrMake(path, problem);
        if (identity) {
            CallKeys::Identity pair;
            pair.publicKey = identity->publicKey;
            pair.secretKey = identity->secretKey;
            link_.SetIdentity(pair);
            sodium_memzero(pair.secretKey.data(), pair.secretKey.size());
            identity->Wipe();
        } else if (!problem.empty()) {
            view_.ShowNotice("No identity key (" + problem +
                             "): calls are encrypted, but no peer can be "
                             "remembered as verified");
        }
    }
    if (!settings_.secret.empty()) {
        link_.SetSecret(settings_.secret);
        view_.ShowPeerProven(false, "");
    }
    try {
        link_.Create();
        link_.Start();
        workerStarted_ = true;
    } catch (...) {
        SetStatus(kSoundCardFailed);
    }

    if (settings_.autoConnect)
        OnConnect();
    else if (settings_.autoListen)
        OnListen();
    UpdateMuteButtons();
}

bool CallController::StartAllowed() {
    if (!startCheck_)
        return true;
    const std::string problem = startCheck_();
    if (problem.empty())
        return true;
    CurrentErrorSink().ReportError(problem);
    return false;
}

std::string CallController::ReachableText(int port, const SocketAddress& bound) {
    return ReachableText(port, bound,
                         bound.IsAny() ? LocalInterfaceAddresses() : std::vector<SocketAddress>{});
}

std::string CallController::ReachableText(int port, const SocketAddress& bound,
                                          const std::vector<SocketAddress>& lanAddresses) {
    constexpr size_t kMaxShown = 4;
    if (!bound.IsAny())
        return "Listening on " + HostPortText(bound.HostText(), port);
    std::string text = "Listening on port " + std::to_string(port) + " (all addresses)";
    if (lanAddresses.empty())
        return text;
    text += ": ";
    for (size_t i = 0; i < lanAddresses.size() && i < kMaxShown; ++i)
        text += (i > 0 ? ", " : "") + HostPortText(lanAddresses[i].HostText(), port);
    if (lanAddresses.size() > kMaxShown)
        text += ", ...";
    return text;
}

bool CallController::OnConnect() {
    ticksUntilReconnect_ = 0;
    if (!StartAllowed())
        return false;
    StopReach();
    // A port that fails its check is never used: the Connect stops here, with the view's message shown.
    if (!ReadFields())
        return false;
    try {
        link_.Connect(host_.c_str(), port_);
    } catch (const UnknownHostException&) {
        SetStatus(kCantConnect);
        CurrentErrorSink().ReportError(ConnectFailureText(host_, true));
        // A name that does not resolve yet (the network still coming up, a new DNS entry) is looked up
        // again when the call was asked for at start, after a wait that doubles up to a minute.
        if (settings_.autoConnect) {
            resolveWaitTicks_ = NextResolveWait(resolveWaitTicks_);
            ticksUntilReconnect_ = resolveWaitTicks_;
        }
        return false;
    } catch (const UnsupportedAddressException&) {
        SetStatus(kCantConnect);
        CurrentErrorSink().ReportError(ConnectFailureText(host_, false));
        return false;
    } catch (const Exception&) {
        SetStatus(kCantConnect);
        return false;
    }
    resolveWaitTicks_ = 0;
    ReadFields();
    return true;
}

int CallController::NextResolveWait(int previousTicks) {
    return std::clamp(2 * previousTicks, 1, kMaxResolveWaitTicks);
}

void CallController::StartResolveProbe() {
    // What the host field says now: the user may have corrected the name meanwhile.
    if (!ReadFields()) {
        resolveWaitTicks_ = NextResolveWait(resolveWaitTicks_);
        ticksUntilReconnect_ = resolveWaitTicks_;
        return;
    }
    auto probe = std::make_shared<std::atomic<int>>(kProbeRunning);
    try {
        std::thread([probe, host = host_, port = port_] {
            int outcome = kProbeUnknown;
            try {
                ResolveAddresses(host.c_str(), port);
                outcome = kProbeResolves;
            } catch (const UnknownHostException&) {
            } catch (const Exception&) {
                outcome = kProbeResolves;  // resolves, but to nothing usable: Connect says so
            }
            probe->store(outcome, std::memory_order_release);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the lookup is left to the next wait.
        probe->store(kProbeUnknown, std::memory_order_release);
    }
    resolveProbe_ = std::move(probe);
}

void CallController::TakeResolveProbe() {
    if (!resolveProbe_)
        return;
    const int outcome = resolveProbe_->load(std::memory_order_acquire);
    if (outcome == kProbeRunning)
        return;
    resolveProbe_.reset();
    // A Connect in the meantime (the button, a call that began) has made the probe's answer stale.
    if (resolveWaitTicks_ == 0 || !settings_.autoConnect || link_.GetState() != VoiceLink::kIdle)
        return;
    if (outcome == kProbeResolves) {
        OnConnect();
        return;
    }
    resolveWaitTicks_ = NextResolveWait(resolveWaitTicks_);
    ticksUntilReconnect_ = resolveWaitTicks_;
}

std::string ConnectFailureText(const std::string& host, bool unknownHost) {
    const std::string head = "Cannot connect to " + host + ": ";
    if (unknownHost)
        return head + "unknown host (the name does not resolve). Check the name, or give its address.";
    return head +
           "unsupported address. Give a host name, a dotted IPv4 address or an IPv6 address without a "
           "scope id (no %interface), in brackets on the command line.";
}

std::string ListenFailureText(int port) {
    // The link's exception carries no reason: bind once more to learn it.
    // As the listener binds: both families on one IPv6 socket where the machine has IPv6, else IPv4.
    int reason = 0;
    bool decided = false;
    const int probe6 = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (probe6 >= 0) {
        const int off = 0;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        if (::setsockopt(probe6, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
            ::bind(probe6, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            reason = errno;
        ::close(probe6);
        // Any other failure means IPv6 is not usable here, and the listener went on to IPv4.
        decided = reason == 0 || reason == EADDRINUSE || reason == EACCES;
    }
    if (!decided) {
        reason = 0;
        const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (probe < 0) {
            reason = errno;
        } else {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            if (::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                reason = errno;
            ::close(probe);
        }
    }
    return ListenFailureText(port, reason);
}

std::string ListenFailureText(int port, int reason) {
    const std::string head = "Cannot listen on UDP port " + std::to_string(port) + ": ";
    switch (reason) {
        case EADDRINUSE:
            return head +
                   "the port is in use by another program (or another copy). End it, or listen on "
                   "another port (0 picks any free one).";
        case EACCES:
            return head + "no permission (ports below 1024 need root). Listen on a port from 1024 up.";
        case 0:
            return head + "the port was busy for a moment. Press Listen again.";
        default:
            return head + std::strerror(reason) + ". Listen on another port.";
    }
}

bool CallController::OnListen() {
    ticksUntilReconnect_ = 0;
    if (!StartAllowed())
        return false;
    if (!ReadFields())
        return false;
    try {
        link_.Listen(kListenAddress, port_);
    } catch (const Exception&) {
        // The port is taken or no socket could be had: the link stays idle and the program goes on, and
        // the user learns which port, why, and what to do.
        SetStatus(kCantListen);
        CurrentErrorSink().ReportError(ListenFailureText(port_));
        return false;
    }
    ReadFields();
    return true;
}

void CallController::OnDisconnect() {
    closedByUser_ = true;
    link_.Close();
}

void CallController::ConnectAgain() {
    // A call that ended by itself before anything came from the peer (its port closed, nobody there) is
    // tried again after a pause that doubles up to kMaxReconnectTicks, instead of many times a second;
    // any other at once.
    if (closedByUser_ || link_.GetCallState().heardAnything) {
        reconnectWaitTicks_ = 0;
        OnConnect();
        return;
    }
    reconnectWaitTicks_ = std::clamp(2 * reconnectWaitTicks_, 1, kMaxReconnectTicks);
    ticksUntilReconnect_ = reconnectWaitTicks_;
}

void CallController::OnExit() {
    link_.Close();
    link_.Stop(true);
    // The mapping must not outlive the program: it is removed before the exit goes on.
    if (mapper_)
        mapper_->StopAndWait();
    announcer_.reset();
}

void CallController::OnMuteSpeakers(bool pressed) {
    ReadFields();
    muteSpeakers_ = pressed;
    link_.SetMuteSpeakers(pressed);
    UpdateMuteButtons();
    WriteFields();
}

void CallController::OnMuteMicrophone(bool pressed) {
    ReadFields();
    muteMicrophone_ = pressed;
    link_.SetMuteMicrophone(pressed);
    UpdateMuteButtons();
    WriteFields();
}

std::string CallController::SourceText(const Message& message) const {
    if ((message.lParam & kSourceHeldByLink) != 0)
        return link_.PostedSource(message.wParam).Text();
    return SocketAddress(static_cast<uint32_t>(message.wParam), static_cast<int>(message.lParam & 0xFFFF))
        .Text();
}

bool CallController::HandleMessage(const Message& message) {
    switch (message.message) {
        case WM_LINK_PEER_PROVEN:
            view_.ShowPeerProven(true, SourceText(message));
            return true;
        case WM_LINK_NOT_SEALED:
            view_.ShowNotSealed(SourceText(message));
            return true;
        case WM_LINK_ENCRYPTED: {
            const std::string code = CallKeys::CodeText(static_cast<uint32_t>(message.wParam));
            view_.ShowEncryption(true, code);
            view_.ShowNotice("Encrypted call: the code is " + code +
                             "; read it to the peer, who must see the same code");
            ShowPeerTrust();
            return true;
        }
        case WM_LINK_NO_AGREEMENT:
            view_.ShowNotice("The peer agreed no fresh key: a private call with it is refused");
            return true;
        case WM_LINK_KEYS_INCOMPLETE:
            view_.ShowNotice(
                "The keys of this call could not be agreed with the peer (hellos lost on the way, or "
                "another secret): the call ends");
            return true;
        case WM_LINK_NOT_ENCRYPTED:
            view_.ShowEncryption(false, "");
            view_.ShowNotice(
                settings_.requirePrivate
                    ? "This call is not encrypted: the peer did not agree a key; --require-private "
                      "refuses it"
                    : "This call is not encrypted: the peer did not agree a key");
            return true;
        case WM_LINK_FORMAT:
            DescribeCall(static_cast<int>(message.wParam));
            if (format_code::IsOpus(static_cast<int>(message.wParam)))
                view_.ShowNotice("Both copies speak Opus: this call uses " +
                                 FormatName(static_cast<int>(message.wParam)));
            else if (message.lParam == 0)  // else the Opus fallback's notice names it
                view_.ShowNotice("The peer's format is used for this call: " +
                                 FormatName(static_cast<int>(message.wParam)));
            return true;
        case WM_LINK_OPUS_FALLBACK:
            view_.ShowNotice(
                OpusFallbackNotice(static_cast<int>(message.wParam), static_cast<int>(message.lParam)));
            return true;
        case WM_LINK_FORMAT_MISMATCH:
            view_.ShowNotice("The peer sends " + FormatName(static_cast<int>(message.wParam)) +
                             "; this copy is set to " + FormatName(static_cast<int>(message.lParam)));
            return true;
        case WM_LINK_BAD_PAYLOAD:
            view_.ShowNotice("The peer sends payloads of " + std::to_string(message.wParam) +
                             " bytes, which " + FormatName(static_cast<int>(message.lParam)) +
                             " never has: is the peer set to another format?");
            return true;
        case WM_LINK_STRANGER:
            view_.ShowNotice("Datagrams from " + SourceText(message) +
                             " are not the peer's; they are ignored");
            return true;
        case WM_LINK_LISTENING:
            if (link_.Private())
                view_.ShowPeerProven(false, "");
            SetButtons(false, true);
            SetStatus(kListening);
            StartReach();
            return true;
        case WM_LINK_CONNECTED:
            SetButtons(false, true);
            SetStatus(kConnected);
            DescribeCall(link_.GetCallState().formatCode);
            // A call that never offers a key says so at once; an offered one waits for the peer's answer.
            if (!link_.Private() && (!settings_.session || !settings_.encrypt)) {
                view_.ShowEncryption(false, "");
                view_.ShowNotice(settings_.session ? "This call is not encrypted: --encrypt=off"
                                                   : "This call is not encrypted: --session=off");
            }
            return true;
        case WM_LINK_CLOSED:
            describeFormat_.reset();
            // The levels stop with the call: nothing else would take the mark down.
            if (echoCancelling_.Force(false))
                view_.ShowEchoCancelling(false);
            callState_.clear();
            view_.ShowCallState("");
            // The code was this call's: a later click on the padlock must not show it, nor mark its peer.
            view_.ShowEncryption(false, "");
            peerIdentity_.reset();
            view_.ShowPeerTrust(CallView::PeerTrust::kNone);
            if (link_.Private())
                view_.ShowPeerProven(false, "");
            SetButtons(true, false);
            SetStatus(kDisconnected);
            // Messages may arrive after the state they report has changed: a stale one finds the link busy.
            if (link_.GetState() == VoiceLink::kIdle) {
                if (settings_.autoConnect)
                    ConnectAgain();
                else if (settings_.autoListen)
                    OnListen();
            }
            if (link_.GetState() == VoiceLink::kIdle)
                StopReach();
            closedByUser_ = false;
            return true;
        case WM_REACH_MAPPING:
            if (mapper_) {
                const PortMapper::Status status = mapper_->Current();
                view_.ShowReachability(status.text, status.address);
            }
            return true;
        case WM_AUDIO_LEVELS:
            view_.ShowLevels(MeterValue(static_cast<int>(message.wParam)),
                             MeterValue(static_cast<int>(message.lParam)));
            if (echoCancelling_.Observe(link_.Pipeline().EchoCancelling(), SteadyFlag::Clock::now()))
                view_.ShowEchoCancelling(echoCancelling_.Shown());
            return true;
        default:
            return false;
    }
}

void CallController::DescribeCall(int format) {
    if (settings_.sdpFile.empty())
        return;
    describeFormat_ = format;
    WritePendingDescription();
}

void CallController::WritePendingDescription() {
    if (!describeFormat_)
        return;
    // A listener learns its peer from the first datagram, which the connected message may overtake.
    const SocketAddress peer = link_.Peer();
    if (peer.IsAny())
        return;
    const int format = *std::exchange(describeFormat_, std::nullopt);
    const std::string text = SdpFile::Describe(peer, settings_.sdpPort, format);
    std::string problem;
    if (text.empty())
        problem = FormatName(format) + " has no RTP payload type";
    else if (SdpFile::Write(settings_.sdpFile, text, problem))
        return;
    CurrentErrorSink().ReportError("The call's description was not written: " + problem);
}

void CallController::SetStatus(const std::string& text) {
    status_ = text;
    view_.ShowStatus(text);
}

void CallController::SetButtons(bool connectAndListen, bool disconnect) {
    connectAndListenEnabled_ = connectAndListen;
    disconnectEnabled_ = disconnect;
    view_.EnableButtons(connectAndListen, disconnect);
}

bool CallController::ReadFields() {
    return view_.ReadFields(host_, port_, muteSpeakers_, muteMicrophone_);
}

void CallController::WriteFields() {
    view_.WriteFields(host_, port_, muteSpeakers_, muteMicrophone_);
}

void CallController::UpdateMuteButtons() {
    view_.ShowMuteButtons(muteSpeakers_, muteMicrophone_);
}

namespace {

// An identity key as the verified peers' file writes it: 64 lower-case hex digits.
std::string KeyText(const CallKeys::Key& key) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : key) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

}  // namespace

void CallController::ShowPeerTrust() {
    peerIdentity_ = link_.GetCallState().peerIdentity;
    peerLabel_ = link_.Peer().HostText();
    if (!peerIdentity_) {
        view_.ShowPeerTrust(CallView::PeerTrust::kNone);
        return;
    }
    std::string problem;
    const std::optional<VerifiedPeers> peers = VerifiedPeers::Load(VerifiedPeers::DefaultPath(), problem);
    if (!peers) {
        view_.ShowNotice("The verified peers cannot be read (" + problem +
                         "): this peer counts as not verified");
        view_.ShowPeerTrust(CallView::PeerTrust::kUnverified);
        return;
    }
    switch (peers->Look(*peerIdentity_, peerLabel_)) {
        case VerifiedPeers::Standing::kVerified:
            view_.ShowPeerTrust(CallView::PeerTrust::kVerified);
            view_.ShowNotice(
                "The peer is verified: its identity key is the one whose code was compared before");
            break;
        case VerifiedPeers::Standing::kChanged:
            view_.ShowPeerTrust(CallView::PeerTrust::kChanged);
            view_.ShowNotice(
                "Warning: " + peerLabel_ + " was verified before with another identity key (now " +
                KeyText(*peerIdentity_) + "): compare the code now; somebody may sit between the two copies");
            break;
        case VerifiedPeers::Standing::kUnknown:
            view_.ShowPeerTrust(CallView::PeerTrust::kUnverified);
            view_.ShowNotice("The peer is not verified yet (identity key " + KeyText(*peerIdentity_) +
                             "): when it reads the same code, mark it verified");
            break;
    }
}

void CallController::OnPeerReadSameCode() {
    if (!peerIdentity_)
        return;
    const std::string path = VerifiedPeers::DefaultPath();
    std::string problem;
    std::optional<VerifiedPeers> peers = path.empty() ? std::nullopt : VerifiedPeers::Load(path, problem);
    if (!peers) {
        view_.ShowNotice("The peer cannot be remembered as verified (" +
                         (problem.empty() ? std::string("no data folder") : problem) + ")");
        return;
    }
    peers->Add(*peerIdentity_, peerLabel_);
    if (!peers->Save(path, problem)) {
        view_.ShowNotice("The peer cannot be remembered as verified (" + problem + ")");
        return;
    }
    view_.ShowPeerTrust(CallView::PeerTrust::kVerified);
    view_.ShowNotice("The peer is verified: a later call from its identity key shows it at once");
}

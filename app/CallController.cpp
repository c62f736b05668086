#include "app/CallController.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "app/SdpFile.h"
#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/ByteString.h"
#include "base/Exception.h"
#include "base/Socket.h"
#include "link/CallKeys.h"
#include "link/LinkMessages.h"
#include "platform/ErrorSink.h"

namespace {

// A meter shows at least its bottom segment, so that a silent but working line is told from a dead one.
int MeterValue(int level) {
    return level <= 0 ? 1 : level;
}

// "address:port" of a private-call message's source.
std::string SourceText(const Message& message) {
    return AddressText(static_cast<uint32_t>(message.wParam)) + ":" + std::to_string(message.lParam);
}

std::string PeerText(const SocketAddress& peer) {
    return AddressText(peer.Address()) + ":" + std::to_string(peer.Port());
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

std::string CallController::CallStateText(const VoiceLink::CallState& state) {
    if (state.peer.Address() == 0)
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
    if (ticksUntilReconnect_ > 0 && --ticksUntilReconnect_ == 0 && settings_.autoConnect &&
        link_.GetState() == VoiceLink::kIdle)
        OnConnect();
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
    muteSpeakers_ = !settings_.playEnabled;
    muteMicrophone_ = !settings_.sendEnabled;
    link_.SetMuteSpeakers(muteSpeakers_);
    link_.SetMuteMicrophone(muteMicrophone_);
    WriteFields();

    link_.SetOwner(window, uiThread);
    link_.SetEncryptionOffer(settings_.encrypt);
    link_.SetRequireEncryption(settings_.requirePrivate);
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

bool CallController::OnConnect() {
    ticksUntilReconnect_ = 0;
    // A port that fails its check is never used: the Connect stops here, with the view's message shown.
    if (!ReadFields())
        return false;
    try {
        link_.Connect(host_.c_str(), port_);
    } catch (const Exception&) {
        SetStatus(kCantConnect);
        return false;
    }
    ReadFields();
    return true;
}

std::string ListenFailureText(int port) {
    // The link's exception carries no reason: bind once more to learn it.
    int reason = 0;
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
            return true;
        }
        case WM_LINK_NO_AGREEMENT:
            view_.ShowNotice("The peer agreed no fresh key: a private call with it is refused");
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
            else
                view_.ShowNotice("The peer's format is used for this call: " +
                                 FormatName(static_cast<int>(message.wParam)));
            return true;
        case WM_LINK_OPUS_FALLBACK:
            view_.ShowNotice("The peer speaks only the plain wire, without Opus: this call uses " +
                             FormatName(static_cast<int>(message.wParam)));
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
            callState_.clear();
            view_.ShowCallState("");
            // The code was this call's: a later click on the padlock must not show it.
            view_.ShowEncryption(false, "");
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
            closedByUser_ = false;
            return true;
        case WM_AUDIO_LEVELS:
            view_.ShowLevels(MeterValue(static_cast<int>(message.wParam)),
                             MeterValue(static_cast<int>(message.lParam)));
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
    if (peer.Address() == 0)
        return;
    const int format = *std::exchange(describeFormat_, std::nullopt);
    const std::string text = SdpFile::Describe(peer.Address(), peer.Port(), settings_.sdpPort, format);
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

#include "link/CallSession.h"

#include <algorithm>
#include <cstring>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "audio/OpusCodec.h"
#include "link/RtpPacket.h"
#include "link/RtpStatistics.h"
#include "link/SessionWire.h"

using session_wire::DatagramKind;

CallSession::Agreement CallSession::AgreeFormat(int mine, bool mineChosen, int theirs, bool theirsChosen,
                                                bool listener) {
    if (mine == theirs)
        return {mine, false};
    if (mineChosen && theirsChosen)
        return {mine, true};
    if (mineChosen)
        return {mine, false};
    if (theirsChosen)
        return {theirs, false};
    // Neither chose: the listener takes the caller's.
    return {listener ? theirs : mine, false};
}

int CallSession::AgreeOpus(int mine, int theirs) {
    return format_code::Rate(theirs) < format_code::Rate(mine) ? theirs : mine;
}

int CallSession::OpusFecRoomBitRate(int lossPercent, int codingRate) {
    if (lossPercent <= 0)
        return 0;
    const int64_t loss = std::min(lossPercent, 100);
    // What libopus asks of the rate for FEC at each audio band (narrowband, mediumband, wideband,
    // super-wideband, fullband), give or take its 1000 bit/s of hysteresis.
    constexpr int64_t kBandRoom[] = {12000, 14000, 16000, 20000, 22000};
    constexpr int64_t kHysteresis = 1000;
    constexpr int kWideband = 2;
    int band = codingRate >= 48000   ? 4
               : codingRate >= 24000 ? 3
               : codingRate >= 16000 ? 2
               : codingRate >= 12000 ? 1
                                     : 0;
    // Up to 5 % FEC must come on at the band the encoder has; above, it comes on at a narrower band first and
    // then holds at wideband with the hysteresis in its favour.
    const int64_t needed =
        loss <= 5 ? kBandRoom[band] + kHysteresis : kBandRoom[std::min(band, kWideband)] - kHysteresis;
    // The room shrinks as loss grows (to 100/125 of itself from 25 % on); the encoder weighs the rate it is
    // given at (90 + complexity) %, at 4/5 of that again below complexity 2 (SILK without its
    // delayed-decision quantiser), less a share for the expected loss, loss / (6 loss + 10).
    const int64_t room = needed * (125 - std::min<int64_t>(loss, 25)) / 100;
    constexpr int64_t kWeight = (90 + OpusCodec::kComplexity) * (OpusCodec::kComplexity < 2 ? 4 : 5);
    const int64_t rate = room * (6 * loss + 10) * 500 / (kWeight * (5 * loss + 10)) + 1;
    constexpr int64_t kStep = 500;
    return static_cast<int>((rate + kStep - 1) / kStep * kStep);
}

CallSession::SenderSettings CallSession::AdaptOpusSender(uint8_t fractionLost, int bitRate, int codingRate) {
    SenderSettings settings;
    settings.expectedLossPercent = std::min(kOpusMaxExpectedLoss, (fractionLost * 100 + 255) / 256);
    const int lossPercentTimes256 = fractionLost * 100;
    if (lossPercentTimes256 > 10 * 256)
        settings.bitRate = std::max(kOpusLowestBitRate, bitRate * 3 / 4);
    else if (lossPercentTimes256 < 2 * 256)
        settings.bitRate = std::min(kOpusTopBitRate, bitRate + 2000);
    else
        settings.bitRate = std::clamp(bitRate, kOpusLowestBitRate, kOpusTopBitRate);
    // The FEC the expected loss asks for only comes with the room for it, which the rate is raised to up to
    // kOpusFecTopBitRate; a room above that (at 1-5 % loss at the full band) costs more than the FEC gives,
    // and the loss is left to concealment. Without loss the rule above brings the rate back under
    // kOpusTopBitRate.
    const int room = OpusFecRoomBitRate(settings.expectedLossPercent, codingRate);
    if (room <= kOpusFecTopBitRate)
        settings.bitRate = std::max(settings.bitRate, room);
    return settings;
}

std::optional<CallSession::OpusFallback> CallSession::TakeOpusFallback() {
    if (config_.opusFormat == 0 || opusFallbackNamed_ || opusAgreed_)
        return std::nullopt;
    if (mode_ != Mode::kPlain && mode_ != Mode::kSession)
        return std::nullopt;
    opusFallbackNamed_ = true;
    OpusFallback fallback;
    fallback.formatCode = config_.formatCode;
    fallback.sessionPeer = mode_ == Mode::kSession;
    fallback.peersFormat = fallback.sessionPeer && config_.formatCode != plainFormat_;
    return fallback;
}

std::optional<CallKeys> CallSession::TakeNewKeys() {
    if (!keysChanged_ || !keys_)
        return std::nullopt;
    keysChanged_ = false;
    return keys_;
}

bool CallSession::TakeRefusal() {
    if (!refused_ || refusalNamed_)
        return false;
    refusalNamed_ = true;
    return true;
}

void CallSession::Start(const Config& config, int64_t nowMs) {
    *this = CallSession();
    config_ = config;
    mode_ = config.offer ? Mode::kOffering : Mode::kOff;
    // A caller knows its peer from the start; a listener learns it from the first datagram.
    peerKnown_ = !config.listener;
    nextHelloMs_ = nowMs;
    lastSentMs_ = nowMs;
    lastHeardMs_ = nowMs;
    sequence_ = static_cast<uint16_t>(config.firstSequence);
    if (!PlainWireFormat(config_.formatCode)) {
        // A call begins on the plain wire, which cannot carry Opus: Opus is offered, and the call starts
        // in the default format until the peer's hello agrees it.
        if (config_.opusFormat == 0)
            config_.opusFormat = config_.formatCode;
        config_.formatCode = format_code::kDefault;
        config_.formatChosen = false;
        formatChanged_ = true;
    }
    if (!config_.offer) {
        config_.opusFormat = 0;
        config_.encrypt = false;
    }
    if (config_.secret)
        config_.encrypt = config_.offer;
    plainFormat_ = config_.formatCode;
    ApplyFormat();
}

void CallSession::ApplyFormat() {
    rate_ = format_code::Rate(config_.formatCode);
    frameSamples_ = std::max(1, FrameLengthOf(config_.formatCode));
    if (format_code::IsOpus(config_.formatCode)) {
        // RFC 7587: Opus's RTP clock runs at 48000 Hz whatever the coder's rate.
        frameSamples_ = frameSamples_ * kOpusRtpRate / rate_;
        rate_ = kOpusRtpRate;
    }
    payloadBytes_ = FixedPayloadSize(config_.formatCode);
    // Another format's frames lie on another timeline.
    highestTimestamp_.reset();
    firstTimestamp_.reset();
}

std::optional<uint64_t> CallSession::OpusSlot(uint32_t timestamp) {
    const int64_t extended = rtp_statistics::ExtendTimestamp(timestamp, highestTimestamp_);
    if (!firstTimestamp_)
        firstTimestamp_ = extended;
    if (!highestTimestamp_ || extended > *highestTimestamp_)
        highestTimestamp_ = extended;
    const int64_t since = extended - *firstTimestamp_;
    if (since < 0)
        return std::nullopt;
    // To the nearest frame: a sender with another frame grid still lands each frame in one slot.
    return static_cast<uint64_t>((since + frameSamples_ / 2) / frameSamples_);
}

void CallSession::Heard(int64_t nowMs) {
    lastHeardMs_ = nowMs;
    heardAnything_ = true;
}

bool CallSession::AwaitsKeys() const {
    return mode_ == Mode::kSession && config_.encrypt && peerCommitment_ && !keys_;
}

bool CallSession::KeyExchangeOpen() const {
    return AwaitsKeys() || (mode_ == Mode::kSession && keys_ && !peerHoldsKey_);
}

bool CallSession::KeyAgreementFailed(int64_t nowMs) const {
    // Only a datagram that opens completes it: a hello that says it holds our key may be a replay.
    const bool open = AwaitsKeys() || (mode_ == Mode::kSession && keys_ && !keysConfirmed_);
    return open && nowMs - keyStartMs_ >= kKeyAgreementMs;
}

bool CallSession::PeerTimedOut(int64_t nowMs) const {
    return mode_ == Mode::kSession && config_.peerTimeoutMs > 0 &&
           nowMs - lastHeardMs_ >= config_.peerTimeoutMs;
}

bool CallSession::TakeFormatChange() {
    const bool changed = formatChanged_;
    formatChanged_ = false;
    return changed;
}

std::optional<int> CallSession::TakeMismatch() {
    if (!mismatch_ || mismatchNamed_)
        return std::nullopt;
    mismatchNamed_ = true;
    return mismatch_;
}

std::optional<int> CallSession::TakeBadPayload() {
    // While hellos are still offered the peer may yet answer and name its format itself: an odd payload
    // is named only once the peer is known to speak the plain wire (or sessions are off).
    if (!badPayload_ || badPayloadNamed_ || mode_ == Mode::kOffering || mode_ == Mode::kSession)
        return std::nullopt;
    badPayloadNamed_ = true;
    return badPayload_;
}

CallSession::Incoming CallSession::Receive(std::span<const uint8_t> datagram, bool fromPeerAddress,
                                           int64_t nowMs) {
    Incoming in;
    const DatagramKind kind = session_wire::Classify(datagram);
    if (mode_ != Mode::kSession) {
        // The plain wire's rules: every datagram names the peer, an empty one ends the call, type 0 plays.
        in.movePeer = kind != DatagramKind::kEmpty;
        switch (kind) {
            case DatagramKind::kEmpty:
                in.action = Incoming::Action::kEndCall;
                return in;
            case DatagramKind::kPlainAudio:
            case DatagramKind::kMarker:
                Heard(nowMs);
                if (mode_ == Mode::kOffering && hellosSent_ >= kMaxHellos)
                    mode_ = Mode::kPlain;
                if (kind == DatagramKind::kPlainAudio) {
                    const int length = static_cast<int>(datagram.size()) - 1;
                    if (mode_ != Mode::kOff && payloadBytes_ > 0 && length != payloadBytes_) {
                        // Not a frame of this format: another codec on the other side, heard as noise.
                        // (With sessions off the plain wire's rule holds: every type-0 payload plays.)
                        if (!badPayload_)
                            badPayload_ = length;
                        return in;
                    }
                    in.action = Incoming::Action::kPlay;
                    in.payload = datagram.subspan(1);
                }
                return in;
            case DatagramKind::kControl:
                if (mode_ != Mode::kOff)
                    return ReceiveControl(datagram, fromPeerAddress, nowMs);
                Heard(nowMs);
                return in;
            default:
                Heard(nowMs);
                return in;
        }
    }
    switch (kind) {
        case DatagramKind::kControl:
            return ReceiveControl(datagram, fromPeerAddress, nowMs);
        case DatagramKind::kRtp:
            return ReceiveRtp(datagram, fromPeerAddress, nowMs);
        case DatagramKind::kRtcp:
            return ReceiveRtcp(datagram, fromPeerAddress, nowMs);
        case DatagramKind::kPlainAudio:
            // The peer's plain frames sent before it heard our answer (its first hello lost, the frames it
            // held back while waiting let go) are the call's first words: from the peer's own address they
            // play until its numbered audio begins. A private call takes nothing unsealed.
            if (fromPeerAddress && !highestSequence_ && !config_.secret && !config_.requireKeys &&
                PlainWireFormat(config_.formatCode) && payloadBytes_ > 0 &&
                static_cast<int>(datagram.size()) - 1 == payloadBytes_) {
                Heard(nowMs);
                in.action = Incoming::Action::kPlay;
                in.payload = datagram.subspan(1);
                return in;
            }
            in.stranger = !fromPeerAddress;
            return in;
        default:
            // Nothing else carries the session's id: the peer's plain leftovers are ignored, anybody
            // else's are a stranger's, and neither ends the call (an empty datagram included).
            in.stranger = !fromPeerAddress;
            return in;
    }
}

CallSession::Incoming CallSession::ReceiveControl(std::span<const uint8_t> datagram, bool fromPeerAddress,
                                                  int64_t nowMs) {
    Incoming in;
    const std::optional<SessionControl> control = SessionControl::Parse(datagram);
    if (!control) {
        // A type-4 datagram we cannot read: outside a session any datagram names the peer.
        in.movePeer = mode_ != Mode::kSession;
        in.stranger = mode_ == Mode::kSession && !fromPeerAddress;
        return in;
    }
    const bool keyHello = control->kind == SessionControl::Kind::kHello &&
                          (control->capabilities & SessionControl::kKeyAgreement) != 0;
    if (config_.secret && control->kind == SessionControl::Kind::kHello && !keyHello) {
        // A private call needs fresh keys mixed with the secret: a peer that agrees none is refused.
        refused_ = true;
        in.stranger = mode_ == Mode::kSession && !fromPeerAddress;
        return in;
    }
    if (keysConfirmed_ && !fromPeerAddress && control->kind == SessionControl::Kind::kHello) {
        // Once a datagram of the peer has opened, only what opens says where the peer is: a hello goes in
        // the clear, and one from elsewhere (the peer's own, recorded and sent again) is a stranger's.
        in.stranger = true;
        return in;
    }
    // Until a private call's peer has proven the secret, a hello alone (replayed, or anybody's) does not
    // hold the call: the next key hello begins it anew, wherever it comes from. Nor does it hold a
    // listener's call before a datagram of the peer has opened with the agreed keys: a hello recorded in
    // another call and sent again must not keep the listener from the caller that comes next.
    const bool unproven = keyHello && ((config_.secret && !proven_) ||
                                       (config_.listener && config_.encrypt && !keysConfirmed_));
    if (mode_ == Mode::kSession && control->senderId != peerId_ && !unproven) {
        // Another session id: a stranger, unless it comes from the peer's own address (the peer started
        // again, with a new id): then the session begins again with it.
        if (!fromPeerAddress || control->kind == SessionControl::Kind::kGoodbye) {
            in.stranger = !fromPeerAddress;
            return in;
        }
    }
    std::optional<CallKeys> agreed;
    const bool newSession = mode_ != Mode::kSession || control->senderId != peerId_;
    if (control->kind == SessionControl::Kind::kHello && config_.encrypt) {
        const bool offersKey = (control->capabilities & SessionControl::kKeyAgreement) != 0;
        const bool reveals = (control->capabilities & SessionControl::kKeyReveal) != 0;
        const bool samePeer = !newSession;
        if (samePeer && keys_ && (!offersKey || !reveals || control->publicKey != peerPublicKey_)) {
            // The peer's own hellos repeat its key: one without it, or with another, is a copy stripped or
            // changed on the path, and an agreed call is never turned back into a plain one by it.
            in.stranger = !fromPeerAddress;
            return in;
        }
        if (samePeer && peerCommitment_ && offersKey && control->commitment != *peerCommitment_) {
            // A commitment changed under the same id would let its key be picked after ours was seen.
            in.stranger = !fromPeerAddress;
            return in;
        }
        if (offersKey && newSession && revealed_ && !config_.secret) {
            // Our key has been seen by somebody: a new peer's key, committed to only now, could have been
            // picked to match it, so this session gets a pair that nobody has seen. (With --secret a relay
            // without the secret gets nowhere whatever key it picks, and the pair stays, so that the real
            // peer's earlier look at our commitment stays good.)
            config_.keyPair = CallKeys::MakeKeyPair();
            revealed_ = false;
        }
        if (offersKey && reveals && !(samePeer && keys_)) {
            agreed = AgreeKeys(datagram, *control);
            if (!agreed) {
                in.stranger = !fromPeerAddress;
                return in;
            }
        }
    }
    if (control->kind == SessionControl::Kind::kGoodbye) {
        if (mode_ != Mode::kSession) {
            // A goodbye with no session to end is only a datagram naming its sender.
            in.movePeer = true;
            Heard(nowMs);
            return in;
        }
        in.movePeer = true;
        in.action = Incoming::Action::kEndCall;
        return in;
    }
    if (newSession)
        BeginSession(*control, nowMs);
    if (newSession || !peerCommitment_) {
        if ((control->capabilities & SessionControl::kKeyAgreement) != 0 && config_.encrypt) {
            peerCommitment_ = control->commitment;
            // The agreement's clock: our key hello is resent from now on until the peer holds our key.
            keyStartMs_ = nowMs;
            keyHellosSent_ = 0;
            nextKeyHelloMs_ = nowMs + kHelloIntervalMs;
        } else {
            peerCommitment_.reset();
        }
    }
    // It holds the key of the session it names: a hello naming another (an old one, replayed) says
    // nothing of ours.
    const bool holdsOurKey =
        (control->capabilities & SessionControl::kHoldsPeerKey) != 0 && control->peerId == config_.sessionId;
    if (agreed) {
        if (keys_)
            keys_->Wipe();
        keys_ = agreed;
        peerPublicKey_ = control->publicKey;
        keysChanged_ = true;
        confirmKeys_ = true;
        proven_ = false;
        peerHoldsKey_ = holdsOurKey;
        keysConfirmed_ = false;
    } else if (newSession && keys_) {
        // The peer started again without a key: the old call's keys are not this one's.
        keys_->Wipe();
        keys_.reset();
        peerHoldsKey_ = false;
        keysConfirmed_ = false;
    } else if (keys_ && holdsOurKey && control->kind == SessionControl::Kind::kHello) {
        peerHoldsKey_ = true;
    }
    // The peer has not seen our hello yet (it names no id, or an old one), or has not got our key (its hello
    // with its own key does not say it holds ours): answer at once.
    const bool missesOurKey = keys_ && control->kind == SessionControl::Kind::kHello && !holdsOurKey;
    if (control->peerId != config_.sessionId || missesOurKey)
        answerHello_ = true;
    in.movePeer = true;
    Heard(nowMs);
    return in;
}

void CallSession::BeginSession(const SessionControl& hello, int64_t nowMs) {
    const bool again = mode_ == Mode::kSession;
    mode_ = Mode::kSession;
    peerId_ = hello.senderId;
    peerReports_ = (hello.capabilities & SessionControl::kQualityReports) != 0;
    peerKnown_ = true;
    answerHello_ = true;
    talkSpurtStarts_ = true;
    nextReportMs_ = nowMs + kReportIntervalMs;
    if (again) {
        highestSequence_.reset();
        baseSequence_.reset();
        highestTimestamp_.reset();
        firstTimestamp_.reset();
        lastTransit_.reset();
        expectedAtReport_ = receivedAtReport_ = 0;
        quality_ = Quality();
    }
    if (config_.opusFormat != 0 && (hello.capabilities & SessionControl::kOpus) != 0) {
        // Both speak Opus: the plain formats no longer matter.
        const int opus = AgreeOpus(config_.opusFormat, hello.opusFormat);
        opusAgreed_ = true;
        mismatch_.reset();
        if (opus != config_.formatCode) {
            config_.formatCode = opus;
            formatChanged_ = true;
            ApplyFormat();
        }
        return;
    }
    if (opusAgreed_) {
        // The peer started again without Opus: back to the plain format this side set.
        opusAgreed_ = false;
        config_.formatCode = plainFormat_;
        formatChanged_ = true;
        ApplyFormat();
    }
    const Agreement agreed = AgreeFormat(config_.formatCode, config_.formatChosen, hello.formatCode,
                                         hello.formatChosen, config_.listener);
    if (agreed.mismatch) {
        mismatch_ = hello.formatCode;
    } else if (agreed.formatCode != config_.formatCode) {
        config_.formatCode = agreed.formatCode;
        formatChanged_ = true;
        ApplyFormat();
    }
}

CallSession::Incoming CallSession::ReceiveRtp(std::span<const uint8_t> datagram, bool fromPeerAddress,
                                              int64_t nowMs) {
    Incoming in;
    const std::optional<RtpPacket> packet = RtpPacket::Parse(datagram);
    if (!packet || packet->header.ssrc != SsrcOf(peerId_)) {
        in.stranger = !fromPeerAddress;
        return in;
    }
    in.movePeer = true;
    Heard(nowMs);
    const std::optional<int> format = session_wire::FormatCodeOfPayloadType(packet->header.payloadType);
    if (!format || *format != config_.formatCode) {
        if (!mismatch_ && format)
            mismatch_ = *format;
        return in;
    }
    const int64_t extended = rtp_statistics::ExtendSequence(packet->header.sequence, highestSequence_);
    if (!baseSequence_)
        baseSequence_ = extended;
    ++quality_.received;
    // Jitter (RFC 3550 A.8) on the media clock.
    const int64_t arrival = nowMs * rate_ / 1000;
    const int64_t transit = arrival - static_cast<int64_t>(packet->header.timestamp);
    if (lastTransit_)
        jitterQ4_ = rtp_statistics::UpdateJitterQ4(jitterQ4_, transit - *lastTransit_);
    lastTransit_ = transit;
    quality_.jitterTimestampUnits = jitterQ4_ >> 4;
    const bool first = !highestSequence_;
    if (first || extended > *highestSequence_)
        highestSequence_ = extended;
    quality_.lost = std::max<int64_t>(0, *highestSequence_ - *baseSequence_ + 1 - quality_.received);
    if (extended < 0 || packet->payload.empty())
        return in;  // from before the first frame heard: older than anything played
    if (format_code::IsOpus(config_.formatCode)) {
        // The marker only says that frames went unsent before this one (DTX); the timestamps place it, so
        // the playout goes on from where it was and conceals the frames between.
        const bool timelineStarts = !firstTimestamp_;
        const std::optional<uint64_t> slot = OpusSlot(packet->header.timestamp);
        if (!slot)
            return in;
        in.action = Incoming::Action::kPlay;
        in.payload = packet->payload;
        in.sequence = *slot;
        in.restart = timelineStarts;
        return in;
    }
    in.action = Incoming::Action::kPlay;
    in.payload = packet->payload;
    in.sequence = static_cast<uint64_t>(extended);
    in.restart = first || packet->header.marker;
    return in;
}

CallSession::Incoming CallSession::ReceiveRtcp(std::span<const uint8_t> datagram, bool fromPeerAddress,
                                               int64_t nowMs) {
    Incoming in;
    const std::optional<RtcpReport> report = RtcpReport::Parse(datagram, SsrcOf(config_.sessionId));
    if (!report || report->ssrc != SsrcOf(peerId_)) {
        in.stranger = !fromPeerAddress;
        return in;
    }
    in.movePeer = true;
    Heard(nowMs);
    if (report->sender) {
        lastSrMiddle_ = static_cast<uint32_t>(report->sender->ntpTimestamp >> 16);
        lastSrAtMs_ = nowMs;
    }
    if (report->block) {
        quality_.peerBlock = report->block;
        // The extended highest number counts the peer's wraps from our first number on.
        quality_.peerExpected = static_cast<int64_t>(report->block->highestSequence) -
                                static_cast<int64_t>(static_cast<uint16_t>(config_.firstSequence)) + 1;
        if (quality_.peerExpected < 0)
            quality_.peerExpected = 0;
        const std::optional<int64_t> rtt =
            rtp_statistics::RoundTripUs(rtp_statistics::NtpMiddle32FromUnixUs(nowMs * 1000),
                                        report->block->lastSr, report->block->delaySinceLastSr);
        if (rtt)
            quality_.roundTripUs = rtt;
    }
    if (report->quality)
        quality_.peerQuality = report->quality;
    return in;
}

uint32_t CallSession::Timestamp() const {
    return static_cast<uint32_t>(config_.firstTimestamp +
                                 framesCaptured_ * static_cast<uint64_t>(frameSamples_));
}

bool CallSession::HoldsAudio(int64_t nowMs) const {
    // Until the first hello has gone out the wait has not begun; a listener sends nothing before it
    // knows its peer anyway.
    // A peer that has committed to a key reveals it within a round trip: nothing goes in the clear before.
    if (AwaitsKeys())
        return true;
    return mode_ == Mode::kOffering && config_.encrypt && !config_.secret && !config_.requireKeys &&
           (hellosSent_ == 0 || nowMs - firstHelloMs_ < kClearAudioHoldMs);
}

int CallSession::HeldFramesKept() const {
    const int64_t frameUs = static_cast<int64_t>(frameSamples_) * 1000000 / std::max(1, rate_);
    return static_cast<int>(std::max<int64_t>(
        1, (kClearAudioHoldMs * int64_t{1000} + frameUs - 1) / std::max<int64_t>(1, frameUs)));
}

int CallSession::ComposeAudio(std::span<const uint8_t> frame, bool muted, std::span<uint8_t> out,
                              int64_t nowMs) {
    const uint32_t timestamp = Timestamp();
    ++framesCaptured_;
    if (!peerKnown_)
        return 0;
    if (HoldsAudio(nowMs))
        return 0;
    // A private call sends audio only sealed, and only to a peer that has shown it holds the secret.
    if (config_.secret && (!keys_ || !proven_))
        return 0;
    if (config_.requireKeys && !keys_)
        return 0;
    // Nor does a listener send any before a datagram of its peer has opened: agreed from a hello alone,
    // the keys may be a recorded call's, sent again by anybody.
    if (config_.listener && keys_ && !keysConfirmed_)
        return 0;
    if (mode_ != Mode::kSession) {
        // The plain wire: type 0 and the frame, or the one-byte marker of a muted microphone. A plain peer
        // could not decode Opus, so an Opus frame never goes this way.
        if (!PlainWireFormat(config_.formatCode))
            return 0;
        const size_t length = muted ? 1 : frame.size() + 1;
        if (out.size() < length || length > static_cast<size_t>(session_wire::kMaxDatagramBytes))
            return 0;
        out[0] = muted ? session_wire::kMarkerType : session_wire::kPlainAudioType;
        if (!muted && !frame.empty())
            std::memmove(out.data() + 1, frame.data(), frame.size());
        lastSentMs_ = nowMs;
        return static_cast<int>(length);
    }
    if (muted) {
        // A session sends nothing for a muted microphone; the next frame heard opens a talk spurt.
        talkSpurtStarts_ = true;
        return 0;
    }
    const std::optional<uint8_t> payloadType = session_wire::PayloadTypeOf(config_.formatCode);
    if (!payloadType)
        return 0;
    if (format_code::IsOpus(config_.formatCode) && frame.size() <= kOpusDtxBytes) {
        // Discontinuous transmission: the encoder has nothing to say in this silence, so nothing is sent.
        // Its comfort-noise updates are longer and go out; the receiver's decoder carries that noise on
        // through the unsent frames' slots, and the next packet sent carries the marker (RFC 3551 4.1).
        talkSpurtStarts_ = true;
        return 0;
    }
    RtpHeader header;
    header.marker = talkSpurtStarts_;
    header.payloadType = *payloadType;
    header.sequence = sequence_;
    header.timestamp = timestamp;
    header.ssrc = SsrcOf(config_.sessionId);
    const int length = RtpPacket::Compose(header, frame, out);
    if (length == 0)
        return 0;
    ++sequence_;
    talkSpurtStarts_ = false;
    ++packetsSent_;
    octetsSent_ += static_cast<uint32_t>(frame.size());
    sentSinceReport_ = true;
    lastSentMs_ = nowMs;
    return length;
}

std::optional<CallKeys> CallSession::AgreeKeys(std::span<const uint8_t> datagram,
                                               const SessionControl& theirs) const {
    // Our offer as the hello that reveals our key to this peer will carry it.
    SessionControl hello = MakeControl(SessionControl::Kind::kHello);
    hello.capabilities |= SessionControl::kKeyReveal;
    hello.publicKey = config_.keyPair.publicKey;
    if (config_.identity) {
        hello.capabilities |= SessionControl::kIdentity;
        hello.identityKey = config_.identity->publicKey;
    }
    uint8_t mine[SessionControl::kBytesWithIdentity];
    if (hello.Compose(mine) < SessionControl::kBytesWithReveal)
        return std::nullopt;
    const std::optional<CallKeys::Offer> myOffer = CallKeys::OfferOf(mine);
    const std::optional<CallKeys::Offer> theirOffer = CallKeys::OfferOf(datagram);
    if (!myOffer || !theirOffer)
        return std::nullopt;
    // Identities count only when both hellos name one: a peer without them agrees as before.
    CallKeys::Identities identities{};
    if (config_.identity && (theirs.capabilities & SessionControl::kIdentity) != 0) {
        identities.mine = &*config_.identity;
        identities.theirs = &theirs.identityKey;
    }
    if (config_.secret)
        return CallKeys::Agree(config_.keyPair, *myOffer, *theirOffer, *config_.secret, identities);
    return CallKeys::Agree(config_.keyPair, *myOffer, *theirOffer, nullptr, identities);
}

int CallSession::ComposeControl(SessionControl::Kind kind, std::span<uint8_t> out, int64_t nowMs) {
    const int length = MakeControl(kind).Compose(out);
    if (length > 0)
        lastSentMs_ = nowMs;
    if (length >= SessionControl::kBytesWithReveal)
        revealed_ = true;
    return length;
}

SessionControl CallSession::MakeControl(SessionControl::Kind kind) const {
    SessionControl control;
    control.kind = kind;
    control.formatChosen = config_.formatChosen;
    control.senderId = config_.sessionId;
    control.peerId = peerId_;
    control.capabilities = SessionControl::kNumberedAudio | SessionControl::kQualityReports;
    if (config_.opusFormat != 0) {
        control.capabilities |= SessionControl::kOpus;
        control.opusFormat = static_cast<uint8_t>(config_.opusFormat);
    }
    if (config_.encrypt) {
        control.capabilities |= SessionControl::kKeyAgreement;
        control.commitment = CallKeys::Commitment(config_.keyPair.publicKey);
        // The key itself only to a peer whose own key is already committed to.
        if (peerCommitment_ && kind == SessionControl::Kind::kHello) {
            control.capabilities |= SessionControl::kKeyReveal;
            control.publicKey = config_.keyPair.publicKey;
            if (keys_)
                control.capabilities |= SessionControl::kHoldsPeerKey;
            if (config_.identity) {
                control.capabilities |= SessionControl::kIdentity;
                control.identityKey = config_.identity->publicKey;
            }
        }
    }
    // The hello names the plain format even in an Opus call: a copy without Opus agrees on it as before.
    control.formatCode =
        static_cast<uint8_t>(format_code::IsOpus(config_.formatCode) ? plainFormat_ : config_.formatCode);
    return control;
}

int CallSession::ComposeDue(std::span<uint8_t> out, int64_t nowMs) {
    if (mode_ == Mode::kOff || !peerKnown_)
        return 0;
    if (mode_ != Mode::kSession) {
        if (mode_ != Mode::kOffering || hellosSent_ >= kMaxHellos || nowMs < nextHelloMs_)
            return 0;
        if (hellosSent_++ == 0)
            firstHelloMs_ = nowMs;
        nextHelloMs_ = nowMs + kHelloIntervalMs;
        return ComposeControl(SessionControl::Kind::kHello, out, nowMs);
    }
    if (answerHello_) {
        answerHello_ = false;
        nextKeyHelloMs_ = nowMs + kHelloIntervalMs;
        return ComposeControl(SessionControl::Kind::kHello, out, nowMs);
    }
    if (KeyExchangeOpen() && keyHellosSent_ < kMaxHellos && nowMs >= nextKeyHelloMs_) {
        // The hello with our key may have been lost: again, until the peer shows it holds the key.
        ++keyHellosSent_;
        nextKeyHelloMs_ = nowMs + kHelloIntervalMs;
        return ComposeControl(SessionControl::Kind::kHello, out, nowMs);
    }
    // Toward a peer agreeing a key nothing but the hellos goes in the clear: reports wait for the keys.
    if (AwaitsKeys())
        return 0;
    if (confirmKeys_ && keys_) {
        confirmKeys_ = false;
        return ComposeControl(SessionControl::Kind::kKeepAlive, out, nowMs);
    }
    if (peerReports_ && nowMs >= nextReportMs_) {
        nextReportMs_ = nowMs + kReportIntervalMs;
        const int length = ComposeReport(out, nowMs);
        if (length > 0)
            return length;
    }
    if (nowMs - lastSentMs_ >= kKeepAliveMs)
        return ComposeControl(SessionControl::Kind::kKeepAlive, out, nowMs);
    return 0;
}

int CallSession::ComposeGoodbye(std::span<uint8_t> out) {
    if (mode_ != Mode::kSession)
        return 0;
    return ComposeControl(SessionControl::Kind::kGoodbye, out, lastSentMs_);
}

int CallSession::ComposeReport(std::span<uint8_t> out, int64_t nowMs) {
    RtcpReport report;
    report.ssrc = SsrcOf(config_.sessionId);
    report.sessionId = config_.sessionId;
    if (sentSinceReport_) {
        RtcpSenderInfo sender;
        sender.ntpTimestamp = rtp_statistics::NtpFromUnixUs(nowMs * 1000);
        sender.rtpTimestamp = Timestamp();
        sender.packetCount = packetsSent_;
        sender.octetCount = octetsSent_;
        report.sender = sender;
        sentSinceReport_ = false;
    }
    if (highestSequence_ && baseSequence_) {
        RtcpReportBlock block;
        block.ssrc = SsrcOf(peerId_);
        const int64_t expected = *highestSequence_ - *baseSequence_ + 1;
        const int64_t expectedInterval = expected - expectedAtReport_;
        const int64_t receivedInterval = quality_.received - receivedAtReport_;
        const int64_t lostInterval = expectedInterval - receivedInterval;
        expectedAtReport_ = expected;
        receivedAtReport_ = quality_.received;
        block.fractionLost =
            expectedInterval > 0 && lostInterval > 0
                ? static_cast<uint8_t>(std::min<int64_t>(255, (lostInterval << 8) / expectedInterval))
                : 0;
        block.cumulativeLost = static_cast<int32_t>(std::clamp<int64_t>(
            expected - quality_.received, RtcpReportBlock::kFewestLost, RtcpReportBlock::kMostLost));
        block.highestSequence = static_cast<uint32_t>(*highestSequence_);
        block.jitter = jitterQ4_ >> 4;
        if (lastSrAtMs_ > 0 || lastSrMiddle_ != 0) {
            block.lastSr = lastSrMiddle_;
            block.delaySinceLastSr = rtp_statistics::NtpShortFromUs((nowMs - lastSrAtMs_) * 1000);
        }
        report.block = block;
    }
    report.quality = localQuality_;
    const int length = report.Compose(out);
    if (length > 0)
        lastSentMs_ = nowMs;
    return length;
}

// The session between two copies of the program within one call: offered, never imposed.
//
// At the start of a call this side sends a hello every 200 ms, at most ten times, while its audio goes out
// as the plain wire does (type 0, or the one-byte marker while muted), so that a peer that speaks only the
// plain wire hears the call from its start and ignores the hellos. When the peer's hello arrives the call
// is a session: from then on audio goes out as RTP (numbered, timestamped, nothing while muted), a quiet
// side sends a keep-alive every second, both sides report what they receive a few times a second (RTCP),
// and a peer silent for the time-out ends the call. A peer that sent a hello is never sent plain audio
// again; only a peer that sends plain audio and no hello is treated as plain, and then nothing changes from
// the plain wire.
//
// In a session the call stays with its peer: datagrams that do not carry the peer's session id (its SSRC
// in RTP and RTCP) from other addresses neither move the peer nor end the call; the peer's own from a new
// address are followed. Codec agreement: the hello carries the format; a format chosen for the call wins,
// otherwise the listener takes the caller's (AgreeFormat). Opus is offered beside that format: when both
// hellos offer it the call switches to it, and the plain wire never carries it.
//
// Encryption is offered in the hello too: each side's hello carries a fresh public key, and when both did
// the session holds the call's keys (CallKeys), which the link seals every datagram but the hellos with.
// While that offer stands, audio is held back for at most kClearAudioHoldMs after the first hello, so
// that a copy that answers within it never gets a frame in the clear; a peer that has not answered by then
// gets the held frames and the rest on the plain wire, exactly as before, only that much later. A hello
// without a key (an older copy, or a key stripped on the path) makes a session that is not encrypted, and the
// link says so. Once the peer has committed to a key, no lost or reordered hello may leave the two sides in
// different states: each side resends its hello with its key until the peer shows it holds that key (a
// hello saying so, or a sealed datagram that opens), answers at once a hello of the peer's that does not
// say so, and never takes the call for unencrypted meanwhile; an agreement not complete within
// kKeyAgreementMs ends the call (KeyAgreementFailed) rather than leave one side sealing what the other
// cannot open.
//
// Pure: no socket, no clock of its own (times are passed in, milliseconds of a monotonic clock), so that
// tests drive it on a fake clock. The link's worker is its only user. Layouts: docs/SESSION.md.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "link/CallKeys.h"
#include "link/RtcpReport.h"
#include "link/SessionControl.h"

class CallSession {
public:
    enum class Mode {
        kOff,       // sessions are off: the plain wire only
        kOffering,  // hellos go out with plain audio; nothing of the peer's session heard yet
        kPlain,     // the peer sends plain audio and never answered: the plain wire
        kSession,   // both sides have seen each other's hello
    };

    static constexpr int kHelloIntervalMs = 200;
    static constexpr int kMaxHellos = 10;
    static constexpr int kKeepAliveMs = 1000;
    static constexpr int kReportIntervalMs = 500;
    static constexpr int kDefaultPeerTimeoutMs = 30000;
    // How long an offer of encryption holds the microphone's frames back, waiting for the peer's answer.
    static constexpr int kClearAudioHoldMs = 200;
    // How long a key agreement the peer committed to may take: the hello's ten retries, and a second for
    // the answer to the last.
    static constexpr int kKeyAgreementMs = kMaxHellos * kHelloIntervalMs + kKeepAliveMs;

    struct Config {
        bool offer = true;  // false: --session=off, the plain wire only
        bool listener = false;
        int formatCode = 0;
        bool formatChosen = false;  // chosen for this call (-a), not only the default
        int opusFormat = 0;  // the Opus format this side offers in its hello (0: none); used when both offer
        int peerTimeoutMs = kDefaultPeerTimeoutMs;  // 0: never
        uint64_t sessionId = 0;                     // this side's, random, never 0
        uint32_t firstSequence = 0;                 // RTP's first sequence number and timestamp, random
        uint32_t firstTimestamp = 0;
        bool encrypt = false;  // offer key agreement in the hello, with this call's fresh key pair
        CallKeys::KeyPair keyPair;
        // --secret: mixed into the agreement, which is then required; the call's peer counts only once
        // one of its sealed datagrams has opened (SetPeerProven), and no audio goes to it before.
        std::shared_ptr<const CallKeys::Secret> secret;
        bool requireKeys = false;  // --require-private: no audio at all before the keys are agreed
        // This copy's long-term identity, named in the hello that reveals the key and bound into the keys
        // when the peer names one too; none: the hello names none.
        std::optional<CallKeys::Identity> identity;
    };

    // What a received datagram means for the call.
    struct Incoming {
        enum class Action {
            kNone,     // nothing to play
            kPlay,     // play `payload` (numbered when `sequence` is set)
            kEndCall,  // the call is over: an empty plain datagram, or the peer's goodbye
        };
        Action action = Action::kNone;
        std::span<const uint8_t> payload;
        std::optional<uint64_t> sequence;
        bool restart = false;   // the sender's numbering begins anew with this frame
        bool movePeer = false;  // the sender's address becomes the peer's
        bool stranger = false;  // not the peer's: counted and dropped (name the source once)
    };

    // What the codecs of the two sides come to.
    struct Agreement {
        int formatCode = 0;     // what this side uses from now on
        bool mismatch = false;  // both chose, differently: neither side can play the other
    };
    static Agreement AgreeFormat(int mine, bool mineChosen, int theirs, bool theirsChosen, bool listener);

    // Begins a call. `nowMs` on the caller's clock.
    void Start(const Config& config, int64_t nowMs);

    // One received datagram (a private call's, opened), from the current peer's address or not.
    Incoming Receive(std::span<const uint8_t> datagram, bool fromPeerAddress, int64_t nowMs);

    // Whether captured frames wait at `nowMs` (kept, not composed) for the peer's answer to the offer of
    // encryption.
    bool HoldsAudio(int64_t nowMs) const;
    // How many of the newest held frames are worth keeping: those of the last kClearAudioHoldMs.
    int HeldFramesKept() const;
    // One captured frame as the datagram to send into `out`; 0: nothing to send. `muted`: the frame was
    // captured while the microphone was muted.
    int ComposeAudio(std::span<const uint8_t> frame, bool muted, std::span<uint8_t> out, int64_t nowMs);
    // The next control datagram due at `nowMs` (hello, keep-alive, report) into `out`; 0 when none is.
    int ComposeDue(std::span<uint8_t> out, int64_t nowMs);
    // The goodbye of a session call this side ends; 0 outside a session.
    int ComposeGoodbye(std::span<uint8_t> out);
    // Whether a datagram sent now may go: a listener sends nothing before its peer is known.
    void SetPeerKnown(bool known) { peerKnown_ = known; }

    // The figures of the stream this side plays, for its reports.
    void SetPlayoutFigures(const RtcpQuality& figures) { localQuality_ = figures; }

    Mode GetMode() const { return mode_; }
    // Whether the call's keys are agreed: from then on everything but the hellos goes sealed.
    bool Encrypted() const { return keys_.has_value(); }
    // The peer has committed to a key whose reveal has not arrived yet: the call is neither encrypted nor
    // plain so far, and holds its audio back.
    bool AwaitsKeys() const;
    // A sealed datagram of the peer opened with the call's keys: the peer holds our key.
    void SetKeysConfirmed() { peerHoldsKey_ = keysConfirmed_ = true; }
    // Until then the agreement may fail (a peer that only replays somebody's hellos never gets here).
    bool KeysConfirmed() const { return keysConfirmed_; }
    // The agreement the peer committed to is not complete kKeyAgreementMs after it began: the call ends.
    bool KeyAgreementFailed(int64_t nowMs) const;
    // The keys once agreed, or agreed anew (the peer started again); none otherwise.
    std::optional<CallKeys> TakeNewKeys();
    // A private call's peer whose sealed datagram opened with the call's keys: it holds the secret.
    void SetPeerProven() { proven_ = peerHoldsKey_ = keysConfirmed_ = true; }
    bool PeerProven() const { return proven_; }
    // A private call refused a hello without a key (an older copy, or one with --encrypt=off): once per
    // call, for the link to say so.
    bool TakeRefusal();
    bool InSession() const { return mode_ == Mode::kSession; }
    // The format this side uses; when it changed since the last look, the pipeline must follow.
    int FormatCode() const { return config_.formatCode; }
    bool TakeFormatChange();
    // The peer's format where they differ and cannot agree (named once per call by the link).
    std::optional<int> TakeMismatch();
    // Whether both sides offered Opus and the call now uses it.
    bool OpusAgreed() const { return opusAgreed_; }
    // This side offered Opus and the peer turned out not to: a plain peer, or a session copy whose hello
    // offers no Opus (not asked for it, or without it). Once per call, with the format the call goes on with.
    struct OpusFallback {
        int formatCode = 0;
        bool sessionPeer = false;  // a session copy, not a plain peer
        bool peersFormat = false;  // the format is the peer's, taken in the session's agreement
    };
    std::optional<OpusFallback> TakeOpusFallback();
    // The Opus format both sides can use: the lower rate of the two offers (either decodes the other).
    static int AgreeOpus(int mine, int theirs);
    // What an Opus sender does with the peer's report: the fraction lost since the last one (in 1/256)
    // sets the expected loss for the in-band FEC (rounded up, at most kOpusMaxExpectedLoss), and the bit
    // rate backs off by a quarter while more than 10 % is lost (a congested path) down to
    // kOpusLowestBitRate, and climbs back by 2000 bit/s a report while less than 2 % is, up to
    // kOpusTopBitRate; while any loss is expected it never goes below the FEC's room
    // (OpusFecRoomBitRate), which may lift it above kOpusTopBitRate. `codingRate` is the Opus format's rate.
    struct SenderSettings {
        int expectedLossPercent = 0;
        int bitRate = 0;
    };
    static constexpr int kOpusTopBitRate = 24000;
    // The most the rate is raised to for the FEC's room.
    static constexpr int kOpusFecTopBitRate = 32000;
    static constexpr int kOpusLowestBitRate = 12000;
    static constexpr int kOpusMaxExpectedLoss = 30;
    static SenderSettings AdaptOpusSender(uint8_t fractionLost, int bitRate, int codingRate);
    // The lowest bit rate at which libopus spends bits on in-band FEC for our 20 ms speech frames
    // (at OpusCodec::kComplexity) at `lossPercent`, in whole 500 bit/s; 0 without loss. Up to 5 % loss the
    // encoder keeps the band it has (the widest the coding rate allows) and codes FEC only if the rate leaves
    // room for it there (43 kbit/s at 2 % and 48000 Hz); above 5 % it narrows the band until FEC fits, and
    // the room kept is wideband's (8 kHz of audio; 28 kbit/s at 10 %), so that the listener keeps wideband
    // speech. Measured with bench/opus_fec_room on libopus 1.3.1 (at 48000 Hz, 1 to 30 %).
    static int OpusFecRoomBitRate(int lossPercent, int codingRate);
    // A plain peer's payload whose size is not the format's: its size, once per call.
    std::optional<int> TakeBadPayload();
    // How long nothing has come from the peer (since the call began, before anything came).
    int64_t SilentForMs(int64_t nowMs) const { return nowMs - lastHeardMs_; }
    bool HeardAnything() const { return heardAnything_; }
    // A session peer silent for the time-out: the call is over.
    bool PeerTimedOut(int64_t nowMs) const;

    // Quality both ways, as far as known.
    struct Quality {
        std::optional<int64_t> roundTripUs;
        // What this side receives of the peer's stream.
        int64_t received = 0;
        int64_t lost = 0;
        uint32_t jitterTimestampUnits = 0;
        // What the peer reports of ours.
        std::optional<RtcpReportBlock> peerBlock;
        // How many of ours the peer's last report covers (from our first sequence number to the highest it
        // names): its cumulative loss over this is the whole call's, as `lost` is on this side.
        int64_t peerExpected = 0;
        std::optional<RtcpQuality> peerQuality;
    };
    const Quality& GetQuality() const { return quality_; }
    uint64_t SessionId() const { return config_.sessionId; }
    uint64_t PeerSessionId() const { return peerId_; }

private:
    Incoming ReceiveControl(std::span<const uint8_t> datagram, bool fromPeerAddress, int64_t nowMs);
    Incoming ReceiveRtp(std::span<const uint8_t> datagram, bool fromPeerAddress, int64_t nowMs);
    Incoming ReceiveRtcp(std::span<const uint8_t> datagram, bool fromPeerAddress, int64_t nowMs);
    // The peer's hello, keep-alive or goodbye of a new session: the session begins (or begins again).
    void BeginSession(const SessionControl& hello, int64_t nowMs);
    // The hello this side sends, as a control datagram of `kind`.
    SessionControl MakeControl(SessionControl::Kind kind) const;
    // The keys agreed with the peer's hello `datagram` that reveals its key; none when its key is unusable
    // or is not the one it committed to.
    std::optional<CallKeys> AgreeKeys(std::span<const uint8_t> datagram, const SessionControl& hello) const;
    void Heard(int64_t nowMs);
    // Keys awaited, or agreed but not yet known to the peer: our key hello goes out again.
    bool KeyExchangeOpen() const;
    int ComposeControl(SessionControl::Kind kind, std::span<uint8_t> out, int64_t nowMs);
    int ComposeReport(std::span<uint8_t> out, int64_t nowMs);
    uint32_t Timestamp() const;
    // The format's frame, rate and payload size, from the codec table.
    void ApplyFormat();
    // The playout slot of an Opus frame from its timestamp (frames since the first one heard); none for a
    // frame from before that one.
    std::optional<uint64_t> OpusSlot(uint32_t timestamp);

    static constexpr int kOpusRtpRate = 48000;
    // Opus packets this short carry no sound: the encoder's silence between comfort-noise updates.
    static constexpr size_t kOpusDtxBytes = 2;

    Config config_;
    std::optional<CallKeys> keys_;
    CallKeys::Key peerPublicKey_{};
    std::optional<CallKeys::Key> peerCommitment_;  // from the peer's first key hello of this session
    bool revealed_ = false;                        // a hello with our public key has gone out
    bool peerHoldsKey_ = false;   // the peer has shown that it holds our key: no need to resend it
    bool keysConfirmed_ = false;  // a sealed datagram of the peer opened: the agreement is complete
    int64_t keyStartMs_ = 0;      // when the peer's commitment began this session's agreement
    int keyHellosSent_ = 0;       // our key hello resent for this agreement
    int64_t nextKeyHelloMs_ = 0;  // when it is due again
    bool keysChanged_ = false;
    bool confirmKeys_ = false;  // a sealed keep-alive goes out at once: the peer learns we hold the keys
    bool proven_ = false;
    bool refused_ = false;
    bool refusalNamed_ = false;
    int plainFormat_ = 0;     // the format of the plain wire and of the hello
    int rate_ = 8000;         // the format's samples per second: RTP's clock
    int frameSamples_ = 160;  // samples per frame
    int payloadBytes_ = 0;    // every payload's size, 0 when they vary
    Mode mode_ = Mode::kOff;
    bool peerKnown_ = false;
    uint64_t peerId_ = 0;
    bool peerReports_ = false;  // the peer's hello offered quality reports
    int hellosSent_ = 0;
    int64_t firstHelloMs_ = 0;
    int64_t nextHelloMs_ = 0;
    bool answerHello_ = false;  // the peer's hello did not name us yet: answer at once
    int64_t lastSentMs_ = 0;
    int64_t nextReportMs_ = 0;
    int64_t lastHeardMs_ = 0;
    bool heardAnything_ = false;
    bool formatChanged_ = false;
    bool opusAgreed_ = false;
    bool opusFallbackNamed_ = false;
    std::optional<int> mismatch_;
    bool mismatchNamed_ = false;
    std::optional<int> badPayload_;
    bool badPayloadNamed_ = false;

    // Sending numbered audio.
    uint16_t sequence_ = 0;
    uint64_t framesCaptured_ = 0;  // the timestamp advances by a frame for every one, sent or not
    bool talkSpurtStarts_ = true;
    uint32_t packetsSent_ = 0;
    uint32_t octetsSent_ = 0;
    bool sentSinceReport_ = false;

    // Receiving numbered audio.
    std::optional<int64_t> highestSequence_;
    std::optional<int64_t> baseSequence_;
    // Opus's frames take their playout slots from their timestamps: DTX leaves frames unsent without
    // spending numbers on them, and the receiver conceals those slots in place (the decoder's comfort noise).
    std::optional<int64_t> highestTimestamp_;
    std::optional<int64_t> firstTimestamp_;
    int64_t expectedAtReport_ = 0;
    int64_t receivedAtReport_ = 0;
    std::optional<int64_t> lastTransit_;
    uint32_t jitterQ4_ = 0;
    uint32_t lastSrMiddle_ = 0;  // the middle 32 bits of the peer's last SR, and when it came
    int64_t lastSrAtMs_ = 0;
    int64_t lastSrAtUnixUs_ = 0;
    RtcpQuality localQuality_;
    Quality quality_;
};

// One call between two copies of the program over one UDP socket.
//
// The link's worker receives the peer's datagrams and hands their audio to the pipeline, and sends the
// frames the pipeline encodes from the microphone. There is no handshake: a listener learns its peer from
// the first datagram that arrives and answers whoever sent the last one; a connecting side starts sending
// at once. Each datagram is one type byte (0 audio, 1 marker for a muted microphone) and, for audio, one
// encoded frame.
//
// A private call (SetSecret) is always a session whose keys are agreed afresh with the secret mixed in
// (CallKeys); it seals every datagram but the hellos and takes only datagrams that open with the call's
// keys (DatagramSealer): they alone prove the peer, reach the decoder or end the call, which the sealed
// goodbye does instead of an empty datagram. Everything else is counted and dropped.
//
// Listen, Connect, Close and the mute flags are called from the user-interface thread; the link reports
// back only by posting (LinkMessages.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "audio/AudioPipeline.h"
#include "audio/FormatCode.h"
#include "audio/FrameSink.h"
#include "base/ByteBuffer.h"
#include "base/Socket.h"
#include "base/WakeEvent.h"
#include "base/WorkerThread.h"
#include "link/AttemptRace.h"
#include "link/CallSession.h"
#include "link/DatagramSealer.h"
#include "platform/MessageTarget.h"

class VoiceLink : public WorkerThread, public FrameSink {
public:
    // Idle, or active: listening or in a call. (The values are the design's.)
    enum State : int { kIdle = 0, kActive = 2 };
    static constexpr uint8_t kAudioDatagram = 0;
    static constexpr uint8_t kMarkerDatagram = 1;
    // The largest datagram a receiver takes, type byte included.
    static constexpr int kMaxDatagram = 10000;
    static constexpr int kMaxQueuedFrames = 1000;
    // While a listener waits for its peer, only the newest frames wait with it: what was said before the
    // call is never sent into it.
    static constexpr int kFramesKeptForPeer = 2;
    static constexpr int kReceiveTimeoutMs = 20;
    static constexpr int kLevelIntervalMs = 50;
    // How long a caller without a session (its audio is all it sends) waits for an answer at one of its
    // peer's addresses before it tries the next. A caller offering a session races its hellos instead
    // (AttemptRace).
    static constexpr int kNextAddressMs = 1000;
    static constexpr int kInitialFormat = format_code::kDefault;  // the window sets the chosen format later
    // No Opus offer unless a format set for the call is Opus (-a:opus): a call that switches rates mid-way
    // is refused by a WAV-file device fixed to one rate, so the offer is asked for, not made by default.
    static constexpr int kOpusOffered = 0;

    VoiceLink();
    ~VoiceLink() override;

    // Opens the call's socket on the local address and port and waits for a peer. Socket failures
    // (SocketException, BindException) reach the caller with the link still idle. Does nothing while
    // the link is active.
    void Listen(const char* address, int port);
    // Opens the call's socket towards host and port; the worker then starts the call. Does nothing while
    // the link is active; failures (UnknownHostException among them) reach the caller, the link idle.
    void Connect(const char* host, int port);
    // The same with the peer's addresses already resolved, in the order to try them (not empty).
    void ConnectAddresses(const std::vector<SocketAddress>& addresses);
    // Makes the link idle; the worker ends the call within one receive time-out and posts WM_LINK_CLOSED.
    void Close();

    void SetMuteSpeakers(bool mute) { muteSpeakers_.store(mute, std::memory_order_relaxed); }
    void SetMuteMicrophone(bool mute);
    bool MuteSpeakers() const { return muteSpeakers_.load(std::memory_order_relaxed); }
    bool MuteMicrophone() const { return muteMicrophone_.load(std::memory_order_relaxed); }

    // Where the window messages and the level messages go. Set before the worker starts.
    void SetOwner(MessageTarget* window, MessageTarget* uiThread) {
        window_ = window;
        uiThread_ = uiThread;
    }
    // The playback device for the peer's audio. Set before the worker starts.
    void SetOutputDevice(int deviceId) { outputDevice_ = deviceId; }
    // Makes every call private: `secret` goes into every call's key agreement, and every call is a
    // session (the offer of SetSessionOffer does not matter). Set before the worker starts.
    void SetSecret(std::vector<uint8_t> secret);
    // The same with the secret's key already derived, for tests. Set before the worker starts.
    void SetCallKey(const DatagramSealer::Key& key);
    bool Private() const { return private_; }
    // Whether calls offer a session to the peer (on by default; off: the plain wire only). Set before
    // the worker starts.
    void SetSessionOffer(bool offer) { sessionOffer_ = offer; }
    // The format was chosen for the calls (it wins over the peer's); otherwise a listener takes its
    // caller's. Set before the worker starts.
    void SetFormatChosen(bool chosen) { formatChosen_ = chosen; }
    // The Opus format offered to a session peer (0: none). Set before a call, like the format.
    void SetOpusOffer(int formatCode) { opusOffer_ = formatCode; }
    // Whether calls offer encryption in the session's hello (on by default; off: --encrypt=off, a session
    // in the clear that tools can read). Set before the worker starts.
    void SetEncryptionOffer(bool offer) { encryptionOffer_ = offer; }
    // --require-private: nothing goes in the clear, and a call that turns out not to be encrypted ends.
    // Set before the worker starts.
    void SetRequireEncryption(bool require) { requireEncryption_ = require; }
    // This copy's long-term identity, named in every call's key agreement. Set before the worker starts.
    void SetIdentity(const CallKeys::Identity& identity) { identity_ = identity; }
    // How long a session peer may stay silent before the call ends; 0: never. Set before the worker starts.
    void SetPeerTimeoutMs(int ms) { peerTimeoutMs_ = ms; }
    int OutputDevice() const { return outputDevice_; }

    State GetState() const { return state_.load(std::memory_order_acquire); }
    AudioPipeline& Pipeline() { return pipeline_; }
    // Where the next datagram goes (address 0 while a listener waits for its peer).
    SocketAddress Peer() const;
    // The IPv6 source a message with kSourceHeldByLink names (its wParam); the IPv4 any address once
    // the ticket is too old (the link keeps the last 16).
    SocketAddress PostedSource(WPARAM ticket) const;
    // The local port of the call's socket, 0 without one.
    int LocalPort() const;
    // The address the call's socket is bound to (the any address without a socket).
    SocketAddress LocalAddress() const;
    int QueuedFrames() const;
    // Frames dropped because the send queue was full.
    int64_t DroppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

    // What the current call knows of its peer, for the status: updated by the worker as the call goes.
    struct CallState {
        CallSession::Mode mode = CallSession::Mode::kOff;
        SocketAddress peer;          // the any address while a listener waits
        bool heardAnything = false;  // anything of the peer's arrived in this call
        int64_t silentForMs = 0;     // since the peer was last heard (or the call began)
        int formatCode = 0;          // the format this call uses
        CallSession::Quality quality;
        // The peer's identity key, once keys bound to it have been confirmed (a datagram of it opened).
        std::optional<CallKeys::Key> peerIdentity;
    };
    CallState GetCallState() const;
    // Whether the current call's datagrams are sealed with keys agreed for it, and a datagram of the peer
    // has opened with them.
    bool Encrypted() const { return encrypted_.load(std::memory_order_relaxed); }
    // Datagrams a session dropped because they were not its peer's.
    int64_t StrangerDatagrams() const { return strangers_.load(std::memory_order_relaxed); }

    // Counts since the link was made, for the console's statistics line.
    struct Statistics {
        int64_t datagramsSent = 0;
        int64_t datagramsReceived = 0;
        int64_t sendQueueDrops = 0;
        int64_t playbackDrops = 0;    // frames the playback ring had no free buffer for
        int64_t framesConcealed = 0;  // slots the playout filled with concealment
        int64_t framesLate = 0;       // frames that came after their slot was concealed
        double playoutDepthMs = 0;    // audio waiting to be played after the last arrival
        double jitterMs = 0;          // arrival jitter (95th percentile of inter-arrival deviations)
        // Private calls only: datagrams dropped because they were not sealed (plain or empty), did not open
        // (another key, changed, cut short or oversized), or had opened before.
        int64_t droppedNotSealed = 0;
        int64_t droppedForged = 0;
        int64_t droppedReplayed = 0;
    };
    Statistics GetStatistics();

    // One encoded frame from the capture thread: queued for the worker to send, the oldest dropped when
    // more than kMaxQueuedFrames wait; at most every kLevelIntervalMs the levels are posted.
    void OnFrame(const uint8_t* data, int length) override;
    void OnPlayed(int) override {}

protected:
    void Run() override;
    bool DeleteOnExit() override { return false; }
    // One listening or connected period, from the start of capture to the closed message.
    virtual void RunCall();

private:
    struct Frame {
        virtual ~Frame() = default;
        ByteBuffer bytes;
        bool marker = false;  // captured while the microphone was muted: goes out as the one-byte marker
    };

    // True while the call that started with `generation` is still the link's current one.
    bool CallGoesOn(uint32_t generation) const;
    void WaitForPeer(SocketHandle handle, uint32_t generation);
    // A listener's call that nobody was connected to starts over: no peer, a fresh session, waiting.
    void ListenAgain(SocketHandle handle, uint32_t generation, SocketAddress& peer);
    // A listener offering keys says it is connected once the call's keys are confirmed or none are agreed.
    void SettleConnect(const SocketAddress& peer);
    struct ListenRestarts {
        static constexpr int64_t kQuickRestartMs = 1000;
        static constexpr int kMaxQuickRestarts = 5;
        int64_t lastMs = 0;
        int quick = 0;
        bool Admit(int64_t nowMs);
    };
    void SendQueued(SocketHandle handle, const SocketAddress& peer, ByteBuffer& buffer);
    // Sends one datagram, sealed in a private call; false when it was not sent.
    bool SendDatagram(SocketHandle handle, const SocketAddress& peer, const uint8_t* data, int length);
    void EndCall(SocketHandle handle, uint32_t generation, bool announce);

    // What one look at a private call's socket found.
    enum class Received { kNothing, kOpened, kEndOfCall };
    // A call's session, its format and its state for the status.
    void StartSession(const SocketAddress& peer);
    // An Opus sender follows the peer's latest report: the loss to protect against, the bit rate to use.
    void AdaptSender();
    // Capture and the peer's stream restart in the new format (capture only when `capturing`).
    void ChangeFormat(int formatCode, bool capturing);
    void SendSessionTraffic(SocketHandle handle, const SocketAddress& peer, ByteBuffer& buffer,
                            int64_t nowMs);
    void PublishCallState(const SocketAddress& peer, int64_t nowMs);
    void NoteStranger(const SocketAddress& from);
    // Posts `message` about a source, once per source and call (and for a few sources at most).
    void NameSourceOnce(uint32_t message, const SocketAddress& from);
    // Takes one waiting datagram of a plain call.
    Received ReceivePlain(SocketHandle handle, uint32_t generation, SocketAddress& peer, ByteBuffer& buffer);
    // What one datagram (a private call's, opened) means for the call, as the session says: the peer
    // address, audio to play, the end of the call.
    Received TakeDatagram(std::span<const uint8_t> datagram, const SocketAddress& from, uint32_t generation,
                          SocketAddress& peer);
    // The sealed end of call, sent when a private call is closed or the program ends.
    void SendEndOfCall(SocketHandle handle, const SocketAddress& peer);
    void NoteDrop(DatagramSealer::Result result, const SocketAddress& from);
    // An encrypted session's datagram: opened with the call's keys (hellos go in the clear), the rest
    // dropped.
    Received ReceiveEncrypted(std::span<const uint8_t> datagram, const SocketAddress& from,
                              uint32_t generation, SocketAddress& peer);
    static bool IsHello(std::span<const uint8_t> datagram);
    // Takes up keys the session agreed and tells the window whether the call is encrypted; false when the
    // call is not and must not go on (--require-private).
    bool FollowEncryption();
    // Drops queued frames beyond the newest `keep`.
    void TrimQueue(size_t keep);
    // A socket whose call was closed before the worker picked it up: closed, and the closed message posted.
    void DropUnstartedCall();
    void PostWindow(uint32_t message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Moves a caller not yet heard to the next of its peer's addresses it can reach (the socket connected
    // there, `peer` and the link's peer changed); false when there is none.
    bool TryNextAddress(SocketHandle handle, uint32_t generation, std::vector<SocketAddress>& candidates,
                        SocketAddress& peer);
    // A caller offering a session sends its hellos to every address its race has started, and the last
    // hello to each address as it starts; false when an address's send failed (it is out of the race).
    void SendToAttempts(SocketHandle handle, const uint8_t* data, int length, int64_t nowMs);
    void StartDueAttempts(SocketHandle handle, int64_t nowMs);
    // What the race makes of a datagram from `from`: false when it is to be dropped (a loser's late
    // answer, or a stranger's before anyone answered); the first answer makes its address the peer's.
    bool RaceAdmits(SocketHandle handle, uint32_t generation, const SocketAddress& from, SocketAddress& peer);
    // The race's address for the call's audio becomes the peer (after an attempt failed).
    void FollowPrimary(uint32_t generation, SocketAddress& peer);
    // Posts a message about a source address (LinkMessages.h says how it travels).
    void PostSource(uint32_t message, const SocketAddress& source);
    void InstallSocket(SocketHandle handle, const SocketAddress& peer);

    // The socket and the peer address change hands between the user-interface thread (Listen, Connect)
    // and the worker (receives, end of call), so they sit under their own lock.
    mutable std::mutex socketLock_;
    Socket socket_;
    SocketAddress peer_;
    // A caller's addresses of its peer in the order to try, the one in use first (empty for a listener).
    std::vector<SocketAddress> candidates_;
    // A caller's race over its peer's addresses, and the last hello it sent (the worker's alone).
    AttemptRace race_;
    std::vector<uint8_t> lastHello_;
    // Every Listen or Connect starts a new generation, so that a call still winding down after Close
    // never takes the next call's socket or state for its own.
    std::atomic<uint32_t> generation_{0};
    uint32_t startedGeneration_ = 0;  // the generation of the last call the worker took up; socketLock_

    std::deque<std::unique_ptr<Frame>> queue_;
    mutable std::mutex queueLock_;
    // Signalled by OnFrame: the worker sends a queued frame at once instead of at its next time-out.
    WakeEvent frameQueued_;
    std::atomic<int64_t> dropped_{0};
    std::atomic<bool> waitingForPeer_{false};
    std::atomic<int64_t> sent_{0};
    std::atomic<int64_t> received_{0};

    std::atomic<bool> muteSpeakers_{false};
    std::atomic<bool> muteMicrophone_{false};
    MessageTarget* window_ = nullptr;
    MessageTarget* uiThread_ = nullptr;
    std::atomic<State> state_{kIdle};
    AudioPipeline pipeline_;
    std::atomic<int> streamIndex_{-1};
    int outputDevice_ = -1;
    std::atomic<int64_t> nextLevelReport_{0};

    // A private call's parts. The secret and the flag are set before the worker starts; the sealer and its
    // buffers belong to the worker alone.
    bool private_ = false;
    // The secret goes into each call's key agreement (callSecret_). Set when the worker starts.
    std::shared_ptr<const CallKeys::Secret> callSecret_;
    bool connectPending_ = false;  // a listener offering keys says it is connected once they are confirmed
    std::vector<uint8_t> secret_;
    std::optional<DatagramSealer::Key> key_;
    std::vector<uint8_t> sealed_;  // a datagram being sealed
    std::vector<uint8_t> opened_;  // a datagram being opened
    // Within one call, the sources whose unsealed datagrams were reported, so that each is reported once.
    std::vector<SocketAddress> reportedSources_;
    mutable std::mutex postedLock_;
    uint64_t nextTicket_ = 1;
    std::array<std::pair<uint64_t, SocketAddress>, 16> postedSources_{};
    bool peerProven_ = false;  // this call has opened a datagram of its peer
    SocketAddress provenPeer_;

    // The session of the current call (the worker's alone), and what the window may read of it.
    CallSession session_;
    bool sessionOffer_ = true;
    bool encryptionOffer_ = true;
    bool requireEncryption_ = false;
    // An encrypted session's sealer, made from the keys agreed for the call (the worker's alone).
    std::unique_ptr<DatagramSealer> callSealer_;
    std::optional<bool> encryptionShown_;  // what the window was last told of this call
    // The code of keys agreed but not yet confirmed: shown once a datagram of the peer opens with them.
    std::optional<uint32_t> pendingCode_;
    std::optional<CallKeys::Key> pendingIdentity_;  // the peer's identity in those keys, if both named one
    std::optional<CallKeys::Identity> identity_;
    std::atomic<bool> encrypted_{false};
    bool formatChosen_ = false;
    int opusOffer_ = kOpusOffered;
    int64_t lastAdaptedReport_ = -1;
    int senderBitRate_ = CallSession::kOpusTopBitRate;  // the peer's report block the sender last adapted to
    int peerTimeoutMs_ = CallSession::kDefaultPeerTimeoutMs;
    int configuredFormat_ = -1;  // the format set before the first call; every call starts from it
    int64_t nextFiguresMs_ = 0;
    mutable std::mutex stateLock_;
    CallState callState_;
    std::atomic<int64_t> strangers_{0};
    std::atomic<int64_t> droppedNotSealed_{0};
    std::atomic<int64_t> droppedForged_{0};
    std::atomic<int64_t> droppedReplayed_{0};
};

// What the main window does that is not drawing: it runs Connect, Listen, Disconnect, Exit and the two
// mutes on the voice link, turns the link's messages into status text, button states and meter values,
// and connects or listens again by itself when the settings ask for it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/CallView.h"
#include "app/Settings.h"
#include "app/SteadyFlag.h"
#include "link/VoiceLink.h"
#include "platform/Message.h"
#include "platform/MessageTarget.h"

// One sentence for a listen that failed on `port`: the port, the reason (in use, no permission) and what
// to do.
std::string ListenFailureText(int port);
// The same sentence for a bind that failed with errno `reason` (0: it succeeded when tried again).
std::string ListenFailureText(int port, int reason);
// Why a Connect to `host` failed before anything was sent: the name does not resolve (unknownHost) or
// the address is one this program cannot use.
std::string ConnectFailureText(const std::string& host, bool unknownHost);

class PortMapper;
class LanAnnouncer;

// Posted by the port mapper when its result changes, and by the LAN announcer.
constexpr uint32_t WM_REACH_MAPPING = 0x8030;

class CallController {
public:
    static constexpr const char* kListening = "Listening...";
    static constexpr const char* kConnected = "Connected.";
    static constexpr const char* kDisconnected = "Disconnected.";
    static constexpr const char* kCantConnect = "Error> Can't connect to the peer!";
    static constexpr const char* kCantListen = "Error> Can't listen on the port!";
    static constexpr const char* kSoundCardFailed = "Failed to initialize Sound Card!";
    // Every address of this machine.
    static constexpr const char* kListenAddress = "0.0.0.0";

    CallController(VoiceLink& link, const Settings& settings, CallView& view);
    ~CallController();

    // The front ends' port mapping and LAN announcing while listening, as the settings ask; before
    // Initialize. Left out, as in the unit tests, nothing is sent beyond the call itself.
    void EnableReach() { reachEnabled_ = true; }
    // Whether LAN discovery may run: the front end enabled it and --announce is on.
    bool LanDiscoveryAllowed() const { return reachEnabled_ && settings_.announce; }

    // The window's start-up: the settings into the fields, the link and its pipeline, the mute flags,
    // the link's worker, then an automatic connect or listen. `window` takes the link's window messages,
    // `uiThread` the level messages.
    void Initialize(MessageTarget* window, MessageTarget* uiThread);

    // Asked before every Connect and Listen: a non-empty answer says why no call can start (no sound device,
    // a refused secret file); it goes to the error sink, and nothing starts.
    void SetStartCheck(std::function<std::string()> check) { startCheck_ = std::move(check); }
    // Where a listener on `port`, bound to `bound`, can be reached, for the line under the status: the
    // port the socket really has and, when bound to every address, the machine's LAN addresses (at most
    // four, so that the line stays short).
    static std::string ReachableText(int port, const SocketAddress& bound);
    // The wait before the next lookup of a name that did not resolve, after one of `previousTicks`.
    static int NextResolveWait(int previousTicks);
    static std::string ReachableText(int port, const SocketAddress& bound,
                                     const std::vector<SocketAddress>& lanAddresses);

    // The buttons. Connect and Listen return false when they could not start.
    bool OnConnect();
    bool OnListen();
    void OnDisconnect();
    // Closes the link and waits for its worker to end.
    void OnExit();
    // The user heard the peer read the same code: the peer's identity key is remembered as verified.
    void OnPeerReadSameCode();
    void OnMuteSpeakers(bool pressed);
    void OnMuteMicrophone(bool pressed);

    // The link's messages; false for any other message.
    bool HandleMessage(const Message& message);
    // Once a second: the call's state, as far as the link knows it, to the view.
    void OnTick();
    // The call-state text for what the link knows of the current call.
    static std::string CallStateText(const VoiceLink::CallState& state);
    // The call's quality both ways in one line ("round trip 42 ms; we receive: 1.2 % lost, jitter 3 ms;
    // the peer receives: 0.0 % lost, jitter 2 ms, playout 35 ms"); empty outside a session.
    static std::string QualityText(const VoiceLink::CallState& state);
    // "good", "fair" or "poor" from loss both ways, round trip and jitter; empty outside a session.
    static std::string QualityMark(const VoiceLink::CallState& state);
    // A format code's name ("gsm_8khz"), or its code in hexadecimal.
    static std::string FormatName(int formatCode);
    // What a copy that offered Opus says once when the peer did not: the format and why (`flags`:
    // kOpusFallbackSessionPeer, kOpusFallbackPeersFormat).
    static std::string OpusFallbackNotice(int formatCode, int flags);

    const std::string& Status() const { return status_; }
    bool WorkerStarted() const { return workerStarted_; }
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }

private:
    // The start check's verdict, reported when it refuses.
    bool StartAllowed();
    // What the verified peers say of the encrypted call's peer, shown once its keys are confirmed.
    void ShowPeerTrust();
    void SetStatus(const std::string& text);
    void SetButtons(bool connectAndListen, bool disconnect);
    // "address:port" of the source a link message names.
    std::string SourceText(const Message& message) const;
    bool ReadFields();
    void WriteFields();
    void UpdateMuteButtons();
    // The automatic connect after a call closed: at once, or after a pause when nobody answered.
    void ConnectAgain();
    // --write-sdp: describes the call's audio in `format` once the peer is known (now, or at a later tick).
    void DescribeCall(int format);
    void WritePendingDescription();
    // Port mapping and announcing follow the listening: started with it, stopped when the link stops
    // listening (a call made, the link idle).
    void StartReach();
    void StopReach();

    VoiceLink& link_;
    const Settings& settings_;
    CallView& view_;
    std::string host_;
    int port_ = Settings::kDefaultPort;
    bool muteSpeakers_ = false;
    bool muteMicrophone_ = false;
    std::string status_;
    bool connectAndListenEnabled_ = true;
    bool disconnectEnabled_ = false;
    bool workerStarted_ = false;
    std::string callState_;
    // The automatic connect after a call nobody answered waits this many of OnTick's seconds, doubling
    // from 1 up to the most while calls stay unanswered.
    static constexpr int kMaxReconnectTicks = 8;
    bool closedByUser_ = false;
    int reconnectWaitTicks_ = 0;
    // The automatic connect to a name that did not resolve waits 1, 2, 4 ... up to 60 seconds, then looks
    // the name up in the background, and connects once it resolves.
    static constexpr int kMaxResolveWaitTicks = 60;
    static constexpr int kProbeRunning = 0, kProbeResolves = 1, kProbeUnknown = 2;
    void StartResolveProbe();
    void TakeResolveProbe();
    int resolveWaitTicks_ = 0;
    std::shared_ptr<std::atomic<int>> resolveProbe_;
    int ticksUntilReconnect_ = 0;
    // The format whose description is still to be written, while the peer is not yet known.
    std::optional<int> describeFormat_;
    // What the view was last told of the echo canceller: a change shows once it has held two seconds.
    SteadyFlag echoCancelling_{std::chrono::seconds(2)};
    bool reachEnabled_ = false;
    bool announceProblemShown_ = false;
    MessageTarget* window_ = nullptr;
    // The encrypted call's peer as its identity key tells it, and the address it is remembered under.
    std::optional<CallKeys::Key> peerIdentity_;
    std::string peerLabel_;
    std::unique_ptr<PortMapper> mapper_;
    std::unique_ptr<LanAnnouncer> announcer_;
    std::function<std::string()> startCheck_;
};

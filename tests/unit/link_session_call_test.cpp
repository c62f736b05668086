// The voice link in a session, against a scripted peer on the loopback interface: the format the peer's
// hello brings, numbered audio out, a stranger that changes nothing, the peer's goodbye, and a peer that
// falls silent until the time-out ends the call.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "base/Socket.h"
#include "fake_wave.h"
#include "link/DatagramSealer.h"
#include "link/LinkMessages.h"
#include "link/RtpPacket.h"
#include "link/SessionControl.h"
#include "link/VoiceLink.h"
#include "platform/MessageQueue.h"

namespace {

constexpr int kWaitMs = 3000;
constexpr int kIlbc11 = 0xA4;
constexpr int kGsm8 = 0x82;

using Bytes = std::vector<uint8_t>;

class ScriptedPeer {
public:
    ScriptedPeer() : handle_(CreateSocket(false)) { Bind(handle_, SocketAddress(htonl(INADDR_LOOPBACK), 0)); }
    ~ScriptedPeer() { Close(handle_); }
    SocketAddress Address() const { return LocalAddress(handle_); }
    // Straight to the system call: the socket layer's SendTo sends nothing for an empty datagram.
    void Send(int port, const Bytes& datagram) {
        const SocketAddress to(htonl(INADDR_LOOPBACK), port);
        ASSERT_EQ(::sendto(handle_, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to.sin), sizeof to.sin),
                  static_cast<ssize_t>(datagram.size()));
    }
    // The next datagram whose first byte is `type` (others are skipped), or nothing after kWaitMs.
    std::optional<Bytes> Next(uint8_t type, int timeoutMs = kWaitMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            Bytes buffer(10000);
            SocketAddress from;
            const int n = ReceiveFrom(handle_, &from, buffer.data(), static_cast<int>(buffer.size()), 50);
            if (n > 0 && buffer[0] == type) {
                buffer.resize(static_cast<size_t>(n));
                return buffer;
            }
        }
        return std::nullopt;
    }

private:
    SocketHandle handle_;
};

Bytes Control(SessionControl::Kind kind, uint64_t sender, uint64_t peer, int format, bool chosen) {
    SessionControl control;
    control.kind = kind;
    control.senderId = sender;
    control.peerId = peer;
    control.formatCode = static_cast<uint8_t>(format);
    control.formatChosen = chosen;
    control.capabilities = SessionControl::kNumberedAudio;
    Bytes out(SessionControl::kBytes);
    control.Compose(out);
    return out;
}

class SessionCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
        SetErrorSink(&errors);
        fake.autoFinishPlayback = true;
        link = std::make_unique<VoiceLink>();
        link->Pipeline().SetFormat(kIlbc11);
        link->SetOwner(&window, &ui);
    }
    void TearDown() override {
        link.reset();
        SetErrorSink(nullptr);
        SetWaveBackend(nullptr);
    }
    // Waits for `message`, skipping others; false after kWaitMs.
    bool WaitFor(uint32_t message, int timeoutMs = kWaitMs, Message* got = nullptr) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            const std::optional<Message> next = window.Get(20);
            if (next && next->message == message) {
                if (got != nullptr)
                    *got = *next;
                return true;
            }
        }
        return false;
    }
    // A listening link in a session with `peer`, whose hello brought `format`.
    void ListenAndAnswer(ScriptedPeer& peer, int format, bool chosen) {
        link->Create();
        link->Start();
        link->Listen("127.0.0.1", 0);
        port = link->LocalPort();
        peer.Send(port, Control(SessionControl::Kind::kHello, kPeerId, 0, format, chosen));
        ASSERT_TRUE(WaitFor(WM_LINK_CONNECTED));
        const std::optional<Bytes> answer = peer.Next(4);
        ASSERT_TRUE(answer);
        const std::optional<SessionControl> hello = SessionControl::Parse(*answer);
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->peerId, kPeerId) << "the answer names the peer";
        linkId = hello->senderId;
    }

    static constexpr uint64_t kPeerId = 0x0102030405060708;
    FakeWave fake;
    CollectingErrorSink errors;
    MessageQueue window;
    MessageQueue ui;
    std::unique_ptr<VoiceLink> link;
    int port = 0;
    uint64_t linkId = 0;
};

}  // namespace

TEST_F(SessionCallTest, AListenerTakesTheCallersChosenFormatAndSendsNumberedAudioInIt) {
    ScriptedPeer peer;
    ListenAndAnswer(peer, kGsm8, true);
    Message format;
    ASSERT_TRUE(WaitFor(WM_LINK_FORMAT, kWaitMs, &format));
    EXPECT_EQ(format.wParam, static_cast<WPARAM>(kGsm8));
    EXPECT_EQ(link->Pipeline().FormatCode(), kGsm8);
    // The recorder's own thread starts capture again: give it the time it takes under load.
    for (int i = 0; i < kWaitMs && !link->Pipeline().Recorder().Recording(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(link->Pipeline().Recorder().Recording()) << "capture runs again, in the new format";
    // A frame from the microphone leaves as RTP: payload type 3 (GSM), the link's SSRC, the frame's bytes.
    const Bytes frame(33, 0xD5);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    const std::optional<Bytes> sent = peer.Next(0x80);
    ASSERT_TRUE(sent);
    const std::optional<RtpPacket> packet = RtpPacket::Parse(*sent);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->header.payloadType, 3);
    EXPECT_TRUE(packet->header.marker);
    EXPECT_EQ(packet->header.ssrc, static_cast<uint32_t>(linkId));
    EXPECT_EQ(Bytes(packet->payload.begin(), packet->payload.end()), frame);
    // Muted, it sends nothing; after a second of nothing, a keep-alive.
    link->SetMuteMicrophone(true);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    const std::optional<Bytes> keepAlive = peer.Next(4);
    ASSERT_TRUE(keepAlive);
    EXPECT_EQ((*keepAlive)[2], 2);
    const VoiceLink::CallState state = link->GetCallState();
    EXPECT_EQ(state.mode, CallSession::Mode::kSession);
    EXPECT_EQ(state.peer, peer.Address());
    EXPECT_EQ(state.formatCode, kGsm8);
}

TEST_F(SessionCallTest, AStrangerChangesNothingAndThePeersGoodbyeEndsTheCall) {
    ScriptedPeer peer;
    ListenAndAnswer(peer, kIlbc11, false);
    ScriptedPeer stranger;
    Bytes plain(51, 0x11);
    plain[0] = 0;
    stranger.Send(port, plain);
    stranger.Send(port, Bytes{});
    stranger.Send(port, Control(SessionControl::Kind::kGoodbye, 99, linkId, kIlbc11, false));
    Message named;
    ASSERT_TRUE(WaitFor(WM_LINK_STRANGER, kWaitMs, &named));
    EXPECT_EQ(static_cast<uint32_t>(named.wParam), stranger.Address().Ipv4());
    EXPECT_EQ(static_cast<int>(named.lParam), stranger.Address().Port());
    EXPECT_FALSE(WaitFor(WM_LINK_STRANGER, 300)) << "named once";
    EXPECT_EQ(link->Peer(), peer.Address());
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
    EXPECT_EQ(link->StrangerDatagrams(), 3);
    // Frames still go to the peer.
    const Bytes frame(50, 0x33);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    EXPECT_TRUE(peer.Next(0x80));
    peer.Send(port, Control(SessionControl::Kind::kGoodbye, kPeerId, linkId, kIlbc11, false));
    EXPECT_TRUE(WaitFor(WM_LINK_CLOSED));
}

TEST_F(SessionCallTest, ASilentPeerEndsTheCallAtTheTimeout) {
    link->SetPeerTimeoutMs(600);
    ScriptedPeer peer;
    const auto start = std::chrono::steady_clock::now();
    ListenAndAnswer(peer, kIlbc11, false);
    ASSERT_TRUE(WaitFor(WM_LINK_CLOSED));
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(elapsed, 600);
    EXPECT_LT(elapsed, 2900);
}

TEST_F(SessionCallTest, ASessionClosedHereSaysGoodbye) {
    ScriptedPeer peer;
    ListenAndAnswer(peer, kIlbc11, false);
    link->Close();
    std::optional<Bytes> control;
    while ((control = peer.Next(4)) && (*control)[2] != 3) {
    }
    ASSERT_TRUE(control) << "no goodbye";
    EXPECT_TRUE(WaitFor(WM_LINK_CLOSED));
}

namespace {

// A peer that offers encryption, made of the session and sealer a copy uses: its hello goes out, the
// link's answer gives it the call's keys.
struct EncryptedPeer {
    ScriptedPeer socket;
    CallSession session;
    std::unique_ptr<DatagramSealer> sealer;
    uint32_t code = 0;
    int64_t nowMs = 0;

    explicit EncryptedPeer(uint64_t id, const std::string& secret = "") {
        CallSession::Config config;
        if (!secret.empty())
            config.secret = std::make_shared<CallKeys::Secret>(
                CallKeys::Secret::From(std::vector<uint8_t>(secret.begin(), secret.end())));
        config.sessionId = id;
        config.formatCode = kIlbc11;
        config.encrypt = true;
        config.keyPair = CallKeys::MakeKeyPair();
        session.Start(config, 0);
    }
    Bytes Hello() {
        Bytes out(10000);
        out.resize(static_cast<size_t>(session.ComposeDue(out, nowMs)));
        return out;
    }
    // Takes the link's answer; false when it brought no keys.
    bool TakeAnswer() {
        const std::optional<Bytes> answer = socket.Next(4);
        if (!answer)
            return false;
        session.Receive(*answer, true, nowMs);
        const std::optional<CallKeys> keys = session.TakeNewKeys();
        if (!keys)
            return false;
        sealer = std::make_unique<DatagramSealer>(keys->sendKey, keys->openKey, session.SessionId());
        code = keys->code;
        return true;
    }
    // The sealed keep-alive that confirms the keys, as a copy sends it right after its answer; the answer
    // itself, the hello that reveals this peer's key, is kept in `reveal`.
    Bytes Confirmation() {
        for (int i = 0; i < 3; ++i) {
            Bytes out(10000);
            out.resize(static_cast<size_t>(session.ComposeDue(out, nowMs)));
            if (out.size() == 88 && out[2] == 1)
                reveal = out;
            if (out.size() > 2 && out[2] == 2)
                return Seal(out);
        }
        return {};
    }
    Bytes reveal;
    Bytes Seal(const Bytes& inner) {
        Bytes out(inner.size() + 33);
        out.resize(static_cast<size_t>(sealer->Seal(inner.data(), static_cast<int>(inner.size()), out.data(),
                                                    static_cast<int>(out.size()))));
        return out;
    }
    std::optional<Bytes> Open(const Bytes& sealed) {
        Bytes inner(sealed.size());
        int length = 0;
        uint64_t counter = 0;
        if (sealer->Open(sealed.data(), static_cast<int>(sealed.size()), inner.data(),
                         static_cast<int>(inner.size()), length, counter) != DatagramSealer::Result::kOpened)
            return std::nullopt;
        inner.resize(static_cast<size_t>(length));
        return inner;
    }
    Bytes Audio(uint8_t fill) {
        const Bytes frame(50, fill);
        Bytes out(10000);
        out.resize(static_cast<size_t>(session.ComposeAudio(frame, false, out, nowMs += 20)));
        return out;
    }
    Bytes Goodbye() {
        Bytes out(64);
        out.resize(static_cast<size_t>(session.ComposeGoodbye(out)));
        return out;
    }
};

}  // namespace

TEST_F(SessionCallTest, AnEncryptedCallShowsOneCodeAndSealsAllButTheHellosWhileReplaysOpenNothing) {
    link->Create();
    link->Start();
    link->Listen("127.0.0.1", 0);
    port = link->LocalPort();
    EncryptedPeer peer(kPeerId);
    peer.socket.Send(port, peer.Hello());
    ASSERT_TRUE(peer.TakeAnswer());
    // Shown once a datagram of the peer opens with the keys: then both sides surely hold the same.
    EXPECT_FALSE(WaitFor(WM_LINK_ENCRYPTED, 300));
    const Bytes confirmation = peer.Confirmation();
    ASSERT_FALSE(confirmation.empty());
    ASSERT_EQ(peer.reveal.size(), 88u);
    EXPECT_FALSE(WaitFor(WM_LINK_ENCRYPTED, 100)) << "the peer's key is not known yet";
    peer.socket.Send(port, peer.reveal);
    peer.socket.Send(port, confirmation);
    Message encrypted;
    ASSERT_TRUE(WaitFor(WM_LINK_ENCRYPTED, kWaitMs, &encrypted));
    EXPECT_EQ(static_cast<uint32_t>(encrypted.wParam), peer.code) << "both sides show the same code";
    EXPECT_TRUE(link->Encrypted());

    // The link's audio goes sealed, and nothing of it in the clear.
    const Bytes frame(50, 0x5C);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    // The link confirms the keys at once with a sealed keep-alive, then its audio follows, sealed.
    std::optional<RtpPacket> packet;
    std::optional<Bytes> inner;
    bool confirmed = false;
    for (int i = 0; i < 5 && !packet; ++i) {
        const std::optional<Bytes> sealed = peer.socket.Next(2);
        ASSERT_TRUE(sealed);
        inner = peer.Open(*sealed);
        ASSERT_TRUE(inner);
        if ((*inner)[0] == 4 && (*inner)[2] == 2)
            confirmed = true;
        packet = RtpPacket::Parse(*inner);
    }
    EXPECT_TRUE(confirmed);
    ASSERT_TRUE(packet);
    EXPECT_EQ(Bytes(packet->payload.begin(), packet->payload.end()), frame);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    EXPECT_FALSE(peer.socket.Next(0x80, 300)) << "no RTP in the clear";

    // The peer's sealed audio is taken; a stranger's copies of it, and an unsealed goodbye in the peer's
    // name even from the peer's own address, change nothing.
    const Bytes audio = peer.Seal(peer.Audio(0x21));
    peer.socket.Send(port, audio);
    // The hello, the revealed key, the confirmation and the audio.
    for (int i = 0; i < 100 && link->GetStatistics().datagramsReceived < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int64_t received = link->GetStatistics().datagramsReceived;
    ScriptedPeer stranger;
    stranger.Send(port, audio);
    peer.socket.Send(port, audio);
    peer.socket.Send(port, peer.Goodbye());
    peer.socket.Send(port, Bytes{});
    EXPECT_FALSE(WaitFor(WM_LINK_CLOSED, 400));
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
    const VoiceLink::Statistics statistics = link->GetStatistics();
    EXPECT_EQ(statistics.datagramsReceived, received);
    EXPECT_EQ(statistics.droppedReplayed, 2);
    EXPECT_EQ(link->Peer(), peer.socket.Address());

    // The sealed goodbye ends the call; recorded, it opens nothing in the next call, which stays up.
    const Bytes goodbye = peer.Seal(peer.Goodbye());
    peer.socket.Send(port, goodbye);
    ASSERT_TRUE(WaitFor(WM_LINK_CLOSED));
    link->Listen("127.0.0.1", port);
    ASSERT_TRUE(WaitFor(WM_LINK_LISTENING));
    stranger.Send(port, audio);
    stranger.Send(port, goodbye);
    EXPECT_FALSE(WaitFor(WM_LINK_CLOSED, 500));
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
    EXPECT_FALSE(link->Encrypted());
}

TEST_F(SessionCallTest, AHelloWithoutAKeyMakesASessionThatSaysItIsNotEncrypted) {
    ScriptedPeer peer;
    ListenAndAnswer(peer, kIlbc11, false);
    EXPECT_TRUE(WaitFor(WM_LINK_NOT_ENCRYPTED));
    EXPECT_FALSE(link->Encrypted());
    const Bytes frame(50, 0x33);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    EXPECT_TRUE(peer.Next(0x80)) << "the older peer gets its RTP in the clear, as before";
}

namespace {
const std::string kMadeKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
}  // namespace

TEST_F(SessionCallTest, APrivateListenerIsConnectedOnlyByAProvenPeerAndARecordedCallOpensNothingLater) {
    link->SetSecret(std::vector<uint8_t>(kMadeKey.begin(), kMadeKey.end()));
    link->Create();
    link->Start();
    link->Listen("127.0.0.1", 0);
    ASSERT_TRUE(WaitFor(WM_LINK_LISTENING));
    port = link->LocalPort();
    EncryptedPeer peer(kPeerId, kMadeKey);
    const Bytes hello = peer.Hello();
    peer.socket.Send(port, hello);
    ASSERT_TRUE(peer.TakeAnswer());
    EXPECT_FALSE(WaitFor(WM_LINK_CONNECTED, 300)) << "a hello alone proves nothing";
    const Bytes confirmation = peer.Confirmation();
    peer.socket.Send(port, peer.reveal);
    EXPECT_FALSE(WaitFor(WM_LINK_CONNECTED, 300)) << "nor a revealed key";
    peer.socket.Send(port, confirmation);
    ASSERT_TRUE(WaitFor(WM_LINK_CONNECTED));
    Message proven;
    ASSERT_TRUE(WaitFor(WM_LINK_PEER_PROVEN, kWaitMs, &proven));
    EXPECT_EQ(static_cast<int>(proven.lParam), peer.socket.Address().Port());
    // The peer's side of the proof (the link's confirmation opening there) is taken as given.
    peer.session.SetPeerProven();
    const Bytes audio = peer.Seal(peer.Audio(0x21));
    ASSERT_EQ(audio.size(), 33u + 12 + 50);
    peer.socket.Send(port, audio);
    const Bytes goodbye = peer.Seal(peer.Goodbye());
    peer.socket.Send(port, goodbye);
    ASSERT_TRUE(WaitFor(WM_LINK_CLOSED));

    // The next call: a third address replays the whole recorded call into the idle listener.
    link->Listen("127.0.0.1", port);
    ASSERT_TRUE(WaitFor(WM_LINK_LISTENING));
    const int64_t received = link->GetStatistics().datagramsReceived;
    ScriptedPeer attacker;
    for (const Bytes& datagram : {hello, peer.reveal, audio, goodbye, audio})
        attacker.Send(port, datagram);
    for (const uint32_t message : {WM_LINK_CONNECTED, WM_LINK_PEER_PROVEN, WM_LINK_ENCRYPTED, WM_LINK_CLOSED})
        EXPECT_FALSE(WaitFor(message, 200)) << message;
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
    EXPECT_FALSE(link->Encrypted());
    // Only the replayed hellos counted, as datagrams naming a would-be peer; nothing sealed opened.
    EXPECT_LE(link->GetStatistics().datagramsReceived, received + 2);
    const VoiceLink::Statistics after = link->GetStatistics();
    EXPECT_EQ(after.droppedForged, 3) << "the audio twice and the goodbye, under this call's keys";
}

TEST_F(SessionCallTest, RequiringEncryptionEndsACallWhosePeerAgreesNoKeyWithNothingSentInTheClear) {
    link->SetRequireEncryption(true);
    link->Create();
    link->Start();
    link->Listen("127.0.0.1", 0);
    port = link->LocalPort();
    ScriptedPeer peer;
    peer.Send(port, Control(SessionControl::Kind::kHello, kPeerId, 0, kIlbc11, false));
    EXPECT_TRUE(WaitFor(WM_LINK_NOT_ENCRYPTED));
    EXPECT_TRUE(WaitFor(WM_LINK_CLOSED));
    const Bytes frame(50, 0x33);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    EXPECT_FALSE(peer.Next(0x80, 300)) << "no RTP in the clear";
    EXPECT_FALSE(peer.Next(0x00, 100)) << "no plain audio either";
}

TEST_F(SessionCallTest,
       APeerThatCommittedIsWaitedForWithHellosAgainAndAListenerNeverConnectedToOneWhoseKeyNeverComes) {
    // --require-private too: a side agreeing keys is not a side without them.
    link->SetRequireEncryption(true);
    link->Create();
    link->Start();
    link->Listen("127.0.0.1", 0);
    port = link->LocalPort();
    {
        // The peer's key reaches the link only after its hellos have been resent for a while.
        EncryptedPeer peer(kPeerId);
        peer.socket.Send(port, peer.Hello());
        ASSERT_TRUE(peer.TakeAnswer());
        const Bytes confirmation = peer.Confirmation();
        int resent = 0;
        for (int i = 0; i < 3; ++i) {
            const std::optional<Bytes> again = peer.socket.Next(4, 400);
            ASSERT_TRUE(again) << "the link's hello with its key goes out again";
            EXPECT_EQ(again->size(), 88u);
            EXPECT_EQ((*again)[21] & 0x40, 0) << "it does not hold the peer's key yet";
            ++resent;
        }
        EXPECT_EQ(resent, 3);
        peer.socket.Send(port, peer.reveal);
        peer.socket.Send(port, confirmation);
        ASSERT_TRUE(WaitFor(WM_LINK_ENCRYPTED));
        EXPECT_TRUE(link->Encrypted());
        EXPECT_EQ(link->GetState(), VoiceLink::kActive);
        peer.socket.Send(port, peer.Seal(peer.Goodbye()));
        ASSERT_TRUE(WaitFor(WM_LINK_CLOSED));
    }
    // A peer whose key never comes (a recorded hello sent again, say): the listener is not connected to
    // it, says nothing of it, sends it nothing in the clear, and once the agreement's time is over waits
    // for the next caller as if nothing had come.
    link->Listen("127.0.0.1", port);
    ASSERT_TRUE(WaitFor(WM_LINK_LISTENING));
    EncryptedPeer silent(kPeerId + 1);
    const Bytes recorded = silent.Hello();
    silent.socket.Send(port, recorded);
    const auto start = std::chrono::steady_clock::now();
    const Bytes frame(50, 0x33);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    std::vector<uint32_t> said;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(3600))
        if (const std::optional<Message> next = window.Get(20))
            said.push_back(next->message);
    for (const uint32_t message : {WM_LINK_CONNECTED, WM_LINK_NOT_ENCRYPTED, WM_LINK_KEYS_INCOMPLETE,
                                   WM_LINK_ENCRYPTED, WM_LINK_CLOSED})
        EXPECT_EQ(std::count(said.begin(), said.end(), message), 0) << std::hex << message;
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
    EXPECT_TRUE(link->GetCallState().peer.IsAny()) << "still waiting";
    EXPECT_FALSE(silent.socket.Next(0x80, 100)) << "no RTP in the clear";
    EXPECT_FALSE(silent.socket.Next(0x00, 100)) << "no plain audio either";

    // Another comes while a third one's hello still waits for its key: the waiting one holds nothing, and
    // the newcomer's call is connected and encrypted at once.
    silent.socket.Send(port, recorded);
    ASSERT_TRUE(silent.socket.Next(4, 1000)) << "the link answers the hello";
    EncryptedPeer caller(kPeerId + 2);
    caller.socket.Send(port, caller.Hello());
    ASSERT_TRUE(caller.TakeAnswer());
    const Bytes confirmed = caller.Confirmation();
    caller.socket.Send(port, caller.reveal);
    caller.socket.Send(port, confirmed);
    ASSERT_TRUE(WaitFor(WM_LINK_CONNECTED));
    EXPECT_TRUE(WaitFor(WM_LINK_ENCRYPTED));
    EXPECT_EQ(link->Peer(), caller.socket.Address());
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    const std::optional<Bytes> sealed = caller.socket.Next(2, 1000);
    ASSERT_TRUE(sealed) << "the caller is sent sealed datagrams";
    EXPECT_TRUE(caller.Open(*sealed));
}

TEST_F(SessionCallTest, ACallerWhosePeerNeverRevealsItsKeyEndsTheCallAtThreeSecondsAndSaysWhy) {
    link->Create();
    link->Start();
    EncryptedPeer listener(kPeerId + 3);
    link->Connect("127.0.0.1", listener.socket.Address().Port());
    ASSERT_TRUE(WaitFor(WM_LINK_CONNECTED));
    ASSERT_TRUE(listener.socket.Next(4)) << "the caller's hello";
    const auto start = std::chrono::steady_clock::now();
    // The answer commits to a key that never follows.
    listener.socket.Send(link->LocalPort(), listener.Hello());
    const Bytes frame(50, 0x33);
    link->OnFrame(frame.data(), static_cast<int>(frame.size()));
    ASSERT_TRUE(WaitFor(WM_LINK_KEYS_INCOMPLETE, 4000));
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(tookMs, 2900) << "the retries are given their time";
    EXPECT_TRUE(WaitFor(WM_LINK_CLOSED));
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle);
    EXPECT_FALSE(listener.socket.Next(0x80, 100)) << "no RTP in the clear";
    EXPECT_FALSE(listener.socket.Next(0x00, 100)) << "no plain audio either";
}

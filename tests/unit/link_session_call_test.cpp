// The voice link in a session, against a scripted peer on the loopback interface: the format the peer's
// hello brings, numbered audio out, a stranger that changes nothing, the peer's goodbye, and a peer that
// falls silent until the time-out ends the call.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "base/Socket.h"
#include "fake_wave.h"
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

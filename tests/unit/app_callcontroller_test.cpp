// The call controller: start-up from the settings, the buttons, the link's messages and reconnection,
// with a real voice link on loopback sockets and scripted sound devices.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/CallController.h"
#include "base/Exception.h"
#include "base/Socket.h"
#include "fake_wave.h"
#include "link/LinkMessages.h"
#include "platform/MessageQueue.h"

namespace {

class RecordingView final : public CallView {
public:
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void EnableButtons(bool connectAndListen, bool disconnect) override {
        connectEnabled = connectAndListen;
        disconnectEnabled = disconnect;
    }
    void ShowLevels(int microphone, int speaker) override {
        micLevel = microphone;
        speakerLevel = speaker;
    }
    void ShowMuteButtons(bool speakers, bool microphone) override {
        speakersMuted = speakers;
        microphoneMuted = microphone;
    }
    bool ReadFields(std::string& host, int& port, bool&, bool&) override {
        if (!fieldHost.empty()) {
            host = fieldHost;
            port = fieldPort;
        }
        return fieldsValid;
    }
    void WriteFields(const std::string& host, int port, bool, bool) override {
        writtenHost = host;
        writtenPort = port;
    }
    void ShowPeerProven(bool proven, const std::string& peer) override {
        privacy.push_back(proven ? peer : "-");
    }
    void ShowNotSealed(const std::string& source) override { notSealed.push_back(source); }
    void ShowEncryption(bool encrypted, const std::string& code) override {
        encryption.push_back(encrypted ? code : "-");
    }
    void ShowNotice(const std::string& text) override { notices.push_back(text); }
    void ShowPeerTrust(PeerTrust trust) override { trusts.push_back(trust); }

    std::vector<std::string> statuses;
    bool connectEnabled = false;
    bool disconnectEnabled = true;
    int micLevel = -5;
    int speakerLevel = -5;
    bool speakersMuted = false;
    bool microphoneMuted = false;
    bool fieldsValid = true;
    std::string fieldHost;  // when set, what the user typed
    int fieldPort = 0;
    std::string writtenHost;
    int writtenPort = -1;
    std::vector<std::string> privacy;  // "-" for not proven, else the proven peer
    std::vector<std::string> notSealed;
    std::vector<std::string> encryption;  // "-" for not encrypted, else the code shown
    std::vector<std::string> notices;
    std::vector<PeerTrust> trusts;
};

class UdpPeer {
public:
    UdpPeer() : handle_(CreateSocket(false)) { Bind(handle_, SocketAddress(htonl(INADDR_LOOPBACK), 0)); }
    ~UdpPeer() { Close(handle_); }
    int Port() const { return LocalAddress(handle_).Port(); }
    // Calls a listener with the plain wire's one-byte muted frame.
    void SendMarkerTo(int port) {
        const uint8_t marker = 1;
        SendTo(handle_, SocketAddress(htonl(INADDR_LOOPBACK), port), &marker, 1);
    }

private:
    SocketHandle handle_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CallControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
        SetErrorSink(&errors);
        settings.codecFormat = 0x85;
    }
    void TearDown() override {
        std::filesystem::remove(sdpPath);
        if (controller)
            controller->OnExit();
        controller.reset();
        link.reset();
        SetErrorSink(nullptr);
        SetWaveBackend(nullptr);
    }
    CallController& Start() {
        link = std::make_unique<VoiceLink>();
        controller = std::make_unique<CallController>(*link, settings, view);
        controller->Initialize(&window, &window);
        return *controller;
    }
    // Feeds the link's messages to the controller until `message` has been handled; false on time-out.
    bool Pump(uint32_t message, int timeoutMs = 3000) {
        for (;;) {
            const std::optional<Message> next = window.Get(timeoutMs);
            if (!next)
                return false;
            controller->HandleMessage(*next);
            if (next->message == message)
                return true;
        }
    }

    // A listener whose worker has taken the call up (and set its format, as it does before it posts the
    // connected message) but has no peer yet, with --write-sdp.
    CallController& ListenWithDescription() {
        settings.port = 0;
        settings.autoListen = true;
        settings.sdpFile = sdpPath;
        CallController& c = Start();
        EXPECT_TRUE(Pump(WM_LINK_LISTENING));
        for (int i = 0; i < 300 && link->GetCallState().formatCode != 0x85; ++i)
            usleep(10000);
        return c;
    }
    void CallTheListener(UdpPeer& peer) {
        peer.SendMarkerTo(link->LocalPort());
        for (int i = 0; i < 300 && link->Peer().IsAny(); ++i)
            usleep(10000);
        ASSERT_FALSE(link->Peer().IsAny());
    }

    const std::string sdpPath =
        std::filesystem::temp_directory_path() / ("qparlin-sdp-" + std::to_string(getpid()));
    FakeWave fake;
    CollectingErrorSink errors;
    Settings settings;
    RecordingView view;
    MessageQueue window;
    std::unique_ptr<VoiceLink> link;
    std::unique_ptr<CallController> controller;
};

TEST_F(CallControllerTest, StartUpCopiesTheSettingsAndStartsNothingByItself) {
    settings.host = "10.1.2.3";
    settings.port = 5005;
    settings.outputDevice = 1;
    settings.inputDevice = 1;
    settings.sendEnabled = false;  // -d:receive
    CallController& c = Start();
    EXPECT_EQ(view.writtenHost, "10.1.2.3");
    EXPECT_EQ(view.writtenPort, 5005);
    EXPECT_EQ(link->Pipeline().FrameLength(), 800) << "the chosen format reached the pipeline";
    EXPECT_EQ(link->Pipeline().Recorder().Device(), 1);
    EXPECT_EQ(link->OutputDevice(), 1);
    EXPECT_TRUE(link->MuteMicrophone());
    EXPECT_FALSE(link->MuteSpeakers());
    EXPECT_TRUE(view.microphoneMuted) << "the microphone button starts pressed";
    EXPECT_FALSE(view.speakersMuted);
    EXPECT_TRUE(c.WorkerStarted());
    EXPECT_EQ(c.Status(), "");
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.disconnectEnabled);
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle);
    EXPECT_FALSE(window.Get(300).has_value());
}

TEST_F(CallControllerTest, TheLinksMessagesDriveStatusAndButtons) {
    CallController& c = Start();
    c.HandleMessage({WM_LINK_LISTENING, 0, 0});
    EXPECT_EQ(c.Status(), "Listening...");
    EXPECT_FALSE(view.connectEnabled);
    EXPECT_TRUE(view.disconnectEnabled);
    c.HandleMessage({WM_LINK_CONNECTED, 0, 0});
    EXPECT_EQ(c.Status(), "Connected.");
    EXPECT_FALSE(view.connectEnabled);
    c.HandleMessage({WM_LINK_CLOSED, 0, 0});
    EXPECT_EQ(c.Status(), "Disconnected.");
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.disconnectEnabled);
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle) << "no automatic reconnection was asked for";
    EXPECT_FALSE(c.HandleMessage({0x1234, 0, 0}));
}

TEST_F(CallControllerTest, MetersShowAtLeastOne) {
    CallController& c = Start();
    c.HandleMessage({WM_AUDIO_LEVELS, 0, -1});
    EXPECT_EQ(view.micLevel, 1);
    EXPECT_EQ(view.speakerLevel, 1);
    c.HandleMessage({WM_AUDIO_LEVELS, 57, 100});
    EXPECT_EQ(view.micLevel, 57);
    EXPECT_EQ(view.speakerLevel, 100);
}

TEST_F(CallControllerTest, FailuresShowTheirStatusAndLeaveTheLinkIdle) {
    CallController& c = Start();
    view.fieldHost = "no-such-host.invalid";
    view.fieldPort = 5007;
    EXPECT_FALSE(c.OnConnect());
    EXPECT_EQ(c.Status(), "Error> Can't connect to the peer!");
    EXPECT_TRUE(view.connectEnabled) << "buttons unchanged";
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle);

    UdpPeer taken;
    view.fieldHost = "127.0.0.1";
    view.fieldPort = taken.Port();
    EXPECT_FALSE(c.OnListen());
    EXPECT_EQ(c.Status(), "Error> Can't listen on the port!");
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle);
}

TEST(ListenFailureTest, NamesThePortTheReasonAndWhatToDo) {
    UdpPeer taken;
    const std::string text = ListenFailureText(taken.Port());
    EXPECT_EQ(
        text.rfind("Cannot listen on UDP port " + std::to_string(taken.Port()) + ": the port is in use", 0),
        0u)
        << text;
    EXPECT_NE(text.find("listen on another port"), std::string::npos) << text;
    EXPECT_EQ(text.find("Error>"), std::string::npos) << "no internal prefix";
}

TEST(ListenFailureTest, EachReasonGetsItsOwnRemedy) {
    EXPECT_EQ(
        ListenFailureText(80, EACCES),
        "Cannot listen on UDP port 80: no permission (ports below 1024 need root). Listen on a port from "
        "1024 up.");
    EXPECT_EQ(ListenFailureText(5007, 0),
              "Cannot listen on UDP port 5007: the port was busy for a moment. "
              "Press Listen again.");
    EXPECT_EQ(ListenFailureText(5007, EADDRNOTAVAIL), std::string("Cannot listen on UDP port 5007: ") +
                                                          std::strerror(EADDRNOTAVAIL) +
                                                          ". Listen on another port.");
}

TEST_F(CallControllerTest, APortThatFailsItsCheckStopsConnectAndListen) {
    UdpPeer peer;
    CallController& c = Start();
    view.fieldHost = "127.0.0.1";
    view.fieldPort = peer.Port();
    view.fieldsValid = false;
    EXPECT_FALSE(c.OnConnect());
    EXPECT_FALSE(c.OnListen());
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle);
    EXPECT_EQ(c.Status(), "");
}

TEST_F(CallControllerTest, AutoConnectReconnectsAfterDisconnectAndWinsOverListen) {
    UdpPeer peer;
    settings.port = peer.Port();
    settings.autoConnect = true;
    settings.autoListen = true;
    CallController& c = Start();
    ASSERT_TRUE(Pump(WM_LINK_CONNECTED));
    EXPECT_EQ(c.Status(), "Connected.");
    c.OnDisconnect();
    ASSERT_TRUE(Pump(WM_LINK_CLOSED));
    EXPECT_EQ(link->GetState(), VoiceLink::kActive) << "connected again at once";
    ASSERT_TRUE(Pump(WM_LINK_CONNECTED));
    EXPECT_EQ(link->Peer().Port(), peer.Port());
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), "Listening..."), 0) << "never listened";
    EXPECT_EQ(view.statuses.back(), "Connected.");
}

TEST_F(CallControllerTest, ACallNobodyAnswersIsTriedAgainAfterAPauseThatDoubles) {
    int closedPort;
    {
        UdpPeer gone;
        closedPort = gone.Port();
    }
    settings.port = closedPort;
    settings.autoConnect = true;
    CallController& c = Start();
    // The hello finds the port closed: the call ends, and the next waits one tick, then two.
    for (int wait : {1, 2}) {
        ASSERT_TRUE(Pump(WM_LINK_CLOSED));
        EXPECT_EQ(link->GetState(), VoiceLink::kIdle) << "not again at once";
        for (int tick = 1; tick < wait; ++tick) {
            c.OnTick();
            EXPECT_EQ(link->GetState(), VoiceLink::kIdle) << "tick " << tick << " of " << wait;
        }
        c.OnTick();
        EXPECT_EQ(link->GetState(), VoiceLink::kActive) << "after " << wait << " ticks";
    }
    // Connect pressed meanwhile goes at once and cancels the pending one.
    ASSERT_TRUE(Pump(WM_LINK_CLOSED));
    EXPECT_TRUE(c.OnConnect());
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
}

TEST_F(CallControllerTest, AutoListenListensAgainButAStaleClosedChangesNothing) {
    settings.port = 0;
    settings.autoListen = true;
    CallController& c = Start();
    ASSERT_TRUE(Pump(WM_LINK_LISTENING));
    const int port = link->LocalPort();
    EXPECT_NE(port, 0);
    // A closed message that arrives while the link is busy again is stale: no second Listen.
    c.HandleMessage({WM_LINK_CLOSED, 0, 0});
    EXPECT_EQ(link->LocalPort(), port);
    EXPECT_FALSE(window.Get(300).has_value());

    c.OnDisconnect();
    ASSERT_TRUE(Pump(WM_LINK_CLOSED));
    ASSERT_TRUE(Pump(WM_LINK_LISTENING)) << "listening again after the close";
    EXPECT_EQ(c.Status(), "Listening...");
}

TEST_F(CallControllerTest, APlainCallSaysNothingOfPrivacy) {
    Start();
    controller->HandleMessage(Message{WM_LINK_LISTENING, 0, 0});
    controller->HandleMessage(Message{WM_LINK_CLOSED, 0, 0});
    EXPECT_TRUE(view.privacy.empty());
    EXPECT_FALSE(link->Private());
}

TEST_F(CallControllerTest, APrivateCallShowsWhenThePeerProvesTheSecretAndWhoSendsUnsealed) {
    settings.secret = {'p', 'w'};
    Start();
    EXPECT_TRUE(link->Private());
    ASSERT_EQ(view.privacy, std::vector<std::string>{"-"}) << "private from the start, nobody proven";
    // 127.0.0.1 in network order, port 5007.
    const WPARAM loopback = htonl(INADDR_LOOPBACK);
    controller->HandleMessage(Message{WM_LINK_NOT_SEALED, loopback, 5007});
    EXPECT_EQ(view.notSealed, std::vector<std::string>{"127.0.0.1:5007"});
    controller->HandleMessage(Message{WM_LINK_PEER_PROVEN, loopback, 6000});
    EXPECT_EQ(view.privacy.back(), "127.0.0.1:6000");
    controller->HandleMessage(Message{WM_LINK_CLOSED, 0, 0});
    EXPECT_EQ(view.privacy.back(), "-") << "the next call must prove it again";
    EXPECT_EQ(controller->Status(), CallController::kDisconnected) << "the status texts stay";
}

TEST_F(CallControllerTest, ACallWritesItsDescriptionWhenConnectedAndAgainWhenItsFormatChanges) {
    UdpPeer peer;
    settings.port = peer.Port();
    settings.autoConnect = true;
    settings.sdpFile = sdpPath;
    settings.sdpPort = 40000;
    CallController& c = Start();
    ASSERT_TRUE(Pump(WM_LINK_CONNECTED));
    const std::string pcmu = ReadFile(settings.sdpFile);
    EXPECT_NE(pcmu.find("c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"),
              std::string::npos)
        << pcmu;
    c.HandleMessage({WM_LINK_FORMAT, 0x82, 0});
    const std::string gsm = ReadFile(settings.sdpFile);
    EXPECT_NE(gsm.find("m=audio 40000 RTP/AVP 3\r\na=rtpmap:3 GSM/8000\r\n"), std::string::npos) << gsm;
    EXPECT_TRUE(errors.Reports().empty());

    // One that cannot be written is reported, and the call goes on.
    settings.sdpFile = sdpPath + ".missing/call.sdp";
    c.HandleMessage({WM_LINK_FORMAT, 0x85, 0});
    ASSERT_EQ(errors.Reports().size(), 1u);
    EXPECT_EQ(
        errors.Reports()[0].rfind("The call's description was not written: cannot create a file beside", 0),
        0u)
        << errors.Reports()[0];
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
}

TEST_F(CallControllerTest, AListenerWritesItsDescriptionAtTheTickAfterItsPeerIsKnown) {
    CallController& c = ListenWithDescription();
    // Connected before any datagram told the listener who its peer is: nothing to describe yet.
    c.HandleMessage({WM_LINK_CONNECTED, 0, 0});
    c.OnTick();
    EXPECT_FALSE(std::filesystem::exists(settings.sdpFile));
    UdpPeer peer;
    CallTheListener(peer);
    c.OnTick();
    const std::string sdp = ReadFile(settings.sdpFile);
    EXPECT_NE(sdp.find("m=audio " + std::to_string(peer.Port()) + " RTP/AVP 0\r\n"), std::string::npos)
        << sdp;
}

TEST_F(CallControllerTest, ADescriptionWaitingForItsPeerGoesWithItsCall) {
    CallController& c = ListenWithDescription();
    c.HandleMessage({WM_LINK_CONNECTED, 0, 0});
    c.HandleMessage({WM_LINK_CLOSED, 0, 0});
    UdpPeer peer;
    CallTheListener(peer);
    c.OnTick();
    EXPECT_FALSE(std::filesystem::exists(settings.sdpFile));
}

}  // namespace

TEST_F(CallControllerTest, ConnectFailuresSayWhetherTheNameOrTheAddressIsAtFault) {
    CallController& c = Start();
    view.fieldPort = 5007;
    view.fieldHost = "no-such-host.invalid";
    EXPECT_FALSE(c.OnConnect());
    view.fieldHost = "[fe80::1%lo]";
    EXPECT_FALSE(c.OnConnect());
    EXPECT_EQ(c.Status(), "Error> Can't connect to the peer!");
    const std::vector<std::string> reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].rfind("Cannot connect to no-such-host.invalid: unknown host", 0), 0u) << reports[0];
    EXPECT_EQ(reports[1].rfind("Cannot connect to [fe80::1%lo]: unsupported address", 0), 0u) << reports[1];
}

TEST(ResolveWaitTest, DoublesFromOneSecondUpToAMinute) {
    std::vector<int> waits;
    int wait = 0;
    for (int i = 0; i < 9; ++i)
        waits.push_back(wait = CallController::NextResolveWait(wait));
    EXPECT_EQ(waits, (std::vector<int>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
}

TEST_F(CallControllerTest, AnAutomaticConnectToANameThatDoesNotResolveIsRetriedInTheBackground) {
    settings.autoConnect = true;
    settings.host = "no-such-host.invalid";
    settings.port = 5007;
    CallController& c = Start();
    ASSERT_EQ(errors.Reports().size(), 1u) << "the first try at start";
    const size_t statusesAfterStart = view.statuses.size();
    // The lookups that follow run off this thread, and a name that still does not resolve shows nothing
    // new: the window neither waits for them nor flickers.
    for (int tick = 0; tick < 4; ++tick) {
        c.OnTick();
        usleep(50000);
    }
    EXPECT_EQ(view.statuses.size(), statusesAfterStart);
    EXPECT_EQ(link->GetState(), VoiceLink::kIdle);

    // Once the name resolves (here: the field now names a peer that is there), the call starts.
    UdpPeer peer;
    view.fieldHost = "127.0.0.1";
    view.fieldPort = peer.Port();
    for (int tick = 0; tick < 200 && link->GetState() == VoiceLink::kIdle; ++tick) {
        c.OnTick();
        usleep(20000);
    }
    EXPECT_EQ(link->GetState(), VoiceLink::kActive);
}

TEST_F(CallControllerTest, AnIpv6PeerIsShownInBracketsWithItsPort) {
    CallController& c = Start();
    SocketAddress six;
    ASSERT_TRUE(SocketAddress::ParseNumeric("2001:db8::7", 5007, &six));
    VoiceLink::CallState state;
    state.peer = six;
    EXPECT_EQ(CallController::CallStateText(state), "calling [2001:db8::7]:5007");
    // An IPv4 source travels in the message itself, as always.
    c.HandleMessage(Message{WM_LINK_PEER_PROVEN, htonl(INADDR_LOOPBACK), 6000});
    ASSERT_FALSE(view.privacy.empty());
    EXPECT_EQ(view.privacy.back(), "127.0.0.1:6000");
}

TEST(ReachableTextTest, ThePortTheSocketHasWithTheLanAddresses) {
    SocketAddress a6, b4, loop6;
    ASSERT_TRUE(SocketAddress::ParseNumeric("2001:db8::2", 0, &a6));
    ASSERT_TRUE(SocketAddress::ParseNumeric("198.51.100.2", 0, &b4));
    ASSERT_TRUE(SocketAddress::ParseNumeric("::1", 41822, &loop6));
    const SocketAddress any;
    EXPECT_EQ(CallController::ReachableText(41822, any, {}), "Listening on port 41822 (all addresses)");
    EXPECT_EQ(CallController::ReachableText(41822, any, {b4, a6}),
              "Listening on port 41822 (all addresses): 198.51.100.2:41822, [2001:db8::2]:41822");
    // Four at most, so that the line stays short.
    EXPECT_EQ(CallController::ReachableText(1, any, {b4, b4, b4, b4}),
              "Listening on port 1 (all addresses): 198.51.100.2:1, 198.51.100.2:1, 198.51.100.2:1, "
              "198.51.100.2:1");
    EXPECT_EQ(CallController::ReachableText(1, any, {b4, b4, b4, b4, a6}),
              "Listening on port 1 (all addresses): 198.51.100.2:1, 198.51.100.2:1, 198.51.100.2:1, "
              "198.51.100.2:1, ...");
    // Bound to one address (the loopback among them), that address alone, and never the LAN's.
    EXPECT_EQ(CallController::ReachableText(41822, loop6, {b4}), "Listening on [::1]:41822");
    EXPECT_EQ(CallController::ReachableText(7, SocketAddress(htonl(INADDR_LOOPBACK), 7)),
              "Listening on 127.0.0.1:7");
}

TEST_F(CallControllerTest, AnEncryptedCallShowsItsCodeUntilItEndsAndAnUnencryptedOneSaysSo) {
    Start();
    controller->HandleMessage(Message{WM_LINK_ENCRYPTED, 7, 0});
    ASSERT_EQ(view.encryption, std::vector<std::string>{"000 007"});
    EXPECT_EQ(view.notices.back(),
              "Encrypted call: the code is 000 007; read it to the peer, who must see the same code");
    controller->HandleMessage(Message{WM_LINK_CLOSED, 0, 0});
    EXPECT_EQ(view.encryption.back(), "-") << "the code was the ended call's";
    controller->HandleMessage(Message{WM_LINK_NOT_ENCRYPTED, 0, 0});
    EXPECT_EQ(view.notices.back(), "This call is not encrypted: the peer did not agree a key");
    controller->HandleMessage(Message{WM_LINK_NO_AGREEMENT, 0, 0});
    EXPECT_EQ(view.notices.back(), "The peer agreed no fresh key: a private call with it is refused");
    controller->HandleMessage(Message{WM_LINK_KEYS_INCOMPLETE, 0, 0});
    EXPECT_EQ(view.notices.back(),
              "The keys of this call could not be agreed with the peer (hellos lost on the way, or another "
              "secret): the call ends");
}

TEST_F(CallControllerTest, ACopyThatOfferedOpusSaysOnceWhichFormatTheCallUsesInsteadAndWhy) {
    Start();
    // Toward a plain peer.
    controller->HandleMessage(Message{WM_LINK_OPUS_FALLBACK, 0xA4, 0});
    EXPECT_EQ(view.notices.back(),
              "The peer speaks only the plain wire, without Opus: this call uses ilbc_11khz");
    // Toward a session copy that offers no Opus: its format taken (the format change then says nothing
    // itself), or this copy's own kept.
    const size_t before = view.notices.size();
    controller->HandleMessage(Message{WM_LINK_FORMAT, 0x82, 1});
    EXPECT_EQ(view.notices.size(), before);
    controller->HandleMessage(Message{WM_LINK_OPUS_FALLBACK, 0x82, 0x3});
    EXPECT_EQ(
        view.notices.back(),
        "The peer offers no Opus (a copy not asked for it with -a:opus, or one without it): this call uses "
        "gsm_8khz, the peer's format");
    controller->HandleMessage(Message{WM_LINK_OPUS_FALLBACK, 0xA4, 0x1});
    EXPECT_EQ(
        view.notices.back(),
        "The peer offers no Opus (a copy not asked for it with -a:opus, or one without it): this call uses "
        "ilbc_11khz");
    // A format change without a fallback still names the peer's format.
    controller->HandleMessage(Message{WM_LINK_FORMAT, 0x82, 0});
    EXPECT_EQ(view.notices.back(), "The peer's format is used for this call: gsm_8khz");
}

TEST_F(CallControllerTest, CallsThatNeverOfferAKeySayAtConnectThatTheyAreNotEncrypted) {
    settings.encrypt = false;
    Start();
    controller->HandleMessage(Message{WM_LINK_CONNECTED, 0, 0});
    EXPECT_EQ(view.notices.back(), "This call is not encrypted: --encrypt=off");
    controller->OnExit();
    controller.reset();
    link.reset();
    settings.encrypt = true;
    settings.session = false;
    Start();
    controller->HandleMessage(Message{WM_LINK_CONNECTED, 0, 0});
    EXPECT_EQ(view.notices.back(), "This call is not encrypted: --session=off");
}

// Marking a peer verified: remembered by its identity key and address in the data folder, shown at once in
// the next call from that key, and a warning when the address comes with another key. Two copies in this
// process share one data folder, and so one identity key.
TEST_F(CallControllerTest, APeerMarkedVerifiedIsKnownInItsNextCallAndAnotherKeyForItsAddressWarns) {
    const std::filesystem::path data =
        std::filesystem::temp_directory_path() / ("qparlin-verified-" + std::to_string(getpid()));
    std::filesystem::remove_all(data);
    std::filesystem::create_directories(data);
    const char* previous = std::getenv("XDG_DATA_HOME");
    const std::string previousData = previous != nullptr ? previous : "";
    setenv("XDG_DATA_HOME", data.c_str(), 1);

    settings.port = 0;
    settings.autoListen = true;
    Start();
    ASSERT_TRUE(Pump(WM_LINK_LISTENING));
    // One call from a second copy, until its keys are confirmed; both controllers are pumped meanwhile.
    struct Caller {
        std::unique_ptr<VoiceLink> link = std::make_unique<VoiceLink>();
        MessageQueue window;
        std::unique_ptr<CallController> controller;
    };
    const auto call = [&](RecordingView& callerView) {
        Settings callerSettings = settings;
        callerSettings.autoListen = false;
        callerSettings.autoConnect = true;
        callerSettings.host = "127.0.0.1";
        callerSettings.port = link->LocalPort();
        auto caller = std::make_unique<Caller>();
        caller->controller = std::make_unique<CallController>(*caller->link, callerSettings, callerView);
        caller->controller->Initialize(&caller->window, &caller->window);
        for (int i = 0; i < 100 && callerView.trusts.empty(); ++i) {
            while (const std::optional<Message> next = caller->window.Get(0))
                caller->controller->HandleMessage(*next);
            while (const std::optional<Message> next = window.Get(0))
                controller->HandleMessage(*next);
            usleep(50000);
        }
        return caller;
    };
    // The listener listens again once the call has ended, on a port of its own choosing (it was given 0).
    const auto hangUp = [&](std::unique_ptr<Caller> caller) {
        caller->controller->OnExit();
        caller->controller.reset();
        caller->link.reset();
        ASSERT_TRUE(Pump(WM_LINK_LISTENING));
    };
    RecordingView first;
    std::unique_ptr<Caller> caller = call(first);
    ASSERT_EQ(first.trusts, std::vector<CallView::PeerTrust>{CallView::PeerTrust::kUnverified});
    caller->controller->OnPeerReadSameCode();
    EXPECT_EQ(first.trusts.back(), CallView::PeerTrust::kVerified);
    EXPECT_EQ(first.notices.back(),
              "The peer is verified: a later call from its identity key shows it at once");
    hangUp(std::move(caller));
    const std::filesystem::path file = data / "qparlin" / "verified-peers";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string remembered = ReadFile(file);
    EXPECT_NE(remembered.find("127.0.0.1"), std::string::npos) << remembered;

    RecordingView second;
    caller = call(second);
    EXPECT_EQ(second.trusts, std::vector<CallView::PeerTrust>{CallView::PeerTrust::kVerified});

    hangUp(std::move(caller));

    // The same address remembered with another key: the first digit of the key (after the comment line)
    // changed.
    std::string changed = remembered;
    const size_t digit = changed.find("\n") + 1;
    ASSERT_LT(digit, changed.size());
    changed[digit] = changed[digit] == '0' ? '1' : '0';
    std::ofstream(file, std::ios::binary | std::ios::trunc) << changed;
    RecordingView third;
    caller = call(third);
    EXPECT_EQ(third.trusts, std::vector<CallView::PeerTrust>{CallView::PeerTrust::kChanged});
    ASSERT_FALSE(third.notices.empty());
    EXPECT_EQ(
        third.notices.back().rfind("Warning: 127.0.0.1 was verified before with another identity key", 0), 0u)
        << third.notices.back();
    hangUp(std::move(caller));

    if (previous != nullptr)
        setenv("XDG_DATA_HOME", previousData.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    std::filesystem::remove_all(data);
}

// What the front ends make of a session: its options on the command line, the call-state line, and the
// quality mark at the edges of its thresholds.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "app/CallController.h"
#include "app/CommandLine.h"

namespace {

Settings Parse(const std::vector<std::string>& args) {
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.Ok()) << parsed.error;
    return parsed.settings.value_or(Settings{});
}

std::string Refusal(const std::vector<std::string>& args) {
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.Ok());
    return parsed.error;
}

VoiceLink::CallState Session(int64_t silentMs = 0) {
    VoiceLink::CallState state;
    state.mode = CallSession::Mode::kSession;
    state.peer = SocketAddress(htonl(0x7F000001), 5007);
    state.heardAnything = true;
    state.silentForMs = silentMs;
    state.formatCode = 0x82;  // 8000 Hz: a timestamp unit is 1/8 ms
    return state;
}

}  // namespace

TEST(SessionOptionsTest, SessionTimeoutAndStatisticsOptionsWithTheirEdges) {
    const Settings defaults = Parse({});
    EXPECT_TRUE(defaults.session);
    EXPECT_EQ(defaults.peerTimeoutSeconds, 30);
    EXPECT_EQ(defaults.statsIntervalSeconds, 0);
    EXPECT_FALSE(defaults.codecChosen);
    EXPECT_TRUE(Parse({"-a:gsm_8khz"}).codecChosen);
    EXPECT_FALSE(Parse({"--session=OFF"}).session);
    EXPECT_TRUE(Parse({"--session=off", "--session=on"}).session);
    EXPECT_EQ(Parse({"--peer-timeout=0"}).peerTimeoutSeconds, 0);
    EXPECT_EQ(Parse({"--peer-timeout=86400"}).peerTimeoutSeconds, 86400);
    EXPECT_EQ(Parse({"--stats-interval=1"}).statsIntervalSeconds, 1);
    EXPECT_NE(Refusal({"--peer-timeout=86401"}).find("from 0 to 86400"), std::string::npos);
    EXPECT_NE(Refusal({"--stats-interval=86401"}).find("from 0 to 86400"), std::string::npos);
    // Opus (type 7) is only agreed in a session: with sessions off it is refused, whatever comes first.
    EXPECT_EQ(Refusal({"-a:opus", "--session=off"}),
              "qparlin: --session=off: leaves only the plain wire, which never carries Opus: choose another "
              "codec");
    EXPECT_FALSE(ParseCommandLine(std::vector<std::string>{"--session=off", "-a:0x87"}).Ok());
    EXPECT_TRUE(Parse({"--session=off", "-a:0x82"}).codecChosen);
    EXPECT_TRUE(Parse({"-a:opus", "--session=on"}).codecChosen);
    for (const char* bad : {"--session", "--session=maybe", "--peer-timeout", "--peer-timeout=-1",
                            "--peer-timeout=5s", "--stats-interval=", "--stats-interval=1.5"})
        EXPECT_FALSE(ParseCommandLine(std::vector<std::string>{bad}).Ok()) << bad;
}

TEST(SessionOptionsTest, TheCallStateLineSaysWhoIsThereAndHowLongItHasBeenSilent) {
    VoiceLink::CallState waiting;
    EXPECT_EQ(CallController::CallStateText(waiting), "waiting for the peer");

    VoiceLink::CallState calling = Session(1999);
    calling.heardAnything = false;
    EXPECT_EQ(CallController::CallStateText(calling), "calling 127.0.0.1:5007");
    calling.silentForMs = 2000;
    EXPECT_EQ(CallController::CallStateText(calling), "no answer from 127.0.0.1:5007 for 2 s");

    EXPECT_EQ(CallController::CallStateText(Session(1999)), "in a session with 127.0.0.1:5007");
    EXPECT_EQ(CallController::CallStateText(Session(2000)),
              "in a session with 127.0.0.1:5007, no sound from the peer for 2 s");
    EXPECT_EQ(CallController::CallStateText(Session(12'999)),
              "in a session with 127.0.0.1:5007, no sound from the peer for 12 s");
    VoiceLink::CallState plain = Session();
    plain.mode = CallSession::Mode::kPlain;
    EXPECT_EQ(CallController::CallStateText(plain), "plain peer 127.0.0.1:5007");
    plain.mode = CallSession::Mode::kOff;
    EXPECT_EQ(CallController::CallStateText(plain), "plain peer 127.0.0.1:5007");
    plain.mode = CallSession::Mode::kOffering;
    EXPECT_EQ(CallController::CallStateText(plain), "peer 127.0.0.1:5007");

    EXPECT_EQ(CallController::FormatName(0x82), "gsm_8khz");
    EXPECT_EQ(CallController::FormatName(0x06), "format 0x06");
}

TEST(SessionOptionsTest, TheQualityMarkTurnsAtEachThreshold) {
    VoiceLink::CallState state = Session();
    EXPECT_EQ(CallController::QualityMark(state), "good");
    EXPECT_EQ(CallController::QualityText(state),
              "round trip not known yet; we receive: 0.0 % lost, jitter 0 ms");
    // Our own loss: 1 in 101 is just under 1 %, 1 in 100 is fair; 5 in 100 is poor.
    state.quality.received = 100;
    state.quality.lost = 1;
    EXPECT_EQ(CallController::QualityMark(state), "good");
    state.quality.received = 99;
    EXPECT_EQ(CallController::QualityMark(state), "fair");
    state.quality.received = 95;
    state.quality.lost = 5;
    EXPECT_EQ(CallController::QualityMark(state), "poor");
    state.quality.lost = 0;
    // The round trip: 149.999 ms good, 150 ms fair, 400 ms poor.
    state.quality.roundTripUs = 149'999;
    EXPECT_EQ(CallController::QualityMark(state), "good");
    state.quality.roundTripUs = 150'000;
    EXPECT_EQ(CallController::QualityMark(state), "fair");
    state.quality.roundTripUs = 400'000;
    EXPECT_EQ(CallController::QualityMark(state), "poor");
    state.quality.roundTripUs = 20'000;
    // The peer's report: its whole call's loss (1 of 101 good, 1 of 100 fair; a half-second fraction of
    // 40/256 says nothing of the call) and jitter in timestamp units (240 at 8000 Hz = 30 ms is fair, 239
    // is not).
    RtcpReportBlock block;
    block.fractionLost = 40;
    block.cumulativeLost = 1;
    block.jitter = 239;
    state.quality.peerBlock = block;
    state.quality.peerExpected = 101;
    EXPECT_EQ(CallController::QualityMark(state), "good");
    state.quality.peerExpected = 100;
    EXPECT_EQ(CallController::QualityMark(state), "fair");
    // A report that covers nothing yet, or a negative count (duplicates), is no loss.
    state.quality.peerExpected = 0;
    EXPECT_EQ(CallController::QualityMark(state), "good");
    state.quality.peerExpected = 100;
    state.quality.peerBlock->cumulativeLost = -3;
    EXPECT_EQ(CallController::QualityMark(state), "good");
    state.quality.peerBlock->cumulativeLost = 0;
    state.quality.peerBlock->jitter = 240;
    EXPECT_EQ(CallController::QualityMark(state), "fair");
    state.quality.peerBlock->jitter = 640;
    EXPECT_EQ(CallController::QualityMark(state), "poor");
    RtcpQuality figures;
    figures.playoutDelayUs = 35'000;
    state.quality.peerQuality = figures;
    EXPECT_EQ(
        CallController::QualityText(state),
        "round trip 20 ms; we receive: 0.0 % lost, jitter 0 ms; the peer receives: 0.0 % lost, jitter 80 "
        "ms, playout 35 ms");
    // Outside a session there is nothing to mark.
    state.mode = CallSession::Mode::kPlain;
    EXPECT_EQ(CallController::QualityMark(state), "");
    EXPECT_EQ(CallController::QualityText(state), "");
}

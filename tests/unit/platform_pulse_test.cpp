// The sound-server backend's pure parts: the buffer attributes it asks for, the stream names, the matching
// of a device named on the command line, the order in which auto mode tries backends, and the listing of
// devices with a server's descriptions. (The streams themselves run against real servers in
// tests/system/sound_server_test.sh.)
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/wave/PulseConnection.h"
#include "platform/wave/PulseStreams.h"
#include "platform/wave/Wave.h"
#include "platform/wave/WaveBackendBase.h"

namespace {

TEST(PulseAttributesTest, FiveMillisecondFragmentsAndRequestsSixtyMillisecondTarget) {
    // 11025 Hz, 16-bit: 5 ms is 55 frames (110 bytes), 10 ms 110 frames, 60 ms 661 frames.
    const PulseBufferAttributes wide = ChoosePulseBufferAttributes(11025, 2);
    EXPECT_EQ(wide.record.fragsize, 110u);
    EXPECT_EQ(wide.record.maxlength, 0xFFFFFFFFu);  // the server's own
    EXPECT_EQ(wide.playback.tlength, 1322u);
    EXPECT_EQ(wide.playback.minreq, 110u);
    EXPECT_EQ(wide.playback.prebuf, 220u);            // the cushion, so that the first piece plays at once
    EXPECT_EQ(wide.playback.maxlength, 0xFFFFFFFFu);  // the server's most: no burst is cut
    EXPECT_EQ(wide.cushionBytes, 220u);

    const PulseBufferAttributes narrow = ChoosePulseBufferAttributes(8000, 1);
    EXPECT_EQ(narrow.record.fragsize, 40u);
    EXPECT_EQ(narrow.playback.tlength, 480u);
    EXPECT_EQ(narrow.playback.minreq, 40u);
    EXPECT_EQ(narrow.cushionBytes, 80u);
}

TEST(PulseAttributesTest, EveryByteCountIsWholeFramesAndNeverZero) {
    // 22050 Hz: 5 ms is 110.25 frames, rounded down to whole frames; the lowest rate still gets a frame.
    const PulseBufferAttributes odd = ChoosePulseBufferAttributes(22050, 2);
    EXPECT_EQ(odd.record.fragsize, 220u);
    EXPECT_EQ(odd.playback.tlength, 2646u);
    const PulseBufferAttributes lowest = ChoosePulseBufferAttributes(1000, 2);
    EXPECT_EQ(lowest.record.fragsize, 10u);
    EXPECT_EQ(lowest.playback.minreq, 10u);
    const PulseBufferAttributes tiny = ChoosePulseBufferAttributes(50, 2);
    EXPECT_EQ(tiny.record.fragsize, 2u);
    EXPECT_EQ(tiny.playback.minreq, 2u);
    EXPECT_EQ(tiny.cushionBytes, 2u);
}

TEST(PulseAttributesTest, RecordFragmentsDivideTheBufferNearFiveMilliseconds) {
    EXPECT_EQ(ChooseRecordFragmentFrames(11025, 240), 60u);  // ilbc_11khz: four of 5.4 ms
    EXPECT_EQ(ChooseRecordFragmentFrames(8000, 160), 40u);   // gsm_8khz: four of 5 ms
    EXPECT_EQ(ChooseRecordFragmentFrames(8000, 800), 40u);   // g711_8khz: twenty of 5 ms
    EXPECT_EQ(ChooseRecordFragmentFrames(8000, 240), 40u);
    EXPECT_EQ(ChooseRecordFragmentFrames(11025, 0), 55u);  // not known: 5 ms
    // A buffer under one and a half fragments is one fragment; at one and a half it splits in two.
    EXPECT_EQ(ChooseRecordFragmentFrames(8000, 59), 59u);
    EXPECT_EQ(ChooseRecordFragmentFrames(8000, 60), 30u);
    // No count near 5 ms divides it (161 = 7 x 23, four near): the whole buffer, never a fragment that
    // straddles two.
    EXPECT_EQ(ChooseRecordFragmentFrames(8000, 161), 161u);
    EXPECT_EQ(ChooseRecordFragmentFrames(50, 1), 1u);
}

TEST(PulseAttributesTest, AnUnderflowGrowsTheMarginByHalfARequestUpToAWholeOne) {
    // ilbc_11khz: a request of 10 ms is 110 frames; 55 after the first underflow past the stream's start,
    // 110 after the second, and no more after a third.
    EXPECT_EQ(PulseUnderflowMargin(0, 110), 55u);
    EXPECT_EQ(PulseUnderflowMargin(55, 110), 110u);
    EXPECT_EQ(PulseUnderflowMargin(110, 110), 110u);
    // One frame short of the bound reaches it and stops there.
    EXPECT_EQ(PulseUnderflowMargin(79, 80), 80u);
    // Half of an odd request rounds up, so that a request of one frame still grows the margin.
    EXPECT_EQ(PulseUnderflowMargin(0, 81), 41u);
    EXPECT_EQ(PulseUnderflowMargin(0, 1), 1u);
}

TEST(PulseStreamNameTest, NamesTheProgramAndThePeerWhereKnown) {
    EXPECT_EQ(PulseStreamName(""), "Q-Parlin");
    EXPECT_EQ(PulseStreamName("192.0.2.7"), "Q-Parlin: 192.0.2.7");
}

TEST(PulseVolumeTest, ScalesSixteenAndEightBitSamples) {
    int16_t wide[3] = {32767, -32768, 1000};
    ScaleSamples(reinterpret_cast<uint8_t*>(wide), sizeof wide, 0x8000, 16);
    EXPECT_EQ(wide[0], 16383);
    EXPECT_EQ(wide[1], -16384);
    EXPECT_EQ(wide[2], 500);
    uint8_t narrow[3] = {255, 0, 128};
    ScaleSamples(narrow, sizeof narrow, 0, 8);
    EXPECT_EQ(narrow[0], 128);
    EXPECT_EQ(narrow[1], 128);
    EXPECT_EQ(narrow[2], 128);
    int16_t odd[2] = {100, 100};
    // A length that ends in half a sample leaves that half alone.
    ScaleSamples(reinterpret_cast<uint8_t*>(odd), 3, 0, 16);
    EXPECT_EQ(odd[0], 0);
    EXPECT_EQ(odd[1], 100);
}

class FindWaveDeviceTest : public ::testing::Test {
protected:
    const std::vector<WaveDeviceInfo> devices_ = {
        {"qp_sink.monitor", false, "Monitor of Null Output"},
        {"alsa_input.usb-Headset", true, "USB Headset Mono"},
        {"qp_sink", false, "Null Output"},
    };
};

TEST_F(FindWaveDeviceTest, AnExactNameWinsOverNamesThatHoldIt) {
    EXPECT_EQ(FindWaveDevice(devices_, "qp_sink"), 3);
    EXPECT_EQ(FindWaveDevice(devices_, "qp_sink.monitor"), 1);
}

TEST_F(FindWaveDeviceTest, APartOfOneNameOrDescriptionFindsItInAnyCase) {
    EXPECT_EQ(FindWaveDevice(devices_, "headset"), 2);
    EXPECT_EQ(FindWaveDevice(devices_, "MONITOR"), 1);
    EXPECT_EQ(FindWaveDevice(devices_, "usb headset mono"), 2);
}

TEST_F(FindWaveDeviceTest, NoneIsZeroSeveralIsMinusOne) {
    EXPECT_EQ(FindWaveDevice(devices_, "bluetooth"), 0);
    EXPECT_EQ(FindWaveDevice(devices_, ""), 0);
    EXPECT_EQ(FindWaveDevice({}, "qp_sink"), 0);
    EXPECT_EQ(FindWaveDevice(devices_, "null output"), -1);  // both descriptions hold it
    EXPECT_EQ(FindWaveDevice(devices_, "qp_sink."), 1);      // one more letter than the sink's name
    EXPECT_EQ(FindWaveDevice(devices_, "qp_sin"), -1);       // one less: both names hold it
}

class NamedBackend final : public WaveBackend {
public:
    explicit NamedBackend(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    MMRESULT OpenIn(std::unique_ptr<WaveIn>&, int, const WaveFormat&, MessageTarget*) override { return 1; }
    MMRESULT OpenOut(std::unique_ptr<WaveOut>&, int, const WaveFormat&, MessageTarget*) override { return 1; }
    std::vector<WaveDeviceInfo> InputDevices() override { return {}; }
    std::vector<WaveDeviceInfo> OutputDevices() override { return {}; }

private:
    std::string name_;
};

int triedServers = 0;
int triedFallbacks = 0;

std::unique_ptr<WaveBackend> SilentServer(const WaveDeviceOptions&, std::string& problem) {
    ++triedServers;
    problem = "no answer";
    return nullptr;
}

std::unique_ptr<WaveBackend> AnsweringServer(const WaveDeviceOptions& options, std::string&) {
    ++triedServers;
    return std::make_unique<NamedBackend>("server for " + options.peer);
}

std::unique_ptr<WaveBackend> Fallback(const WaveDeviceOptions&, std::string&) {
    ++triedFallbacks;
    return std::make_unique<NamedBackend>("fallback");
}

TEST(AutoBackendTest, TakesTheFirstThatAnswersAndTriesNoFurther) {
    triedServers = triedFallbacks = 0;
    std::vector<std::string> tried;
    WaveDeviceOptions options;
    options.peer = "peer";
    auto backend = MakeFirstAnsweringWaveBackend({&AnsweringServer, &Fallback}, options, tried);
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->Name(), "server for peer");
    EXPECT_EQ(triedServers, 1);
    EXPECT_EQ(triedFallbacks, 0);
    EXPECT_TRUE(tried.empty());
}

TEST(AutoBackendTest, FallsBackInOrderAndSaysWhyTheOthersDidNot) {
    triedServers = triedFallbacks = 0;
    std::vector<std::string> tried;
    auto backend = MakeFirstAnsweringWaveBackend({&SilentServer, &SilentServer, &Fallback}, {}, tried);
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->Name(), "fallback");
    EXPECT_EQ(triedServers, 2);
    EXPECT_EQ(triedFallbacks, 1);
    EXPECT_EQ(tried, (std::vector<std::string>{"no answer", "no answer"}));
    EXPECT_EQ(MakeFirstAnsweringWaveBackend({&SilentServer}, {}, tried), nullptr);
}

TEST(AutoBackendTest, WithNoServerAutoModeIsPortAudio) {
    // A server address where nothing listens: libpulse fails at once and never starts a server of its own.
    setenv("PULSE_SERVER", "unix:/nonexistent/qparlin-test/native", 1);
    setenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent/qparlin-test", 1);
    std::string problem;
    EXPECT_EQ(MakePulseWaveBackend({}, problem), nullptr);
    EXPECT_FALSE(problem.empty());
    EXPECT_EQ(MakeAutoWaveBackend({})->Name(), "portaudio");
    unsetenv("PULSE_SERVER");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
}

TEST(WaveDeviceListTest, AServersDescriptionFollowsTheNameInBrackets) {
    class ServerList final : public WaveBackend {
    public:
        std::string Name() const override { return "server"; }
        MMRESULT OpenIn(std::unique_ptr<WaveIn>&, int, const WaveFormat&, MessageTarget*) override {
            return 1;
        }
        MMRESULT OpenOut(std::unique_ptr<WaveOut>&, int, const WaveFormat&, MessageTarget*) override {
            return 1;
        }
        std::vector<WaveDeviceInfo> InputDevices() override { return {{"qp_sink.monitor", true, "Monitor"}}; }
        std::vector<WaveDeviceInfo> OutputDevices() override { return {{"qp_sink", false, "Null Output"}}; }
    } backend;
    std::ostringstream out;
    WriteWaveDeviceList(backend, out);
    EXPECT_EQ(
        out.str(),
        "Recording devices:\n  1  qp_sink.monitor  [Monitor] (default)\nPlayback devices:\n  1  qp_sink  "
        "[Null Output]\n");
}

}  // namespace

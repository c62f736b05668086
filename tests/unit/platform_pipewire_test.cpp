// The PipeWire backend's pure parts: the quantum it asks for, its stream properties, the device lists it
// builds from the server's nodes, the target a device name gives, the default device read from the server's
// metadata, and the part of a server's buffer it reads. (The streams themselves run against a real PipeWire
// in tests/system/sound_server_test.sh.) And the backend while no server answers: the call goes on, in
// silence and at its pace.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_wave.h"
#include "platform/ErrorSink.h"
#include "platform/MessageQueue.h"
#include "platform/wave/PipeWireProperties.h"
#include "platform/wave/Wave.h"

namespace {

TEST(PipeWireQuantumTest, AQuarterOfTheFrameAsAPowerOfTwoFrom256To1024) {
    EXPECT_EQ(ChoosePipeWireQuantum(20'000), 256u);  // gsm_8khz
    EXPECT_EQ(ChoosePipeWireQuantum(21'769), 256u);  // ilbc_11khz: 240 samples at 11025 Hz
    EXPECT_EQ(ChoosePipeWireQuantum(0), 256u);       // not known: as a 20 ms frame
    EXPECT_EQ(ChoosePipeWireQuantum(1), 256u);
    // 512 once a quarter frame holds 512 samples at 48 kHz: 42.667 ms.
    EXPECT_EQ(ChoosePipeWireQuantum(42'666), 256u);
    EXPECT_EQ(ChoosePipeWireQuantum(42'667), 512u);
    EXPECT_EQ(ChoosePipeWireQuantum(85'333), 512u);
    EXPECT_EQ(ChoosePipeWireQuantum(85'334), 1024u);
    EXPECT_EQ(ChoosePipeWireQuantum(100'000), 1024u);  // g711_8khz's 100 ms
    EXPECT_EQ(ChoosePipeWireQuantum(UINT64_MAX), 1024u);
}

TEST(PipeWireQuantumTest, NodeLatencyIsCountedAtTheGraphRate) {
    EXPECT_EQ(PipeWireNodeLatency(256), "256/48000");
    EXPECT_EQ(PipeWireNodeLatency(1024), "1024/48000");
}

class PipeWireNodesTest : public ::testing::Test {
protected:
    PipeWireNodes nodes = {
        {31, {"spk", "Speaker", "Audio/Sink"}},
        {35, {"mic", "Microphone", "Audio/Source"}},
        {40, {"bus", "", "Audio/Sink"}},
        {41, {"", "Nameless", "Audio/Sink"}},
        {44, {"duplex", "Both ways", "Audio/Duplex"}},
        {50, {"virtual", "Virtual mic", "Audio/Source/Virtual"}},
    };
};

TEST_F(PipeWireNodesTest, SourcesAndSinkMonitorsRecordSinksPlayInRegistryOrder) {
    const PipeWireDeviceLists lists = ListPipeWireDevices(nodes, "bus", "mic");
    ASSERT_EQ(lists.inputs.size(), 4u);
    EXPECT_EQ(lists.inputs[0].name, "spk.monitor");
    EXPECT_EQ(lists.inputs[0].description, "Monitor of Speaker");
    EXPECT_EQ(lists.inputs[1].name, "mic");
    EXPECT_TRUE(lists.inputs[1].isDefault);
    EXPECT_EQ(lists.inputs[2].name, "bus.monitor");
    EXPECT_EQ(lists.inputs[2].description, "");
    EXPECT_EQ(lists.inputs[3].name, "virtual");
    ASSERT_EQ(lists.outputs.size(), 2u);
    EXPECT_EQ(lists.outputs[0].name, "spk");
    EXPECT_FALSE(lists.outputs[0].isDefault);
    EXPECT_EQ(lists.outputs[1].name, "bus");
    EXPECT_TRUE(lists.outputs[1].isDefault);
    EXPECT_EQ(
        std::count_if(lists.inputs.begin(), lists.inputs.end(), [](const auto& d) { return d.isDefault; }),
        1);
}

TEST_F(PipeWireNodesTest, AMonitorCanBeTheDefaultSourceAndAnUnknownDefaultMarksNothing) {
    EXPECT_TRUE(ListPipeWireDevices(nodes, "", "spk.monitor").inputs[0].isDefault);
    const PipeWireDeviceLists none = ListPipeWireDevices(nodes, "gone", "gone");
    for (const auto& device : none.inputs)
        EXPECT_FALSE(device.isDefault) << device.name;
    for (const auto& device : none.outputs)
        EXPECT_FALSE(device.isDefault) << device.name;
    EXPECT_TRUE(ListPipeWireDevices({}, "spk", "mic").inputs.empty());
}

TEST_F(PipeWireNodesTest, AMonitorNameRecordsItsSinkAndOtherNamesTargetTheNode) {
    const PipeWireTarget monitor = ResolvePipeWireTarget(nodes, "spk.monitor", true);
    EXPECT_EQ(monitor.node, "spk");
    EXPECT_TRUE(monitor.captureSink);
    const PipeWireTarget source = ResolvePipeWireTarget(nodes, "mic", true);
    EXPECT_EQ(source.node, "mic");
    EXPECT_FALSE(source.captureSink);
    // Playback never records a monitor; the default targets nothing.
    EXPECT_EQ(ResolvePipeWireTarget(nodes, "spk.monitor", false).node, "spk.monitor");
    EXPECT_FALSE(ResolvePipeWireTarget(nodes, "spk.monitor", false).captureSink);
    EXPECT_EQ(ResolvePipeWireTarget(nodes, "", true).node, "");
    // No sink of that name, or nothing before the suffix: the name as it stands.
    EXPECT_FALSE(ResolvePipeWireTarget(nodes, "gone.monitor", true).captureSink);
    EXPECT_EQ(ResolvePipeWireTarget(nodes, ".monitor", true).node, ".monitor");
    EXPECT_FALSE(ResolvePipeWireTarget(nodes, "mic.monitor", true).captureSink);  // a source, not a sink
}

TEST_F(PipeWireNodesTest, ASourceNamedLikeAMonitorIsThatSource) {
    nodes[60] = {"spk.monitor", "A real source", "Audio/Source"};
    const PipeWireTarget target = ResolvePipeWireTarget(nodes, "spk.monitor", true);
    EXPECT_EQ(target.node, "spk.monitor");
    EXPECT_FALSE(target.captureSink);
}

TEST(PipeWireDefaultTest, ReadsTheNameOfTheMetadataObject) {
    EXPECT_EQ(DefaultNodeNameFromJson(R"({ "name": "spk" })"), "spk");
    EXPECT_EQ(DefaultNodeNameFromJson("{\"name\":\"alsa_output.pci-0000_00_1f.3.analog-stereo\"}"),
              "alsa_output.pci-0000_00_1f.3.analog-stereo");
    EXPECT_EQ(DefaultNodeNameFromJson(" \n{ \"id\": \"7\", \"name\" : \"mic\" , \"x\": \"y\" }"), "mic");
    EXPECT_EQ(DefaultNodeNameFromJson(R"({ "name": "" })"), "");
}

TEST(PipeWireDefaultTest, AnythingElseGivesNoName) {
    for (const char* bad :
         {"", "{", "}", "spk", "\"spk\"", "[\"name\", \"spk\"]", "{ name: \"spk\" }", "{ \"name\" \"spk\" }",
          "{ \"name\": spk }", "{ \"name\": 5 }", "{ \"name\": \"spk", "{ \"name\": \"a\\\"b\" }",
          "{ \"id\": 7, \"name\": \"spk\" }", "{ \"id\": \"7\" }", "{ \"id\": \"7\" \"name\": \"spk\" }"}) {
        EXPECT_EQ(DefaultNodeNameFromJson(bad), "") << bad;
    }
}

TEST(PipeWireDefaultTest, NamesUpTo1024BytesAreTaken) {
    const std::string longest(1024, 'n');
    EXPECT_EQ(DefaultNodeNameFromJson("{\"name\":\"" + longest + "\"}"), longest);
    EXPECT_EQ(DefaultNodeNameFromJson("{\"name\":\"" + longest + "n\"}"), "");
}

std::string Property(const std::vector<std::pair<std::string, std::string>>& properties,
                     const std::string& key) {
    for (const auto& [name, value] : properties) {
        if (name == key)
            return value;
    }
    return "(unset)";
}

TEST(PipeWirePropertiesTest, APhoneStreamNamedForTheProgramAndThePeer) {
    PipeWireStreamSettings settings;
    settings.input = true;
    settings.peer = "alice.example";
    settings.quantum = 256;
    const auto properties = PipeWireStreamProperties(settings);
    EXPECT_EQ(Property(properties, "media.role"), "phone");
    EXPECT_EQ(Property(properties, "media.category"), "Capture");
    EXPECT_EQ(Property(properties, "media.type"), "Audio");
    EXPECT_EQ(Property(properties, "application.name"), "Q-Parlin");
    EXPECT_EQ(Property(properties, "media.name"), "Q-Parlin: alice.example");
    EXPECT_EQ(Property(properties, "node.latency"), "256/48000");
    // The default device: no target, and the stream may follow the server's default.
    EXPECT_EQ(Property(properties, "target.object"), "(unset)");
    EXPECT_EQ(Property(properties, "node.dont-reconnect"), "(unset)");
    EXPECT_EQ(Property(properties, "stream.capture.sink"), "(unset)");
    EXPECT_EQ(Property(properties, "filter.suppress"), "(unset)");

    settings.input = false;
    settings.peer.clear();
    EXPECT_EQ(Property(PipeWireStreamProperties(settings), "media.category"), "Playback");
    EXPECT_EQ(Property(PipeWireStreamProperties(settings), "media.name"), "Q-Parlin");
}

TEST(PipeWirePropertiesTest, ANamedDeviceIsTargetedAndKeptAMonitorRecordsTheSink) {
    PipeWireStreamSettings settings;
    settings.input = true;
    settings.target = {"spk", true};
    settings.suppressServerEchoCancel = true;
    const auto properties = PipeWireStreamProperties(settings);
    EXPECT_EQ(Property(properties, "target.object"), "spk");
    EXPECT_EQ(Property(properties, "node.dont-reconnect"), "true");
    EXPECT_EQ(Property(properties, "stream.capture.sink"), "true");
    EXPECT_EQ(Property(properties, "filter.suppress"), "echo-cancel");
}

TEST(PipeWireChunkTest, TheServersOffsetAndSizeAreCutToTheAreaAndToWholeFrames) {
    uint32_t bytes = 0;
    EXPECT_EQ(ClampPipeWireChunk(0, 480, 4096, 2, bytes), 0u);
    EXPECT_EQ(bytes, 480u);
    EXPECT_EQ(ClampPipeWireChunk(96, 4000, 4096, 2, bytes), 96u);
    EXPECT_EQ(bytes, 4000u);  // ends exactly at the area's end
    EXPECT_EQ(ClampPipeWireChunk(96, 4001, 4096, 2, bytes), 96u);
    EXPECT_EQ(bytes, 4000u);  // one byte past it: cut
    EXPECT_EQ(ClampPipeWireChunk(0, 481, 4096, 2, bytes), 0u);
    EXPECT_EQ(bytes, 480u);  // half a frame is not read
    EXPECT_EQ(ClampPipeWireChunk(0, 481, 4096, 1, bytes), 0u);
    EXPECT_EQ(bytes, 481u);  // 8-bit frames are bytes
}

TEST(PipeWireChunkTest, HostileValuesNeverReachPastTheArea) {
    uint32_t bytes = 1;
    EXPECT_EQ(ClampPipeWireChunk(4096, 100, 4096, 2, bytes), 4096u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(ClampPipeWireChunk(UINT32_MAX, UINT32_MAX, 4096, 2, bytes), 4096u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(ClampPipeWireChunk(4095, UINT32_MAX, 4096, 2, bytes), 4095u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(ClampPipeWireChunk(0, UINT32_MAX, 0, 2, bytes), 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(ClampPipeWireChunk(10, 20, 4096, 0, bytes), 10u);
    EXPECT_EQ(bytes, 20u);
}

TEST(PipeWireBackendTest, NoServerIsNoBackendAtOnceWithTheReason) {
    // A runtime directory without a socket: the connection fails at once, without waiting for an answer.
    setenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent/qparlin-test", 1);
    std::string problem;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(MakePipeWireWaveBackend({}, problem), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(problem, "no PipeWire server answers");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
}

// A backend that waits for a server that is not there: a runtime directory without a socket.
class PipeWireAwayTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent/qparlin-test", 1);
        SetErrorSink(&reports_);
        std::string problem;
        backend_ = MakePipeWireWaveBackend({}, problem, true);
        ASSERT_NE(backend_, nullptr);
    }
    void TearDown() override {
        backend_.reset();
        SetErrorSink(nullptr);
        unsetenv("PIPEWIRE_RUNTIME_DIR");
    }

    static WaveFormat Pcm(uint32_t rate, uint16_t bits) {
        WaveFormat format;
        format.samplesPerSec = rate;
        format.bitsPerSample = bits;
        format.blockAlign = static_cast<uint16_t>(bits / 8);
        format.avgBytesPerSec = rate * format.blockAlign;
        return format;
    }
    // The next post must hand back `header` with `message`.
    void ExpectPosted(uint32_t message, WaveHeader& header) {
        const auto posted = owner_.Get(2000);
        ASSERT_TRUE(posted.has_value()) << "nothing posted";
        EXPECT_EQ(posted->message, message);
        EXPECT_EQ(posted->lParam, reinterpret_cast<LPARAM>(&header));
    }

    CollectingErrorSink reports_;
    MessageQueue owner_;
    std::unique_ptr<WaveBackend> backend_;
};

TEST_F(PipeWireAwayTest, SaysOnceThatNoServerAnswersAndListsNoDevices) {
    EXPECT_EQ(reports_.Reports(), (std::vector<std::string>{"Sound: no sound server answers (no PipeWire "
                                                            "server answers); sound starts when one does."}));
    EXPECT_EQ(backend_->Name(), "pipewire");
    EXPECT_TRUE(backend_->InputDevices().empty());
    EXPECT_TRUE(backend_->OutputDevices().empty());
    // A device by number needs the server's list.
    std::unique_ptr<WaveOut> out;
    EXPECT_EQ(backend_->OpenOut(out, 0, Pcm(8000, 16), &owner_), MMSYSERR_NODRIVER);
    EXPECT_EQ(out, nullptr);
}

TEST_F(PipeWireAwayTest, RecordingHandsOverSilenceAtItsPace) {
    for (const uint16_t bits : {16, 8}) {
        std::unique_ptr<WaveIn> in;
        ASSERT_EQ(backend_->OpenIn(in, WAVE_MAPPER, Pcm(8000, bits), &owner_), MMSYSERR_NOERROR);
        // 20 ms headers, filled with a pattern that silence must replace.
        const uint32_t bytes = 160u * bits / 8;
        std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(bytes, 0x5A));
        std::vector<WaveHeader> headers(3);
        for (size_t i = 0; i < headers.size(); ++i) {
            headers[i].data = buffers[i].data();
            headers[i].bufferLength = bytes;
            ASSERT_EQ(in->Prepare(&headers[i]), MMSYSERR_NOERROR);
            ASSERT_EQ(in->Add(&headers[i]), MMSYSERR_NOERROR);
        }
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(in->Start(), MMSYSERR_NOERROR);
        for (WaveHeader& header : headers)
            ExpectPosted(MM_WIM_DATA, header);
        // Three 20 ms headers take about 60 ms: never handed over faster than the clock.
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(40));
        const uint8_t silence = bits == 8 ? 0x80 : 0x00;
        for (size_t i = 0; i < headers.size(); ++i) {
            EXPECT_EQ(headers[i].bytesRecorded, bytes);
            EXPECT_EQ(std::count(buffers[i].begin(), buffers[i].end(), silence), static_cast<long>(bytes))
                << bits << "-bit header " << i;
        }
        EXPECT_EQ(in->Reset(), MMSYSERR_NOERROR);
        for (WaveHeader& header : headers)
            EXPECT_EQ(in->Unprepare(&header), MMSYSERR_NOERROR);
        EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(reports_.Reports().size(), 1u);  // still only the start's
}

TEST_F(PipeWireAwayTest, PlaybackTakesEveryHeaderInOrderAtItsPace) {
    std::unique_ptr<WaveOut> out;
    ASSERT_EQ(backend_->OpenOut(out, WAVE_MAPPER, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    std::vector<std::vector<uint8_t>> buffers(5, std::vector<uint8_t>(320, 0x11));
    std::vector<WaveHeader> headers(5);
    const auto started = std::chrono::steady_clock::now();
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i].data = buffers[i].data();
        headers[i].bufferLength = 320;
        ASSERT_EQ(out->Prepare(&headers[i]), MMSYSERR_NOERROR);
        ASSERT_EQ(out->Write(&headers[i]), MMSYSERR_NOERROR);
    }
    for (WaveHeader& header : headers)
        ExpectPosted(MM_WOM_DONE, header);
    // Five 20 ms headers play for 100 ms: they are not all let go at once.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(70));
    for (WaveHeader& header : headers)
        EXPECT_EQ(out->Unprepare(&header), MMSYSERR_NOERROR);
    EXPECT_EQ(out->Close(), MMSYSERR_NOERROR);
}

}  // namespace

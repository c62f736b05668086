// The PipeWire backend's pure parts: the quantum it asks for, its stream properties, the device lists it
// builds from the server's nodes, the target a device name gives, the default device read from the server's
// metadata, and the part of a server's buffer it reads. (The streams themselves run against a real PipeWire
// in tests/system/sound_server_test.sh.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

}  // namespace

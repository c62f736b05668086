// The PipeWire backend's pure decisions.
#include "platform/wave/PipeWireProperties.h"

#include <algorithm>

#include "platform/wave/PulseConnection.h"

namespace {

constexpr uint32_t kSmallestQuantum = 256;
constexpr uint32_t kLargestQuantum = 1024;
constexpr uint64_t kUnknownFrameUs = 20'000;
constexpr size_t kLongestNodeName = 1024;

bool IsSink(const PipeWireNode& node) {
    return node.mediaClass == "Audio/Sink";
}

bool IsSource(const PipeWireNode& node) {
    return node.mediaClass == "Audio/Source" || node.mediaClass == "Audio/Source/Virtual";
}

std::string_view SkipSpace(std::string_view text) {
    while (!text.empty() &&
           (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' || text.front() == '\r'))
        text.remove_prefix(1);
    return text;
}

// A JSON string at the start of `text` without escapes (node names have none); false otherwise.
bool TakeString(std::string_view& text, std::string& value) {
    if (text.empty() || text.front() != '"')
        return false;
    const size_t end = text.find('"', 1);
    if (end == std::string_view::npos)
        return false;
    const std::string_view body = text.substr(1, end - 1);
    if (body.find('\\') != std::string_view::npos || body.size() > kLongestNodeName)
        return false;
    value.assign(body);
    text.remove_prefix(end + 1);
    return true;
}

}  // namespace

uint32_t ChoosePipeWireQuantum(uint64_t frameUs) {
    if (frameUs == 0)
        frameUs = kUnknownFrameUs;
    // A frame of more than a second is no call's: its quantum is the largest anyway, and the sum below stays
    // far from overflowing.
    frameUs = std::min<uint64_t>(frameUs, 1'000'000);
    const uint64_t quarter = frameUs * kPipeWireGraphRate / 4 / 1'000'000;
    uint32_t quantum = kSmallestQuantum;
    while (quantum < kLargestQuantum && uint64_t{quantum} * 2 <= quarter)
        quantum *= 2;
    return quantum;
}

std::string PipeWireNodeLatency(uint32_t quantum) {
    return std::to_string(quantum) + "/" + std::to_string(kPipeWireGraphRate);
}

PipeWireDeviceLists ListPipeWireDevices(const PipeWireNodes& nodes, const std::string& defaultSink,
                                        const std::string& defaultSource) {
    PipeWireDeviceLists lists;
    for (const auto& [id, node] : nodes) {
        if (node.name.empty())
            continue;
        if (IsSource(node)) {
            lists.inputs.emplace_back(node.name, node.name == defaultSource, node.description);
        } else if (IsSink(node)) {
            lists.outputs.emplace_back(node.name, node.name == defaultSink, node.description);
            lists.inputs.emplace_back(
                node.name + ".monitor", node.name + ".monitor" == defaultSource,
                node.description.empty() ? std::string() : "Monitor of " + node.description);
        }
    }
    return lists;
}

PipeWireTarget ResolvePipeWireTarget(const PipeWireNodes& nodes, const std::string& device, bool input) {
    PipeWireTarget target;
    target.node = device;
    if (!input || device.empty())
        return target;
    for (const auto& [id, node] : nodes) {
        if (node.name == device && IsSource(node))
            return target;
    }
    // A sink's monitor is the sink itself, recorded.
    constexpr std::string_view kMonitor = ".monitor";
    if (device.size() > kMonitor.size() &&
        std::string_view(device).substr(device.size() - kMonitor.size()) == kMonitor) {
        const std::string sink = device.substr(0, device.size() - kMonitor.size());
        for (const auto& [id, node] : nodes) {
            if (node.name == sink && IsSink(node)) {
                target.node = sink;
                target.captureSink = true;
                break;
            }
        }
    }
    return target;
}

std::string DefaultNodeNameFromJson(std::string_view json) {
    json = SkipSpace(json);
    if (json.empty() || json.front() != '{')
        return {};
    json = SkipSpace(json.substr(1));
    // The members, one by one, until "name".
    while (!json.empty() && json.front() == '"') {
        std::string key;
        std::string value;
        if (!TakeString(json, key))
            return {};
        json = SkipSpace(json);
        if (json.empty() || json.front() != ':')
            return {};
        json = SkipSpace(json.substr(1));
        if (!TakeString(json, value))
            return {};
        if (key == "name")
            return value;
        json = SkipSpace(json);
        if (json.empty() || json.front() != ',')
            return {};
        json = SkipSpace(json.substr(1));
    }
    return {};
}

std::vector<std::pair<std::string, std::string>> PipeWireStreamProperties(
    const PipeWireStreamSettings& settings) {
    std::vector<std::pair<std::string, std::string>> properties = {
        {"media.type", "Audio"},
        {"media.category", settings.input ? "Capture" : "Playback"},
        // A phone call: volume panels show it as one, and the server's ducking and echo policies see it.
        {"media.role", "phone"},
        {"media.name", PulseStreamName(settings.peer)},
        {"application.name", "Q-Parlin"},
        {"application.id", "qparlin"},
        {"application.icon-name", "qparlin"},
        {"node.name", settings.input ? "qparlin-input" : "qparlin-output"},
        {"node.description", PulseStreamName(settings.peer)},
        {"node.latency", PipeWireNodeLatency(settings.quantum)},
    };
    if (!settings.target.node.empty()) {
        properties.emplace_back("target.object", settings.target.node);
        // A device chosen by name stays that device: when it vanishes the stream waits for it instead of
        // wandering to another one.
        properties.emplace_back("node.dont-reconnect", "true");
    }
    if (settings.target.captureSink)
        properties.emplace_back("stream.capture.sink", "true");
    if (settings.suppressServerEchoCancel)
        properties.emplace_back("filter.suppress", "echo-cancel");
    return properties;
}

uint32_t ClampPipeWireChunk(uint32_t offset, uint32_t size, uint32_t maxSize, uint32_t blockAlign,
                            uint32_t& bytes) {
    offset = std::min(offset, maxSize);
    bytes = std::min(size, maxSize - offset);
    if (blockAlign > 0)
        bytes -= bytes % blockAlign;
    return offset;
}

// What the PipeWire backend decides without a server: the quantum it asks the graph for, the properties
// of its streams, the device lists built from the server's nodes, which node a device name targets, the
// default device's name in the server's metadata, and the part of a buffer that may be read. Everything
// here comes from the server, so every length and text is checked before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/wave/Wave.h"

// The graph's own rate, at which a quantum is counted.
constexpr uint32_t kPipeWireGraphRate = 48000;

// The quantum (samples at 48 kHz) to ask the graph for: the largest power of two at most a quarter of a
// frame of `frameUs` microseconds (0: not known, taken as 20 ms), within 256 and 1024. Measured with 20 ms
// frames: 256 (5.3 ms) gave 1-5 ms less delay than 512, while 128 saved 3-7 ms more at half as much
// processor time again. PipeWire rounds any other value to a power of two itself.
uint32_t ChoosePipeWireQuantum(uint64_t frameUs);
// The `node.latency` value for a quantum: "256/48000".
std::string PipeWireNodeLatency(uint32_t quantum);

// A node of the server as its registry announces it.
struct PipeWireNode {
    std::string name;         // node.name
    std::string description;  // node.description (or node.nick)
    std::string mediaClass;   // media.class: "Audio/Sink", "Audio/Source", ...
};
// The server's nodes by registry id (ids grow as nodes come, so this is their order of appearance).
using PipeWireNodes = std::map<uint32_t, PipeWireNode>;

// Recording devices are the sources and every sink's monitor ("NAME.monitor", as the PulseAudio server
// names it); playback devices are the sinks. `defaultSink` and `defaultSource` are node names; a default
// source that names no source marks nothing.
struct PipeWireDeviceLists {
    std::vector<WaveDeviceInfo> inputs;
    std::vector<WaveDeviceInfo> outputs;
};
PipeWireDeviceLists ListPipeWireDevices(const PipeWireNodes& nodes, const std::string& defaultSink,
                                        const std::string& defaultSource);

// What a stream connects to for a device name from the list: the node, and whether it records a sink's
// monitor. An empty name is the server's default.
struct PipeWireTarget {
    std::string node;
    bool captureSink = false;
};
PipeWireTarget ResolvePipeWireTarget(const PipeWireNodes& nodes, const std::string& device, bool input);

// The node name in a "default.audio.sink"/"default.audio.source" metadata value ({ "name": "spk" });
// empty when the value is not such an object or the name is not a plain string of at most 1024 bytes.
std::string DefaultNodeNameFromJson(std::string_view json);

struct PipeWireStreamSettings {
    bool input = false;
    std::string peer;  // whom the call is with; empty when not known
    PipeWireTarget target;
    uint32_t quantum = 256;
    bool suppressServerEchoCancel = false;
};
// The stream's properties, in the order they are set.
std::vector<std::pair<std::string, std::string>> PipeWireStreamProperties(
    const PipeWireStreamSettings& settings);

// The readable part of a buffer whose chunk says `offset` and `size` in a data area of `maxSize` bytes: cut
// to the area and to whole frames of `blockAlign` bytes. Returns the offset; `bytes` gets the length.
uint32_t ClampPipeWireChunk(uint32_t offset, uint32_t size, uint32_t maxSize, uint32_t blockAlign,
                            uint32_t& bytes);

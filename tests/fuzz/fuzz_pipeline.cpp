// The voice link's receive path below the socket: datagrams as the worker takes them off the wire, the
// audio ones handed to AudioPipeline::Deliver, which decodes them with the call's codec and queues the
// sound on the playback stream's player (the null device, which discards it in real time).
//
// Input: the format code, then datagrams, each behind a two-byte big-endian length (cut to what is left
// and to the link's largest datagram). A datagram's first byte is its type; only type 0 carries audio.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "audio/AudioPipeline.h"
#include "link/VoiceLink.h"
#include "platform/wave/Wave.h"

namespace {

// A pipeline with one open stream per format code, made on first use: opening streams costs a thread
// each, far more than a run. They are never destroyed: each pipeline's shutdown waits half a second for
// its device to close, which at exit would add up to most of a short fuzzing session.
AudioPipeline& PipelineFor(int formatCode) {
    static const bool backendSet = [] {
        SetWaveBackend(MakeNullWaveBackend());
        return true;
    }();
    (void)backendSet;
    static auto& pipelines = *new std::map<int, std::unique_ptr<AudioPipeline>>();
    std::unique_ptr<AudioPipeline>& slot = pipelines[formatCode];
    if (!slot) {
        slot = std::make_unique<AudioPipeline>();
        slot->SetFormat(formatCode);
        slot->AddStream(-1);
    }
    return *slot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // Types 7 to 31 have no codec and all pass samples through alike; one of them stands for the rest.
    int formatCode = data[0];
    if ((formatCode & 0x1F) > 7)
        formatCode = (formatCode & ~0x1F) | 7;
    AudioPipeline& pipeline = PipelineFor(formatCode);
    size_t at = 1;
    while (at + 2 <= size) {
        size_t length = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        if (length > static_cast<size_t>(VoiceLink::kMaxDatagram))
            length = VoiceLink::kMaxDatagram;
        if (length >= 1 && data[at] == VoiceLink::kAudioDatagram)
            pipeline.Deliver(0, data + at + 1, static_cast<int>(length - 1));
        at += length;
    }
    pipeline.StreamLevel(0);
    return 0;
}

// Ogg Opus files (RFC 7845) for qparlin-codec: our Opus packets into a file that opusdec plays, and the
// packets of a file that opusenc wrote back out. The Ogg pages are libogg's; the two Opus header packets
// are ours, and every field read from a file is bounded before it is used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct OggOpusStream {
    int channels = 1;         // 1 or 2 (channel mapping family 0)
    int inputRate = 48000;    // the rate the audio was captured at, for information
    int preSkip = 0;          // samples at 48000 Hz to drop at the start
    int64_t endGranule = -1;  // the last page's granule position: pre-skip + samples at 48000 Hz
    std::vector<std::vector<uint8_t>> packets;
};

// The file for `stream`'s packets, each 20 ms of mono audio, ending `samples48k` samples after the
// pre-skip. `serial` names the Ogg stream.
std::vector<uint8_t> WriteOggOpus(const OggOpusStream& stream, int64_t samples48k, uint32_t serial);

// The first Opus stream of an Ogg file; none, with `error` saying why, when the file holds none or its
// headers are not those of Opus (RFC 7845 section 5). At most `maxPackets` packets are kept.
std::optional<OggOpusStream> ReadOggOpus(const std::vector<uint8_t>& file, std::string& error,
                                         size_t maxPackets = 1 << 20);

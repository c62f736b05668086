// Ogg Opus: libogg cuts and checks the pages (CRC, lengths); the identification header ("OpusHead") and
// the comment header ("OpusTags") are written and read here.
#include "audio/OggOpusFile.h"

#include <ogg/ogg.h>

#include <cstring>

namespace {

constexpr int kHeadBytes = 19;
constexpr int kFrameSamples48k = 960;
constexpr char kVendor[] = "Q-Parlin";

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
uint32_t Get16(const uint8_t* at) {
    return static_cast<uint32_t>(at[0] | at[1] << 8);
}
uint32_t Get32(const uint8_t* at) {
    return Get16(at) | Get16(at + 2) << 16;
}

void Append(std::vector<uint8_t>& out, const ogg_page& page) {
    out.insert(out.end(), page.header, page.header + page.header_len);
    out.insert(out.end(), page.body, page.body + page.body_len);
}

}  // namespace

std::vector<uint8_t> WriteOggOpus(const OggOpusStream& stream, int64_t samples48k, uint32_t serial) {
    ogg_stream_state state;
    ogg_stream_init(&state, static_cast<int>(serial));
    std::vector<uint8_t> out;
    ogg_page page;
    ogg_packet packet{};

    std::vector<uint8_t> head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 1};
    Put16(head, static_cast<uint32_t>(stream.preSkip));
    Put32(head, static_cast<uint32_t>(stream.inputRate));
    Put16(head, 0);     // output gain
    head.push_back(0);  // channel mapping family 0: mono or stereo
    packet.packet = head.data();
    packet.bytes = static_cast<long>(head.size());
    packet.b_o_s = 1;
    ogg_stream_packetin(&state, &packet);
    // Each header packet on a page of its own, as RFC 7845 asks.
    while (ogg_stream_flush(&state, &page) != 0)
        Append(out, page);

    std::vector<uint8_t> tags = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    Put32(tags, sizeof(kVendor) - 1);
    tags.insert(tags.end(), kVendor, kVendor + sizeof(kVendor) - 1);
    Put32(tags, 0);  // no comments
    packet = ogg_packet{};
    packet.packet = tags.data();
    packet.bytes = static_cast<long>(tags.size());
    packet.packetno = 1;
    ogg_stream_packetin(&state, &packet);
    while (ogg_stream_flush(&state, &page) != 0)
        Append(out, page);

    // A page's granule counts every sample its packets and those before decode to, the pre-skip among them
    // (RFC 7845, 4): counted from the pre-skip instead, a page that is not the last tells a player that the
    // stream starts that far in, and it cuts as much more from the start.
    int64_t granule = 0;
    const int64_t end = stream.preSkip + samples48k;
    for (size_t i = 0; i < stream.packets.size(); ++i) {
        const std::vector<uint8_t>& bytes = stream.packets[i];
        granule += kFrameSamples48k;
        packet = ogg_packet{};
        packet.packet = const_cast<unsigned char*>(bytes.data());
        packet.bytes = static_cast<long>(bytes.size());
        packet.packetno = static_cast<ogg_int64_t>(i + 2);
        const bool last = i + 1 == stream.packets.size();
        packet.e_o_s = last ? 1 : 0;
        // The last page's granule marks where the audio ends, which trims the padding of the last frame.
        packet.granulepos = last && end < granule ? end : granule;
        ogg_stream_packetin(&state, &packet);
        while (ogg_stream_pageout(&state, &page) != 0)
            Append(out, page);
    }
    while (ogg_stream_flush(&state, &page) != 0)
        Append(out, page);
    ogg_stream_clear(&state);
    return out;
}

std::optional<OggOpusStream> ReadOggOpus(const std::vector<uint8_t>& file, std::string& error,
                                         size_t maxPackets) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    ogg_stream_state state{};
    bool haveStream = false;
    int headers = 0;
    OggOpusStream stream;
    error.clear();

    constexpr size_t kChunk = 65536;
    size_t at = 0;
    bool ended = false;
    ogg_page page;
    ogg_packet packet;
    while (error.empty() && !ended) {
        const int got = ogg_sync_pageout(&sync, &page);
        if (got == 0) {
            if (at >= file.size())
                break;
            const size_t take = std::min(kChunk, file.size() - at);
            char* buffer = ogg_sync_buffer(&sync, static_cast<long>(take));
            if (buffer == nullptr) {
                error = "out of memory";
                break;
            }
            std::memcpy(buffer, file.data() + at, take);
            ogg_sync_wrote(&sync, static_cast<long>(take));
            at += take;
            continue;
        }
        if (got < 0)
            continue;  // bytes that are no page (lost sync): skipped, as any Ogg reader does
        if (!haveStream) {
            if (ogg_page_bos(&page) == 0)
                continue;
            ogg_stream_init(&state, ogg_page_serialno(&page));
            haveStream = true;
        }
        if (ogg_page_serialno(&page) != state.serialno)
            continue;  // another stream of the file
        ogg_stream_pagein(&state, &page);
        while (error.empty() && ogg_stream_packetout(&state, &packet) == 1) {
            const auto* bytes = packet.packet;
            const auto length = static_cast<size_t>(packet.bytes);
            if (headers == 0) {
                if (length < kHeadBytes || std::memcmp(bytes, "OpusHead", 8) != 0) {
                    error = "the first stream is not Opus";
                } else if ((bytes[8] & 0xF0) != 0) {
                    error = "Opus header version " + std::to_string(bytes[8]) + " is not one this reads";
                } else if (bytes[9] < 1 || bytes[9] > 2 || bytes[18] != 0) {
                    error = "only mono and stereo Opus files (channel mapping 0) are read";
                } else {
                    stream.channels = bytes[9];
                    stream.preSkip = static_cast<int>(Get16(bytes + 10));
                    stream.inputRate = static_cast<int>(Get32(bytes + 12));
                }
                ++headers;
            } else if (headers == 1) {
                if (length < 8 || std::memcmp(bytes, "OpusTags", 8) != 0)
                    error = "the Opus comment header is missing";
                ++headers;
            } else if (stream.packets.size() >= maxPackets) {
                error = "more than " + std::to_string(maxPackets) + " packets";
            } else {
                stream.packets.emplace_back(bytes, bytes + length);
                if (packet.granulepos >= 0)
                    stream.endGranule = packet.granulepos;
            }
            if (packet.e_o_s != 0)
                ended = true;
        }
    }
    if (haveStream)
        ogg_stream_clear(&state);
    ogg_sync_clear(&sync);
    if (error.empty() && headers < 2)
        error = haveStream ? "the Opus headers are incomplete" : "no Ogg stream in the file";
    if (!error.empty())
        return std::nullopt;
    return stream;
}

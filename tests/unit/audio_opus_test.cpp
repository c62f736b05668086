// Opus in the codec table and its coder: the type value and how its rate bits read, the names, one frame
// per call whatever a packet says, packet sizes at the sender's bit rate, silence, concealment and the
// in-band FEC that rebuilds a lost frame.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "audio/OggOpusFile.h"
#include "audio/OpusCodec.h"
#include "audio_codec_support.h"

namespace {

using codec_test::Speechlike;

// How far `got` is from `want`, as the energy of the difference over the energy of `want`.
double ErrorRatio(const int16_t* want, const int16_t* got, int count) {
    double error = 0, energy = 0;
    for (int i = 0; i < count; ++i) {
        error += std::pow(static_cast<double>(want[i]) - got[i], 2);
        energy += std::pow(static_cast<double>(want[i]), 2);
    }
    return error / energy;
}

}  // namespace

TEST(OpusTableTest, TypeSevenIsOpusAndReadsItsRateBitsAsItsOwnRates) {
    EXPECT_EQ(format_code::kOpus, 7);
    EXPECT_EQ(format_code::Rate(0x87), 48000);
    EXPECT_EQ(format_code::Rate(0xA7), 16000);
    EXPECT_EQ(format_code::Rate(0xC7), 24000);
    EXPECT_EQ(format_code::Rate(0xE7), 12000);
    // The neighbours keep the classic reading.
    EXPECT_EQ(format_code::Rate(0xA6), 11025);
    EXPECT_EQ(format_code::Rate(0xA8), 11025);
    // 20 ms frames at each rate; type 8, one past Opus, is still no codec and keeps the frame.
    EXPECT_EQ(FrameLengthOf(0x87), 960);
    EXPECT_EQ(FrameLengthOf(0xA7), 320);
    EXPECT_EQ(FrameLengthOf(0xC7), 480);
    EXPECT_EQ(FrameLengthOf(0xE7), 240);
    EXPECT_EQ(FrameLengthOf(0x88), 0);
    EXPECT_EQ(FindCodecType(0x88), nullptr);
    EXPECT_EQ(FixedPayloadSize(0x87), 0) << "Opus payloads vary";
    EXPECT_FALSE(PlainWireFormat(0x87));
    EXPECT_FALSE(PlainWireFormat(0x07));
    EXPECT_TRUE(PlainWireFormat(0xA4));
    EXPECT_TRUE(PlainWireFormat(0x88));
    EXPECT_EQ(FormatCodeOfName("opus"), 0x87);
    EXPECT_EQ(FormatCodeOfName("OPUS_16KHZ"), 0xA7);
    EXPECT_EQ(FormatCodeOfName("opus_24khz"), 0xC7);
    EXPECT_EQ(FormatCodeOfName("opus_8khz"), std::nullopt);
    EXPECT_EQ(NamedFormats().size(), 12u);
}

TEST(OpusCodecTest, SpeechRoundTripsFrameByFrameAtAboutTheBitRatesPacketSize) {
    for (const int code : {0x87, 0xA7}) {
        std::unique_ptr<SoundCodec> codec = CreateCodec(code);
        ASSERT_NE(codec, nullptr);
        const int frame = FrameLengthOf(code);
        const std::vector<int16_t> input = Speechlike(format_code::Rate(code), 50);
        std::vector<int16_t> output;
        ByteBuffer packet(0, 0);
        SampleBuffer decoded(0, 0);
        int bytes = 0;
        for (int f = 0; f < 50; ++f) {
            const int n = codec->Encode16(input.data() + f * frame, frame, packet, false);
            ASSERT_GE(n, 1);
            ASSERT_LE(n, 1275);
            bytes += n;
            ASSERT_EQ(codec->Decode16(packet.Data(), packet.Length(), decoded, false), frame);
            output.insert(output.end(), decoded.Data(), decoded.Data() + frame);
        }
        // 24000 bit/s is 60 bytes a 20 ms frame; variable bit rate stays near it.
        EXPECT_GT(bytes / 50, 35) << code;
        EXPECT_LT(bytes / 50, 90) << code;
        // The coder's look-ahead delays the output; past it, the waveform is kept closely. The delay is
        // found as the shift that fits best.
        const int skip = 10 * frame;
        double best = 1e9;
        for (int delay = 0; delay < frame / 2; ++delay)
            best = std::min(best, ErrorRatio(input.data() + skip, output.data() + skip + delay, 30 * frame));
        EXPECT_LT(best, 0.35) << code;
    }
    // Fewer samples than a frame code nothing.
    OpusCodec codec(48000);
    ByteBuffer packet(0, 0);
    const std::vector<int16_t> shortInput(959, 100);
    EXPECT_EQ(codec.Encode16(shortInput.data(), 959, packet, false), 0);
    EXPECT_EQ(packet.Length(), 0);
}

TEST(OpusCodecTest, AnyPayloadDecodesIntoExactlyOneFrame) {
    OpusCodec codec(48000);
    SampleBuffer out(0, 0);
    const std::vector<uint8_t> garbage(2000, 0xFF);
    EXPECT_EQ(codec.Decode16(garbage.data(), 2000, out, false), 960);
    EXPECT_EQ(codec.Decode16(nullptr, 0, out, false), 960);
    EXPECT_EQ(codec.Decode16(garbage.data(), 0, out, false), 960);
    // A valid packet of two 20 ms frames (TOC code 1) would be 40 ms, twice a playback buffer: concealed
    // as one frame instead.
    const std::vector<uint8_t> twoFrames = {0x79, 0x00, 0x00};
    EXPECT_EQ(codec.Decode16(twoFrames.data(), 3, out, false), 960);
    EXPECT_EQ(out.Length(), 960);
    ByteBuffer narrow(0, 0);
    EXPECT_EQ(codec.Decode8(garbage.data(), 7, narrow, false), 960);
    EXPECT_EQ(codec.ConcealFromNext16(garbage.data(), 2000, out, true), 960);
    EXPECT_EQ(out.Length(), 1920);
}

TEST(OpusCodecTest, SilenceShrinksToDiscontinuousTransmissionPackets) {
    OpusCodec codec(48000);
    const std::vector<int16_t> silence(960, 0);
    ByteBuffer packet(0, 0);
    int tiny = 0;
    for (int f = 0; f < 50; ++f) {
        codec.Encode16(silence.data(), 960, packet, false);
        if (packet.Length() <= 2)
            ++tiny;
    }
    // After the encoder has heard a little of it, most silent frames have nothing to send.
    EXPECT_GT(tiny, 35);
}

TEST(OpusCodecTest, TheNextFramesFecRebuildsALostFrameBetterThanConcealment) {
    const std::vector<int16_t> input = Speechlike(48000, 40);
    std::vector<std::vector<uint8_t>> packets;
    OpusCodec sender(48000);
    sender.AdaptSender(20, 24000);
    EXPECT_EQ(sender.ExpectedLossPercent(), 20);
    ByteBuffer packet(0, 0);
    for (int f = 0; f < 40; ++f) {
        sender.Encode16(input.data() + f * 960, 960, packet, false);
        packets.emplace_back(packet.Data(), packet.Data() + packet.Length());
    }
    // Two receivers lose frame 30: one conceals it, the other rebuilds it from frame 31.
    OpusCodec concealing(48000), recovering(48000);
    SampleBuffer a(0, 0), b(0, 0);
    for (int f = 0; f < 30; ++f) {
        const auto& p = packets[static_cast<size_t>(f)];
        concealing.Decode16(p.data(), static_cast<int>(p.size()), a, false);
        recovering.Decode16(p.data(), static_cast<int>(p.size()), b, false);
    }
    concealing.Conceal16(a, false);
    const auto& next = packets[31];
    recovering.ConcealFromNext16(next.data(), static_cast<int>(next.size()), b, false);
    // Compared with what a receiver that lost nothing decodes for frame 30.
    OpusCodec whole(48000);
    SampleBuffer c(0, 0);
    for (int f = 0; f <= 30; ++f) {
        const auto& p = packets[static_cast<size_t>(f)];
        whole.Decode16(p.data(), static_cast<int>(p.size()), c, false);
    }
    EXPECT_LT(ErrorRatio(c.Data(), b.Data(), 960), ErrorRatio(c.Data(), a.Data(), 960));
    // The sender's figures are kept within what the coder can do.
    sender.AdaptSender(-5, 1000000);
    EXPECT_EQ(sender.ExpectedLossPercent(), 0);
    EXPECT_EQ(sender.BitRate(), 64000);
}

namespace {

OggOpusStream ThreePackets() {
    OggOpusStream stream;
    stream.preSkip = 312;
    stream.inputRate = 16000;
    stream.packets = {{0x08, 1, 2}, {0x08}, std::vector<uint8_t>(300, 0x55)};
    return stream;
}

}  // namespace

TEST(OggOpusFileTest, WhatIsWrittenReadsBackWithItsHeadersAndEnd) {
    const std::vector<uint8_t> file = WriteOggOpus(ThreePackets(), 2000, 7);
    ASSERT_GT(file.size(), 27u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "OggS");
    std::string error;
    const std::optional<OggOpusStream> read = ReadOggOpus(file, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->channels, 1);
    EXPECT_EQ(read->preSkip, 312);
    EXPECT_EQ(read->inputRate, 16000);
    EXPECT_EQ(read->packets, ThreePackets().packets);
    // Three frames would end at 312 + 2880; the last page's granule trims to the 2000 samples given.
    EXPECT_EQ(read->endGranule, 2312);
    // At most the packets asked for are kept.
    EXPECT_FALSE(ReadOggOpus(file, error, 2));
    EXPECT_NE(error.find("more than 2 packets"), std::string::npos);
}

TEST(OggOpusFileTest, APagesGranuleCountsEverySampleDecodedUpToItThePreSkipIncluded) {
    // Twelve 1000-byte packets fill more than one page. Each page's granule is 960 for every packet
    // completed up to its end, from 0 (RFC 7845, 4); the last one's is the pre-skip and the samples given.
    OggOpusStream stream;
    stream.preSkip = 312;
    stream.packets.assign(12, std::vector<uint8_t>(1000, 0x55));
    const std::vector<uint8_t> file = WriteOggOpus(stream, 11000, 7);
    std::vector<std::pair<int64_t, int>> pages;  // granule, packets completed so far
    int completed = 0;
    for (size_t at = 0; at + 27 <= file.size();) {
        ASSERT_EQ(std::string(file.begin() + static_cast<std::ptrdiff_t>(at),
                              file.begin() + static_cast<std::ptrdiff_t>(at) + 4),
                  "OggS");
        int64_t granule = 0;
        for (int i = 7; i >= 0; --i)
            granule = (granule << 8) | file[at + 6 + static_cast<size_t>(i)];
        const size_t segments = file[at + 26];
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) {
            const uint8_t lacing = file[at + 27 + i];
            body += lacing;
            completed += lacing < 255 ? 1 : 0;
        }
        pages.emplace_back(granule, completed);
        at += 27 + segments + body;
    }
    ASSERT_GE(pages.size(), 4u) << "two header pages and more than one page of audio";
    for (size_t i = 2; i + 1 < pages.size(); ++i)
        EXPECT_EQ(pages[i].first, 960 * (pages[i].second - 2)) << "page " << i;
    EXPECT_EQ(pages.back().first, 312 + 11000);
}

TEST(OggOpusFileTest, CutOrDamagedFilesAreRefusedOrReadInPartNeverPastTheirEnd) {
    const std::vector<uint8_t> file = WriteOggOpus(ThreePackets(), 2000, 7);
    std::string error;
    for (size_t length = 0; length < file.size(); ++length) {
        const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        const std::optional<OggOpusStream> read = ReadOggOpus(cut, error);
        if (read)
            EXPECT_LT(read->packets.size(), 3u) << length;
        else
            EXPECT_FALSE(error.empty()) << length;
    }
    EXPECT_FALSE(ReadOggOpus({}, error));
    EXPECT_EQ(error, "no Ogg stream in the file");
    const std::vector<uint8_t> noise(5000, 0xA5);
    EXPECT_FALSE(ReadOggOpus(noise, error));
}

TEST(OggOpusFileTest, HeadersThatAreNotMonoOrStereoOpusAreRefused) {
    // Each change of the identification header is refused (Ogg's checksum is recomputed by writing a
    // stream whose first packet is that header).
    struct Case {
        size_t at;
        uint8_t value;
        const char* said;
    };
    for (const Case& c :
         {Case{0, 'X', "not Opus"}, Case{8, 0x10, "version 16"}, Case{9, 3, "mono and stereo"},
          Case{9, 0, "mono and stereo"}, Case{18, 1, "mono and stereo"}}) {
        // The writer's header, damaged: found by its magic in the first page and patched with a fresh CRC.
        std::vector<uint8_t> file = WriteOggOpus(ThreePackets(), 2000, 7);
        const size_t head = 28;  // one segment: the 27-byte page header and one lacing value
        ASSERT_EQ(std::string(file.begin() + head, file.begin() + head + 8), "OpusHead");
        file[head + c.at] = c.value;
        // Ogg's CRC (polynomial 0x04C11DB7, no reflection) over the page with its CRC field zeroed.
        std::fill(file.begin() + 22, file.begin() + 26, 0);
        uint32_t crc = 0;
        for (size_t i = 0; i < head + 19; ++i) {
            crc ^= static_cast<uint32_t>(file[i]) << 24;
            for (int b = 0; b < 8; ++b)
                crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        for (int i = 0; i < 4; ++i)
            file[22 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
        std::string error;
        EXPECT_FALSE(ReadOggOpus(file, error)) << c.at;
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
    }
}

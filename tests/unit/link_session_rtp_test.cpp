// Numbered audio as RTP: the header we send, every valid packet a receiver takes and every truncation it
// refuses; and the arithmetic of sequence numbers, timestamps, NTP time, round trips and jitter.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "link/RtpPacket.h"
#include "link/RtpStatistics.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Marker set, payload type 113 (ilbc_11khz), sequence 0x1234, timestamp 0x89ABCDEF, SSRC 0xDEADBEEF, and a
// three-byte frame.
const Bytes kPacket = {0x80, 0xF1, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF,
                       0xDE, 0xAD, 0xBE, 0xEF, 0x11, 0x22, 0x33};
const Bytes kFrame = {0x11, 0x22, 0x33};

RtpHeader PacketHeader() {
    return RtpHeader{true, 113, 0x1234, 0x89ABCDEF, 0xDEADBEEF};
}

// Parsed in place: the payload points into `datagram`. The datagrams here are vectors made from a range,
// whose capacity is their size, so that the sanitizer builds see any read past the end.
std::optional<RtpPacket> Parse(const Bytes& datagram) {
    return RtpPacket::Parse(datagram);
}

Bytes PayloadOf(const std::optional<RtpPacket>& packet) {
    return Bytes(packet->payload.begin(), packet->payload.end());
}

// kPacket's header with the first byte changed, then `rest`.
Bytes WithFirstByte(uint8_t first, const Bytes& rest) {
    Bytes datagram(kPacket.begin(), kPacket.begin() + 12);
    datagram[0] = first;
    datagram.insert(datagram.end(), rest.begin(), rest.end());
    return Bytes(datagram.begin(), datagram.end());
}

TEST(RtpPacketTest, ComposesTheTwelveByteHeaderThenTheFrame) {
    Bytes out(15, 0xEE);
    EXPECT_EQ(RtpPacket::Compose(PacketHeader(), kFrame, out), 15);
    EXPECT_EQ(out, kPacket);
    RtpHeader plain = PacketHeader();
    plain.marker = false;
    plain.payloadType = 0;
    ASSERT_EQ(RtpPacket::Compose(plain, kFrame, out), 15);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 0x00);
}

TEST(RtpPacketTest, ParsesTheHeaderAndFindsTheFrame) {
    const std::optional<RtpPacket> packet = Parse(kPacket);
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->header, PacketHeader());
    EXPECT_EQ(PayloadOf(packet), kFrame);
    EXPECT_EQ(packet->payload.data(), kPacket.data() + 12);
}

TEST(RtpPacketTest, EveryTruncationOfTheHeaderIsRefusedAndAnEmptyPayloadTaken) {
    for (size_t length = 0; length < 12; ++length)
        EXPECT_EQ(Parse(Bytes(kPacket.begin(), kPacket.begin() + length)), std::nullopt) << length;
    const std::optional<RtpPacket> empty = Parse(Bytes(kPacket.begin(), kPacket.begin() + 12));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->payload.empty());
}

TEST(RtpPacketTest, OnlyVersionTwoIsTaken) {
    for (uint8_t first : {0x00, 0x40, 0xC0})
        EXPECT_EQ(Parse(WithFirstByte(first, kFrame)), std::nullopt) << int{first};
    EXPECT_TRUE(Parse(WithFirstByte(0x80, kFrame)).has_value());
}

TEST(RtpPacketTest, ContributingSourcesAreSkippedAndMustFit) {
    // Two CSRCs, then the frame.
    const Bytes csrcs = {0, 0, 0, 1, 0, 0, 0, 2};
    Bytes rest = csrcs;
    rest.insert(rest.end(), kFrame.begin(), kFrame.end());
    EXPECT_EQ(PayloadOf(Parse(WithFirstByte(0x82, rest))), kFrame);
    EXPECT_TRUE(Parse(WithFirstByte(0x82, csrcs))->payload.empty());
    EXPECT_EQ(Parse(WithFirstByte(0x82, Bytes(csrcs.begin(), csrcs.end() - 1))), std::nullopt);
    // Fifteen, the most the count holds, pointing past a short packet.
    EXPECT_EQ(Parse(WithFirstByte(0x8F, Bytes(59, 0))), std::nullopt);
    EXPECT_TRUE(Parse(WithFirstByte(0x8F, Bytes(60, 0))).has_value());
}

TEST(RtpPacketTest, HeaderExtensionIsSkippedByItsLengthAndMustFit) {
    // Profile 0xBEDE, one word of extension, then the frame.
    const Bytes extension = {0xBE, 0xDE, 0x00, 0x01, 0xAA, 0xBB, 0xCC, 0xDD};
    Bytes rest = extension;
    rest.insert(rest.end(), kFrame.begin(), kFrame.end());
    EXPECT_EQ(PayloadOf(Parse(WithFirstByte(0x90, rest))), kFrame);
    EXPECT_TRUE(Parse(WithFirstByte(0x90, extension))->payload.empty());
    for (size_t cut = 0; cut < extension.size(); ++cut)
        EXPECT_EQ(Parse(WithFirstByte(0x90, Bytes(extension.begin(), extension.begin() + cut))), std::nullopt)
            << cut;
    // A length of 0xFFFF words in a short packet.
    EXPECT_EQ(Parse(WithFirstByte(0x90, {0xBE, 0xDE, 0xFF, 0xFF, 1, 2, 3, 4})), std::nullopt);
}

TEST(RtpPacketTest, PaddingIsCountedByTheLastByteAndMustFitAfterTheHeader) {
    EXPECT_EQ(PayloadOf(Parse(WithFirstByte(0xA0, {0x11, 0x22, 0x33, 0x00, 0x00, 0x03}))), kFrame);
    EXPECT_EQ(PayloadOf(Parse(WithFirstByte(0xA0, {0x11, 0x22, 0x33, 0x01}))), kFrame);
    // All that follows the header is padding: an empty payload.
    EXPECT_TRUE(Parse(WithFirstByte(0xA0, {0x00, 0x00, 0x03}))->payload.empty());
    // One more than there is, a count of 0, and no byte at all to count with.
    EXPECT_EQ(Parse(WithFirstByte(0xA0, {0x00, 0x00, 0x04})), std::nullopt);
    EXPECT_EQ(Parse(WithFirstByte(0xA0, {0x11, 0x22, 0x00})), std::nullopt);
    EXPECT_EQ(Parse(WithFirstByte(0xA0, {})), std::nullopt);
    // Padding may not reach back into a CSRC list or an extension.
    EXPECT_EQ(Parse(WithFirstByte(0xA1, {0, 0, 0, 1, 0x02})), std::nullopt);
    EXPECT_EQ(Parse(WithFirstByte(0xB0, {0xBE, 0xDE, 0x00, 0x00, 0x02})), std::nullopt);
}

TEST(RtpPacketTest, CsrcExtensionAndPaddingTogether) {
    const Bytes rest = {0,    0,    0,    9,                 // one CSRC
                        0x10, 0x00, 0x00, 0x01, 1, 2, 3, 4,  // extension of one word
                        0x11, 0x22, 0x33,                    // the frame
                        0x00, 0x02};                         // two bytes of padding
    EXPECT_EQ(PayloadOf(Parse(WithFirstByte(0xB1, rest))), kFrame);
    for (size_t cut = 0; cut < 12; ++cut)
        EXPECT_EQ(Parse(WithFirstByte(0xB1, Bytes(rest.begin(), rest.begin() + cut))), std::nullopt) << cut;
}

TEST(RtpPacketTest, AtMostTenThousandBytesEitherWay) {
    Bytes frame(9988, 0x42);
    Bytes out(10001);
    EXPECT_EQ(RtpPacket::Compose(PacketHeader(), frame, out), 10000);
    EXPECT_EQ(Parse(Bytes(out.begin(), out.begin() + 10000))->payload.size(), 9988u);
    frame.push_back(0x42);
    EXPECT_EQ(RtpPacket::Compose(PacketHeader(), frame, out), 0);
    EXPECT_EQ(Parse(WithFirstByte(0x80, frame)), std::nullopt);
}

TEST(RtpPacketTest, ComposeRefusesASmallBufferOrAnEightBitPayloadType) {
    Bytes out(14);
    EXPECT_EQ(RtpPacket::Compose(PacketHeader(), kFrame, out), 0);
    out.resize(15);
    RtpHeader header = PacketHeader();
    header.payloadType = 128;
    EXPECT_EQ(RtpPacket::Compose(header, kFrame, out), 0);
    header.payloadType = 127;
    EXPECT_EQ(RtpPacket::Compose(header, kFrame, out), 15);
    EXPECT_EQ(out[1], 0xFF);
}

TEST(RtpPacketTest, ComposesAroundAFrameAlreadyInPlace) {
    Bytes out = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33};
    const std::span<const uint8_t> inPlace(out.data() + 12, 3);
    EXPECT_EQ(RtpPacket::Compose(PacketHeader(), inPlace, out), 15);
    EXPECT_EQ(out, kPacket);
}

TEST(RtpPacketTest, SsrcIsTheLowHalfOfTheSessionId) {
    EXPECT_EQ(SsrcOf(0x0102030405060708ULL), 0x05060708u);
}

using rtp_statistics::ExtendSequence;
using rtp_statistics::ExtendTimestamp;

TEST(RtpSequenceTest, FirstNumberCountsAsItselfAndTheWrapCountsOn) {
    EXPECT_EQ(ExtendSequence(65535, std::nullopt), 65535);
    EXPECT_EQ(ExtendSequence(0, 65535), 65536);
    EXPECT_EQ(ExtendSequence(1, 65536), 65537);
    // Late from before the wrap: back below 65536, not a whole cycle ahead.
    EXPECT_EQ(ExtendSequence(65534, 65536), 65534);
    EXPECT_EQ(ExtendSequence(65534, 65537), 65534);
    // Several cycles on.
    EXPECT_EQ(ExtendSequence(5, 3 * 65536 + 65530), 4 * 65536 + 5);
}

TEST(RtpSequenceTest, NearestWithinHalfTheRangeAndExactlyHalfBehind) {
    EXPECT_EQ(ExtendSequence(32767, 0), 32767);
    EXPECT_EQ(ExtendSequence(32768, 0), -32768);
    EXPECT_EQ(ExtendSequence(32769, 0), -32767);
    EXPECT_EQ(ExtendSequence(100 + 32767, 65536 + 100), 65536 + 100 + 32767);
    EXPECT_EQ(ExtendSequence(100 + 32768, 65536 + 100), 100 + 32768);
    // From before the first number: below 0, older than anything played.
    EXPECT_EQ(ExtendSequence(65535, 0), -1);
}

TEST(RtpSequenceTest, TimestampsExtendTheSameWayOverThirtyTwoBits) {
    EXPECT_EQ(ExtendTimestamp(0xFFFFFF00u, std::nullopt), 0xFFFFFF00LL);
    EXPECT_EQ(ExtendTimestamp(0x100, 0xFFFFFF00LL), 0x100000100LL);
    EXPECT_EQ(ExtendTimestamp(0xFFFFFFF0u, 0x100000100LL), 0xFFFFFFF0LL);
    EXPECT_EQ(ExtendTimestamp(0x7FFFFFFF, 0), 0x7FFFFFFFLL);
    EXPECT_EQ(ExtendTimestamp(0x80000000u, 0), -0x80000000LL);
}

TEST(RtpClockTest, NtpTimeCountsFrom1900WithABinaryFraction) {
    EXPECT_EQ(rtp_statistics::NtpFromUnixUs(0), 0x83AA7E8000000000ULL);
    EXPECT_EQ(rtp_statistics::NtpFromUnixUs(500000), 0x83AA7E8080000000ULL);
    EXPECT_EQ(rtp_statistics::NtpFromUnixUs(1704067200LL * 1000000), 0xE93C7F0000000000ULL);  // 2024
    // One microsecond before 1970: the second before, nearly whole.
    EXPECT_EQ(rtp_statistics::NtpFromUnixUs(-1), 0x83AA7E7FFFFFEF39ULL);
    EXPECT_EQ(rtp_statistics::NtpMiddle32FromUnixUs(0), 0x7E800000u);
    EXPECT_EQ(rtp_statistics::NtpMiddle32FromUnixUs(500000), 0x7E808000u);
}

TEST(RtpClockTest, DurationsInSixtyFifthThousandsOfASecond) {
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(0), 0u);
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(-5), 0u);
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(1000000), 65536u);
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(5250000), 0x54000u);
    // Rounded: 7 us is 0.46 of a unit, 8 us 0.52.
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(7), 0u);
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(8), 1u);
    // The longest the field holds, rounded up to it, and beyond: never wrapped round to 0.
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(65535999983LL), 0xFFFFFFFFu);
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(65535999993LL), 0xFFFFFFFFu);
    EXPECT_EQ(rtp_statistics::NtpShortFromUs(std::numeric_limits<int64_t>::max()), 0xFFFFFFFFu);
}

TEST(RtpRoundTripTest, ArrivalLessLastSrLessDelay) {
    // RFC 3550's own example: sent at 46853.125 s, held 5.250 s, back at 46864.500 s: 6.125 s.
    EXPECT_EQ(rtp_statistics::RoundTripUs(0xB7108000u, 0xB7052000u, 0x00054000u), 6125000);
    // One unit is 15.26 us.
    EXPECT_EQ(rtp_statistics::RoundTripUs(0x10001u, 0x10000u, 0), 15);
    // Across the wrap of the 16.16 clock: 2 s out, 0.5 s held.
    EXPECT_EQ(rtp_statistics::RoundTripUs(0x00010000u, 0xFFFF0000u, 0x8000u), 1500000);
}

TEST(RtpRoundTripTest, NoneWithoutASenderReportAndNeverNegative) {
    EXPECT_EQ(rtp_statistics::RoundTripUs(0xB7108000u, 0, 0x00054000u), std::nullopt);
    EXPECT_EQ(rtp_statistics::RoundTripUs(0x10000u, 0x10000u, 0), 0);
    // The peer says it held the report one unit longer than the round trip took.
    EXPECT_EQ(rtp_statistics::RoundTripUs(0x10010u, 0x10000u, 0x11u), 0);
    EXPECT_EQ(rtp_statistics::RoundTripUs(0x10010u, 0x10000u, 0x0Fu), 15);
}

TEST(RtpJitterTest, EachStepMovesASixteenthOfTheWayToTheTransitDifference) {
    using rtp_statistics::UpdateJitterQ4;
    // Kept in sixteenths: the first difference of 160 samples is a jitter of 10 samples.
    EXPECT_EQ(UpdateJitterQ4(0, 160), 160u);
    EXPECT_EQ(UpdateJitterQ4(0, -160), 160u);
    EXPECT_EQ(UpdateJitterQ4(160, 160), 310u);
    // (J + 8) >> 4 rounds: a still stream lets 8 sixteenths fall by one, 7 by none.
    EXPECT_EQ(UpdateJitterQ4(7, 0), 7u);
    EXPECT_EQ(UpdateJitterQ4(8, 0), 7u);
    EXPECT_EQ(UpdateJitterQ4(24, 0), 22u);
    // A steady difference of 100 settles at 16 times it, less at most one rounding.
    uint32_t jitter = 0;
    for (int i = 0; i < 1000; ++i)
        jitter = UpdateJitterQ4(jitter, 100);
    EXPECT_EQ(jitter, 1592u);
}

TEST(RtpJitterTest, HugeDifferencesSaturateInsteadOfWrapping) {
    using rtp_statistics::UpdateJitterQ4;
    EXPECT_EQ(UpdateJitterQ4(0, std::numeric_limits<int64_t>::min()), 0xFFFFFFFFu);
    EXPECT_EQ(UpdateJitterQ4(0xFFFFFFFFu, std::numeric_limits<int64_t>::max()), 0xFFFFFFFFu);
    EXPECT_EQ(UpdateJitterQ4(0, 0xFFFFFFFFLL), 0xFFFFFFFFu);
}

}  // namespace

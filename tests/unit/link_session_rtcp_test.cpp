// The quality report as an RTCP compound: its bytes, what a receiver takes from it and what it refuses;
// and the SDP text a receiving tool reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/RtcpReport.h"
#include "link/SdpDescription.h"

namespace {

using Bytes = std::vector<uint8_t>;

// SR with one report block, SDES, APP: 52 + 36 + 32 bytes.
const Bytes kCompound = {
    // SR: one block, 13 words
    0x81, 0xC8, 0x00, 0x0C, 0x11, 0x22, 0x33, 0x44,  //
    0x83, 0xAA, 0x7E, 0x80, 0x80, 0x00, 0x00, 0x00,  // NTP: 1970 and half a second
    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32,  // RTP timestamp, 50 packets
    0x00, 0x00, 0x09, 0xC4,                          // 2500 octets
    0x55, 0x66, 0x77, 0x88, 0x40, 0xFF, 0xFF, 0xFE,  // about 0x55667788: a quarter lost, -2 in all
    0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x20,  // highest 0x1FFFF, jitter 32
    0x7E, 0x80, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00,  // LSR, DLSR one second
    // SDES: one chunk, 9 words
    0x81, 0xCA, 0x00, 0x08, 0x11, 0x22, 0x33, 0x44, 0x01, 0x18,  //
    'q', 'p', 'a', 'r', 'l', 'i', 'n', '-', 'a', '1', 'b', '2',  //
    'c', '3', 'd', '4', '1', '1', '2', '2', '3', '3', '4', '4',  //
    0x00, 0x00,                                                  // end of items, padding
    // APP: subtype 0, 8 words
    0x80, 0xCC, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44, 'Q', 'P', 'L', 'N',      //
    0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x03,  // 1000, 20, 3 frames
    0x00, 0x00, 0xEA, 0x60, 0x00, 0x00, 0x11, 0x94,                          // 60 ms, 4.5 ms
};
constexpr uint32_t kOurs = 0x55667788;

RtcpReport CompoundFields() {
    RtcpReport report;
    report.ssrc = 0x11223344;
    report.sessionId = 0xA1B2C3D411223344ULL;
    report.sender = RtcpSenderInfo{0x83AA7E8080000000ULL, 0x00010000, 50, 2500};
    report.block = RtcpReportBlock{kOurs, 0x40, -2, 0x0001FFFF, 32, 0x7E808000, 0x00010000};
    report.quality = RtcpQuality{1000, 20, 3, 60000, 4500};
    return report;
}

// Parsed from a copy of exactly the datagram's size, so that the sanitizer builds see any read past its end.
std::optional<RtcpReport> Parse(const Bytes& datagram, uint32_t about = kOurs) {
    const Bytes exact(datagram.begin(), datagram.end());
    return RtcpReport::Parse(exact, about);
}

Bytes Compose(const RtcpReport& report) {
    Bytes out(RtcpReport::kMaxBytes, 0xEE);
    out.resize(static_cast<size_t>(report.Compose(out)));
    return out;
}

// The compound's packets: SR at 0, SDES at 52, APP at 88.
Bytes Part(size_t from, size_t to) {
    return Bytes(kCompound.begin() + static_cast<long>(from), kCompound.begin() + static_cast<long>(to));
}

Bytes Join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(RtcpReportTest, SenderReportSdesAndAppAreTheBytesOfTheTables) {
    EXPECT_EQ(Compose(CompoundFields()), kCompound);
    EXPECT_EQ(Parse(kCompound), CompoundFields());
}

TEST(RtcpReportTest, ReceiverReportWithoutBlockOrFiguresIsRrThenSdes) {
    RtcpReport report;
    report.ssrc = 0x11223344;
    report.sessionId = 0xA1B2C3D411223344ULL;
    const Bytes expected = Join({{0x80, 0xC9, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44}, Part(52, 88)});
    EXPECT_EQ(Compose(report), expected);
    EXPECT_EQ(Parse(expected), report);
    // With a block: RC 1 and six more words.
    report.block = CompoundFields().block;
    const Bytes withBlock = Compose(report);
    ASSERT_EQ(withBlock.size(), 68u);
    EXPECT_EQ(Bytes(withBlock.begin(), withBlock.begin() + 4), (Bytes{0x81, 0xC9, 0x00, 0x07}));
    EXPECT_EQ(Bytes(withBlock.begin() + 8, withBlock.begin() + 32), Part(28, 52));
}

TEST(RtcpReportTest, EveryTruncationIsRefusedButAtPacketBoundaries) {
    for (size_t length = 0; length < kCompound.size(); ++length) {
        const std::optional<RtcpReport> report = Parse(Part(0, length));
        if (length == 52 || length == 88)
            EXPECT_TRUE(report.has_value()) << length;
        else
            EXPECT_EQ(report, std::nullopt) << length;
    }
    // At the boundaries, the shorter compound is all there is: no CNAME, then no figures.
    RtcpReport srOnly = CompoundFields();
    srOnly.sessionId = 0;
    srOnly.quality.reset();
    EXPECT_EQ(Parse(Part(0, 52)), srOnly);
    RtcpReport noApp = CompoundFields();
    noApp.quality.reset();
    EXPECT_EQ(Parse(Part(0, 88)), noApp);
}

TEST(RtcpReportTest, KeepsOnlyTheBlockAboutTheGivenSsrc) {
    RtcpReport report = CompoundFields();
    report.block.reset();
    EXPECT_EQ(Parse(kCompound, 0x55667789), report);
    // Two blocks, ours second.
    Bytes two = Part(0, 52);
    two[0] = 0x82;
    two[3] = 0x12;
    two.insert(two.begin() + 28,
               {0x99, 0x99, 0x99, 0x99, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5});
    EXPECT_EQ(Parse(two)->block, CompoundFields().block);
    EXPECT_EQ(Parse(two, 0x99999999)->block, (RtcpReportBlock{0x99999999, 0, 1, 2, 3, 4, 5}));
    // Two about us: the first counts.
    const Bytes ours = {0x55, 0x66, 0x77, 0x88};
    std::copy(ours.begin(), ours.end(), two.begin() + 28);
    EXPECT_EQ(Parse(two)->block, (RtcpReportBlock{kOurs, 0, 1, 2, 3, 4, 5}));
}

TEST(RtcpReportTest, FurtherReceiverReportsOfTheSameSenderCountOthersNot) {
    // An RR without blocks first, then one from the same sender with ours, one from another sender.
    const Bytes emptyRr = {0x80, 0xC9, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    Bytes sameSender = {0x81, 0xC9, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44};
    const Bytes block = Part(28, 52);
    sameSender.insert(sameSender.end(), block.begin(), block.end());
    Bytes otherSender = sameSender;
    otherSender[7] = 0x45;
    EXPECT_EQ(Parse(Join({emptyRr, otherSender}))->block, std::nullopt);
    EXPECT_EQ(Parse(Join({emptyRr, sameSender}))->block, CompoundFields().block);
}

TEST(RtcpReportTest, FirstPacketMustBeSrOrRr) {
    EXPECT_EQ(Parse(Join({Part(52, 88), Part(0, 52)})), std::nullopt);
    EXPECT_EQ(Parse(Join({Part(88, 120), Part(0, 52)})), std::nullopt);
    Bytes bye = {0x81, 0xCB, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(Parse(Join({bye, Part(0, 52)})), std::nullopt);
}

TEST(RtcpReportTest, EveryPacketMustBeVersionTwo) {
    for (size_t at : {size_t{0}, size_t{52}, size_t{88}}) {
        for (uint8_t version : {0x00, 0x40, 0xC0}) {
            Bytes changed = kCompound;
            changed[at] = static_cast<uint8_t>((changed[at] & 0x3F) | version);
            EXPECT_EQ(Parse(changed), std::nullopt) << at << " " << int{version};
        }
    }
}

TEST(RtcpReportTest, LengthsMustAddUpExactly) {
    for (size_t at : {size_t{0}, size_t{52}, size_t{88}}) {
        Bytes longer = kCompound;
        ++longer[at + 3];
        EXPECT_EQ(Parse(longer), std::nullopt) << at;
        Bytes shorter = kCompound;
        --shorter[at + 3];
        EXPECT_EQ(Parse(shorter), std::nullopt) << at;
    }
    // Bytes left over that are not a whole packet.
    EXPECT_EQ(Parse(Join({kCompound, {0x80, 0xCC, 0x00}})), std::nullopt);
    EXPECT_EQ(Parse(Join({kCompound, {0x80, 0xCC, 0x00, 0x01}})), std::nullopt);
    // Ten thousand bytes in all are taken, four more not.
    Bytes big = kCompound;
    const size_t rest = 10000 - big.size();
    const Bytes unknown = {0x80, 0xCD, static_cast<uint8_t>((rest / 4 - 1) >> 8),
                           static_cast<uint8_t>(rest / 4 - 1)};
    big.insert(big.end(), unknown.begin(), unknown.end());
    big.resize(10000, 0);
    EXPECT_EQ(Parse(big), CompoundFields());
    big[kCompound.size() + 3] += 1;
    big.resize(10004, 0);
    EXPECT_EQ(Parse(big), std::nullopt);
}

TEST(RtcpReportTest, ReportCountMustFitInThePacket) {
    // An SR saying two blocks with room for one, and an RR saying one with room for none.
    Bytes sr = Part(0, 52);
    sr[0] = 0x82;
    EXPECT_EQ(Parse(sr), std::nullopt);
    EXPECT_EQ(Parse({0x81, 0xC9, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44}), std::nullopt);
    // An SR too short for its sender information.
    EXPECT_EQ(Parse({0x80, 0xC8, 0x00, 0x05, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0,
                     0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0}),
              std::nullopt);
    // Words after the blocks belong to a profile extension: skipped.
    Bytes extended = Part(0, 52);
    extended[3] = 0x0D;
    extended.insert(extended.end(), {1, 2, 3, 4});
    EXPECT_EQ(Parse(Join({extended, Part(52, 120)})), CompoundFields());
}

TEST(RtcpReportTest, UnknownPacketTypesAreSkippedByTheirLength) {
    const Bytes bye = {0x81, 0xCB, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    const Bytes feedback = {0x81, 0xCD, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(Parse(Join({Part(0, 52), bye, Part(52, 88), feedback, Part(88, 120)})), CompoundFields());
}

TEST(RtcpReportTest, PaddingOnlyOnTheLastPacketAndCountedExactly) {
    // A BYE of three words: header, SSRC, and a last word of padding whose last byte counts it.
    const auto paddedBye = [](uint8_t count) {
        return Bytes{0xA1, 0xCB, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, count};
    };
    EXPECT_EQ(Parse(Join({kCompound, paddedBye(4)})), CompoundFields());
    // All of the body, then one more than that.
    EXPECT_EQ(Parse(Join({kCompound, paddedBye(8)})), CompoundFields());
    EXPECT_EQ(Parse(Join({kCompound, paddedBye(9)})), std::nullopt);
    EXPECT_EQ(Parse(Join({kCompound, paddedBye(0)})), std::nullopt);
    // Padding on any packet but the last.
    EXPECT_EQ(Parse(Join({Part(0, 88), paddedBye(4), Part(88, 120)})), std::nullopt);
    // The padding of our own APP packet is not taken for figures.
    Bytes app = Part(88, 120);
    app[0] = 0xA0;
    app[3] = 0x08;
    app.insert(app.end(), {0, 0, 0, 4});
    EXPECT_EQ(Parse(Join({Part(0, 88), app})), CompoundFields());
    app.back() = 8;
    EXPECT_EQ(Parse(Join({Part(0, 88), app})), std::nullopt);
}

TEST(RtcpReportTest, SdesChunksMustFitAndOnlyOurCnameNamesTheSession) {
    // The CNAME's length reaching past the packet, and no null item before the end.
    Bytes longItem = kCompound;
    longItem[61] = 27;
    EXPECT_EQ(Parse(longItem), std::nullopt);
    Bytes noEnd = kCompound;
    noEnd[86] = 0x01;
    noEnd[87] = 0x00;
    EXPECT_EQ(Parse(noEnd), std::nullopt);
    // An item's type as the compound's last byte, with no length after it (read past the end, the sanitizer
    // builds would see it).
    const Bytes lastType = {0x81, 0xCA, 0x00, 0x02, 0x99, 0x99, 0x99, 0x99, 0x07, 0x01, 'x', 0x05};
    EXPECT_EQ(Parse(Join({Part(0, 52), lastType})), std::nullopt);
    // Two chunks counted, one present.
    Bytes twoChunks = kCompound;
    twoChunks[52] = 0x82;
    EXPECT_EQ(Parse(twoChunks), std::nullopt);
    // Capital hex digits are read; a text that is not ours, or a chunk about another source, names nothing.
    Bytes capitals = kCompound;
    capitals[70] = 'A';
    EXPECT_EQ(Parse(capitals)->sessionId, 0xA1B2C3D411223344ULL);
    Bytes notOurs = kCompound;
    notOurs[62] = 'Q';
    EXPECT_EQ(Parse(notOurs)->sessionId, 0u);
    Bytes notHex = kCompound;
    notHex[85] = 'g';
    EXPECT_EQ(Parse(notHex)->sessionId, 0u);
    Bytes otherSource = kCompound;
    otherSource[59] = 0x45;
    EXPECT_EQ(Parse(otherSource)->sessionId, 0u);
}

TEST(RtcpReportTest, ChunksStartOnTheWordAfterTheirNullItem) {
    // A chunk about another source whose one item ends on a word boundary: its null item and three more
    // nulls make a whole word, and our chunk starts after it.
    const Bytes sdes = {0x82, 0xCA, 0x00, 0x0B, 0x99, 0x99, 0x99, 0x99, 0x07, 0x02, 'h', 'i', 0, 0, 0, 0};
    Bytes ours = Part(56, 88);
    const Bytes withOthers = Join({Part(0, 52), sdes, ours, Part(88, 120)});
    EXPECT_EQ(Parse(withOthers), CompoundFields());
}

TEST(RtcpReportTest, PaddingMayNotReachIntoAChunkOrABlock) {
    // The SDES packet padded by one byte: its chunk loses the null that ended it.
    Bytes sdes = Part(52, 88);
    sdes[0] |= 0x20;
    sdes.back() = 1;
    EXPECT_EQ(Parse(Join({Part(0, 52), sdes})), std::nullopt);
    // An RR with one block, padded by five bytes: the block's last byte is padding.
    Bytes rr = {0xA1, 0xC9, 0x00, 0x08, 0x11, 0x22, 0x33, 0x44};
    const Bytes block = Part(28, 52);
    rr.insert(rr.end(), block.begin(), block.end());
    rr.insert(rr.end(), {0, 0, 0, 5});
    EXPECT_EQ(Parse(rr), std::nullopt);
    rr.back() = 4;
    EXPECT_EQ(Parse(rr)->block, CompoundFields().block);
}

TEST(RtcpReportTest, FiguresOnlyFromOurAppOfTheSenderWithAllTwentyBytes) {
    Bytes otherName = kCompound;
    otherName[99] = 'X';
    EXPECT_EQ(Parse(otherName)->quality, std::nullopt);
    Bytes otherSubtype = kCompound;
    otherSubtype[88] = 0x81;
    EXPECT_EQ(Parse(otherSubtype)->quality, std::nullopt);
    Bytes otherSource = kCompound;
    otherSource[95] = 0x45;
    EXPECT_EQ(Parse(otherSource)->quality, std::nullopt);
    // Sixteen bytes of figures: refused. Twenty-four: the first twenty read.
    Bytes shortApp = Part(88, 116);
    shortApp[3] = 0x06;
    EXPECT_EQ(Parse(Join({Part(0, 88), shortApp})), std::nullopt);
    Bytes longApp = Part(88, 120);
    longApp[3] = 0x08;
    longApp.insert(longApp.end(), {9, 9, 9, 9});
    EXPECT_EQ(Parse(Join({Part(0, 88), longApp})), CompoundFields());
    // An APP too short for its own name.
    EXPECT_EQ(Parse(Join({Part(0, 88), {0x80, 0xCC, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44}})), std::nullopt);
}

TEST(RtcpReportTest, CumulativeLossIsSignedAndClampedToTwentyFourBits) {
    RtcpReport report = CompoundFields();
    report.block->cumulativeLost = 0x800000;
    Bytes out = Compose(report);
    EXPECT_EQ(Bytes(out.begin() + 33, out.begin() + 36), (Bytes{0x7F, 0xFF, 0xFF}));
    EXPECT_EQ(Parse(out)->block->cumulativeLost, 8388607);
    report.block->cumulativeLost = -0x900000;
    out = Compose(report);
    EXPECT_EQ(Bytes(out.begin() + 33, out.begin() + 36), (Bytes{0x80, 0x00, 0x00}));
    EXPECT_EQ(Parse(out)->block->cumulativeLost, -8388608);
    report.block->cumulativeLost = 0x7FFFFF;
    EXPECT_EQ(Parse(Compose(report))->block->cumulativeLost, 8388607);
}

TEST(RtcpReportTest, EveryCombinationRoundTripsAndComposeNeedsRoomForAll) {
    for (int mask = 0; mask < 8; ++mask) {
        RtcpReport report = CompoundFields();
        if ((mask & 1) == 0)
            report.sender.reset();
        if ((mask & 2) == 0)
            report.block.reset();
        if ((mask & 4) == 0)
            report.quality.reset();
        Bytes out(RtcpReport::kMaxBytes);
        const int length = report.Compose(out);
        ASSERT_GT(length, 0) << mask;
        out.resize(static_cast<size_t>(length));
        EXPECT_EQ(Parse(out), report) << mask;
        Bytes tooSmall(static_cast<size_t>(length - 1));
        EXPECT_EQ(report.Compose(tooSmall), 0) << mask;
    }
}

SdpDescription Description(const std::string& address, int port, int format) {
    return SdpDescription{address, port, format, 42};
}

TEST(SdpDescriptionTest, G711At8000IsStaticPcmu) {
    EXPECT_EQ(Description("127.0.0.1", 40000, 0x85).Text(),
              "v=0\r\n"
              "o=- 42 1 IN IP4 127.0.0.1\r\n"
              "s=Q-Parlin call\r\n"
              "c=IN IP4 127.0.0.1\r\n"
              "t=0 0\r\n"
              "m=audio 40000 RTP/AVP 0\r\n"
              "a=rtpmap:0 PCMU/8000\r\n"
              "a=ptime:100\r\n"
              "a=recvonly\r\n");
}

TEST(SdpDescriptionTest, GsmAt8000AndIlbcAt11025OverIpv6) {
    const std::string gsm = Description("127.0.0.1", 5007, 0x82).Text();
    EXPECT_NE(gsm.find("m=audio 5007 RTP/AVP 3\r\na=rtpmap:3 GSM/8000\r\na=ptime:20\r\n"), std::string::npos);
    EXPECT_EQ(Description("::1", 5007, 0xA4).Text(),
              "v=0\r\n"
              "o=- 42 1 IN IP6 ::1\r\n"
              "s=Q-Parlin call\r\n"
              "c=IN IP6 ::1\r\n"
              "t=0 0\r\n"
              "m=audio 5007 RTP/AVP 113\r\n"
              "a=rtpmap:113 iLBC/11025\r\n"
              "a=fmtp:113 mode=30\r\n"
              "a=ptime:22\r\n"
              "a=recvonly\r\n");
}

TEST(SdpDescriptionTest, FrameTimeIsRoundedToWholeMilliseconds) {
    // 240 samples at 22050 Hz are 10.88 ms; 160 at 22050 Hz 7.26 ms; 160 at 11025 Hz 14.51 ms.
    EXPECT_NE(Description("::1", 1, 0xC4).Text().find("a=ptime:11\r\n"), std::string::npos);
    EXPECT_NE(Description("::1", 1, 0xC2).Text().find("a=rtpmap:106 GSM/22050\r\na=ptime:7\r\n"),
              std::string::npos);
    EXPECT_NE(Description("::1", 1, 0xA3)
                  .Text()
                  .find("a=rtpmap:109 iLBC/11025\r\na=fmtp:109 mode=20\r\n"
                        "a=ptime:15\r\n"),
              std::string::npos);
}

TEST(SdpDescriptionTest, RefusesPortsOutOfRangeAddressesWithOtherCharactersAndFormatsWithoutType) {
    EXPECT_EQ(Description("127.0.0.1", 0, 0x85).Text(), "");
    EXPECT_EQ(Description("127.0.0.1", 65536, 0x85).Text(), "");
    EXPECT_NE(Description("127.0.0.1", 65535, 0x85).Text(), "");
    EXPECT_NE(Description("127.0.0.1", 1, 0x85).Text(), "");
    EXPECT_EQ(Description("", 5007, 0x85).Text(), "");
    EXPECT_EQ(Description("127.0.0.1\r\na=sendrecv", 5007, 0x85).Text(), "");
    EXPECT_EQ(Description("127.0.0.1 ", 5007, 0x85).Text(), "");
    EXPECT_EQ(Description("example.org", 5007, 0x85).Text(), "");
    EXPECT_EQ(Description(std::string(46, '1'), 5007, 0x85).Text(), "");
    EXPECT_NE(Description("0000:0000:0000:0000:0000:ffff:192.168.100.200", 5007, 0x85).Text(), "");
    EXPECT_EQ(Description("127.0.0.1", 5007, 0x05).Text(), "");
    EXPECT_EQ(Description("127.0.0.1", 5007, 0x88).Text(), "");
}

}  // namespace

TEST(SdpDescriptionTest, OpusIsDescribedAtRfc7587sFixedClockWithItsCodingRateInFmtp) {
    EXPECT_EQ(Description("127.0.0.1", 40000, 0xA7).Text(),
              "v=0\r\n"
              "o=- 42 1 IN IP4 127.0.0.1\r\n"
              "s=Q-Parlin call\r\n"
              "c=IN IP4 127.0.0.1\r\n"
              "t=0 0\r\n"
              "m=audio 40000 RTP/AVP 125\r\n"
              "a=rtpmap:125 opus/48000/2\r\n"
              "a=fmtp:125 maxplaybackrate=16000;sprop-maxcapturerate=16000;useinbandfec=1;usedtx=1\r\n"
              "a=ptime:20\r\n"
              "a=recvonly\r\n");
    EXPECT_NE(Description("127.0.0.1", 40000, 0x87).Text().find("m=audio 40000 RTP/AVP 124\r\n"),
              std::string::npos);
    // 8-bit Opus never travels in a session.
    EXPECT_EQ(Description("127.0.0.1", 40000, 0x07).Text(), "");
}

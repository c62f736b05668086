// The session's first-byte demultiplexer, the payload types of the formats, and the control datagram.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "link/SessionControl.h"
#include "link/SessionWire.h"

namespace {

using session_wire::DatagramKind;

DatagramKind Kind(const std::vector<uint8_t>& datagram) {
    return session_wire::Classify(datagram);
}

TEST(SessionDemuxTest, FirstByteTellsPlainSealedAndControlApart) {
    EXPECT_EQ(Kind({}), DatagramKind::kEmpty);
    EXPECT_EQ(Kind({0x00}), DatagramKind::kPlainAudio);
    EXPECT_EQ(Kind({0x00, 0xC8, 1, 2}), DatagramKind::kPlainAudio);
    EXPECT_EQ(Kind({0x01}), DatagramKind::kMarker);
    EXPECT_EQ(Kind({0x02, 0x80}), DatagramKind::kSealed);
    // 3 ends a private call only inside a seal; outside one it is nothing of ours.
    EXPECT_EQ(Kind({0x03}), DatagramKind::kOther);
    EXPECT_EQ(Kind({0x04}), DatagramKind::kControl);
    EXPECT_EQ(Kind({0x05, 0, 0}), DatagramKind::kOther);
    EXPECT_EQ(Kind({0x7F, 0x00}), DatagramKind::kOther);
    EXPECT_EQ(Kind({0xC0, 0x00}), DatagramKind::kOther);
    EXPECT_EQ(Kind({0xFF, 0xC8}), DatagramKind::kOther);
}

TEST(SessionDemuxTest, VersionTwoIsRtcpForSecondBytes192To223AndRtpOtherwise) {
    EXPECT_EQ(Kind({0x80}), DatagramKind::kOther);  // too short to tell
    EXPECT_EQ(Kind({0x80, 0}), DatagramKind::kRtp);
    EXPECT_EQ(Kind({0x80, 191}), DatagramKind::kRtp);
    EXPECT_EQ(Kind({0x80, 192}), DatagramKind::kRtcp);
    EXPECT_EQ(Kind({0x81, 200}), DatagramKind::kRtcp);
    EXPECT_EQ(Kind({0xBF, 223}), DatagramKind::kRtcp);
    EXPECT_EQ(Kind({0x80, 224}), DatagramKind::kRtp);
    EXPECT_EQ(Kind({0xBF, 0xFF}), DatagramKind::kRtp);
}

TEST(SessionPayloadTypeTest, StaticForPcmuAndGsmAt8000ElseNinetySixPlusFourTimesTypePlusRateIndex) {
    const std::vector<std::pair<int, int>> table = {
        {0x85, 0},   {0x82, 3},                 // static: PCMU, GSM
        {0x80, 96},  {0xA0, 97},  {0xE0, 99},   // raw PCM
        {0x84, 112}, {0xA4, 113}, {0xC4, 114},  // iLBC 30 ms, the default among them
        {0x83, 108}, {0xA2, 105}, {0xC2, 106},  // iLBC 20 ms, GSM
        {0xA5, 117}, {0xC5, 118}, {0xE6, 123},  // G.711, LPC-10 at 44100 Hz: the highest
    };
    for (const auto& [code, pt] : table) {
        EXPECT_EQ(session_wire::PayloadTypeOf(code), pt) << code;
        EXPECT_EQ(session_wire::FormatCodeOfPayloadType(pt), code) << pt;
    }
}

TEST(SessionPayloadTypeTest, NoTypeForEightBitFormatsCodecsWithoutCoderOrOutOfRangeCodes) {
    for (int code : {0x05, 0x24, 0x02, 0x00, 0x07, 0x88, 0x9F, -1, 256})
        EXPECT_EQ(session_wire::PayloadTypeOf(code), std::nullopt) << code;
}

TEST(SessionPayloadTypeTest, TypesNeverSentMapToNoFormat) {
    // 104 and 116 would be GSM and G.711 at 8000 Hz, which go by their static types.
    for (int pt : {1, 2, 4, 8, 64, 95, 104, 116, 128, -1})
        EXPECT_EQ(session_wire::FormatCodeOfPayloadType(pt), std::nullopt) << pt;
}

TEST(SessionPayloadTypeTest, EverySixteenBitFormatRoundTripsAndStaysOutOfTheRtcpRange) {
    int formats = 0;
    for (int code = 0x80; code <= 0xFF; ++code) {
        const std::optional<uint8_t> pt = session_wire::PayloadTypeOf(code);
        if ((code & 0x1F) > 7) {
            EXPECT_EQ(pt, std::nullopt) << code;
            continue;
        }
        ++formats;
        ASSERT_TRUE(pt.has_value()) << code;
        EXPECT_TRUE(*pt == 0 || *pt == 3 || (*pt >= 96 && *pt <= 127)) << code;
        EXPECT_EQ(session_wire::FormatCodeOfPayloadType(*pt), code);
        // With or without the marker bit, a packet of this type is never taken for RTCP.
        EXPECT_EQ(Kind({0x80, *pt}), DatagramKind::kRtp);
        EXPECT_EQ(Kind({0x80, static_cast<uint8_t>(0x80 | *pt)}), DatagramKind::kRtp);
    }
    EXPECT_EQ(formats, 32);
}

// A hello from session 0x0102030405060708, which has not seen its peer yet, with ilbc_11khz chosen for
// the call and both capabilities.
const std::vector<uint8_t> kHello = {
    0x04, 0x01, 0x01, 0x01,                          // type, version, kind, flags
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // sender's id
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // peer's id
    0xA4, 0x03, 0x00, 0x00,                          // format, capabilities, reserved
};

SessionControl HelloFields() {
    SessionControl hello;
    hello.kind = SessionControl::Kind::kHello;
    hello.formatChosen = true;
    hello.senderId = 0x0102030405060708ULL;
    hello.formatCode = 0xA4;
    hello.capabilities = 0x03;
    return hello;
}

// Parsed from a copy of exactly the datagram's size, so that the sanitizer builds see any read past its end.
std::optional<SessionControl> ParseControl(const std::vector<uint8_t>& datagram) {
    const std::vector<uint8_t> exact(datagram.begin(), datagram.end());
    return SessionControl::Parse(exact);
}

TEST(SessionControlTest, HelloIsTheTwentyFourBytesOfTheTable) {
    std::vector<uint8_t> out(24, 0xEE);
    EXPECT_EQ(HelloFields().Compose(out), 24);
    EXPECT_EQ(out, kHello);
    EXPECT_EQ(ParseControl(kHello), HelloFields());
}

TEST(SessionControlTest, GoodbyeCarriesThePeersIdBigEndianAndWritesNoMoreThan24Bytes) {
    SessionControl goodbye = HelloFields();
    goodbye.kind = SessionControl::Kind::kGoodbye;
    goodbye.formatChosen = false;
    goodbye.peerId = 0xF0E0D0C0B0A09080ULL;
    std::vector<uint8_t> out(25, 0xEE);
    ASSERT_EQ(goodbye.Compose(out), 24);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4),
              (std::vector<uint8_t>{0x04, 0x01, 0x03, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.begin() + 20),
              (std::vector<uint8_t>{0xF0, 0xE0, 0xD0, 0xC0, 0xB0, 0xA0, 0x90, 0x80}));
    EXPECT_EQ(out[24], 0xEE);
    std::vector<uint8_t> keepAlive = kHello;
    keepAlive[2] = 0x02;
    EXPECT_EQ(ParseControl(keepAlive)->kind, SessionControl::Kind::kKeepAlive);
}

TEST(SessionControlTest, EveryTruncationIsRefused) {
    for (size_t length = 0; length < kHello.size(); ++length)
        EXPECT_EQ(ParseControl(std::vector<uint8_t>(kHello.begin(), kHello.begin() + length)), std::nullopt)
            << length;
}

TEST(SessionControlTest, BytesBeyondTwentyFourAreIgnoredUpToTenThousand) {
    std::vector<uint8_t> longer = kHello;
    longer.resize(10000, 0x5A);
    EXPECT_EQ(ParseControl(longer), HelloFields());
    longer.push_back(0x5A);
    EXPECT_EQ(ParseControl(longer), std::nullopt);
}

TEST(SessionControlTest, TypeFourKindsOneToThreeAndVersionsFromOneAreTaken) {
    std::vector<uint8_t> datagram = kHello;
    for (int kind : {0, 4, 0xFF}) {
        datagram[2] = static_cast<uint8_t>(kind);
        EXPECT_EQ(ParseControl(datagram), std::nullopt) << kind;
    }
    datagram = kHello;
    datagram[0] = 0x05;
    EXPECT_EQ(ParseControl(datagram), std::nullopt);
    datagram = kHello;
    datagram[1] = 0;
    EXPECT_EQ(ParseControl(datagram), std::nullopt);
    // A later version is read for the fields this one knows, and says which version it was.
    datagram[1] = 2;
    ASSERT_TRUE(ParseControl(datagram).has_value());
    EXPECT_EQ(ParseControl(datagram)->version, 2);
    EXPECT_EQ(ParseControl(datagram)->senderId, 0x0102030405060708ULL);
    datagram[1] = 0xFF;
    EXPECT_EQ(ParseControl(datagram)->version, 0xFF);
}

TEST(SessionControlTest, SenderIdZeroIsRefusedAndOneTaken) {
    std::vector<uint8_t> datagram = kHello;
    for (size_t i = 4; i < 12; ++i)
        datagram[i] = 0;
    EXPECT_EQ(ParseControl(datagram), std::nullopt);
    datagram[11] = 0x01;
    EXPECT_EQ(ParseControl(datagram)->senderId, 1u);
}

TEST(SessionControlTest, UnknownFlagCapabilityAndReservedBitsAreIgnored) {
    std::vector<uint8_t> datagram = kHello;
    datagram[3] = 0xFE;   // every flag but the format's
    datagram[21] = 0xFC;  // no known capability
    datagram[22] = 0xFF;
    datagram[23] = 0xFF;
    const std::optional<SessionControl> control = ParseControl(datagram);
    ASSERT_TRUE(control.has_value());
    EXPECT_FALSE(control->formatChosen);
    EXPECT_EQ(control->capabilities, 0);
    EXPECT_EQ(control->formatCode, 0xA4);
}

TEST(SessionControlTest, ComposeRefusesWhatAReceiverWouldRefuseOrWhatDoesNotFit) {
    std::vector<uint8_t> out(24);
    std::vector<uint8_t> shortOut(23);
    EXPECT_EQ(HelloFields().Compose(shortOut), 0);
    SessionControl control = HelloFields();
    control.senderId = 0;
    EXPECT_EQ(control.Compose(out), 0);
    control = HelloFields();
    control.version = 0;
    EXPECT_EQ(control.Compose(out), 0);
    control = HelloFields();
    control.kind = static_cast<SessionControl::Kind>(4);
    EXPECT_EQ(control.Compose(out), 0);
    // Capability bits this version does not know are not sent (bit 3, an earlier key offer), nor the
    // revealed key without its commitment (bit 5; bit 4, the commitment, needs 56 bytes).
    control = HelloFields();
    control.capabilities = 0xEF;
    ASSERT_EQ(control.Compose(out), 24);
    EXPECT_EQ(out[21], 0x07);
}

}  // namespace

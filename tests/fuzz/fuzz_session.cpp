// The session's datagrams: the demultiplexer and every parser on any bytes, then the same bytes read as
// the fields of a control datagram, an RTP packet and an RTCP report, each of which must come back
// unchanged through compose and parse; and the sequence, round-trip and SDP helpers on the same numbers.
//
// Input: the datagram as it is. The fields, on the same bytes from the start: the bytes are read in
// order (zeros once they run out) into a control datagram, an RTP header with a payload of up to 255
// bytes, a report with each optional part present or not, and a short address text for the SDP.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "link/CallKeys.h"
#include "link/RtcpReport.h"
#include "link/RtpPacket.h"
#include "link/RtpStatistics.h"
#include "link/SdpDescription.h"
#include "link/SessionControl.h"
#include "link/SessionWire.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Reads the input's bytes in order as numbers; past the end, zeros.
class FieldReader {
public:
    FieldReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint64_t Next(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value = (value << 8) | (at_ < size_ ? data_[at_++] : 0);
        return value;
    }
    uint8_t Byte() { return static_cast<uint8_t>(Next(1)); }
    uint32_t Word() { return static_cast<uint32_t>(Next(4)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The key agreement on the peer's hello that reveals its key: any key gives keys or none (one that is
// not the committed one, of low order, or our own), never a crash, and keys that are agreed differ by
// direction and give a code of six digits.
void AgreeWith(const std::vector<uint8_t>& hello, const CallKeys::Key* theirIdentity) {
    static const CallKeys::KeyPair mine = [] {
        CallKeys::Key secret{};
        secret.fill(0x42);
        return CallKeys::KeyPairOf(secret);
    }();
    // Our identity, for a hello that names the peer's: any 32 bytes there give keys or none.
    static const CallKeys::Identity myIdentity = [] {
        CallKeys::Identity identity;
        uint8_t seed[32];
        std::memset(seed, 0x17, sizeof seed);
        crypto_sign_seed_keypair(identity.publicKey.data(), identity.secretKey.data(), seed);
        return identity;
    }();
    SessionControl ours;
    ours.senderId = 1;
    ours.capabilities = SessionControl::kKeyAgreement | SessionControl::kKeyReveal;
    ours.commitment = CallKeys::Commitment(mine.publicKey);
    ours.publicKey = mine.publicKey;
    uint8_t composed[SessionControl::kBytesWithReveal];
    Check(ours.Compose(composed) == SessionControl::kBytesWithReveal);
    const std::optional<CallKeys::Offer> theirs = CallKeys::OfferOf(hello);
    Check(theirs.has_value());
    const std::optional<CallKeys> keys =
        CallKeys::Agree(mine, CallKeys::OfferOf(composed).value(), *theirs, nullptr,
                        {theirIdentity != nullptr ? &myIdentity : nullptr, theirIdentity});
    CallKeys::Key peerKey{};
    std::memcpy(peerKey.data(), hello.data() + SessionControl::kBytesWithKey, peerKey.size());
    const bool committed =
        std::memcmp(CallKeys::Commitment(peerKey).data(), hello.data() + SessionControl::kBytes, 32) == 0;
    if (keys) {
        Check(committed);
        Check(keys->peerIdentity.has_value() == (theirIdentity != nullptr));
        Check(keys->sendKey != keys->openKey);
        Check(keys->code < CallKeys::kCodeRange);
    } else if (theirIdentity == nullptr) {
        Check(!committed || !CallKeys::SharedValue(mine.secretKey, peerKey) || peerKey == mine.publicKey);
    }
}

void ParseAnyDatagram(const std::vector<uint8_t>& datagram) {
    const session_wire::DatagramKind kind = session_wire::Classify(datagram);
    // The SSRC of the first report block, where an RR or an SR would hold it, so that blocks are found.
    const size_t blockAt = datagram.size() >= 2 && datagram[1] == 200 ? 28 : 8;
    uint32_t about = 0;
    for (size_t i = blockAt; i < blockAt + 4 && i < datagram.size(); ++i)
        about = (about << 8) | datagram[i];

    if (const auto control = SessionControl::Parse(datagram)) {
        Check(kind == session_wire::DatagramKind::kControl);
        Check(control->senderId != 0 && control->version != 0);
        Check((control->capabilities & ~SessionControl::kKnownCapabilities) == 0);
        // Composed again: the same bytes, but for the flags, capabilities and reserved bits it ignored.
        // A commitment counts only in a hello of 56 bytes or more, a key only with it in one of 88 or more;
        // they are then composed back as they came.
        const bool key = (control->capabilities & SessionControl::kKeyAgreement) != 0;
        const bool reveal = (control->capabilities & SessionControl::kKeyReveal) != 0;
        const bool identity = (control->capabilities & SessionControl::kIdentity) != 0;
        Check(key == ((datagram[21] & 0x10) != 0 && datagram[2] == 1 &&
                      datagram.size() >= static_cast<size_t>(SessionControl::kBytesWithKey)));
        Check(reveal == (key && (datagram[21] & 0x20) != 0 &&
                         datagram.size() >= static_cast<size_t>(SessionControl::kBytesWithReveal)));
        // Saying that the sender holds our key, and naming its identity, count only beside its own key.
        Check(((control->capabilities & SessionControl::kHoldsPeerKey) != 0) ==
              (reveal && (datagram[21] & 0x40) != 0));
        Check(identity == (reveal && (datagram[21] & 0x80) != 0 &&
                           datagram.size() >= static_cast<size_t>(SessionControl::kBytesWithIdentity)));
        uint8_t again[SessionControl::kBytesWithIdentity];
        Check(control->Compose(again) == (identity ? SessionControl::kBytesWithIdentity
                                          : reveal ? SessionControl::kBytesWithReveal
                                          : key    ? SessionControl::kBytesWithKey
                                                   : SessionControl::kBytes));
        Check(std::memcmp(again, datagram.data(), 3) == 0 &&
              std::memcmp(again + 4, datagram.data() + 4, 17) == 0);
        Check(again[3] == (datagram[3] & 0x01) && again[21] == control->capabilities);
        // An Opus offer stands only with an Opus format beside it; without one, byte 22 goes back as 0.
        const bool opus = (control->capabilities & SessionControl::kOpus) != 0;
        Check((control->capabilities &
               ~(SessionControl::kOpus | SessionControl::kKeyAgreement | SessionControl::kKeyReveal |
                 SessionControl::kHoldsPeerKey | SessionControl::kIdentity)) == (datagram[21] & 0x03));
        Check(again[22] == (opus ? datagram[22] : 0) && again[23] == 0);
        if (key)
            Check(std::memcmp(again + SessionControl::kBytes, datagram.data() + SessionControl::kBytes,
                              static_cast<size_t>(identity ? 96
                                                  : reveal ? 64
                                                           : 32)) == 0);
        if (reveal)
            AgreeWith(datagram, identity ? &control->identityKey : nullptr);
    }
    if (const auto packet = RtpPacket::Parse(datagram)) {
        Check(kind == session_wire::DatagramKind::kRtp || kind == session_wire::DatagramKind::kRtcp);
        Check(packet->payload.data() >= datagram.data() &&
              packet->payload.data() + packet->payload.size() <= datagram.data() + datagram.size());
        // A packet as we send it (no padding, extension or CSRC) composes back to the same bytes.
        if ((datagram[0] & 0x3F) == 0) {
            std::vector<uint8_t> again(datagram.size());
            Check(RtpPacket::Compose(packet->header, packet->payload, again) ==
                  static_cast<int>(datagram.size()));
            Check(again == datagram);
        }
    }
    if (const auto report = RtcpReport::Parse(datagram, about)) {
        Check(kind == session_wire::DatagramKind::kRtcp);
        Check(!report->block || report->block->ssrc == about);
        uint8_t again[RtcpReport::kMaxBytes];
        const int length = report->Compose(again);
        Check(length > 0);
        Check(RtcpReport::Parse(std::span<const uint8_t>(again, static_cast<size_t>(length)), about) ==
              report);
    }
}

void RoundTripControl(FieldReader& in) {
    SessionControl control;
    control.kind = static_cast<SessionControl::Kind>(1 + in.Byte() % 3);
    control.version = static_cast<uint8_t>(in.Byte() | 1);
    control.formatChosen = (in.Byte() & 1) != 0;
    control.senderId = in.Next(8) | 1;
    control.peerId = in.Next(8);
    control.formatCode = in.Byte();
    control.capabilities = in.Byte() & SessionControl::kKnownCapabilities;
    // An Opus offer round-trips only with a 16-bit Opus format (type 7, any rate bits); any other is voided.
    if ((control.capabilities & SessionControl::kOpus) != 0)
        control.opusFormat = static_cast<uint8_t>(0x87 | (in.Byte() & 0x60));
    // A commitment goes only in a hello, which is then 56 bytes, and a key only with it (88 bytes); any
    // other kind goes without the bits.
    const bool key = (control.capabilities & SessionControl::kKeyAgreement) != 0;
    if (key && control.kind == SessionControl::Kind::kHello) {
        for (uint8_t& byte : control.commitment)
            byte = in.Byte();
        if ((control.capabilities & SessionControl::kKeyReveal) != 0)
            for (uint8_t& byte : control.publicKey)
                byte = in.Byte();
        if ((control.capabilities & (SessionControl::kKeyReveal | SessionControl::kIdentity)) ==
            (SessionControl::kKeyReveal | SessionControl::kIdentity))
            for (uint8_t& byte : control.identityKey)
                byte = in.Byte();
    } else {
        control.capabilities &= static_cast<uint8_t>(~SessionControl::kKeyAgreement);
    }
    if ((control.capabilities & SessionControl::kKeyAgreement) == 0)
        control.capabilities &= static_cast<uint8_t>(~SessionControl::kKeyReveal);
    // Holding the peer's key and naming an identity go only beside the sender's own key (120 bytes with
    // the identity).
    if ((control.capabilities & SessionControl::kKeyReveal) == 0)
        control.capabilities &=
            static_cast<uint8_t>(~(SessionControl::kHoldsPeerKey | SessionControl::kIdentity));
    const bool reveal = (control.capabilities & SessionControl::kKeyReveal) != 0;
    const bool identity = (control.capabilities & SessionControl::kIdentity) != 0;
    const int length = identity ? SessionControl::kBytesWithIdentity
                       : reveal ? SessionControl::kBytesWithReveal
                       : (control.capabilities & SessionControl::kKeyAgreement) != 0
                           ? SessionControl::kBytesWithKey
                           : SessionControl::kBytes;
    std::vector<uint8_t> out(static_cast<size_t>(length));
    Check(control.Compose(out) == length);
    Check(SessionControl::Parse(out) == control);
    // One byte short of a key hello's room: nothing composed.
    if (length > SessionControl::kBytes) {
        std::vector<uint8_t> small(static_cast<size_t>(length - 1));
        Check(control.Compose(small) == 0);
    }
}

void RoundTripRtp(FieldReader& in) {
    RtpHeader header;
    header.marker = (in.Byte() & 1) != 0;
    header.payloadType = in.Byte() & 0x7F;
    header.sequence = static_cast<uint16_t>(in.Next(2));
    header.timestamp = in.Word();
    header.ssrc = in.Word();
    std::vector<uint8_t> payload(in.Byte());
    for (uint8_t& byte : payload)
        byte = in.Byte();
    std::vector<uint8_t> out(RtpHeader::kBytes + payload.size());
    Check(RtpPacket::Compose(header, payload, out) == static_cast<int>(out.size()));
    const auto packet = RtpPacket::Parse(out);
    Check(packet && packet->header == header && packet->payload.size() == payload.size());
    Check(payload.empty() || std::memcmp(packet->payload.data(), payload.data(), payload.size()) == 0);
}

void RoundTripRtcp(FieldReader& in) {
    RtcpReport report;
    const uint8_t parts = in.Byte();
    report.ssrc = in.Word();
    report.sessionId = in.Next(8);
    if ((parts & 1) != 0)
        report.sender = RtcpSenderInfo{in.Next(8), in.Word(), in.Word(), in.Word()};
    if ((parts & 2) != 0) {
        RtcpReportBlock block;
        block.ssrc = in.Word();
        block.fractionLost = in.Byte();
        // Any 24-bit value, sign-extended: what the field can carry.
        block.cumulativeLost = static_cast<int32_t>(in.Next(3) << 8) >> 8;
        block.highestSequence = in.Word();
        block.jitter = in.Word();
        block.lastSr = in.Word();
        block.delaySinceLastSr = in.Word();
        report.block = block;
    }
    if ((parts & 4) != 0)
        report.quality = RtcpQuality{in.Word(), in.Word(), in.Word(), in.Word(), in.Word()};
    std::vector<uint8_t> out(RtcpReport::kMaxBytes);
    const int length = report.Compose(out);
    Check(length > 0 && length <= RtcpReport::kMaxBytes && length % 4 == 0);
    out.resize(static_cast<size_t>(length));
    Check(session_wire::Classify(out) == session_wire::DatagramKind::kRtcp);
    Check(RtcpReport::Parse(out, report.block ? report.block->ssrc : 0) == report);
}

void CheckHelpers(FieldReader& in) {
    const auto sequence = static_cast<uint16_t>(in.Next(2));
    const auto highest = static_cast<int64_t>(in.Next(6)) - (int64_t{1} << 40);
    const int64_t extended = rtp_statistics::ExtendSequence(sequence, highest);
    Check(static_cast<uint16_t>(extended) == sequence);
    Check(extended - highest >= -32768 && extended - highest < 32768);
    const uint32_t timestamp = in.Word();
    const int64_t stretched = rtp_statistics::ExtendTimestamp(timestamp, highest);
    Check(static_cast<uint32_t>(stretched) == timestamp);
    const auto roundTrip = rtp_statistics::RoundTripUs(in.Word(), in.Word(), in.Word());
    Check(!roundTrip || (*roundTrip >= 0 && *roundTrip <= 32768LL * 1000000));
    rtp_statistics::UpdateJitterQ4(in.Word(), static_cast<int64_t>(in.Next(8)));
    rtp_statistics::NtpShortFromUs(static_cast<int64_t>(in.Next(8)));
    rtp_statistics::NtpFromUnixUs(static_cast<int64_t>(in.Next(8)));

    SdpDescription sdp;
    const size_t addressLength = in.Byte() % 48;
    for (size_t i = 0; i < addressLength; ++i)
        sdp.address.push_back(static_cast<char>(in.Byte()));
    sdp.port = static_cast<int>(in.Next(3)) - 0x100;
    sdp.formatCode = in.Byte();
    sdp.sessionId = in.Next(8);
    const std::string text = sdp.Text();
    // Every line ends in CRLF and no field adds a line of its own: nine lines, ten for iLBC.
    size_t lines = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            Check(i > 0 && text[i - 1] == '\r');
            ++lines;
        } else if (text[i] == '\r') {
            Check(i + 1 < text.size() && text[i + 1] == '\n');
        }
    }
    Check(text.empty() || ((lines == 9 || lines == 10) && text.back() == '\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so that ASan sees any read past its end.
    const std::vector<uint8_t> datagram(data, data + size);
    ParseAnyDatagram(datagram);

    FieldReader in(data, size);
    RoundTripControl(in);
    RoundTripRtp(in);
    RoundTripRtcp(in);
    CheckHelpers(in);
    return 0;
}

#include "link/SessionControl.h"

#include <cstring>

#include "audio/FormatCode.h"

#include "link/BigEndian.h"
#include "link/SessionWire.h"

namespace {

constexpr uint8_t kFormatChosenFlag = 0x01;

bool KnownKind(uint8_t kind) {
    return kind >= static_cast<uint8_t>(SessionControl::Kind::kHello) &&
           kind <= static_cast<uint8_t>(SessionControl::Kind::kGoodbye);
}

}  // namespace

int SessionControl::Compose(std::span<uint8_t> out) const {
    const bool withKey = kind == Kind::kHello && (capabilities & kKeyAgreement) != 0;
    const bool withReveal = withKey && (capabilities & kKeyReveal) != 0;
    const bool withIdentity = withReveal && (capabilities & kIdentity) != 0;
    const int length = withIdentity ? kBytesWithIdentity
                       : withReveal ? kBytesWithReveal
                       : withKey    ? kBytesWithKey
                                    : kBytes;
    if (out.size() < static_cast<size_t>(length) || version == 0 || senderId == 0 ||
        !KnownKind(static_cast<uint8_t>(kind)))
        return 0;
    uint8_t* at = out.data();
    at[0] = session_wire::kControlType;
    at[1] = version;
    at[2] = static_cast<uint8_t>(kind);
    at[3] = formatChosen ? kFormatChosenFlag : 0;
    big_endian::Put64(at + 4, senderId);
    big_endian::Put64(at + 12, peerId);
    at[20] = formatCode;
    uint8_t sent = capabilities & kKnownCapabilities;
    if (!withKey)
        sent &= static_cast<uint8_t>(~kKeyAgreement);
    if (!withReveal)
        sent &= static_cast<uint8_t>(~(kKeyReveal | kHoldsPeerKey | kIdentity));
    at[21] = sent;
    at[22] = (capabilities & kOpus) != 0 ? opusFormat : 0;
    at[23] = 0;
    if (withKey)
        std::memcpy(at + kBytes, commitment.data(), commitment.size());
    if (withReveal)
        std::memcpy(at + kBytesWithKey, publicKey.data(), publicKey.size());
    if (withIdentity)
        std::memcpy(at + kBytesWithReveal, identityKey.data(), identityKey.size());
    return length;
}

std::optional<SessionControl> SessionControl::Parse(std::span<const uint8_t> datagram) {
    if (datagram.size() < static_cast<size_t>(kBytes) ||
        datagram.size() > static_cast<size_t>(session_wire::kMaxDatagramBytes) ||
        datagram[0] != session_wire::kControlType)
        return std::nullopt;
    const uint8_t* at = datagram.data();
    SessionControl control;
    control.version = at[1];
    if (control.version == 0 || !KnownKind(at[2]))
        return std::nullopt;
    control.kind = static_cast<Kind>(at[2]);
    control.formatChosen = (at[3] & kFormatChosenFlag) != 0;
    control.senderId = big_endian::Get64(at + 4);
    if (control.senderId == 0)
        return std::nullopt;
    control.peerId = big_endian::Get64(at + 12);
    control.formatCode = at[20];
    control.capabilities = at[21] & kKnownCapabilities;
    // An Opus offer names a 16-bit Opus format, or it is no offer.
    const uint8_t opus = at[22];
    if ((control.capabilities & kOpus) != 0 && format_code::IsOpus(opus) && (opus & format_code::k16Bit) != 0)
        control.opusFormat = opus;
    else
        control.capabilities &= static_cast<uint8_t>(~kOpus);
    // Only a hello carries a key, and only one long enough to hold it.
    if ((control.capabilities & kKeyAgreement) != 0 && control.kind == Kind::kHello &&
        datagram.size() >= static_cast<size_t>(kBytesWithKey))
        std::memcpy(control.commitment.data(), at + kBytes, control.commitment.size());
    else
        control.capabilities &=
            static_cast<uint8_t>(~(kKeyAgreement | kKeyReveal | kHoldsPeerKey | kIdentity));
    if ((control.capabilities & kKeyReveal) != 0 && datagram.size() >= static_cast<size_t>(kBytesWithReveal))
        std::memcpy(control.publicKey.data(), at + kBytesWithKey, control.publicKey.size());
    else
        control.capabilities &= static_cast<uint8_t>(~(kKeyReveal | kHoldsPeerKey | kIdentity));
    if ((control.capabilities & kIdentity) != 0 && datagram.size() >= static_cast<size_t>(kBytesWithIdentity))
        std::memcpy(control.identityKey.data(), at + kBytesWithReveal, control.identityKey.size());
    else
        control.capabilities &= static_cast<uint8_t>(~kIdentity);
    return control;
}

// What kind of datagram arrived, told by its first bytes, and which RTP payload type carries which format.
//
// A session between two copies shares the call's socket with the plain wire, so every datagram is told
// apart by its first byte: 0 plain audio and 1 the muted marker (as any peer sends them), 2 a sealed
// datagram of a private call, 4 the session's control datagram (SessionControl.h), 0x80 to 0xBF RTP or
// RTCP (version 2), which the second byte, the payload type, tells apart as RFC 5761 does. The layouts
// are written down in docs/SESSION.md.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace session_wire {

// The largest datagram of any kind that a receiver takes or a sender composes, first byte included.
constexpr int kMaxDatagramBytes = 10000;

constexpr uint8_t kPlainAudioType = 0;
constexpr uint8_t kMarkerType = 1;
constexpr uint8_t kSealedType = 2;
constexpr uint8_t kControlType = 4;

enum class DatagramKind {
    kEmpty,       // ends a plain call
    kPlainAudio,  // type 0: one encoded frame
    kMarker,      // type 1: a muted frame
    kSealed,      // type 2: a private call's datagram (DatagramSealer)
    kControl,     // type 4: hello, keep-alive, goodbye
    kRtp,         // numbered audio
    kRtcp,        // quality reports
    kOther,       // anything else, including a lone version-2 byte
};

// The kind of `datagram` from its first one or two bytes; nothing else of it is checked.
DatagramKind Classify(std::span<const uint8_t> datagram);

// The RTP payload type that carries a 16-bit format: 0 for G.711 mu-law at 8000 Hz, 3 for GSM at 8000 Hz,
// 96 + type * 4 + rate index for every other codec type 0 to 7 (so all fall in 96 to 127, clear of the
// 64 to 95 that RFC 5761 keeps for RTCP; Opus, type 7, takes 124 to 127). None for 8-bit formats, which a
// session never carries, and for codec types without a coder.
std::optional<uint8_t> PayloadTypeOf(int formatCode);
// The 16-bit format a payload type carries; none for any type PayloadTypeOf never gives.
std::optional<int> FormatCodeOfPayloadType(int payloadType);

}  // namespace session_wire

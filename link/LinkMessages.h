// The messages the voice link posts: window messages to the main window about the link's state, and
// one thread message to the user-interface thread with the two levels.
#pragma once

#include <cstdint>

constexpr uint32_t WM_APP_FIRST = 0x8000;
constexpr uint32_t WM_LINK_LISTENING = 0x800A;
constexpr uint32_t WM_LINK_CONNECTED = 0x800B;
constexpr uint32_t WM_LINK_CLOSED = 0x800C;
// The messages about a source (PEER_PROVEN, NOT_SEALED, STRANGER): for an IPv4 source wParam is the
// address (network order) and lParam the port; for an IPv6 one lParam is the port plus kSourceHeldByLink
// and wParam a ticket that VoiceLink::PostedSource turns into the address.
constexpr intptr_t kSourceHeldByLink = 0x10000;
// Private calls only.
// The first datagram of a call from this peer opened with our key: the peer holds the secret.
constexpr uint32_t WM_LINK_PEER_PROVEN = 0x8010;
// Datagrams from this source are not sealed with our key; posted once per source and call.
constexpr uint32_t WM_LINK_NOT_SEALED = 0x8011;
// A session changed the call's format to the peer's: wParam the format code now used; lParam 1 when a
// WM_LINK_OPUS_FALLBACK follows that names it (and why) itself.
constexpr uint32_t WM_LINK_FORMAT = 0x8012;
// The two sides chose different formats and neither can play the other's: wParam the peer's format code,
// lParam this side's. Posted once per call.
constexpr uint32_t WM_LINK_FORMAT_MISMATCH = 0x8013;
// A plain peer sends payloads of a size this side's format never has: wParam that size, lParam this side's
// format code. Posted once per call.
constexpr uint32_t WM_LINK_BAD_PAYLOAD = 0x8014;
// In a session, datagrams from this source are not the peer's (wParam address, lParam port); posted once
// per source and call.
constexpr uint32_t WM_LINK_STRANGER = 0x8015;
// wParam: microphone level 0 to 100 (0 while muted); lParam: speaker level of the playback stream.
// This copy offered Opus and the peer did not: wParam the format the call goes on with; lParam's bits say
// whether the peer is a session copy whose hello offers no Opus (else it speaks only the plain wire) and
// whether the format is the peer's. Posted once per call.
constexpr uint32_t WM_LINK_OPUS_FALLBACK = 0x8016;
constexpr int kOpusFallbackSessionPeer = 0x1;
constexpr int kOpusFallbackPeersFormat = 0x2;
// The call's keys are agreed: every datagram but the hellos is sealed. wParam: the short code (0 to 999999)
// both users compare. Posted again with a new code when the peer starts again.
constexpr uint32_t WM_LINK_ENCRYPTED = 0x8017;
// The call is not encrypted: the peer speaks only the plain wire, or its hello carried no key. Posted once
// per call (again if an encrypted call's peer starts again without a key).
constexpr uint32_t WM_LINK_NOT_ENCRYPTED = 0x8018;
// A private call (--secret) refused a peer whose hello agreed no key; posted once per call.
constexpr uint32_t WM_LINK_NO_AGREEMENT = 0x8019;
// The peer committed to a key, but the two sides could not complete the agreement within its retries (hellos
// lost): the call ends rather than have one side seal what the other cannot open. Posted before the close.
constexpr uint32_t WM_LINK_KEYS_INCOMPLETE = 0x8020;
constexpr uint32_t WM_AUDIO_LEVELS = 0x806E;

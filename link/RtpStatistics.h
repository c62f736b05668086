// The arithmetic behind numbered audio and its reports (RFC 3550 appendix A and section 6.4): extending
// the wire's 16-bit sequence numbers and 32-bit timestamps to counts that never wrap, NTP time from the
// wall clock, the round trip from a report's LSR and DLSR, and the interarrival jitter estimate.
// Pure functions of their arguments.
#pragma once

#include <cstdint>
#include <optional>

namespace rtp_statistics {

// The 64-bit count whose low 16 bits are `sequence` and that lies nearest to `highest`, the highest count
// seen so far; the first number (no highest yet) counts as itself. Exactly half the range away counts
// as behind. A number from before the first one comes out below 0: older than anything played.
int64_t ExtendSequence(uint16_t sequence, std::optional<int64_t> highest);
// The same for a 32-bit RTP timestamp.
int64_t ExtendTimestamp(uint32_t timestamp, std::optional<int64_t> highest);

// The 64-bit NTP timestamp (seconds since 1900 in the high half, fraction in the low) of a wall-clock
// time in microseconds since 1970.
uint64_t NtpFromUnixUs(int64_t unixUs);
// The middle 32 bits of that timestamp (16.16 seconds), as a report's LSR and an arrival time carry it.
uint32_t NtpMiddle32FromUnixUs(int64_t unixUs);
// A duration in 1/65536 s, as a report's DLSR carries it; negative durations give 0, long ones the most
// the field holds.
uint32_t NtpShortFromUs(int64_t durationUs);

// The round trip in microseconds from a report block's LSR and DLSR and the middle 32 bits of the report's
// arrival time: A - LSR - DLSR in 1/65536 s. None when LSR is 0 (no sender report heard yet); 0 when the
// clocks make it come out negative.
std::optional<int64_t> RoundTripUs(uint32_t arrivalMiddle32, uint32_t lastSr, uint32_t delaySinceLastSr);

// One step of the interarrival jitter estimate, J += (|D| - J) / 16, kept in sixteenths of a timestamp
// unit as RFC 3550 A.8 keeps it (a report carries jitterQ4 >> 4). `transitDifference` is D: the change in
// (arrival - RTP timestamp) from one packet to the next, in timestamp units. Saturates instead of wrapping.
uint32_t UpdateJitterQ4(uint32_t jitterQ4, int64_t transitDifference);

}  // namespace rtp_statistics

#include "link/RtpStatistics.h"

#include <limits>

namespace rtp_statistics {

namespace {

// Seconds from 1 January 1900, where NTP counts from, to 1 January 1970.
constexpr int64_t kNtpToUnixSeconds = 2208988800;
constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kShortUnitsPerSecond = 65536;

int64_t Extend(uint64_t value, std::optional<int64_t> highest, int bits) {
    if (!highest)
        return static_cast<int64_t>(value);
    const uint64_t modulus = uint64_t{1} << bits;
    const uint64_t base = static_cast<uint64_t>(*highest);
    const uint64_t ahead = (value - base) & (modulus - 1);
    // Unsigned arithmetic wraps where a signed sum could overflow; C++20 defines the conversion back.
    const uint64_t step = ahead < modulus / 2 ? ahead : ahead - modulus;
    return static_cast<int64_t>(base + step);
}

}  // namespace

int64_t ExtendSequence(uint16_t sequence, std::optional<int64_t> highest) {
    return Extend(sequence, highest, 16);
}

int64_t ExtendTimestamp(uint32_t timestamp, std::optional<int64_t> highest) {
    return Extend(timestamp, highest, 32);
}

uint64_t NtpFromUnixUs(int64_t unixUs) {
    int64_t seconds = unixUs / kMicrosPerSecond;
    int64_t micros = unixUs % kMicrosPerSecond;
    if (micros < 0) {
        micros += kMicrosPerSecond;
        --seconds;
    }
    // NTP seconds wrap every 136 years (the next era begins in 2036); the field keeps the low 32 bits.
    const auto ntpSeconds = static_cast<uint32_t>(static_cast<uint64_t>(seconds + kNtpToUnixSeconds));
    const uint64_t fraction = (static_cast<uint64_t>(micros) << 32) / kMicrosPerSecond;
    return (uint64_t{ntpSeconds} << 32) | fraction;
}

uint32_t NtpMiddle32FromUnixUs(int64_t unixUs) {
    return static_cast<uint32_t>(NtpFromUnixUs(unixUs) >> 16);
}

uint32_t NtpShortFromUs(int64_t durationUs) {
    if (durationUs <= 0)
        return 0;
    constexpr int64_t kLongest =
        int64_t{std::numeric_limits<uint32_t>::max()} * kMicrosPerSecond / kShortUnitsPerSecond;
    if (durationUs >= kLongest)
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>((durationUs * kShortUnitsPerSecond + kMicrosPerSecond / 2) /
                                 kMicrosPerSecond);
}

std::optional<int64_t> RoundTripUs(uint32_t arrivalMiddle32, uint32_t lastSr, uint32_t delaySinceLastSr) {
    if (lastSr == 0)
        return std::nullopt;
    // Modulo 2^32, so that a round trip across the wrap of the 16.16 clock still comes out right.
    const auto units = static_cast<int32_t>(arrivalMiddle32 - lastSr - delaySinceLastSr);
    if (units <= 0)
        return 0;
    return (int64_t{units} * kMicrosPerSecond + kShortUnitsPerSecond / 2) / kShortUnitsPerSecond;
}

uint32_t UpdateJitterQ4(uint32_t jitterQ4, int64_t transitDifference) {
    constexpr int64_t kMost = std::numeric_limits<uint32_t>::max();
    // |D| without overflowing at the most negative value, and no larger than the estimate can hold.
    const int64_t magnitude = transitDifference < -kMost || transitDifference > kMost
                                  ? kMost
                                  : (transitDifference < 0 ? -transitDifference : transitDifference);
    const int64_t next = int64_t{jitterQ4} + magnitude - ((int64_t{jitterQ4} + 8) >> 4);
    return static_cast<uint32_t>(next > kMost ? kMost : next);
}

}  // namespace rtp_statistics

// Network byte order for the session's datagrams: reading and writing 16-, 24-, 32- and 64-bit fields at a
// byte pointer the caller has already checked against the datagram's length.
#pragma once

#include <cstdint>

namespace big_endian {

inline uint64_t Get(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | in[i];
    return value;
}

inline void Put(uint8_t* out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

inline uint16_t Get16(const uint8_t* in) {
    return static_cast<uint16_t>(Get(in, 2));
}
inline uint32_t Get32(const uint8_t* in) {
    return static_cast<uint32_t>(Get(in, 4));
}
inline uint64_t Get64(const uint8_t* in) {
    return Get(in, 8);
}
inline void Put16(uint8_t* out, uint16_t value) {
    Put(out, value, 2);
}
inline void Put32(uint8_t* out, uint32_t value) {
    Put(out, value, 4);
}
inline void Put64(uint8_t* out, uint64_t value) {
    Put(out, value, 8);
}

}  // namespace big_endian

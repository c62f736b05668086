// The SDP text (RFC 4566) that `--write-sdp=FILE` writes, so that a standard tool can receive one call's
// numbered audio: where it arrives, its payload type, and the codec name and rate that type stands for.
// ffmpeg reads the PCMU/8000 and GSM/8000 streams; the other formats carry names of their own (iLBC,
// PCMU, GSM and L16 at our other rates, X-QPARLIN-DELTA and X-QPARLIN-LPC10) that tools may not decode.
#pragma once

#include <cstdint>
#include <string>

struct SdpDescription {
    std::string address;     // numeric IPv4 or IPv6 address the stream arrives at
    int port = 0;            // 1 to 65535
    int formatCode = 0;      // a 16-bit format, as session_wire::PayloadTypeOf takes it
    uint64_t sessionId = 0;  // the sender's, named in the origin line

    // The description, lines ended by CRLF, or an empty string when the address is empty or has a
    // character no address has (which would let a name add lines of its own), the port is out of range,
    // or the format has no payload type.
    std::string Text() const;
};

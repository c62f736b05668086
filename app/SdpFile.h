// The file `--write-sdp=FILE[:PORT]` names: the SDP description of the numbered audio a call sends, so that
// a standard tool (ffmpeg) can receive a copy of it. The file is replaced whole: a tool that reads it while a
// call rewrites it sees the old description or the new one, never part of either.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Socket.h"

class SdpFile {
public:
    // The description of the audio sent to `peer` (either family) in `formatCode`, as received at `port`,
    // or at the peer's own port when `port` is 0. Empty when there is nothing to describe: no peer yet
    // (the any address or port 0), or a format without a payload type.
    static std::string Describe(const SocketAddress& peer, int port, int formatCode);

    // Writes `text` to a new file beside `path` and renames it over `path`. False, with `problem` set to one
    // sentence, when it could not; `path` is then as it was, and no temporary file is left.
    static bool Write(const std::string& path, std::string_view text, std::string& problem);
};

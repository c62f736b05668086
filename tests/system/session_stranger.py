#!/usr/bin/env python3
"""A third address that sends a session call's kinds of datagram without being part of the call.

    session_stranger.py TARGET_PORT --seconds S --per-second R --payload-bytes N --payload-type PT
                        --format-code F

From a port of its own it sends to 127.0.0.1:TARGET_PORT, R times a second for S seconds, in turn: plain
audio (type 0 and N random bytes: loud noise if played), a marker, an empty datagram, a hello, a keep-alive
and a goodbye of session ids of its own (format code F), numbered audio of an SSRC of its own (payload type
PT, N random bytes) and a receiver report of that SSRC. Prints its address first and a count at the end."""
import argparse
import os
import socket
import struct
import time


def control(kind, sender_id, format_code):
    # type 4, version 1, kind, flags: chosen; sender id; the peer's id as last seen; format; capabilities.
    return struct.pack(">BBBBQQBBH", 4, 1, kind, 1, sender_id, 0, format_code, 3, 0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("target_port", type=int)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--per-second", type=float, required=True)
    parser.add_argument("--payload-bytes", type=int, required=True)
    parser.add_argument("--payload-type", type=int, required=True)
    parser.add_argument("--format-code", type=lambda text: int(text, 0), required=True)
    args = parser.parse_args()

    target = ("127.0.0.1", args.target_port)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    print(f"stranger 127.0.0.1:{sock.getsockname()[1]}", flush=True)

    session_id = int.from_bytes(os.urandom(8), "big") | 1
    ssrc = int.from_bytes(os.urandom(4), "big")
    sequence = int.from_bytes(os.urandom(2), "big")
    kinds = ["plain", "marker", "empty", "hello", "keep-alive", "goodbye", "rtp", "rtcp"]
    sent = {kind: 0 for kind in kinds}
    start = time.monotonic()
    turn = 0
    while time.monotonic() - start < args.seconds:
        kind = kinds[turn % len(kinds)]
        turn += 1
        if kind == "plain":
            data = b"\x00" + os.urandom(args.payload_bytes)
        elif kind == "marker":
            data = b"\x01"
        elif kind == "empty":
            data = b""
        elif kind in ("hello", "keep-alive", "goodbye"):
            data = control(1 + ["hello", "keep-alive", "goodbye"].index(kind), session_id, args.format_code)
        elif kind == "rtp":
            data = struct.pack(">BBHII", 0x80, args.payload_type, sequence, sequence * 160, ssrc)
            data += os.urandom(args.payload_bytes)
            sequence = (sequence + 1) % 65536
        else:
            # A receiver report with no block: version 2, count 0, type 201, one word after the header.
            data = struct.pack(">BBHI", 0x80, 201, 1, ssrc)
        try:
            sock.sendto(data, target)
            sent[kind] += 1
        except OSError:
            pass
        time.sleep(1 / args.per_second)
    print("sent " + ", ".join(f"{count} {kind}" for kind, count in sent.items()), flush=True)


if __name__ == "__main__":
    main()

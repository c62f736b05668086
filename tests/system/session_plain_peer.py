#!/usr/bin/env python3
"""A peer that speaks only the plain wire, as a copy built from nothing else would.

    session_plain_peer.py (--listen PORT | --call PORT) --frames FILE --payload-bytes N --frame-ms F
                          --seconds S --capture FILE [--waited W]

Its datagrams are type 0 followed by one encoded frame, or the one-byte marker 1; there is no handshake.
It "captures" the frames of FILE (the encoded input, N bytes each) one every F ms from its start and sends
what has been captured at each 20 ms step; at most 1000 frames wait, the oldest dropped first. A listener
knows no peer until the first datagram comes, so its waiting frames go out together then; --waited W
starts it as one that has listened W seconds already (after 22 s at the smallest frames, a whole queue of
1000 goes out at once). Every non-empty
datagram makes its sender the peer; only type 0 is played (here: written down with the rest); an empty
datagram, or one over 10000 bytes, ends the call. Every datagram received is written to the capture file
as session_capture.py reads it (sender "qparlin"). Runs S seconds, then prints a summary and exits; exits 3
when the port to listen on is taken."""
import argparse
import collections
import select
import socket
import sys
import time

MAX_DATAGRAM = 10000
MAX_QUEUED = 1000
STEP_S = 0.02


def main():
    parser = argparse.ArgumentParser()
    role = parser.add_mutually_exclusive_group(required=True)
    role.add_argument("--listen", type=int)
    role.add_argument("--call", type=int)
    parser.add_argument("--frames", required=True)
    parser.add_argument("--payload-bytes", type=int, required=True)
    parser.add_argument("--frame-ms", type=float, required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--capture", required=True)
    parser.add_argument("--waited", type=float, default=0.0)
    args = parser.parse_args()

    with open(args.frames, "rb") as frames_file:
        encoded = frames_file.read()
    n = args.payload_bytes
    frames = [encoded[i:i + n] for i in range(0, len(encoded) - n + 1, n)]

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    peer = None
    peers = []  # each peer in turn
    if args.listen is not None:
        try:
            sock.bind(("127.0.0.1", args.listen))
        except OSError:
            sys.exit(3)
        print(f"listening on 127.0.0.1:{args.listen}", flush=True)
    else:
        sock.bind(("127.0.0.1", 0))
        peer = ("127.0.0.1", args.call)
        peers.append(peer)
        print(f"calling 127.0.0.1:{args.call} from 127.0.0.1:{sock.getsockname()[1]}", flush=True)

    queue = collections.deque()
    captured = 0
    sent = 0
    first_burst = None
    received = 0
    ended = None
    start = time.monotonic()
    with open(args.capture, "w", buffering=1) as capture:
        while ended is None and time.monotonic() - start < args.seconds:
            # Receive: one datagram, or a time-out of one step.
            readable, _, _ = select.select([sock], [], [], STEP_S)
            if readable:
                data, source = sock.recvfrom(65536)
                at_ms = (time.monotonic() - start) * 1000
                capture.write(f"{at_ms:.1f} qparlin {data.hex() or '-'}\n")
                received += 1
                if not data:
                    ended = f"an empty datagram from {source[0]}:{source[1]} ended the call"
                elif len(data) > MAX_DATAGRAM:
                    ended = f"a datagram of {len(data)} bytes ended the call"
                else:
                    if source != peer:
                        peers.append(source)
                    peer = source
            # Capture: every frame whose time has come waits in the queue.
            due = min(len(frames), int((time.monotonic() - start + args.waited) * 1000 / args.frame_ms))
            while captured < due:
                queue.append(frames[captured])
                captured += 1
                if len(queue) > MAX_QUEUED:
                    queue.popleft()
            # Send: everything queued, once a peer is known.
            if peer is not None and queue:
                if first_burst is None:
                    first_burst = len(queue)
                while queue:
                    try:
                        sock.sendto(b"\x00" + queue.popleft(), peer)
                        sent += 1
                    except OSError:
                        pass  # a failing send loses that frame
    named = ", ".join(f"{a}:{p}" for a, p in peers) or "none"
    print(f"received {received} datagrams; peers in turn: {named}; sent {sent} frames, "
          f"{first_burst or 0} in the first burst; {ended or 'the call ran its time'}", flush=True)


if __name__ == "__main__":
    main()

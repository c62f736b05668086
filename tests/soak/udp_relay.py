#!/usr/bin/env python3
"""A UDP relay that makes a poor network: it loses, delays and now and then reorders datagrams.

    udp_relay.py LISTEN_PORT TARGET_PORT [--drop P] [--delay-ms D] [--jitter-ms J] [--reorder P]
                 [--reorder-ms R] [--seed N]

The caller sends to 127.0.0.1:LISTEN_PORT; the relay forwards to 127.0.0.1:TARGET_PORT from a port of
its own and sends the answers back to whoever last sent to LISTEN_PORT. Each datagram, either way, is lost
with probability P, otherwise held for D ms plus a uniform 0..J ms; with probability --reorder it is held
R ms longer, so that later datagrams overtake it. SIGTERM or SIGINT prints the counts and ends the relay.
"""
import argparse
import heapq
import random
import selectors
import signal
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("--drop", type=float, default=0.05)
    parser.add_argument("--delay-ms", type=float, default=5.0)
    parser.add_argument("--jitter-ms", type=float, default=20.0)
    parser.add_argument("--reorder", type=float, default=0.01)
    parser.add_argument("--reorder-ms", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", args.listen_port))
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.bind(("127.0.0.1", 0))
    target = ("127.0.0.1", args.target_port)
    client = None

    counts = {"received": 0, "dropped": 0, "held back": 0, "forwarded": 0, "overtaken": 0}
    pending = []  # (due time, sequence, direction, payload)
    sequence = 0
    last_sent = {"out": -1, "back": -1}  # highest sequence forwarded each way

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))

    selector = selectors.DefaultSelector()
    selector.register(front, selectors.EVENT_READ, "out")
    selector.register(back, selectors.EVENT_READ, "back")
    print(f"relay 127.0.0.1:{args.listen_port} -> 127.0.0.1:{args.target_port}", flush=True)
    while not stopping:
        now = time.monotonic()
        timeout = max(0.0, pending[0][0] - now) if pending else 0.5
        try:
            events = selector.select(timeout)
        except InterruptedError:
            continue
        for key, _ in events:
            sock, direction = key.fileobj, key.data
            try:
                payload, sender = sock.recvfrom(65535)
            except OSError:
                continue  # a port found closed: that datagram is gone
            if direction == "out":
                client = sender
            counts["received"] += 1
            if rng.random() < args.drop:
                counts["dropped"] += 1
                continue
            hold = args.delay_ms + rng.uniform(0, args.jitter_ms)
            if rng.random() < args.reorder:
                hold += args.reorder_ms
                counts["held back"] += 1
            sequence += 1
            heapq.heappush(pending, (time.monotonic() + hold / 1000, sequence, direction, payload))
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            _, number, direction, payload = heapq.heappop(pending)
            try:
                if direction == "out":
                    back.sendto(payload, target)
                elif client is not None:
                    front.sendto(payload, client)
            except OSError:
                pass
            counts["forwarded"] += 1
            if number < last_sent[direction]:
                counts["overtaken"] += 1
            last_sent[direction] = max(last_sent[direction], number)
    print("relay: " + ", ".join(f"{value} {name}" for name, value in counts.items()), flush=True)


if __name__ == "__main__":
    sys.exit(main())

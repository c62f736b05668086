#!/usr/bin/env python3
"""A UDP relay that makes a poor network: it loses, delays and now and then reorders datagrams.

    udp_relay.py LISTEN_PORT TARGET_PORT [--drop P] [--delay-ms D] [--jitter-ms J] [--reorder P]
                 [--reorder-ms R] [--burst B] [--burst-len N] [--no-overtake] [--seed N] [--log-drops]
                 [--by-frame]

The caller sends to 127.0.0.1:LISTEN_PORT; the relay forwards to 127.0.0.1:TARGET_PORT from a port of
its own and sends the answers back to whoever last sent to LISTEN_PORT. Each datagram, either way, is lost
with probability P, otherwise held for D ms plus a uniform 0..J ms; with probability --reorder it is held
R ms longer, so that later datagrams overtake it. With --burst, a loss takes N datagrams in a row with
probability B (P stays the share of all datagrams lost). With --no-overtake, a datagram is never sent before
the one that came in ahead of it the same way: a held datagram holds back those behind it, as a queue in a
router does. With --by-frame, losses and delays are drawn per audio frame rather than per datagram: the
datagrams of the length seen most often each way are taken for audio, and the k-th of them is lost or held
by the k-th draw of that direction's own generator, while other datagrams (hellos, reports) are never lost
and take their delays from a generator of their own. Calls of different kinds (plain, private, session)
through relays with the same seed then lose the same frames of the same speech. SIGTERM or SIGINT prints
the counts and ends the relay.
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
    parser.add_argument("--burst", type=float, default=0.0)
    parser.add_argument("--burst-len", type=int, default=3)
    parser.add_argument("--no-overtake", action="store_true")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--log-drops", action="store_true",
                        help="print each lost datagram: ms since the first one, direction, length, first byte")
    parser.add_argument("--by-frame", action="store_true",
                        help="draw losses and delays per audio frame, the same for every kind of call")
    args = parser.parse_args()
    rng = random.Random(args.seed)

    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", args.listen_port))
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.bind(("127.0.0.1", 0))
    target = ("127.0.0.1", args.target_port)
    client = None
    first_time = None

    counts = {"received": 0, "dropped": 0, "held back": 0, "forwarded": 0, "overtaken": 0}
    pending = []  # (due time, sequence, direction, payload)
    sequence = 0
    last_sent = {"out": -1, "back": -1}  # highest sequence forwarded each way
    last_due = {"out": 0.0, "back": 0.0}  # when the latest datagram each way is to be sent
    to_lose = {"out": 0, "back": 0}  # datagrams still to lose of a burst
    # A loss starts a burst of N with probability B; the start rate is chosen so that P of all are lost.
    burst_len = max(1, args.burst_len)
    loss_start = args.drop / (1 - args.burst + args.burst * burst_len)

    # --by-frame: each direction's own draws, indexed by audio frame, and a generator for the rest.
    frame_rng = {d: random.Random(f"{args.seed}-{d}") for d in ("out", "back")}
    frame_draws = {"out": [], "back": []}  # (lost, hold in ms) of audio frame k
    frame_burst = {"out": 0, "back": 0}
    other_rng = random.Random(f"{args.seed}-other")
    length_counts = {"out": {}, "back": {}}

    def frame_draw(direction, k):
        draws, frame_random = frame_draws[direction], frame_rng[direction]
        while len(draws) <= k:
            if frame_burst[direction] == 0 and frame_random.random() < loss_start:
                frame_burst[direction] = burst_len if frame_random.random() < args.burst else 1
            lost = frame_burst[direction] > 0
            if lost:
                frame_burst[direction] -= 1
            draws.append((lost, args.delay_ms + frame_random.uniform(0, args.jitter_ms)))
        return draws[k]

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
            if first_time is None:
                first_time = time.monotonic()
            if args.by_frame:
                lengths = length_counts[direction]
                lengths[len(payload)] = lengths.get(len(payload), 0) + 1
                seen = lengths[len(payload)]
                # A length seen once is nothing yet: the first datagram may be a hello.
                audio = seen >= 2 and all(seen > count for length, count in lengths.items()
                                          if length != len(payload))
                if audio:
                    lost, hold = frame_draw(direction, seen - 1)
                else:
                    lost, hold = False, args.delay_ms + other_rng.uniform(0, args.jitter_ms)
            else:
                if to_lose[direction] == 0 and rng.random() < loss_start:
                    to_lose[direction] = burst_len if rng.random() < args.burst else 1
                lost = to_lose[direction] > 0
                if lost:
                    to_lose[direction] -= 1
                hold = None
            if lost:
                counts["dropped"] += 1
                if args.log_drops:
                    print(f"drop {1000 * (time.monotonic() - first_time):.1f} {direction} {len(payload)} "
                          f"0x{payload[0] if payload else 0:02x}", flush=True)
                continue
            if hold is None:
                hold = args.delay_ms + rng.uniform(0, args.jitter_ms)
            if rng.random() < args.reorder:
                hold += args.reorder_ms
                counts["held back"] += 1
            sequence += 1
            due = time.monotonic() + hold / 1000
            if args.no_overtake:
                due = max(due, last_due[direction])
            last_due[direction] = due
            heapq.heappush(pending, (due, sequence, direction, payload))
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

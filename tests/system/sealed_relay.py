#!/usr/bin/env python3
"""A relay between a caller and a listener that also plays the attacker on the path of a private call.

It forwards every datagram both ways, keeps a copy of what the caller sent, and after --attack-after
seconds sends from a third address of its own: plain audio, markers, empty datagrams, random bytes that
claim to be sealed (each under a sender id of its own), with --earlier every datagram an earlier call's
relay captured (its old sender ids and keys), and each captured datagram again. The captured datagrams are written, one hex line
each, to CAPTURE_FILE, and what was sent to the attack log on stdout. With --record, every datagram the
caller sends is also written to RECORD_FILE as it passes, its last words (the end of the call) included.
With --attack-after 0 the relay never attacks."""
import argparse
import os
import select
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("relay_port", type=int)
    parser.add_argument("listener_port", type=int)
    parser.add_argument("capture_file")
    parser.add_argument("--attack-after", type=float, default=2.0)
    parser.add_argument("--capture", type=int, default=50)
    parser.add_argument("--earlier", help="an earlier call's CAPTURE_FILE, sent before this call's replays")
    parser.add_argument("--record", help="a file for every datagram the caller sends, one hex line each")
    args = parser.parse_args()

    listener = ("127.0.0.1", args.listener_port)
    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", args.relay_port))
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.bind(("127.0.0.1", 0))
    attacker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    attacker.bind(("127.0.0.1", 0))
    print(f"relay 127.0.0.1:{args.relay_port} -> 127.0.0.1:{args.listener_port}", flush=True)

    record = open(args.record, "w", buffering=1) if args.record else None
    caller = None
    captured = []
    start = time.monotonic()
    attacked = False
    pending = []
    report = ""
    while True:
        readable, _, _ = select.select([front, back, attacker], [], [], 0.002 if pending else 0.02)
        for sock in readable:
            data, source = sock.recvfrom(65536)
            if sock is front:
                caller = source
                back.sendto(data, listener)
                if record:
                    record.write(data.hex() + "\n")
                if len(captured) < args.capture:
                    captured.append(data)
            elif sock is back and caller is not None:
                front.sendto(data, caller)
        if not attacked and args.attack_after > 0 and time.monotonic() - start >= args.attack_after and captured:
            attacked = True
            with open(args.capture_file, "w") as out:
                for data in captured:
                    out.write(data.hex() + "\n")
            plain = bytes([0]) + bytes(range(160))
            for _ in range(20):
                pending += [plain, b"\x01", b"", b"\x02" + os.urandom(100)]
            earlier = []
            if args.earlier:
                with open(args.earlier) as lines:
                    earlier = [bytes.fromhex(line.strip()) for line in lines if line.strip()]
            pending += earlier + list(captured)
            earlier_sealed = sum(1 for data in earlier if data[:1] == b"\x02")
            report = (f"attacked from 127.0.0.1:{attacker.getsockname()[1]}: 60 unsealed, 20 forged, "
                      f"{earlier_sealed} earlier sealed, {len(earlier) - earlier_sealed} earlier hellos, "
                      f"{len(captured)} replayed")
        # The attack goes out a few datagrams at a time between forwards: sent in one burst it could
        # overrun the listener's receive buffer while a loaded machine keeps the listener off the CPU,
        # and the kernel's drops would then read as datagrams the listener failed to count.
        if pending:
            for data in pending[:2]:
                attacker.sendto(data, listener)
            del pending[:2]
            if not pending:
                print(report, flush=True)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)

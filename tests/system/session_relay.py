#!/usr/bin/env python3
"""A relay between a caller and a listener that writes down every datagram it carries.

    session_relay.py RELAY_PORT LISTENER_PORT CAPTURE_FILE

The caller sends to 127.0.0.1:RELAY_PORT; the relay forwards to 127.0.0.1:LISTENER_PORT from a port of its
own (named on the first line it prints) and sends the answers back to whoever last sent to RELAY_PORT.
Each datagram, either way, becomes one line of CAPTURE_FILE: milliseconds since the relay started, its
sender ("caller" or "listener") and its bytes in hex ("-" for an empty datagram). SIGTERM or SIGINT ends
the relay."""
import select
import signal
import socket
import sys
import time


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.splitlines()[2].strip())
    relay_port, listener_port, capture_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    listener = ("127.0.0.1", listener_port)
    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", relay_port))
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.bind(("127.0.0.1", 0))
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    print(f"relay 127.0.0.1:{relay_port} -> 127.0.0.1:{listener_port} from 127.0.0.1:{back.getsockname()[1]}",
          flush=True)

    caller = None
    start = time.monotonic()
    with open(capture_path, "w", buffering=1) as capture:
        while not stopping:
            try:
                readable, _, _ = select.select([front, back], [], [], 0.1)
            except InterruptedError:
                continue
            for sock in readable:
                try:
                    data, source = sock.recvfrom(65536)
                except OSError:
                    continue  # a port found closed: that datagram is gone
                if sock is front:
                    caller = source
                    target, sender = listener, "caller"
                elif caller is not None:
                    target, sender = caller, "listener"
                else:
                    continue
                at_ms = (time.monotonic() - start) * 1000
                capture.write(f"{at_ms:.1f} {sender} {data.hex() or '-'}\n")
                try:
                    (back if sock is front else front).sendto(data, target)
                except OSError:
                    pass


if __name__ == "__main__":
    main()

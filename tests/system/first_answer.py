#!/usr/bin/env python3
"""Watches a caller's namespace for one call: the time from the caller's first datagram to port PORT (any
family, any interface) to the first datagram that comes back from PORT, and where each went or came from.

Run inside the caller's namespace (it needs root for a packet socket). Prints "ready" once it listens, then
one line "first-sent ADDRESS answered-by ADDRESS after MS" (or "no answer") within SECONDS.

    first_answer.py PORT SECONDS
"""
import ipaddress
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4


def udp_of(frame, protocol):
    """(source, source port, destination, destination port) of a UDP datagram, or None."""
    if protocol == 0x0800 and len(frame) >= 28 and frame[9] == 17:
        header = (frame[0] & 0x0F) * 4
        if len(frame) < header + 8:
            return None
        source = ipaddress.ip_address(frame[12:16])
        destination = ipaddress.ip_address(frame[16:20])
        ports = frame[header:header + 4]
    elif protocol == 0x86DD and len(frame) >= 48 and frame[6] == 17:
        source = ipaddress.ip_address(frame[8:24])
        destination = ipaddress.ip_address(frame[24:40])
        ports = frame[40:44]
    else:
        return None
    source_port, destination_port = struct.unpack("!HH", ports)
    return source, source_port, destination, destination_port


def main():
    port = int(sys.argv[1])
    deadline = time.monotonic() + float(sys.argv[2])
    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    sniffer.settimeout(0.1)
    print("ready", flush=True)
    first_sent = None
    while time.monotonic() < deadline:
        try:
            frame, where = sniffer.recvfrom(65535)
        except socket.timeout:
            continue
        now = time.monotonic()
        datagram = udp_of(frame, where[1])
        if datagram is None or where[0] == "lo":
            continue
        source, source_port, destination, destination_port = datagram
        if where[2] == PACKET_OUTGOING:
            if destination_port == port and first_sent is None:
                first_sent = (now, destination)
        elif source_port == port and first_sent is not None:
            print("first-sent %s answered-by %s after %d" %
                  (first_sent[1], source, round((now - first_sent[0]) * 1000)), flush=True)
            return 0
    print("no answer", flush=True)
    return 1


if __name__ == "__main__":
    sys.exit(main())

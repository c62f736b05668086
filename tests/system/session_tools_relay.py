#!/usr/bin/env python3
"""A relay between a caller and a listener that lets standard tools look at the call.

It forwards every datagram both ways unchanged. Every datagram the caller sends is also written to a pcap
capture (IPv4 and UDP headers made up as the caller sent it: caller's port to the relay's), which tshark
reads; and each of the caller's RTP packets (first byte 0x80-0xBF, second byte outside RTCP's 192-223) is
copied to a tool's port, where ffmpeg receives it as the SDP the caller wrote describes. It prints one line
when ready and, on SIGTERM or SIGINT, one line of counts."""
import argparse
import select
import signal
import socket
import struct
import sys
import time

LINKTYPE_RAW = 101  # each record is an IP packet, no link-layer header
MAX_DATAGRAM = 65535


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_udp(source, destination, payload):
    """The datagram as it went on the wire: IPv4 header, UDP header with its checksum, payload."""
    src_ip = socket.inet_aton(source[0])
    dst_ip = socket.inet_aton(destination[0])
    udp_length = 8 + len(payload)
    pseudo = src_ip + dst_ip + struct.pack("!BBH", 0, socket.IPPROTO_UDP, udp_length)
    udp = struct.pack("!HHHH", source[1], destination[1], udp_length, 0) + payload
    udp_sum = checksum(pseudo + udp) or 0xFFFF
    udp = udp[:6] + struct.pack("!H", udp_sum) + udp[8:]
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + udp_length, 0, 0x4000, 64, socket.IPPROTO_UDP, 0,
                         src_ip, dst_ip)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + udp


class Pcap:
    def __init__(self, path):
        self.out = open(path, "wb")
        self.out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, MAX_DATAGRAM + 28, LINKTYPE_RAW))

    def write(self, packet):
        now = time.time()
        seconds = int(now)
        self.out.write(struct.pack("<IIII", seconds, int((now - seconds) * 1e6), len(packet), len(packet)))
        self.out.write(packet)
        self.out.flush()


def is_rtp(data):
    return len(data) >= 12 and 0x80 <= data[0] <= 0xBF and not 192 <= data[1] <= 223


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("relay_port", type=int, help="where the caller sends")
    parser.add_argument("listener_port", type=int)
    parser.add_argument("--pcap", help="write the caller's datagrams here")
    parser.add_argument("--tool-port", type=int, help="copy the caller's RTP to 127.0.0.1:PORT")
    args = parser.parse_args()

    listener = ("127.0.0.1", args.listener_port)
    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", args.relay_port))
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.bind(("127.0.0.1", 0))
    tool = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    pcap = Pcap(args.pcap) if args.pcap else None

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    print(f"relay 127.0.0.1:{args.relay_port} -> 127.0.0.1:{args.listener_port}", flush=True)

    caller = None
    counts = {"forward": 0, "back": 0, "rtp": 0}
    while not stop:
        try:
            readable, _, _ = select.select([front, back], [], [], 0.1)
        except InterruptedError:
            continue
        for sock in readable:
            data, source = sock.recvfrom(MAX_DATAGRAM)
            if sock is front:
                caller = source
                back.sendto(data, listener)
                counts["forward"] += 1
                if pcap:
                    pcap.write(ipv4_udp(source, ("127.0.0.1", args.relay_port), data))
                if args.tool_port and is_rtp(data):
                    tool.sendto(data, ("127.0.0.1", args.tool_port))
                    counts["rtp"] += 1
            elif caller is not None:
                front.sendto(data, caller)
                counts["back"] += 1
    print(f"forwarded {counts['forward']}, back {counts['back']}, rtp copied {counts['rtp']}", flush=True)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Judges what one side of a call sent, from a capture that session_relay.py or session_plain_peer.py wrote
(one datagram a line: milliseconds, sender, hex or "-" for an empty datagram).

    session_capture.py session CAPTURE SENDER [--frame-samples=N]
        SENDER's datagrams are those of a session: plain audio only until the session began (the peer's
        first hello passed the other way), then numbered audio (one SSRC, sequence +1 and timestamp + one
        frame each, payload types clear of 64-95), quality reports and control datagrams; at most 10 hellos.
    session_capture.py encrypted CAPTURE SENDER
        SENDER's call is encrypted: at most 20 hellos of 56 bytes (the key's commitment, bit 0x10), 88
        (and the key, bit 0x20) or 120 (and the identity key, bit 0x80) in the clear, everything else sealed (type 2, 34 bytes or more) under one sender id with counters +1 from
        0; no plain audio, RTP, RTCP or other control datagram in the clear.
    session_capture.py plain CAPTURE SENDER --payload-bytes=N [--hellos=MAX] [--expect=FILE] [--from-start]
                       [--min-audio=K]
        SENDER's datagrams are the plain wire: type 0 with N bytes of audio, the one-byte marker, and at
        most MAX hellos of 24 bytes, or 56 with a key's commitment (default 0); at least K of them audio. With --expect, the audio is a run of
        whole frames of FILE (what the sender's input encodes to) without a gap; with --from-start, from
        its first frame on.

Prints one summary line, then one "problem:" line for each thing that is wrong; exits 1 after a problem."""
import sys

MAX_DATAGRAM = 10000
HELLO, KEEP_ALIVE, GOODBYE = 1, 2, 3


def read_capture(path):
    rows = []
    with open(path) as capture:
        for line in capture:
            at_ms, sender, data = line.split()
            rows.append((float(at_ms), sender, b"" if data == "-" else bytes.fromhex(data)))
    return rows


def kind_of(data):
    """What a datagram is, by the first bytes, the way a receiver tells them apart."""
    if not data:
        return "empty"
    if data[0] == 0:
        return "plain"
    if data[0] == 1:
        return "marker"
    if data[0] == 4:
        return "control"
    if 0x80 <= data[0] <= 0xBF and len(data) >= 2:
        return "rtcp" if 192 <= data[1] <= 223 else "rtp"
    return "other"


def control_kind(data):
    return data[2] if len(data) >= 3 else None


class Judge:
    def __init__(self):
        self.problems = []

    def problem(self, text):
        if len(self.problems) < 12:
            self.problems.append(text)

    def finish(self, summary):
        print(summary)
        for text in self.problems:
            print("problem: " + text)
        return 1 if self.problems else 0


def judge_session(rows, sender, frame_samples):
    judge = Judge()
    mine = [(at, data) for at, who, data in rows if who == sender]
    if not mine:
        judge.problem(f"the {sender} sent nothing")
        return judge.finish(f"{sender}: nothing")
    # The session began for the sender when the other side's first hello passed toward it.
    peer_hello = next((at for at, who, data in rows
                       if who != sender and kind_of(data) == "control" and control_kind(data) == HELLO), None)
    counts = {}
    hellos = 0
    first_rtp = None
    plain_after_rtp = 0
    plain_after_hello = 0
    ssrcs = set()
    previous = None  # (sequence, timestamp) of the last RTP packet
    steps = set()
    for at, data in mine:
        kind = kind_of(data)
        counts[kind] = counts.get(kind, 0) + 1
        if len(data) > MAX_DATAGRAM:
            judge.problem(f"a datagram of {len(data)} bytes at {at:.0f} ms")
        if kind in ("plain", "marker"):
            if first_rtp is not None:
                plain_after_rtp += 1
            # Datagrams already on their way when the hello arrived are allowed for 100 ms.
            if peer_hello is not None and at > peer_hello + 100:
                plain_after_hello += 1
        elif kind == "control":
            if len(data) != 24:
                judge.problem(f"a control datagram of {len(data)} bytes")
            if control_kind(data) == HELLO:
                hellos += 1
        elif kind == "rtp":
            if first_rtp is None:
                first_rtp = at
            if (data[1] & 0x7F) in range(64, 96):
                judge.problem(f"RTP payload type {data[1] & 0x7F} lies where RTCP's do")
            if len(data) < 12:
                judge.problem(f"an RTP packet of {len(data)} bytes")
                continue
            sequence = int.from_bytes(data[2:4], "big")
            timestamp = int.from_bytes(data[4:8], "big")
            ssrcs.add(int.from_bytes(data[8:12], "big"))
            if previous is not None:
                if sequence != (previous[0] + 1) % 65536:
                    judge.problem(f"RTP sequence {previous[0]} then {sequence}")
                steps.add((timestamp - previous[1]) % (1 << 32))
            previous = (sequence, timestamp)
        elif kind != "rtcp":
            judge.problem(f"a datagram of kind {kind} (first byte 0x{data[0]:02x}) at {at:.0f} ms"
                          if data else f"an empty datagram at {at:.0f} ms")
    if first_rtp is None:
        judge.problem(f"the {sender} sent no numbered audio")
    if counts.get("rtcp", 0) == 0:
        judge.problem(f"the {sender} sent no quality report")
    if hellos > 10:
        judge.problem(f"{hellos} hellos")
    if plain_after_rtp or plain_after_hello:
        judge.problem(f"{max(plain_after_rtp, plain_after_hello)} plain datagrams after the session began")
    if len(ssrcs) > 1:
        judge.problem(f"{len(ssrcs)} SSRCs in one call")
    if len(steps) > 1:
        judge.problem(f"timestamp steps {sorted(steps)}")
    if frame_samples is not None and steps and steps != {frame_samples}:
        judge.problem(f"timestamp step {sorted(steps)}, not one frame of {frame_samples} samples")
    began = f"{first_rtp - mine[0][0]:.0f} ms" if first_rtp is not None else "never"
    summary = (f"{sender}: {len(mine)} datagrams, {hellos} hellos, {counts.get('plain', 0)} plain audio "
               f"({max(plain_after_rtp, plain_after_hello)} after the session began), "
               f"{counts.get('rtp', 0)} RTP from {began} on, {counts.get('rtcp', 0)} RTCP, "
               f"{counts.get('control', 0) - hellos} other control")
    return judge.finish(summary)


def judge_encrypted(rows, sender):
    judge = Judge()
    mine = [(at, data) for at, who, data in rows if who == sender]
    hellos = sealed = 0
    sender_ids = set()
    counters = []
    for at, data in mine:
        if data and data[0] == 2:
            if len(data) < 34:
                judge.problem(f"a sealed datagram of {len(data)} bytes at {at:.0f} ms")
                continue
            sealed += 1
            sender_ids.add(data[1:9])
            counters.append(int.from_bytes(data[9:17], "little"))
        elif kind_of(data) == "control" and control_kind(data) == HELLO:
            hellos += 1
            committed = len(data) == 56 and data[21] & 0x30 == 0x10
            revealed = (len(data) == 88 and data[21] & 0xB0 == 0x30) or (len(data) == 120 and data[21] & 0xB0 == 0xB0)
            if not (committed or revealed):
                judge.problem(f"a hello of {len(data)} bytes without a key at {at:.0f} ms")
        else:
            judge.problem(f"a datagram of kind {kind_of(data)} in the clear at {at:.0f} ms")
    # Ten offering the session, and at most ten more resending the key until the peer holds it.
    if hellos > 20:
        judge.problem(f"{hellos} hellos")
    if sealed == 0:
        judge.problem(f"the {sender} sent nothing sealed")
    if len(sender_ids) > 1:
        judge.problem(f"{len(sender_ids)} sender ids in one call")
    if counters and counters != list(range(len(counters))):
        judge.problem("sealed counters do not run +1 from 0 (or datagrams were lost or reordered)")
    return judge.finish(f"{sender}: {len(mine)} datagrams, {hellos} hellos, {sealed} sealed")


def judge_plain(rows, sender, payload_bytes, max_hellos, expect_path, from_start, min_audio):
    judge = Judge()
    mine = [(at, data) for at, who, data in rows if who == sender]
    audio = []
    markers = hellos = 0
    for at, data in mine:
        kind = kind_of(data)
        if kind == "plain" and len(data) == payload_bytes + 1:
            audio.append(data[1:])
        elif kind == "marker" and len(data) == 1:
            markers += 1
        elif kind == "control" and len(data) in (24, 56) and control_kind(data) == HELLO and hellos < max_hellos:
            hellos += 1
        elif not data:
            judge.problem(f"an empty datagram at {at:.0f} ms")
        else:
            judge.problem(f"a datagram of {len(data)} bytes, first byte 0x{data[0]:02x}, at {at:.0f} ms")
    summary = f"{sender}: {len(mine)} datagrams, {len(audio)} plain audio, {markers} markers, {hellos} hellos"
    if len(audio) < max(1, min_audio):
        judge.problem(f"the {sender} sent {len(audio)} audio frames, fewer than {max(1, min_audio)}")
    if expect_path and audio:
        with open(expect_path, "rb") as expect_file:
            encoded = expect_file.read()
        frames = [encoded[i:i + payload_bytes] for i in range(0, len(encoded) - payload_bytes + 1, payload_bytes)]
        starts = [0] if from_start else range(len(frames))
        # The longest run of the input's frames the audio follows, from the start that gives it.
        best_start, best_run = 0, -1
        for start in starts:
            run = 0
            while run < len(audio) and start + run < len(frames) and audio[run] == frames[start + run]:
                run += 1
            if run > best_run:
                best_start, best_run = start, run
            if run == len(audio):
                break
        summary += (f"; the audio is frames {best_start}..{best_start + best_run - 1} of the input" if best_run > 0
                    else "; the audio does not begin with a frame of the input")
        if best_run < len(audio):
            judge.problem(f"audio frame {best_run} of {len(audio)} is not frame {best_start + best_run} "
                          f"of the input (a gap, a change or foreign bytes)")
    return judge.finish(summary)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    options = dict(a[2:].split("=", 1) if "=" in a else (a[2:], "") for a in sys.argv[1:] if a.startswith("--"))
    if len(args) != 3 or args[0] not in ("session", "encrypted", "plain"):
        sys.exit(__doc__)
    mode, path, sender = args
    rows = read_capture(path)
    if mode == "encrypted":
        return judge_encrypted(rows, sender)
    if mode == "session":
        frame_samples = int(options["frame-samples"]) if "frame-samples" in options else None
        return judge_session(rows, sender, frame_samples)
    return judge_plain(rows, sender, int(options["payload-bytes"]), int(options.get("hellos", "0")),
                       options.get("expect"), "from-start" in options, int(options.get("min-audio", "1")))


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# Whether a long call loses captured audio on its way through a sound server: a private server (SERVER=pulse:
# PulseAudio; SERVER=pipewire: PipeWire with its PulseAudio server) plays a steady 440 Hz tone into a null
# sink; a caller records that sink's monitor through the backend the program picks (or AUDIO) and calls a
# listener on the loopback whose speaker is a WAV file, so that every gap in the listener's file is audio the
# capture, the network or the playout lost, and none the listener's own device did. Prints the tone's level
# and every stretch longer than 5 ms that falls more than 10 dB below it (count, longest, total), apart from
# the chunks the listener's file device played as silence because it was fed late, both copies' Statistics
# lines, and each process's processor time per second of call.
#
#   bench/measure_server_gaps.sh [BUILD_DIR] [SECONDS]        (defaults: build, 600)
#
# Environment: SERVER (pulse or pipewire), AUDIO (the caller's backend: auto, pulse or pipewire), CODEC
# (default ilbc_11khz), KEEP=1 keeps the recording and logs. The caller's voice processing is off: its noise
# suppression takes a steady tone for noise. Calls on the loopback only: no port mapping or LAN announcing.
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
set -eu

build=${1:-build}
seconds=${2:-600}
codec=${CODEC:-ilbc_11khz}
audio=${AUDIO:-auto}
server=${SERVER:-pulse}
here=$(cd "$(dirname "$0")" && pwd)
qparlin=$build/qparlin
[ -x "$qparlin" ] || { echo "build first: make build" >&2; exit 1; }
case "$server" in
    pulse) server_tool=pulseaudio ;;
    pipewire) server_tool=pipewire-pulse ;;
    *) echo "measure_server_gaps: SERVER must be pulse or pipewire" >&2; exit 2 ;;
esac
for tool in $server_tool pactl paplay sox python3; do
    command -v $tool >/dev/null || { echo "measure_server_gaps: $tool is missing (make deps)" >&2; exit 1; }
done

# In memory where the machine has it, so that no write of the listener's file device waits for a disk.
fast=/dev/shm
[ -d "$fast" ] && [ -w "$fast" ] || fast=/tmp
work=$(mktemp -d "$fast/qp-gaps.XXXXXX")
pids=()
. "$here/private_server.sh"
cleanup() {
    stop_private_server
    if [ "${KEEP:-0}" = 1 ]; then echo "recording and logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

start_private_server
pactl load-module module-null-sink sink_name=tone rate=48000 channels=1 >/dev/null
pactl load-module module-null-sink sink_name=spk_b rate=48000 channels=1 >/dev/null

case "$codec" in
    *_8khz) rate=8000 ;;
    *_11khz) rate=11025 ;;
    opus_16khz) rate=16000 ;;
    opus_24khz) rate=24000 ;;
    opus) rate=48000 ;;
    *) rate=22050 ;;
esac
sox -n -r 48000 -c 1 -b 16 "$work/tone.wav" synth $((seconds + 30)) sine 440 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/silence.wav" trim 0 $((seconds + 30))

wait_for() {  # FILE TEXT: until FILE holds TEXT, for at most 10 s
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "measure_server_gaps: no '$2' in $1" >&2
    return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

paplay -d tone "$work/tone.wav" &
player=$!
pids+=("$player")
port=$((20000 + RANDOM % 20000))
"$qparlin" --headless --audio=file --input-wav="$work/silence.wav" --output-wav="$work/heard.wav" \
    -a:"$codec" -l:"$port":yes >"$work/listener.out" 2>&1 &
listener=$!
pids+=("$listener")
wait_for "$work/listener.out" "Listening"
"$qparlin" --headless --audio="$audio" --voice-processing=off --input-device=tone.monitor \
    --output-device=spk_b -a:"$codec" -c:127.0.0.1:"$port":yes >"$work/caller.out" 2>&1 &
caller=$!
pids+=("$caller")
wait_for "$work/caller.out" "Connected"
c0=$(cpu_ticks "$caller")
l0=$(cpu_ticks "$listener")
echo "== a $seconds s $codec call through $server (caller on --audio=$audio), listener to a WAV file"
sleep "$seconds"
c1=$(cpu_ticks "$caller")
l1=$(cpu_ticks "$listener")
for pid in "$caller" "$listener"; do kill -USR1 "$pid"; done
sleep 0.5
echo "caller: $(grep '^Statistics' "$work/caller.out" | tail -n 1)"
echo "listener: $(grep '^Statistics' "$work/listener.out" | tail -n 1)"
awk -v c=$((c1 - c0)) -v l=$((l1 - l0)) -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "cpu per second of call: caller %.1f ms, listener %.1f ms\n", c * 1000 / hz / s, l * 1000 / hz / s }'
kill -TERM "$caller" "$listener" "$player" 2>/dev/null || true
wait "$caller" "$listener" "$player" 2>/dev/null || true

# The tone's level over 5 ms blocks, from 3 s in to 3 s before the end (the call's start and end are no
# gaps), and every run of blocks more than 10 dB below the median block. A stretch of exact zeros that starts
# and ends on the listener's own 5 ms chunks is its file device playing silence because it was fed late (a
# sound card does the same): the machine held one of its threads, and that is told apart, since it is
# neither capture nor network. Anything that passed through the codec is never exactly zero for a chunk.
python3 - "$work/heard.wav" <<'PY'
import array, math, sys, wave
with wave.open(sys.argv[1]) as w:
    rate = w.getframerate()
    samples = array.array("h", w.readframes(w.getnframes()))
block = rate // 200
chunk = max(rate * 5 // 1000, 1)  # the file device's chunk (5 ms)
# Runs of exact zeros on the chunk grid, whole chunks long.
dry = bytearray(len(samples))
dry_runs, start = [], None
for i, x in enumerate(samples):
    if x == 0:
        if start is None:
            start = i
        continue
    if start is not None:
        first = -(-start // chunk) * chunk  # the first chunk wholly inside the run
        last = i // chunk * chunk
        if last - first >= chunk:
            dry_runs.append((first, last - first))
            dry[first:last] = b"\x01" * (last - first)
        start = None
levels, excused = [], []
for start in range(3 * rate, len(samples) - 3 * rate - block, block):
    piece = samples[start:start + block]
    levels.append(math.sqrt(sum(x * x for x in piece) / block) + 1e-9)
    excused.append(sum(dry[start:start + block]) * 2 > block)
if not levels:
    sys.exit("measure_server_gaps: the listener's file holds less than 6 s")
ordered = sorted(levels)
median = ordered[len(ordered) // 2]
floor = median / math.sqrt(10)
gaps, run = [], 0
for level, dry_block in zip(levels + [median], excused + [False]):
    if level < floor and not dry_block:
        run += 1
    elif run:
        if run > 1:
            gaps.append(run * 5)
        run = 0
inside = [r for r in dry_runs if 3 * rate <= r[0] < len(samples) - 3 * rate]
db = 20 * math.log10(median / 32768)
print(f"tone level {db:.1f} dBFS over {len(levels) * 5 / 1000:.0f} s; gaps longer than 5 ms more than 10 dB "
      f"below it: {len(gaps)}, longest {max(gaps, default=0)} ms, in all {sum(gaps)} ms"
      + (f" ({', '.join(str(g) for g in gaps[:20])} ms)" if gaps else ""))
print(f"the listener's own file device fed late (exact silence on its chunks): {len(inside)} times, "
      f"in all {sum(r[1] for r in inside) * 1000 / rate:.0f} ms"
      + (f", at {', '.join(f'{r[0] / rate:.1f}' for r in inside[:12])} s" if inside else ""))
PY

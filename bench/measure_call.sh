#!/usr/bin/env bash
# Measures one G.711 call between two qparlin --headless processes on 127.0.0.1 with WAV-file audio:
# the one-way delay added from the caller's input file to the listener's output file, the datagrams per
# second, and the processor time per second of call and peak resident memory of each process.
#
#   bench/measure_call.sh [BUILD_DIR] [SECONDS] [CODEC]
#
# QPARLIN_ARGS adds options to both copies (QPARLIN_ARGS=--session=off measures the plain wire).
#
# The delay is the lag at which each 1-second window of the caller's input best matches the listener's
# output, corrected by the moments the two files really started: the caller's recording and the
# listener's playback each print theirs on the shared monotonic clock (QPARLIN_TRACE=1).
# Calls on the loopback only: no port mapping or LAN announcing toward the machine's own network.
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
set -eu

build=${1:-build}
seconds=${2:-30}
codec=${3:-g711_8khz}
case "$codec" in *_8khz) rate=8000 ;; *_11khz) rate=11025 ;; *) rate=22050 ;; esac
qparlin=$build/qparlin
compare=$build/tests/wav_compare
[ -x "$qparlin" ] && [ -x "$compare" ] || { echo "build first: make build" >&2; exit 1; }

work=$(mktemp -d)
trap 'kill -KILL ${listener:-} ${caller:-} 2>/dev/null; rm -rf "$work"' EXIT
sox -n -r "$rate" -c 1 -b 16 "$work/in.wav" synth "$seconds" sine 200-1800 sine 300 tremolo 3 80 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/quiet.wav" trim 0 "$seconds"

udp_in() { awk '/^Udp: [0-9]/ {print $2}' /proc/net/snmp; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

port=$((20000 + RANDOM % 40000))
QPARLIN_TRACE=1 "$qparlin" --headless --audio=file --input-wav="$work/quiet.wav" --output-wav="$work/out.wav" \
    ${QPARLIN_ARGS:-} -a:"$codec" -l:"$port":yes >"$work/listener.out" 2>"$work/listener.err" &
listener=$!
sleep 0.5
datagrams_before=$(udp_in)
QPARLIN_TRACE=1 "$qparlin" --headless --audio=file --input-wav="$work/in.wav" --output-wav="$work/caller-out.wav" \
    ${QPARLIN_ARGS:-} -a:"$codec" -c:127.0.0.1:"$port":yes >"$work/caller.out" 2>"$work/caller.err" &
caller=$!
sleep "$seconds"
datagrams=$(( $(udp_in) - datagrams_before ))
ticks_caller=$(cpu_ticks "$caller")
ticks_listener=$(cpu_ticks "$listener")
peak_caller=$(awk '/^VmHWM/ {print $2}' "/proc/$caller/status")
peak_listener=$(awk '/^VmHWM/ {print $2}' "/proc/$listener/status")
kill -TERM "$caller" "$listener"
wait "$caller" "$listener" || true

hz=$(getconf CLK_TCK)
t_played=$(sed -n 's/^wav playback starts at \([0-9.]*\) ms$/\1/p' "$work/listener.err" | head -1)
t_recorded=$(sed -n 's/^wav recording starts at \([0-9.]*\) ms$/\1/p' "$work/caller.err" | head -1)
[ -n "$t_played" ] && [ -n "$t_recorded" ] || { echo "measure_call: the start times were not printed" >&2; exit 1; }
# A lag in the files is that much delay, plus how much earlier the listener's output file began.
offset=$(awk -v r="$t_recorded" -v p="$t_played" 'BEGIN { print r - p }')
result=$("$compare" "$work/in.wav" "$work/out.wav")
median=$(sed -n 's/.*median_lag_ms=\([-0-9.]*\).*/\1/p' <<<"$result")
p95=$(sed -n 's/.*p95_lag_ms=\([-0-9.]*\).*/\1/p' <<<"$result")
echo "codec $codec, $seconds s call: $result"
awk -v m="$median" -v p="$p95" -v o="$offset" 'BEGIN { printf "one-way added delay: median %.0f ms, 95th percentile %.0f ms\n", m - o, p - o }'
awk -v d="$datagrams" -v s="$seconds" 'BEGIN { printf "datagrams received per second (both directions): %.1f\n", d / s }'
awk -v c="$ticks_caller" -v l="$ticks_listener" -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "processor time per second of call: caller %.1f ms, listener %.1f ms\n", 1000 * c / hz / s, 1000 * l / hz / (s + 0.5) }'
echo "peak resident memory: caller $peak_caller KB, listener $peak_listener KB"

#!/usr/bin/env bash
# Measures one G.711 call between two qparlin --headless processes on 127.0.0.1 with WAV-file audio:
# the one-way delay added from the caller's input file to the listener's output file, the datagrams per
# second, and the processor time per second of call of each process.
#
#   bench/measure_call.sh [BUILD_DIR] [SECONDS] [CODEC]
#
# The delay is the lag at which each 1-second window of the caller's input best matches the listener's
# output, less the difference between the two processes' start times (both start their audio at once).
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
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

port=$((20000 + RANDOM % 40000))
t_listener=$(now_ms)
"$qparlin" --headless --audio=file --input-wav="$work/quiet.wav" --output-wav="$work/out.wav" \
    -a:"$codec" -l:"$port":yes >"$work/listener.out" &
listener=$!
sleep 0.5
t_caller=$(now_ms)
datagrams_before=$(udp_in)
"$qparlin" --headless --audio=file --input-wav="$work/in.wav" --output-wav="$work/caller-out.wav" \
    -a:"$codec" -c:127.0.0.1:"$port":yes >"$work/caller.out" &
caller=$!
sleep "$seconds"
datagrams=$(( $(udp_in) - datagrams_before ))
ticks_caller=$(cpu_ticks "$caller")
ticks_listener=$(cpu_ticks "$listener")
kill -TERM "$caller" "$listener"
wait "$caller" "$listener" || true

hz=$(getconf CLK_TCK)
offset=$((t_caller - t_listener))
result=$("$compare" "$work/in.wav" "$work/out.wav")
median=$(sed -n 's/.*median_lag_ms=\([-0-9.]*\).*/\1/p' <<<"$result")
p95=$(sed -n 's/.*p95_lag_ms=\([-0-9.]*\).*/\1/p' <<<"$result")
echo "codec $codec, $seconds s call: $result"
awk -v m="$median" -v p="$p95" -v o="$offset" 'BEGIN { printf "one-way added delay: median %.0f ms, 95th percentile %.0f ms\n", m - o, p - o }'
awk -v d="$datagrams" -v s="$seconds" 'BEGIN { printf "datagrams received per second (both directions): %.1f\n", d / s }'
awk -v c="$ticks_caller" -v l="$ticks_listener" -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "processor time per second of call: caller %.1f ms, listener %.1f ms\n", 1000 * c / hz / s, 1000 * l / hz / (s + 0.5) }'

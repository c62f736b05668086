#!/usr/bin/env bash
# A listening qparlin --headless takes 30 s of random datagrams at the highest rate one sending process
# reaches (udp_flood), then a storm of 5000 empty datagrams in about two seconds (each one ends a call,
# and the listener listens again), then a normal caller gets a working call from it: served at the normal
# frame rate within 2 s, and the listener ends within 3 s of SIGTERM. Prints the listener's resident
# memory and counts before and after; they are reported, not judged.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
: "${UDP_FLOOD:?UDP_FLOOD must name the built udp_flood}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
flood_seconds=${FLOOD_SECONDS:-30}
codec=ilbc_11khz
rate=11025
frame_bytes=50  # one 30 ms iLBC frame

. "$(dirname "$0")/common.sh"
alive() { kill -0 "$1" 2>/dev/null && [ "$(ps -o stat= -p "$1" | cut -c1)" != Z ]; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
# The counts of the listener, or of the process $1 whose output is $2.
statistics() { statistics_of "${1:-$listener}" "${2:-$work/listener.out}"; }
received() { sed -n 's/.* sent, \([0-9]*\) received.*/\1/p' <<<"$1"; }

sox -n -r "$rate" -c 1 -b 16 "$work/caller.wav" synth 6 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/listener.wav" synth $((flood_seconds + 30)) square 150-600 tremolo 5 60 vol 0.3

start_listener "$work" --audio=file --input-wav="$work/listener.wav" --output-wav="$work/listener-out.wav" \
    -a:"$codec" || { echo "FAIL: the listener never listened" >&2; exit 1; }

rss_before=$(rss_kb "$listener")
echo "before the flood: resident $rss_before kB; $(statistics)"
"$UDP_FLOOD" 127.0.0.1 "$port" "$flood_seconds" "$frame_bytes" || fail "udp_flood failed"
if ! alive "$listener"; then
    wait "$listener"
    echo "FAIL: the listener died in the flood (status $?): $(tail -n 5 "$work/listener.err")" >&2
    exit 1
fi
rss_after=$(rss_kb "$listener")
echo "after the flood: resident $rss_after kB; $(statistics)"
echo "status lines during the flood: $(sort "$work/listener.out" | grep -v '^Statistics' | uniq -c | tr -s ' \n' ' ')"

# Empty datagrams: each ends the call it reaches, and the listener listens again. Ending and starting
# must never pile up work (a recording device's stop waits half a second).
python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(5000):
    s.sendto(b"", ("127.0.0.1", int(sys.argv[1])))
    time.sleep(0.0004)
' "$port"
alive "$listener" || fail "the listener died in the storm of empty datagrams"
echo "after 5000 empty datagrams: $(statistics)"

# The listener is listening again, or still in a call with the flood's socket; either way a caller's
# first datagram makes the caller its peer.
"$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" --output-wav="$work/caller-out.wav" \
    -a:"$codec" -c:127.0.0.1:"$port":yes >"$work/caller.out" 2>"$work/caller.err" &
caller=$!
pids+=("$caller")
wait_for_line "$work/caller.out" "Connected." 5 || fail "the caller did not print Connected."
# From 2 s after connecting the listener sends at its frame rate (46 a second with this codec).
sleep 2
from=$(received "$(statistics "$caller" "$work/caller.out")")
sleep 2
to=$(received "$(statistics "$caller" "$work/caller.out")")
echo "the caller received $((to - from)) datagrams from the listener between 2 s and 4 s into the call"
[ $((to - from)) -ge 70 ] || fail "the listener sent only $((to - from)) datagrams in those 2 s"
sleep 3
kill -TERM "$caller"
wait "$caller" || fail "the caller ended with status $?"
echo "after the call: resident $(rss_kb "$listener") kB; $(statistics)"
kill -TERM "$listener"
for _ in $(seq 30); do alive "$listener" || break; sleep 0.1; done
alive "$listener" && fail "the listener was still running 3 s after SIGTERM"
wait "$listener" || fail "the listener ended with status $? after SIGTERM"
[ ! -s "$work/listener.err" ] || fail "the listener wrote to stderr: $(head -n 5 "$work/listener.err")"

result=$("$WAV_COMPARE" "$work/caller.wav" "$work/listener-out.wav" --min-corr=0.5) ||
    fail "the listener's output does not hold the caller's sound: $result"
echo "caller -> listener after the flood: $result"
"$WAV_COMPARE" --loud "$work/caller-out.wav" >/dev/null || fail "the caller heard nothing from the listener"

finish "the listener survived the flood and then carried a call"

#!/usr/bin/env bash
# A listening qparlin --headless takes 30 s of random datagrams at the highest rate one sending process
# reaches (udp_flood), then a normal caller gets a working call from it. Prints the listener's resident
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
# Asks the listener for its counts and prints the line it answers with.
statistics() {
    local before
    before=$(grep -c '^Statistics:' "$work/listener.out")
    kill -USR1 "$listener"
    for _ in $(seq 50); do
        [ "$(grep -c '^Statistics:' "$work/listener.out")" -gt "$before" ] && break
        sleep 0.1
    done
    grep '^Statistics:' "$work/listener.out" | tail -n 1
}

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

# The listener is listening again, or still in a call with the flood's socket; either way a caller's
# first datagram makes the caller its peer.
sleep 1
"$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" --output-wav="$work/caller-out.wav" \
    -a:"$codec" -c:127.0.0.1:"$port":yes >"$work/caller.out" 2>"$work/caller.err" &
caller=$!
pids+=("$caller")
wait_for_line "$work/caller.out" "Connected." 5 || fail "the caller did not print Connected."
sleep 7
kill -TERM "$caller"
wait "$caller" || fail "the caller ended with status $?"
echo "after the call: resident $(rss_kb "$listener") kB; $(statistics)"
kill -TERM "$listener"
wait "$listener" || fail "the listener ended with status $? after SIGTERM"
[ ! -s "$work/listener.err" ] || fail "the listener wrote to stderr: $(head -n 5 "$work/listener.err")"

result=$("$WAV_COMPARE" "$work/caller.wav" "$work/listener-out.wav" --min-corr=0.5) ||
    fail "the listener's output does not hold the caller's sound: $result"
echo "caller -> listener after the flood: $result"
"$WAV_COMPARE" --loud "$work/caller-out.wav" >/dev/null || fail "the caller heard nothing from the listener"

finish "the listener survived the flood and then carried a call"

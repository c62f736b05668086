#!/usr/bin/env bash
# A call through a poor network: tests/soak/udp_relay.py holds each datagram 0 to 40 ms (never letting one
# overtake another) and loses 2 % of them, a third of the losses in bursts of three. With the adaptive
# playout the listener's speaker must carry the caller's sound with no long silence (a lost frame is
# concealed, not left silent); with --playout=direct the same network leaves silent gaps, which shows
# that the check can fail.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
: "${QPARLIN_SOURCE_DIR:?QPARLIN_SOURCE_DIR must name the source tree}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
. "$(dirname "$0")/common.sh"

seconds=8
codec=ilbc_11khz
rate=11025
sox -n -r "$rate" -c 1 -b 16 "$work/caller.wav" synth "$seconds" sine 200-1800 sine 300 tremolo 3 80 vol 0.4

# One call through the relay (the same losses each time: a fixed seed); sets `gap` to the longest silence
# in what the listener played.
call() {
    local name=$1
    shift
    start_listener "$work" --audio=file --output-wav="$work/$name-out.wav" -a:"$codec" "$@" ||
        { fail "$name: the listener never listened"; return; }
    local relay_port=$((port + 1))
    python3 "$QPARLIN_SOURCE_DIR/tests/soak/udp_relay.py" "$relay_port" "$port" --drop 0.04 --burst 0.33 \
        --burst-len 3 --delay-ms 0 --jitter-ms 40 --reorder 0 --no-overtake --seed 3 >"$work/$name.relay" 2>&1 &
    local relay=$!
    pids+=("$relay")
    wait_for_line "$work/$name.relay" "relay 127.0.0.1:$relay_port -> 127.0.0.1:$port" 5 ||
        { fail "$name: the relay did not start"; return; }
    "$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" -a:"$codec" \
        -c:127.0.0.1:"$relay_port":yes "$@" >"$work/$name-caller.out" 2>"$work/$name-caller.err" &
    local caller=$!
    pids+=("$caller")
    wait_for_line "$work/$name-caller.out" "Connected." 5 || fail "$name: the caller did not print Connected."
    sleep $((seconds + 1))
    kill -USR1 "$listener"
    sleep 0.3
    kill -TERM "$caller" "$relay"
    wait "$caller" "$relay" 2>/dev/null
    kill -TERM "$listener"
    wait "$listener" || fail "$name: the listener ended with status $?"
    echo "$name: $(tail -n 1 "$work/$name.relay"); listener's $(grep '^Statistics' "$work/listener.out" | tail -n 1)"
    gap=$("$WAV_COMPARE" --longest-gap "$work/$name-out.wav" | sed -n 's/^longest_gap_ms=//p')
    echo "$name: longest silence in what the listener played: ${gap:-?} ms"
}

call adaptive
[ -n "${gap:-}" ] && [ "$gap" -le 30 ] || fail "adaptive playout left a silence of ${gap:-?} ms"
# The playout stretches the timeline in small steps, which per-second correlation punishes: this only
# checks that the caller's sound is there; the silences are what the test judges.
result=$("$WAV_COMPARE" "$work/caller.wav" "$work/adaptive-out.wav" --min-corr=0.3) ||
    fail "the listener's output does not hold the caller's sound: $result"
echo "adaptive: caller -> listener $result"

call direct --playout=direct
[ -n "${gap:-}" ] && [ "$gap" -ge 15 ] || fail "direct playout left no gap (${gap:-?} ms): the check shows nothing"

finish "through a lossy, jittery relay the adaptive playout leaves no silent gap"

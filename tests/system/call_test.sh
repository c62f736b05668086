#!/usr/bin/env bash
# Two qparlin --headless processes call each other over 127.0.0.1 (and once over [::1]) with WAV-file audio, once per codec:
# both print their status lines, each side's output holds the other side's sound, and SIGTERM ends both
# cleanly. Under the sanitizers (QPARLIN_SANITIZED=1) only the status lines and non-silent output count.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
sanitized=${QPARLIN_SANITIZED:-0}

. "$(dirname "$0")/common.sh"


call() {
    local codec=$1 rate=$2 min_corr=$3 host=${4:-127.0.0.1}
    local dir="$work/$codec${4:+-ipv6}"
    mkdir -p "$dir"
    # The caller's input: a sweep under a tremolo. The listener's: 2 s of silence (what it queues while it
    # waits for its peer carries nothing), then a buzzing glide.
    sox -n -r "$rate" -c 1 -b 16 "$dir/caller.wav" synth 6 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
    sox -n -r "$rate" -c 1 -b 16 "$dir/voice.wav" synth 4 square 150-600 tremolo 5 60 vol 0.3
    sox -n -r "$rate" -c 1 -b 16 "$dir/silence.wav" trim 0 2
    sox "$dir/silence.wav" "$dir/voice.wav" "$dir/listener.wav"

    start_listener "$dir" --audio=file --input-wav="$dir/listener.wav" --output-wav="$dir/listener-out.wav" \
        -a:"$codec" || { fail "$codec: the listener never listened"; return; }
    "$QPARLIN" --headless --audio=file --input-wav="$dir/caller.wav" --output-wav="$dir/caller-out.wav" \
        -a:"$codec" -c:"$host":"$port":yes >"$dir/caller.out" 2>"$dir/caller.err" &
    local caller=$!
    pids+=("$caller")

    wait_for_line "$dir/caller.out" "Connected." 5 || fail "$codec: the caller did not print Connected."
    wait_for_line "$dir/listener.out" "Connected." 5 || fail "$codec: the listener did not print Connected."
    sleep 7

    terminate "$caller"
    [ "$ended" = 0 ] || fail "$codec: the caller ended with '$ended' after SIGTERM"
    terminate "$listener"
    [ "$ended" = 0 ] || fail "$codec: the listener ended with '$ended' after SIGTERM"
    [ "$(head -n 2 "$dir/listener.out" | tr '\n' ' ')" = "Listening... Connected. " ] ||
        fail "$codec: listener printed: $(cat "$dir/listener.out")"
    [ "$(head -n 1 "$dir/caller.out")" = "Connected." ] || fail "$codec: caller printed: $(cat "$dir/caller.out")"
    for side in listener caller; do
        [ ! -s "$dir/$side.err" ] || fail "$codec: the $side wrote to stderr: $(cat "$dir/$side.err")"
    done

    if [ "$sanitized" = 1 ]; then
        "$WAV_COMPARE" --loud "$dir/listener-out.wav" >/dev/null || fail "$codec: the listener heard nothing"
        "$WAV_COMPARE" --loud "$dir/caller-out.wav" >/dev/null || fail "$codec: the caller heard nothing"
        return
    fi
    local result
    result=$("$WAV_COMPARE" "$dir/caller.wav" "$dir/listener-out.wav" --min-corr="$min_corr") ||
        fail "$codec: the listener's output does not match the caller's input: $result"
    echo "$codec caller -> listener: $result"
    result=$("$WAV_COMPARE" "$dir/listener.wav" "$dir/caller-out.wav" --skip=2 --min-corr="$min_corr") ||
        fail "$codec: the caller's output does not match the listener's input: $result"
    echo "$codec listener -> caller: $result"
}

# G.711 keeps the waveform closely; GSM and iLBC are judged only as a wiring check.
call g711_8khz 8000 0.9
call g711_11khz 11025 0.9
call gsm_8khz 8000 0.5
call gsm_22khz 22050 0.5
call ilbc_11khz 11025 0.5
# The same over the IPv6 loopback, to the same dual-stack listener.
if ip -6 addr show dev lo 2>/dev/null | grep -q "inet6 ::1"; then
    call g711_8khz 8000 0.9 "[::1]"
fi

finish "two processes carried sound both ways"

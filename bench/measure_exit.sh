#!/usr/bin/env bash
# How long the console takes to end after Ctrl-C (SIGINT), idle-listening and in a call, on the null and
# WAV backends (and on the sound server when PULSE_SERVER names one): RUNS runs each, the median and the
# longest in milliseconds.
#   bench/measure_exit.sh [BUILD_DIR]     RUNS=5 by default
set -euo pipefail
build=${1:-build}
runs=${RUNS:-5}
qparlin=$build/qparlin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
sox -n -r 11025 -c 1 -b 16 "$work/in.wav" synth 30 sine 440

# One run: a listener with the backend's options, a caller when $2 is "call"; prints the milliseconds from
# SIGINT to the listener's end.
one() {
    local options=$1 mode=$2 port=$((20000 + RANDOM % 40000)) caller=""
    # shellcheck disable=SC2086 # the backend's options are separate words
    "$qparlin" --headless $options -l:"$port":yes >"$work/l.out" 2>&1 &
    local listener=$!
    sleep 0.5
    if [ "$mode" = call ]; then
        "$qparlin" --headless --audio=null -c:127.0.0.1:"$port":yes >/dev/null 2>&1 &
        caller=$!
        sleep 1.5
    fi
    local started
    started=$(date +%s%N)
    kill -INT "$listener"
    wait "$listener" || true
    echo $((($(date +%s%N) - started) / 1000000))
    [ -z "$caller" ] || { kill -INT "$caller"; wait "$caller" || true; }
}

backends=("null|--audio=null" "wav|--input-wav=$work/in.wav --output-wav=$work/out.wav")
[ -n "${PULSE_SERVER:-}" ] && backends+=("pulse|--audio=pulse")
for entry in "${backends[@]}"; do
    for mode in idle call; do
        times=()
        for _ in $(seq "$runs"); do times+=("$(one "${entry#*|}" "$mode")"); done
        sorted=$(printf '%s\n' "${times[@]}" | sort -n)
        printf '%-6s %-5s median %4d ms, longest %4d ms (%d runs)\n' "${entry%%|*}" "$mode" \
            "$(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")" "$(tail -n 1 <<<"$sorted")" "$runs"
    done
done

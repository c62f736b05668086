#!/usr/bin/env bash
# What the key agreement adds to a call's start: calls between two qparlin --headless processes (WAV-file
# devices, gsm_8khz) over a path of ONE_WAY_MS each way (tests/soak/udp_relay.py, nothing lost), with the
# default encryption and with --encrypt=off, RUNS of each. A recording relay at the caller's end
# (tests/system/session_relay.py) stamps every datagram; from the caller's first hello it reads when the
# first audio frame reached each side (the caller's as sent, plus the path; the listener's as it arrived).
#
#   bench/measure_key_start.sh [BUILD_DIR] [RUNS]       (ONE_WAY_MS=20 by default)
#
# Prints one line per call and the medians of each kind, and the difference.
set -u
build=${1:-build}
runs=${2:-5}
one_way=${ONE_WAY_MS:-20}
here=$(cd "$(dirname "$0")" && pwd)
qparlin="$build/qparlin"
[ -x "$qparlin" ] || { echo "measure_key_start: no $qparlin (build first)" >&2; exit 1; }
command -v sox >/dev/null || { echo "measure_key_start: sox is missing (make deps)" >&2; exit 1; }
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
work=$(mktemp -d)
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

sox -n -r 8000 -c 1 -b 16 "$work/tone.wav" synth 6 sine 300-900 vol 0.4

wait_for() {  # FILE TEXT: until FILE holds TEXT, for at most 10 s
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "measure_key_start: no '$2' in $1" >&2
    return 1
}

# One call: NAME [OPTIONS]; prints "NAME caller_ms listener_ms".
call() {
    local name=$1
    shift
    local port=$((20000 + RANDOM % 20000))
    "$qparlin" --headless --audio=file --input-wav="$work/tone.wav" -a:gsm_8khz "$@" -l:"$port":yes \
        >"$work/$name.listener" 2>&1 &
    local listener=$!
    pids+=("$listener")
    wait_for "$work/$name.listener" "Listening" || return
    python3 "$here/../tests/soak/udp_relay.py" $((port + 1)) "$port" --drop 0 --delay-ms "$one_way" \
        --jitter-ms 0 --reorder 0 >"$work/$name.path" 2>&1 &
    local path=$!
    pids+=("$path")
    python3 "$here/../tests/system/session_relay.py" $((port + 2)) $((port + 1)) "$work/$name.capture" \
        >"$work/$name.relay" 2>&1 &
    local relay=$!
    pids+=("$relay")
    wait_for "$work/$name.path" "relay" || return
    wait_for "$work/$name.relay" "relay" || return
    "$qparlin" --headless --audio=file --input-wav="$work/tone.wav" -a:gsm_8khz "$@" -c:127.0.0.1:$((port + 2)):yes \
        >"$work/$name.caller" 2>&1 &
    local caller=$!
    pids+=("$caller")
    sleep 2
    kill -TERM "$caller" "$listener" 2>/dev/null
    wait "$caller" "$listener" 2>/dev/null
    kill -TERM "$relay" "$path" 2>/dev/null
    wait "$relay" "$path" 2>/dev/null
    # A GSM frame is 33 bytes: 45 in RTP, 78 sealed.
    awk -v name="$name" -v one_way="$one_way" '
        start == "" { start = $1 }
        ($3 != "-") && (length($3) == 90 || length($3) == 156) {
            if ($2 == "caller" && caller == "") caller = $1 - start + one_way
            if ($2 == "listener" && listener == "") listener = $1 - start
        }
        END { printf "%s %.1f %.1f\n", name, caller, listener }' "$work/$name.capture"
}

results="$work/results"
for i in $(seq "$runs"); do
    call "encrypted-$i" | tee -a "$results"
    call "clear-$i" --encrypt=off | tee -a "$results"
done
median() {  # KIND COLUMN
    grep "^$1-" "$results" | awk -v c="$2" '{ print $c }' | sort -n |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo "path: $one_way ms each way; ms from the caller's first hello to the first audio frame at each side"
for kind in encrypted clear; do
    echo "$kind: at the listener (the caller's sound) $(median "$kind" 2) ms, at the caller (the listener's) $(median "$kind" 3) ms"
done
echo "key agreement adds: $(awk -v a="$(median encrypted 2)" -v b="$(median clear 2)" 'BEGIN { printf "%.1f", a - b }') ms to the caller's sound, $(awk -v a="$(median encrypted 3)" -v b="$(median clear 3)" 'BEGIN { printf "%.1f", a - b }') ms to the listener's"

#!/usr/bin/env bash
# Soak test: long calls between qparlin --headless processes with WAV-file audio, iLBC at 11025 Hz. Two
# calls run side by side: one straight over 127.0.0.1, one through udp_relay.py, which loses 5 % of the
# datagrams, adds 5 to 25 ms of delay and holds one in a hundred back long enough to be overtaken.
# Reports, for each process: processor time per second of call, resident memory at the start (after 10 s),
# at its largest and at the end, and the link's counts (datagrams sent and received, send-queue and
# playback drops). Figures are reported, not judged; the script fails only when a process dies.
#
#   tests/soak/soak.sh [BUILD_DIR] [MINUTES]
# Calls on the loopback only: no port mapping or LAN announcing toward the machine's own network.
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
set -u

build=${1:-build}
minutes=${2:-30}
seconds=$((minutes * 60))
codec=ilbc_11khz
rate=11025
here=$(cd "$(dirname "$0")" && pwd)
qparlin=$build/qparlin
[ -x "$qparlin" ] || { echo "build first: make build" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# The inputs outlast the call; 40 MB each at this rate and length.
sox -n -r "$rate" -c 1 -b 16 "$work/a.wav" synth $((seconds + 60)) sine 200-1800 sine 300 tremolo 3 80 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/b.wav" synth $((seconds + 60)) square 150-600 tremolo 5 60 vol 0.3

free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        ! ss -Hlun "sport = :$port" 2>/dev/null | grep -q . && { echo "$port"; return; }
    done
}
start() {  # NAME ARGS...: starts one qparlin, output in $work/NAME.*
    local name=$1
    shift
    "$qparlin" --headless --audio=file --output-wav="$work/$name-out.wav" -a:"$codec" "$@" \
        >"$work/$name.out" 2>"$work/$name.err" &
    eval "pid_$name=$!"
    pids+=("$!")
}
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

direct_port=$(free_port)
start direct_listener --input-wav="$work/b.wav" -l:"$direct_port":yes
relayed_port=$(free_port)
start relayed_listener --input-wav="$work/b.wav" -l:"$relayed_port":yes
relay_port=$(free_port)
python3 "$here/udp_relay.py" "$relay_port" "$relayed_port" --seed 7 >"$work/relay.out" 2>&1 &
relay=$!
pids+=("$relay")
sleep 1
start direct_caller --input-wav="$work/a.wav" -c:127.0.0.1:"$direct_port":yes
start relayed_caller --input-wav="$work/a.wav" -c:127.0.0.1:"$relay_port":yes
names="direct_caller direct_listener relayed_caller relayed_listener"

declare -A pid rss_start rss_max ticks_start
for name in $names; do pid[$name]=$(eval echo "\$pid_$name"); done
sleep 10
for name in $names; do
    rss_start[$name]=$(rss_kb "${pid[$name]}")
    rss_max[$name]=${rss_start[$name]}
    ticks_start[$name]=$(cpu_ticks "${pid[$name]}")
done
echo "soak: $minutes minute(s), $codec, started $(date -u +%H:%M:%S)"
elapsed=10
died=0
while [ $elapsed -lt "$seconds" ]; do
    step=$((seconds - elapsed < 60 ? seconds - elapsed : 60))
    sleep "$step"
    elapsed=$((elapsed + step))
    line="  ${elapsed} s:"
    for name in $names; do
        rss=$(rss_kb "${pid[$name]}")
        if [ -z "$rss" ]; then
            echo "FAIL: $name died: $(tail -n 3 "$work/$name.err")" >&2
            died=1
            break 2
        fi
        [ "$rss" -gt "${rss_max[$name]}" ] && rss_max[$name]=$rss
        line+=" $name ${rss} kB"
    done
    echo "$line"
done

hz=$(getconf CLK_TCK)
for name in $names; do
    p=${pid[$name]}
    kill -0 "$p" 2>/dev/null || continue
    ticks=$(( $(cpu_ticks "$p") - ticks_start[$name] ))
    rss_end=$(rss_kb "$p")
    kill -USR1 "$p"
    sleep 0.5
    counts=$(grep '^Statistics:' "$work/$name.out" | tail -n 1 | sed 's/^Statistics: //')
    awk -v n="$name" -v t="$ticks" -v hz="$hz" -v s=$((elapsed - 10)) -v a="${rss_start[$name]}" \
        -v m="${rss_max[$name]}" -v e="$rss_end" -v c="$counts" \
        'BEGIN { printf "%-17s cpu %.1f ms/s; resident %d kB at start, %d kB largest, %d kB at end; %s\n",
                 n, 1000 * t / hz / s, a, m, e, c }'
done
for name in $names; do kill -TERM "${pid[$name]}" 2>/dev/null; done
kill -TERM "$relay"
for name in $names; do
    wait "${pid[$name]}" || { echo "FAIL: $name ended with status $?" >&2; died=1; }
    [ ! -s "$work/$name.err" ] && continue
    echo "$name stderr: $(head -n 3 "$work/$name.err")"
done
wait "$relay"
tail -n 1 "$work/relay.out"
exit "$died"

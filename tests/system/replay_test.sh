#!/usr/bin/env bash
# What a recorded call is worth to whoever recorded it, with and without --secret: every datagram the caller
# of an earlier call sent (its hellos, its sealed audio and its sealed end of the call), recorded on the
# path, is sent again from a third address
#  - to an idle listener: it is not connected, plays nothing, opens nothing, and once the agreement's
#    3 s are over still waits for a caller (who then gets a call with its code);
#  - into a later call, with twenty forgeries under sender ids of their own and the later call's own
#    datagrams replayed: nothing opens, nothing is played (the later caller's sound arrives whole), and the
#    call is neither ended nor taken.
# Under the sanitizers (QPARLIN_SANITIZED=1) sound is only checked to be there, and waits are longer.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing (scripts/install-deps --test)"; exit 1; }
sanitized=${QPARLIN_SANITIZED:-0}
relay_script="$(dirname "$0")/sealed_relay.py"

. "$(dirname "$0")/common.sh"

slow=1
[ "$sanitized" = 1 ] && slow=3
codec=g711_8khz
rate=8000
"$QPARLIN" --make-secret="$work/key" >/dev/null || fail "--make-secret failed"
# The earlier call speaks a steady tone; the later one a sweep: anything of the earlier call played in the
# later one would break the sweep's likeness.
sox -n -r "$rate" -c 1 -b 16 "$work/earlier.wav" synth 6 sine 1000 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/caller.wav" synth 9 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/listener.wav" synth 9 square 150-600 tremolo 5 60 vol 0.3


# Sends every datagram of the hex file $2 to 127.0.0.1:$1 from a port of its own, 5 ms apart, and keeps
# that port open $3 seconds more (a replayer that goes away would end a call by itself). Prints the port.
replay() {
    python3 - "$@" <<'PY'
import socket, sys, time
port, path, hold = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
datagrams = [bytes.fromhex(line.strip()) for line in open(path) if line.strip()]
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", 0))
print(sock.getsockname()[1], flush=True)
for datagram in datagrams:
    sock.sendto(datagram, ("127.0.0.1", port))
    time.sleep(0.005)
time.sleep(hold)
PY
}

# Starts the relay in front of the listener on $port, named $1 in messages, with the options after $1;
# it captures into $dir/captured.hex and logs to $dir/relay.out. Sets `relay`.
start_relay() {
    local name=$1
    shift
    python3 "$relay_script" $((port + 1)) "$port" "$dir/captured.hex" "$@" >"$dir/relay.out" 2>&1 &
    relay=$!
    pids+=("$relay")
    wait_for_line "$dir/relay.out" "relay 127.0.0.1:$((port + 1)) -> 127.0.0.1:$port" 5 ||
        fail "$kind: the $name relay did not start"
}

for kind in secret default; do
    secret=()
    [ "$kind" = secret ] && secret=(--secret="$work/key")
    base="$work/$kind"
    mkdir -p "$base/earlier" "$base/later"

    # --- The earlier call, recorded on its path.
    dir="$base/earlier"
    start_listener "$dir" --audio=file --input-wav="$work/earlier.wav" -a:"$codec" "${secret[@]}" ||
        { fail "$kind: the earlier listener never listened"; continue; }
    start_relay earlier --attack-after 0 --record "$dir/record.hex"
    "$QPARLIN" --headless --audio=file --input-wav="$work/earlier.wav" -a:"$codec" "${secret[@]}" \
        -c:127.0.0.1:$((port + 1)):yes >"$dir/caller.out" 2>"$dir/caller.err" &
    caller=$!
    pids+=("$caller")
    wait_for_line "$dir/listener.out" "Connected." $((5 * slow)) || fail "$kind: the earlier call never connected"
    sleep 3
    terminate "$caller"
    sleep 0.3
    terminate "$relay"
    terminate "$listener"
    grep -q "^Encrypted call: the code is" "$dir/caller.out" || fail "$kind: the earlier call was not encrypted"
    sealed=$(grep -c '^02' "$dir/record.hex")
    hellos=$(grep -c '^04' "$dir/record.hex")
    # The caller's last words end the call, sealed (a goodbye of 24 bytes and the seal's 33).
    last=$(tail -n 1 "$dir/record.hex")
    [ "${last:0:2}" = 02 ] && [ "${#last}" = $((2 * (24 + 33))) ] ||
        fail "$kind: the record does not end with the sealed end of the call: ${last:0:40}"
    [ "$sealed" -ge 20 ] && [ "$hellos" -ge 1 ] ||
        fail "$kind: the earlier call left $hellos hellos and $sealed sealed datagrams to replay"
    echo "$kind: recorded $hellos hellos and $sealed sealed datagrams of the earlier call"

    # --- The record into an idle listener, whose would-be caller stays 4 s (past the agreement's 3 s).
    dir="$base/later"
    start_listener "$dir" --audio=file --input-wav="$work/listener.wav" --output-wav="$dir/listener-out.wav" \
        -a:"$codec" "${secret[@]}" || { fail "$kind: the idle listener never listened"; continue; }
    replay "$port" "$base/earlier/record.hex" $((4 * slow)) >"$dir/replay.out"
    idle_counts=$(statistics_of "$listener" "$dir/listener.out")
    echo "$kind: idle listener after the replay: $idle_counts"
    for line in "Connected." "Disconnected." "Private call:" "Encrypted call:" "Call: in a session with" \
        "Call: peer"; do
        grep -q "^$line" "$dir/listener.out" &&
            fail "$kind: the replay made the idle listener print '$line': $(cat "$dir/listener.out")"
    done
    # It never ended a call to listen again: it has waited all along.
    [ "$(grep -c '^Listening\.\.\.' "$dir/listener.out")" = 1 ] && kill -0 "$listener" ||
        fail "$kind: the idle listener did not simply wait: $(cat "$dir/listener.out")"
    case "$idle_counts" in
        *", 2 received,"*", dropped 0 not sealed, $((sealed)) not opening, 0 replayed"*) ;;
        *) fail "$kind: the idle listener's counts are not the record's ($hellos hellos, $sealed sealed): $idle_counts" ;;
    esac

    # --- Then a later call to the same listener, attacked mid-call with the record, forgeries and replays.
    start_relay later --attack-after 3 --earlier "$base/earlier/record.hex"
    "$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" --output-wav="$dir/caller-out.wav" \
        -a:"$codec" "${secret[@]}" -c:127.0.0.1:$((port + 1)):yes >"$dir/caller.out" 2>"$dir/caller.err" &
    caller=$!
    pids+=("$caller")
    wait_for_line "$dir/listener.out" "Connected." $((5 * slow)) || fail "$kind: the later call never connected"
    sleep 5
    counts=$(statistics_of "$listener" "$dir/listener.out")
    during=$(cat "$dir/listener.out")
    terminate "$caller"
    terminate "$relay"
    terminate "$listener"
    echo "$kind: later relay: $(tail -n 1 "$dir/relay.out")"
    echo "$kind: later listener: $counts"
    grep -q '^attacked from' "$dir/relay.out" || fail "$kind: the later relay never attacked"
    echo "$during" | grep -q "^Disconnected\." && fail "$kind: the earlier call's datagrams ended the later call"
    [ "$(echo "$during" | grep -c '^Connected\.')" = 1 ] ||
        fail "$kind: the listener connected more than once: $during"
    codes=$(sed -n 's/^Encrypted call: the code is \([0-9]\{3\} [0-9]\{3\}\);.*/\1/p' "$dir/caller.out" "$dir/listener.out" |
        sort -u)
    [ "$(echo "$codes" | grep -c .)" = 1 ] || fail "$kind: the later call's two sides show no one code: $codes"
    peers=$(echo "$during" | sed -n 's/^Call: in a session with \(127\.0\.0\.1:[0-9]*\).*/\1/p' | sort -u)
    [ "$(echo "$peers" | grep -c .)" = 1 ] || fail "$kind: the later call changed hands: $peers"
    # Every sealed datagram of the record and the twenty forgeries failed to open; this call's own
    # datagrams sent again were refused as replays (the hellos among them are a stranger's, not counted).
    replayed=$(sed -n 's/^attacked from .* \([0-9]*\) replayed$/\1/p' "$dir/relay.out")
    replayed=$(( ${replayed:-0} - $(grep -c '^04' "$dir/captured.hex") ))
    opening=${idle_counts#*not sealed, }
    opening=${opening%% not opening*}
    case "$counts" in
        *"not opening, $replayed replayed"*) ;;
        *) fail "$kind: the later listener did not refuse the $replayed replays: $counts" ;;
    esac
    now_opening=${counts#*not sealed, }
    now_opening=${now_opening%% not opening*}
    [ "$((now_opening - opening))" = $((sealed + 20)) ] ||
        fail "$kind: $((now_opening - opening)) datagrams failed to open in the later call, not the record's $sealed and 20 forgeries: $counts"
    if [ "$sanitized" = 1 ]; then
        "$WAV_COMPARE" --loud "$dir/listener-out.wav" >/dev/null || fail "$kind: the later listener heard nothing"
    else
        # The first 4 s of the sweep, which the call surely carried (the output holds the idle wait too).
        sox "$work/caller.wav" "$work/caller-4s.wav" trim 0 4
        result=$("$WAV_COMPARE" "$work/caller-4s.wav" "$dir/listener-out.wav" --min-corr=0.9) ||
            fail "$kind: the later listener's sound is not the later caller's: $result"
        echo "$kind: caller -> listener: $result"
    fi
done

finish "a recorded call's datagrams, sent again, open nothing and take no listener or call"

#!/usr/bin/env bash
# A copy asked for Opus (-a:opus) whose peer cannot take it falls back and says so:
#  1. toward a scripted peer of the plain wire, it names the plain format it falls back to (the default,
#     ilbc_11khz) and sends that peer exactly the plain wire: iLBC frames of 50 bytes, the one-byte marker
#     and at most ten hellos, never an Opus frame;
#  2. a listener asked for Opus that a copy with --session=off calls names the fallback likewise;
#  3. toward a session copy that offers no Opus (-a:gsm_8khz), the session agrees the peer's format, says
#     so, never claims Opus, and every RTP frame it sends carries GSM (payload type 3), none Opus (124-127).
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${QPARLIN_CODEC:?QPARLIN_CODEC must name the built qparlin-codec}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing (scripts/install-deps --test)"; exit 1; }
here=$(dirname "$0")
. "$here/common.sh"

run_s=4
fallback_line="The peer speaks only the plain wire, without Opus: this call uses ilbc_11khz"
no_opus_line="The peer offers no Opus (a copy not asked for it with -a:opus, or one without it): this call uses gsm_8khz, the peer's format"

# What the scripted peer sends: a sweep in iLBC.
sox -n -r 11025 -c 1 -b 16 "$work/peer.wav" synth 10 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
"$QPARLIN_CODEC" encode -a:ilbc_11khz "$work/peer.wav" "$work/peer-ilbc.pay" 2>/dev/null ||
    fail "qparlin-codec could not encode the peer's input"

# --- 1. The Opus copy calls a scripted plain-wire listener.
dir="$work/plain-listener"
mkdir -p "$dir"
peer=
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    python3 "$here/session_plain_peer.py" --listen "$port" --frames "$work/peer-ilbc.pay" --payload-bytes 50 \
        --frame-ms 21.7687 --seconds "$run_s" --capture "$dir/capture" >"$dir/peer.out" 2>&1 &
    peer=$!
    for _ in $(seq 50); do
        grep -q "^listening on " "$dir/peer.out" && break
        kill -0 "$peer" 2>/dev/null || break  # the port was taken
        sleep 0.1
    done
    grep -q "^listening on " "$dir/peer.out" && break
    kill -KILL "$peer" 2>/dev/null
    wait "$peer" 2>/dev/null
    peer=
done
if [ -n "$peer" ]; then
    pids+=("$peer")
    "$QPARLIN" --headless --audio=null -a:opus -c:127.0.0.1:"$port":yes \
        >"$dir/caller.out" 2>"$dir/caller.err" &
    caller=$!
    pids+=("$caller")
    wait "$peer"
    terminate "$caller"
    [ "$ended" = 0 ] || fail "plain listener: the copy ended with status $ended"
    grep -qx "$fallback_line" "$dir/caller.out" ||
        fail "plain listener: the copy did not name its fallback: $(cat "$dir/caller.out")"
    [ "$(grep -c "without Opus" "$dir/caller.out")" = 1 ] ||
        fail "plain listener: the fallback was not named exactly once: $(cat "$dir/caller.out")"
    ! grep -q "Both copies speak Opus" "$dir/caller.out" || fail "plain listener: the copy claimed Opus"
    [ ! -s "$dir/caller.err" ] || fail "plain listener: the copy wrote to stderr: $(cat "$dir/caller.err")"
    # About 46 iLBC frames a second for the seconds after the copy's first datagram.
    result=$(python3 "$here/session_capture.py" plain "$dir/capture" qparlin --payload-bytes=50 --hellos=10 \
        --min-audio=$((46 * (run_s - 1)))) ||
        fail "plain listener: $(tr '\n' ' ' <<<"$result")"
    echo "plain listener: $(head -n 1 <<<"$result")"
else
    fail "plain listener: the scripted peer never listened"
fi

# --- 2. A copy with --session=off calls an Opus listener.
dir="$work/plain-caller"
mkdir -p "$dir"
if start_listener "$dir" --audio=null -a:opus; then
    "$QPARLIN" --headless --audio=null --session=off -c:127.0.0.1:"$port":yes >"$dir/caller.out" 2>"$dir/caller.err" &
    caller=$!
    pids+=("$caller")
    wait_for_line "$dir/listener.out" "$fallback_line" 5 ||
        fail "plain caller: the Opus listener did not name its fallback: $(cat "$dir/listener.out")"
    terminate "$caller"
    terminate "$listener"
    [ "$ended" = 0 ] || fail "plain caller: the listener ended with status $ended"
    ! grep -q "Both copies speak Opus" "$dir/listener.out" || fail "plain caller: the listener claimed Opus"
    ! grep -q "sends payloads of" "$dir/listener.out" ||
        fail "plain caller: the listener did not take the plain caller's frames: $(cat "$dir/listener.out")"
else
    fail "plain caller: the Opus listener never listened"
fi

# --- 3. The Opus copy calls a session copy without Opus, through a relay that writes down what passes
# (unencrypted, so that the RTP can be read).
dir="$work/no-opus"
mkdir -p "$dir"
if start_listener "$dir" --audio=null -a:gsm_8khz --encrypt=off; then
    relay_port=$((port + 1))
    python3 "$here/session_relay.py" "$relay_port" "$port" "$dir/capture" >"$dir/relay.out" 2>&1 &
    relay=$!
    pids+=("$relay")
    for _ in $(seq 50); do grep -q "^relay " "$dir/relay.out" && break; sleep 0.1; done
    "$QPARLIN" --headless --audio=null -a:opus --encrypt=off -c:127.0.0.1:"$relay_port":yes \
        >"$dir/caller.out" 2>"$dir/caller.err" &
    caller=$!
    pids+=("$caller")
    wait_for_line "$dir/caller.out" "Call: in a session with 127.0.0.1:$relay_port" 5 ||
        fail "no Opus: the caller showed no session: $(cat "$dir/caller.out")"
    sleep 2
    terminate "$caller"
    [ "$ended" = 0 ] || fail "no Opus: the caller ended with status $ended"
    terminate "$listener"
    kill -TERM "$relay"
    wait "$relay" 2>/dev/null
    [ "$(grep -cx "$no_opus_line" "$dir/caller.out")" = 1 ] ||
        fail "no Opus: the caller did not say once which format it took and why: $(cat "$dir/caller.out")"
    ! grep -q "The peer's format is used" "$dir/caller.out" || fail "no Opus: the format was named twice"
    ! grep -q "Both copies speak Opus" "$dir/caller.out" || fail "no Opus: the caller claimed Opus"
    [ ! -s "$dir/caller.err" ] || fail "no Opus: the caller wrote to stderr: $(cat "$dir/caller.err")"
    # The caller's RTP (version 2, the first byte 0x80 or 0x90): payload types counted.
    types=$(awk '$2 == "caller" && $3 ~ /^[89]0/ && length($3) >= 24 {
            pt = (index("0123456789abcdef", substr($3, 3, 1)) - 1) * 16 + index("0123456789abcdef", substr($3, 4, 1)) - 1
            count[pt % 128]++
        } END { for (pt in count) printf "%s:%d ", pt, count[pt] }' "$dir/capture")
    echo "no Opus: the caller's RTP payload types: $types"
    grep -Eq '(^| )3:[0-9]{2,}' <<<"$types" || fail "no Opus: the caller sent few or no GSM frames: $types"
    ! grep -Eq '(^| )12[4-7]:' <<<"$types" || fail "no Opus: the caller sent Opus: $types"
else
    fail "no Opus: the listener never listened"
fi

finish "a copy asked for Opus falls back toward peers without it and says so"

#!/usr/bin/env bash
# The session between two qparlin --headless processes on 127.0.0.1 with WAV-file audio, and what a peer
# that speaks only the plain wire gets from a copy that offers one:
#  1. two copies agree an encrypted session at once: keys in a few hellos, every other datagram sealed,
#     the same code on both sides, and sound both ways;
#  2. a scripted plain-wire peer, as listener (with the 1000 frames of a long wait to send at once) and as
#     caller, receives only plain audio, markers and at most ten hellos, and its audio is the copy's input
#     encoded frame for frame, without a gap;
#  3. a copy with --session=off sends the plain wire byte for byte, both ways, and sound goes both ways;
#  4. formats chosen differently are named on both sides and not played as noise; a listener without one
#     takes the caller's;
#  5. a session peer that stops is shown silent within 3 s and ends the call at --peer-timeout; a plain
#     peer never times out;
#  6. a third address that sends every kind of datagram changes nothing in a session and is named once.
# Under the sanitizers (QPARLIN_SANITIZED=1) sound is only checked to be there, and waits are longer.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
: "${QPARLIN_CODEC:?QPARLIN_CODEC must name the built qparlin-codec}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing (scripts/install-deps --test)"; exit 1; }
sanitized=${QPARLIN_SANITIZED:-0}
here=$(dirname "$0")

. "$here/common.sh"

# Time limits in tenths of a second; a sanitizer build gets three times as long.
slow=1
[ "$sanitized" = 1 ] && slow=3
known=()

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
# Tenths of a second since the stamp $1 (from now_ms), as "2.3".
since() {
    local ms=$(($(now_ms) - $1))
    echo "$((ms / 1000)).$((ms % 1000 / 100))"
}
# Waits until a whole line of file $1 matches the extended regex $2, at most $3 tenths of a second after
# the stamp $4; sets `waited` to the time it took from the stamp ("never" when it did not come).
wait_for() {
    local file=$1 pattern=$2 limit_ms=$(($3 * 100)) stamp=$4
    while [ $(($(now_ms) - stamp)) -le "$limit_ms" ]; do
        if grep -Eqx -- "$pattern" "$file" 2>/dev/null; then
            waited=$(since "$stamp")
            return 0
        fi
        sleep 0.05
    done
    waited=never
    return 1
}
# Starts a qparlin --headless caller of 127.0.0.1:$2 with the options after $2; its lines go to $1.out and
# $1.err. Sets `caller`.
start_caller() {
    local name=$1 target=$2
    shift 2
    "$QPARLIN" --headless "$@" -c:127.0.0.1:"$target":yes >"$name.out" 2>"$name.err" &
    caller=$!
    pids+=("$caller")
}
# Ends the processes named after $1 and fails for any that did not end cleanly.
end_all() {
    local what=$1 pid
    shift
    for pid in "$@"; do
        terminate "$pid"
        [ "$ended" = 0 ] || fail "$what: process $pid ended with '$ended' after SIGTERM"
    done
}
# Whether the output $3 holds the sound of the input $2: the windows of the input from $5 to $6 seconds
# (what the call surely carried) correlate at least $4 with the output; under the sanitizers only whether
# the output is not silent. Sets `result` to what wav_compare measured.
hears() {
    local ref=$2 out=$3 min_corr=$4 skip=$5 seconds=$6
    if [ "$sanitized" = 1 ]; then
        result=$("$WAV_COMPARE" --loud "$out")
        return
    fi
    sox "$ref" "$work/reference.wav" trim 0 "$seconds"
    result=$("$WAV_COMPARE" "$work/reference.wav" "$out" --skip="$skip" --min-corr="$min_corr")
}
# As hears, named $1, failing when the sound is not there.
heard() {
    hears "$@" || fail "$1: the output does not hold the input (correlation under $4, or silent): $result"
    echo "$1: $result"
}
# Judges a capture with session_capture.py (arguments as it takes them), failing with its problems.
judge() {
    local result
    result=$(python3 "$here/session_capture.py" "$@") || fail "$(echo "$result" | tr '\n' ' ')"
    echo "$result" | head -n 1
}
# Starts session_relay.py in front of the listener on $port, writing the capture $1; sets `relay`,
# `relay_port` and `relay_back` (the port the listener sees the relay's datagrams come from).
start_relay() {
    relay_port=$((port + 1))
    python3 "$here/session_relay.py" "$relay_port" "$port" "$1" >"$1.relay" 2>&1 &
    relay=$!
    pids+=("$relay")
    local start
    start=$(now_ms)
    wait_for "$1.relay" "relay .* from 127\.0\.0\.1:[0-9]+" $((30 * slow)) "$start" ||
        { fail "the relay did not start: $(cat "$1.relay")"; return 1; }
    relay_back=$(sed -n 's/^relay .* from 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1.relay")
}

# Inputs, longer than any call so that every frame sent is one of the input's: the caller's a sweep under a
# tremolo; the listener's 1 s of silence (what it captures before its peer is known is dropped), then a
# buzzing glide. Each encoded as a copy sends it, for the byte checks. The calls carry at least the
# caller's first 4 s and the listener's first 4.5 s: what the sound checks judge.
for rate in 8000 11025; do
    sox -n -r "$rate" -c 1 -b 16 "$work/caller-$rate.wav" synth 10 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
    sox -n -r "$rate" -c 1 -b 16 "$work/voice-$rate.wav" synth 9 square 150-600 tremolo 5 60 vol 0.3
    sox -n -r "$rate" -c 1 -b 16 "$work/silence.wav" trim 0 1
    sox "$work/silence.wav" "$work/voice-$rate.wav" "$work/listener-$rate.wav"
done
encode() {  # encode CODEC WAV PAYLOAD_FILE
    "$QPARLIN_CODEC" encode -a:"$1" "$2" "$3" 2>/dev/null || fail "qparlin-codec could not encode $2 as $1"
}
encode ilbc_11khz "$work/caller-11025.wav" "$work/caller-ilbc.pay"
encode ilbc_11khz "$work/listener-11025.wav" "$work/listener-ilbc.pay"
# What a plain listener captured in 25 s of waiting and the 5 s of its call.
sox -n -r 11025 -c 1 -b 16 "$work/waited.wav" synth 31 square 150-600 tremolo 5 60 vol 0.3
encode ilbc_11khz "$work/waited.wav" "$work/waited-ilbc.pay"
encode gsm_8khz "$work/caller-8000.wav" "$work/caller-gsm.pay"
encode gsm_8khz "$work/listener-8000.wav" "$work/listener-gsm.pay"
encode g711_8khz "$work/caller-8000.wav" "$work/caller-g711.pay"
encode g711_8khz "$work/listener-8000.wav" "$work/listener-g711.pay"
# Payload bytes and samples of one frame.
ilbc_bytes=50 ilbc_samples=240 gsm_bytes=33 g711_bytes=800

# --- 1. Two copies with the default options, through a relay that writes down what passes.
dir="$work/session"
mkdir -p "$dir"
if start_listener "$dir" --audio=file --input-wav="$work/listener-11025.wav" \
    --output-wav="$dir/listener-out.wav" && start_relay "$dir/capture"; then
    start=$(now_ms)
    start_caller "$dir/caller" "$relay_port" --audio=file --input-wav="$work/caller-11025.wav" \
        --output-wav="$dir/caller-out.wav"
    wait_for "$dir/caller.out" "Call: in a session with 127\.0\.0\.1:$relay_port" $((20 * slow)) "$start" ||
        fail "the caller showed no session within 2 s: $(cat "$dir/caller.out")"
    echo "session: the caller showed it after $waited s"
    wait_for "$dir/listener.out" "Call: in a session with 127\.0\.0\.1:$relay_back" $((20 * slow)) "$start" ||
        fail "the listener showed no session within 2 s: $(cat "$dir/listener.out")"
    echo "session: the listener showed it after $waited s"
    sleep 5
    end_all "session" "$caller" "$listener" "$relay"
    # Encrypted with nothing configured: keys in the hellos, everything else sealed, one code on both sides.
    judge encrypted "$dir/capture" caller
    judge encrypted "$dir/capture" listener
    codes=$(sed -n 's/^Encrypted call: the code is \([0-9]\{3\} [0-9]\{3\}\);.*/\1/p' "$dir/caller.out" "$dir/listener.out" |
        sort -u)
    [ "$(echo "$codes" | grep -c .)" = 1 ] ||
        fail "session: the two sides did not show one code: $(grep -h Encrypted "$dir/caller.out" "$dir/listener.out")"
    echo "session: both sides show the code $codes"
    heard "session: caller -> listener" "$work/caller-11025.wav" "$dir/listener-out.wav" 0.5 0 4
    heard "session: listener -> caller" "$work/listener-11025.wav" "$dir/caller-out.wav" 0.5 0 4.5
    for side in listener caller; do
        [ ! -s "$dir/$side.err" ] || fail "session: the $side wrote to stderr: $(cat "$dir/$side.err")"
    done
else
    fail "session: the listener or the relay did not start"
fi

# --- 2. A scripted peer of the plain wire against a copy that offers a session.
# Starts session_plain_peer.py listening on a free port with the options given; sets `peer` and `port`.
start_plain_listener() {
    local out=$1
    shift
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        python3 "$here/session_plain_peer.py" --listen "$port" "$@" >"$out" 2>&1 &
        peer=$!
        local start
        start=$(now_ms)
        if wait_for "$out" "listening on .*" $((30 * slow)) "$start"; then
            pids+=("$peer")
            return 0
        fi
        wait "$peer" 2>/dev/null
    done
    return 1
}
plain_run=5

# The copy calls the scripted listener (ilbc_11khz, the default), which has waited 25 s: the 1000 frames it
# keeps of them go out at once when the copy's first datagram comes, then the frames of the call.
dir="$work/plain-listens"
mkdir -p "$dir"
if start_plain_listener "$dir/peer.out" --frames "$work/waited-ilbc.pay" --payload-bytes "$ilbc_bytes" \
    --frame-ms 21.7687 --seconds "$plain_run" --capture "$dir/capture" --waited 25; then
    start_caller "$dir/caller" "$port" --audio=file --input-wav="$work/caller-11025.wav" \
        --output-wav="$dir/caller-out.wav"
    wait "$peer"
    grep -qx "Call: plain peer 127\.0\.0\.1:$port" "$dir/caller.out" ||
        fail "plain listener: the copy never showed a plain peer: $(cat "$dir/caller.out")"
    end_all "plain listener" "$caller"
    echo "plain listener: $(tail -n 1 "$dir/peer.out")"
    grep -q "peers in turn: 127\.0\.0\.1:[0-9]*; .* 1000 in the first burst; the call ran its time" \
        "$dir/peer.out" || fail "plain listener: the peer's call did not run as planned: $(tail -n 1 "$dir/peer.out")"
    # About 46 frames a second for the 6 s the peer listened, all of them from the first one on.
    judge plain "$dir/capture" qparlin --payload-bytes="$ilbc_bytes" --hellos=10 \
        --expect="$work/caller-ilbc.pay" --from-start --min-audio=$((46 * (plain_run - 1)))
    # The copy plays the peer's sound. How closely is only shown: after the burst its playout starts some
    # 300 ms deep and shrinks in steps over the next seconds, which the per-second correlation punishes.
    result=$("$WAV_COMPARE" --loud "$dir/caller-out.wav") || fail "plain listener: the copy played nothing"
    sox "$work/waited.wav" "$work/reference.wav" trim 0 29
    echo "plain listener: peer -> copy: $result, $("$WAV_COMPARE" "$work/reference.wav" "$dir/caller-out.wav" \
        --skip=25)"
else
    fail "plain listener: the scripted peer never listened"
fi

# The scripted caller calls the copy (gsm_8khz on both).
dir="$work/plain-calls"
mkdir -p "$dir"
if start_listener "$dir" --audio=file -a:gsm_8khz --input-wav="$work/listener-8000.wav" \
    --output-wav="$dir/listener-out.wav"; then
    python3 "$here/session_plain_peer.py" --call "$port" --frames "$work/caller-gsm.pay" \
        --payload-bytes "$gsm_bytes" --frame-ms 20 --seconds "$plain_run" --capture "$dir/capture" \
        >"$dir/peer.out" 2>&1 &
    peer=$!
    pids+=("$peer")
    wait "$peer"
    peer_port=$(sed -n 's/^calling .* from 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$dir/peer.out")
    grep -qx "Call: plain peer 127\.0\.0\.1:${peer_port:-?}" "$dir/listener.out" ||
        fail "plain caller: the copy never showed a plain peer: $(cat "$dir/listener.out")"
    end_all "plain caller" "$listener"
    echo "plain caller: $(tail -n 1 "$dir/peer.out")"
    grep -q "peers in turn: 127\.0\.0\.1:$port; .*the call ran its time" "$dir/peer.out" ||
        fail "plain caller: the peer's call did not run with one peer: $(tail -n 1 "$dir/peer.out")"
    # A listener keeps only the newest frames while it waits: its audio starts where the call did.
    judge plain "$dir/capture" qparlin --payload-bytes="$gsm_bytes" --hellos=10 \
        --expect="$work/listener-gsm.pay" --min-audio=$((50 * (plain_run - 1)))
    heard "plain caller: peer -> copy" "$work/caller-8000.wav" "$dir/listener-out.wav" 0.5 0 4
else
    fail "plain caller: the copy never listened"
fi

# --- 3. --session=off on one side, through the recording relay, both ways: the side with it off sends the
# plain wire byte for byte, the other adds only its hellos, and sound goes both ways.
# plain_wire NAME CODEC RATE PAYLOAD_BYTES FRAMES_PER_SECOND OFF_SIDE (caller or listener)
plain_wire() {
    local name=$1 codec=$2 rate=$3 bytes=$4 per_second=$5 off=$6
    local dir="$work/$name" on=caller caller_off=() listener_off=()
    mkdir -p "$dir"
    if [ "$off" = caller ]; then caller_off=(--session=off) on=listener; else listener_off=(--session=off); fi
    start_listener "$dir" --audio=file -a:"$codec" --input-wav="$work/listener-$rate.wav" \
        --output-wav="$dir/listener-out.wav" "${listener_off[@]}" || { fail "$name: no listener"; return; }
    start_relay "$dir/capture" || return
    start_caller "$dir/caller" "$relay_port" --audio=file -a:"$codec" --input-wav="$work/caller-$rate.wav" \
        --output-wav="$dir/caller-out.wav" "${caller_off[@]}"
    sleep 5
    local shown=$relay_port
    [ "$on" = listener ] && shown=$relay_back
    grep -qx "Call: plain peer 127\.0\.0\.1:$shown" "$dir/$on.out" ||
        fail "$name: the $on never showed a plain peer: $(cat "$dir/$on.out")"
    end_all "$name" "$caller" "$listener" "$relay"
    # Only a caller's audio starts with its first frame: a listener drops what it captured while waiting.
    local side hellos from
    for side in "$off" "$on"; do
        hellos=0 from=()
        [ "$side" = "$on" ] && hellos=10
        [ "$side" = caller ] && from=(--from-start)
        judge plain "$dir/capture" "$side" --payload-bytes="$bytes" --hellos="$hellos" \
            --expect="$work/$side-${codec%%_*}.pay" "${from[@]}" --min-audio=$((per_second * 4))
    done
    heard "$name: caller -> listener" "$work/caller-$rate.wav" "$dir/listener-out.wav" 0.5 0 4
    heard "$name: listener -> caller" "$work/listener-$rate.wav" "$dir/caller-out.wav" 0.5 0 4.5
}
plain_wire off-caller g711_8khz 8000 "$g711_bytes" 10 caller
plain_wire off-listener ilbc_11khz 11025 "$ilbc_bytes" 46 listener

# --- 4. Formats. Both chosen and different: each side names the other's within 1 s, and plays none of it.
# Two calls at once: gsm_8khz against ilbc_11khz, and ilbc_11khz against a G.711 listener, which would
# play the foreign frames as loud noise.
# quiet NAME WAV: fails unless the WAV file is near silence (RMS at most 0.003, inputs are about 0.25).
quiet() {
    local rms
    rms=$("$WAV_COMPARE" --loud "$2" | sed -n 's/^rms=//p')
    awk -v rms="${rms:-1}" 'BEGIN { exit !(rms <= 0.003) }' || fail "$1: it played noise, RMS ${rms:-?}"
    echo "$1: RMS ${rms:-?}"
}
declare -A pair_listener pair_caller pair_start
# mismatch_start NAME LISTENER_CODEC LISTENER_RATE CALLER_CODEC CALLER_RATE
mismatch_start() {
    local dir="$work/$1"
    mkdir -p "$dir"
    start_listener "$dir" --audio=file -a:"$2" --input-wav="$work/listener-$3.wav" \
        --output-wav="$dir/listener-out.wav" || { fail "$1: the copy never listened"; return; }
    pair_start[$1]=$(now_ms)
    start_caller "$dir/caller" "$port" --audio=file -a:"$4" --input-wav="$work/caller-$5.wav" \
        --output-wav="$dir/caller-out.wav"
    pair_listener[$1]=$listener pair_caller[$1]=$caller
}
# mismatch_check NAME LISTENER_CODEC CALLER_CODEC
mismatch_check() {
    local dir="$work/$1" side
    [ -n "${pair_caller[$1]:-}" ] || return
    wait_for "$dir/listener.out" "The peer sends $3; this copy is set to $2" $((10 * slow)) "${pair_start[$1]}" ||
        fail "$1: the listener did not name the caller's format within 1 s: $(cat "$dir/listener.out")"
    echo "$1: the listener named the caller's $3 $waited s after the caller started"
    wait_for "$dir/caller.out" "The peer sends $2; this copy is set to $3" $((10 * slow)) "${pair_start[$1]}" ||
        fail "$1: the caller did not name the listener's format within 1 s: $(cat "$dir/caller.out")"
    echo "$1: the caller named the listener's $2 $waited s after it started"
}
mismatch_start mismatch-gsm ilbc_11khz 11025 gsm_8khz 8000
mismatch_start mismatch-g711 g711_8khz 8000 ilbc_11khz 11025
mismatch_check mismatch-gsm ilbc_11khz gsm_8khz
mismatch_check mismatch-g711 g711_8khz ilbc_11khz
sleep 4
for name in mismatch-gsm mismatch-g711; do
    [ -n "${pair_caller[$name]:-}" ] || continue
    end_all "$name" "${pair_listener[$name]}" "${pair_caller[$name]}"
    for side in listener caller; do
        [ "$(grep -c '^The peer sends' "$work/$name/$side.out")" = 1 ] ||
            fail "$name: the $side did not name the other format once: $(cat "$work/$name/$side.out")"
        quiet "$name: what the $side played" "$work/$name/$side-out.wav"
    done
done

# A listener with no format of its own takes the caller's, and sound goes both ways. Its input is at the
# caller's rate, which its WAV microphone converts while the listener's own default rate runs. The switch to
# the caller's format restarts the listener's output file and leaves its playout a little deep for a moment,
# which it then plays away: the caller's sound is judged once that has settled, from 4.5 s of the input on.
dir="$work/takes-format"
mkdir -p "$dir"
if start_listener "$dir" --audio=file --input-wav="$work/listener-8000.wav" \
    --output-wav="$dir/listener-out.wav"; then
    start=$(now_ms)
    start_caller "$dir/caller" "$port" --audio=file -a:gsm_8khz --input-wav="$work/caller-8000.wav" \
        --output-wav="$dir/caller-out.wav"
    wait_for "$dir/listener.out" "The peer's format is used for this call: gsm_8khz" $((10 * slow)) "$start" ||
        fail "takes format: the listener did not take the caller's format: $(cat "$dir/listener.out")"
    echo "takes format: the listener took it $waited s after the caller started"
    sleep 8
    # The listener first: once its call ends it listens again in its own format, which starts its output
    # file again.
    end_all "takes format" "$listener" "$caller"
    heard "takes format: caller -> listener" "$work/caller-8000.wav" "$dir/listener-out.wav" 0.5 4.5 7.5
    heard "takes format: listener -> caller" "$work/listener-8000.wav" "$dir/caller-out.wav" 0.5 0 4.5
else
    fail "takes format: the copy never listened"
fi

# --- 5. A peer that stops. Two calls at once: a session whose caller stops (the listener has
# --peer-timeout=4), and a plain call (the listener has the session off) whose listener stops.
dir="$work/vanish"
mkdir -p "$dir/session" "$dir/plain"
if start_listener "$dir/session" --audio=file --input-wav="$work/listener-8000.wav" -a:gsm_8khz \
    --peer-timeout=4; then
    session_listener=$listener session_port=$port
    start_caller "$dir/session/caller" "$session_port" --audio=file --input-wav="$work/caller-8000.wav" \
        -a:gsm_8khz
    session_caller=$caller
else
    fail "vanish: the session listener never listened"
fi
if start_listener "$dir/plain" --audio=file --input-wav="$work/listener-8000.wav" -a:gsm_8khz \
    --session=off; then
    plain_listener=$listener plain_port=$port
    start_caller "$dir/plain/caller" "$plain_port" --audio=file --input-wav="$work/caller-8000.wav" \
        -a:gsm_8khz --peer-timeout=4
    plain_caller=$caller
else
    fail "vanish: the plain listener never listened"
fi
if [ -n "${session_caller:-}" ] && [ -n "${plain_caller:-}" ]; then
    start=$(now_ms)
    in_session="Call: in a session with 127\.0\.0\.1:[0-9]+"
    wait_for "$dir/session/listener.out" "$in_session" $((30 * slow)) "$start" ||
        fail "vanish: no session: $(cat "$dir/session/listener.out")"
    # The session caller's hellos run out after 2 s; then the plain listener's audio shows a plain peer.
    wait_for "$dir/plain/caller.out" "Call: plain peer 127\.0\.0\.1:$plain_port" $((50 * slow)) "$start" ||
        fail "vanish: no plain peer: $(cat "$dir/plain/caller.out")"
    kill -STOP "$session_caller" "$plain_listener"
    stopped=$(now_ms)
    silent=", no sound from the peer for [0-9]+ s"
    grep -q "no sound from the peer" "$dir/session/listener.out" "$dir/plain/caller.out" &&
        fail "vanish: a peer was shown silent while it still sent"
    wait_for "$dir/session/listener.out" "$in_session$silent" $((35 * slow)) "$stopped" ||
        fail "vanish: the session listener did not show its peer silent within 3 s"
    echo "vanish: the session listener showed its peer silent after $waited s"
    wait_for "$dir/plain/caller.out" "Call: plain peer 127\.0\.0\.1:$plain_port$silent" $((35 * slow)) \
        "$stopped" || fail "vanish: the plain caller did not show its peer silent within 3 s"
    echo "vanish: the plain caller showed its peer silent after $waited s"
    wait_for "$dir/session/listener.out" "Disconnected\." $((65 * slow)) "$stopped" ||
        fail "vanish: the session listener did not end the call at its peer time-out"
    ended_after=$waited
    echo "vanish: the session listener ended the call after $ended_after s (time-out 4 s)"
    [ "$ended_after" = never ] || [ "${ended_after%.*}" -ge 3 ] ||
        fail "vanish: the session listener ended the call $ended_after s after its peer stopped, before 4 s"
    # The plain call outlives the time-out by 3 s.
    while [ $(($(now_ms) - stopped)) -lt 7000 ]; do sleep 0.2; done
    grep -q "Disconnected\." "$dir/plain/caller.out" &&
        fail "vanish: the plain peer's call ended: $(cat "$dir/plain/caller.out")"
    echo "vanish: the plain caller still holds its call after $(since "$stopped") s"
    end_all "vanish" "$session_caller" "$session_listener" "$plain_listener" "$plain_caller"
fi

# --- 6. A third address sends plain audio, markers, empty datagrams, control datagrams of another session
# and RTP and RTCP of another SSRC to the listener of a session (G.711: what it played would be noise).
dir="$work/stranger"
mkdir -p "$dir"
if start_listener "$dir" --audio=file -a:g711_8khz --input-wav="$work/listener-8000.wav" \
    --output-wav="$dir/listener-out.wav"; then
    start=$(now_ms)
    start_caller "$dir/caller" "$port" --audio=file -a:g711_8khz --input-wav="$work/caller-8000.wav" \
        --output-wav="$dir/caller-out.wav"
    wait_for "$dir/listener.out" "Call: in a session with 127\.0\.0\.1:[0-9]+" $((30 * slow)) "$start" ||
        fail "stranger: no session: $(cat "$dir/listener.out")"
    python3 "$here/session_stranger.py" "$port" --seconds 8 --per-second 40 --payload-bytes "$g711_bytes" \
        --payload-type 0 --format-code 0x85 >"$dir/stranger.out" 2>&1
    sleep 1
    end_all "stranger" "$caller" "$listener"
    stranger=$(sed -n 's/^stranger 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$dir/stranger.out")
    echo "stranger: 127.0.0.1:${stranger:-?} $(tail -n 1 "$dir/stranger.out")"
    # What the listener printed during the call: up to the end that SIGTERM brought.
    during=$(sed '/^Disconnected\./,$d' "$dir/listener.out")
    peers=$(echo "$during" | sed -n 's/^Call: in a session with \(127\.0\.0\.1:[0-9]*\)$/\1/p' | sort -u)
    if [ "$(echo "$during" | grep -c '^Call: ')" != "$(echo "$during" | grep -c '^Call: in a session with ')" ] ||
        [ "$(echo "$peers" | wc -l)" != 1 ] || [ "$peers" = "127.0.0.1:${stranger:-?}" ]; then
        fail "stranger: the listener's call state changed: $(echo "$during" | grep '^Call: ' | tr '\n' ' ')"
    fi
    echo "stranger: the listener's call stayed with $peers"
    named=$(grep -c "^Datagrams from 127\.0\.0\.1:${stranger:-?} are not the peer's; they are ignored$" \
        "$dir/listener.out")
    [ "$named" = 1 ] || fail "stranger: the listener named the stranger $named times: $(cat "$dir/listener.out")"
    grep -q "^Disconnected\." "$dir/caller.out" &&
        fail "stranger: the caller's call ended: $(cat "$dir/caller.out")"
    # The sound judged here, from 2 s on, went while the stranger sent. The stranger's payloads are random
    # bytes, loud white noise if any were played, while the caller's input holds nothing above 1.8 kHz: the
    # listener's output above 2.5 kHz says whether any was, however a busy machine made frames late (each
    # late G.711 frame moves the playout by up to 100 ms, which costs the correlation of the windows
    # around it, not their quiet above 2.5 kHz).
    hiss=$(sox "$dir/listener-out.wav" -n trim 2 7 sinc 2500 stats 2>&1 | awk '/^RMS lev dB/ { print $4 }')
    echo "stranger: the listener's output above 2.5 kHz: ${hiss:-?} dB"
    awk -v h="${hiss:-0}" 'BEGIN { exit !(h < -40) }' ||
        fail "stranger: the listener played the stranger's noise: ${hiss:-?} dB above 2.5 kHz"
    heard "stranger: caller -> listener" "$work/caller-8000.wav" "$dir/listener-out.wav" 0.5 2 9
    heard "stranger: listener -> caller" "$work/listener-8000.wav" "$dir/caller-out.wav" 0.5 2 9
else
    fail "stranger: the copy never listened"
fi

for item in "${known[@]}"; do
    echo "KNOWN: $item"
done
echo "run time: $SECONDS s"
finish "sessions between copies, and the plain wire toward a plain peer, behave"

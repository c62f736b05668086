#!/usr/bin/env bash
# Private calls between two qparlin --headless processes with WAV-file audio: with the same secret speech
# goes both ways through a relay that also attacks the call from a third address (plain audio, markers,
# empty datagrams, random bytes, replays of what it captured), and the call neither changes hands nor
# ends; what the relay captured is sealed. With different secrets, or against a plain copy, nothing is
# played, the drops are counted and the source is named once. --secret with --session=off (the older
# private wire, one key for every call) is refused, and so is a secret file others can read.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing (scripts/install-deps --test)"; exit 1; }
sanitized=${QPARLIN_SANITIZED:-0}
relay_script="$(dirname "$0")/sealed_relay.py"

. "$(dirname "$0")/common.sh"

codec=g711_8khz
rate=8000
"$QPARLIN" --make-secret="$work/key" >/dev/null || fail "--make-secret failed"
"$QPARLIN" --make-secret="$work/other.key" >/dev/null || fail "--make-secret failed"
sox -n -r "$rate" -c 1 -b 16 "$work/caller.wav" synth 6 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
sox -n -r "$rate" -c 1 -b 16 "$work/voice.wav" synth 4 square 150-600 tremolo 5 60 vol 0.3
sox -n -r "$rate" -c 1 -b 16 "$work/silence.wav" trim 0 2
sox "$work/silence.wav" "$work/voice.wav" "$work/listener.wav"


# --- The same secret, through the attacking relay: a session whose keys are agreed with the secret in;
# the captured datagrams are checked as its hellos and sealed datagrams.
dir="$work/same"
mkdir -p "$dir"
start_listener "$dir" --audio=file --input-wav="$work/listener.wav" --output-wav="$dir/listener-out.wav" \
    -a:"$codec" --secret="$work/key" || fail "the private listener never listened"
relay_port=$((port + 1))
python3 "$relay_script" "$relay_port" "$port" "$dir/captured.hex" --attack-after 3 >"$dir/relay.out" 2>&1 &
relay=$!
pids+=("$relay")
wait_for_line "$dir/relay.out" "relay 127.0.0.1:$relay_port -> 127.0.0.1:$port" 5 || fail "the relay did not start"
"$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" --output-wav="$dir/caller-out.wav" \
    -a:"$codec" -c:127.0.0.1:"$relay_port":yes --secret="$work/key" \
    >"$dir/caller.out" 2>"$dir/caller.err" &
caller=$!
pids+=("$caller")
wait_for_line "$dir/caller.out" "Connected." 5 || fail "the caller did not print Connected."
wait_for_line "$dir/listener.out" "Connected." 5 || fail "the listener did not print Connected."
sleep 7
listener_counts=$(statistics_of "$listener" "$dir/listener.out")
# The lines the listener printed during the call; ending it prints more.
during=$(cat "$dir/listener.out")
kill -TERM "$caller"
wait "$caller" || fail "the caller ended with status $? after SIGTERM"
kill -TERM "$listener"
wait "$listener" || fail "the listener ended with status $? after SIGTERM"
kill -TERM "$relay"
wait "$relay" 2>/dev/null
echo "relay: $(tail -n 1 "$dir/relay.out")"
echo "listener: $listener_counts"

grep -q '^attacked from' "$dir/relay.out" || fail "the relay never attacked"
[ "$(sed -n 2p "$dir/listener.out")" = "Private call: 127.0.0.1:$((relay_port)) holds the secret" ] &&
    fail "the listener took the relay's front port for the peer" || true
grep -qx "Private call: 127.0.0.1:[0-9]* holds the secret" "$dir/listener.out" ||
    fail "the listener printed no line for the proven peer: $(cat "$dir/listener.out")"
[ "$(grep -c '^Private call:' "$dir/listener.out")" = 1 ] ||
    fail "the attacker's datagrams made the listener announce another peer: $(cat "$dir/listener.out")"
grep -qx "Private call: 127.0.0.1:$relay_port holds the secret" "$dir/caller.out" ||
    fail "the caller printed no line for the proven peer: $(cat "$dir/caller.out")"
echo "$during" | grep -q "Disconnected." && fail "the attack ended the listener's call"
replayed=$(sed -n 's/^attacked from .* \([0-9]*\) replayed$/\1/p' "$dir/relay.out")
# The replayed hellos are not counted as replays: the session drops them as a stranger's.
hellos=$(grep -c '^04' "$dir/captured.hex")
replayed=$(( ${replayed:-0} - hellos ))
case "$listener_counts" in
    *", dropped 60 not sealed, 20 not opening, ${replayed:-?} replayed"|*", dropped 60 not sealed, 20 not opening, ${replayed:-?} replayed;"*) ;;
    *) fail "the listener's counts are not the attack's: $listener_counts" ;;
esac
attacker_lines=$(grep -c "are not sealed with our secret" "$dir/listener.err")
[ "$attacker_lines" = 1 ] || fail "the attacker was named $attacker_lines times: $(cat "$dir/listener.err")"
[ ! -s "$dir/caller.err" ] || fail "the caller wrote to stderr: $(cat "$dir/caller.err")"
# Every captured datagram is a hello in the clear (type 4: 56 bytes with the key's commitment, 88 with the
# key, 120 with the identity key too) or sealed (type 2, 34 bytes or more); the audio among them is sealed RTP, 33 bytes more than the
# 812 of a G.711 frame of 800 samples; no run of 8 bytes of the plain stream (the same sound through the
# same codec) shows.
bad=$(awk '!((substr($0, 1, 2) == "04" && (length($0) == 112 || length($0) == 176 || length($0) == 240)) ||
             (substr($0, 1, 2) == "02" && length($0) >= 68))' "$dir/captured.hex" | wc -l)
audio=$(awk 'substr($0, 1, 2) == "02" && length($0) == 2 * (812 + 33)' "$dir/captured.hex" | wc -l)
[ -s "$dir/captured.hex" ] && [ "$bad" = 0 ] || fail "$bad captured datagrams are neither hellos nor sealed"
[ "$audio" -ge 20 ] || fail "only $audio captured datagrams are sealed G.711 frames"
"${QPARLIN_CODEC:?QPARLIN_CODEC must name the built qparlin-codec}" encode -a:"$codec" "$work/caller.wav" \
    "$work/caller.g711" || fail "qparlin-codec could not encode the caller's sound"
python3 - "$work/caller.g711" "$dir/captured.hex" <<'PY' || fail "a captured datagram shows the plain payload"
import sys
plain = open(sys.argv[1], "rb").read()
runs = {plain[i:i + 8] for i in range(len(plain) - 8)}
captured = [bytes.fromhex(line.strip()) for line in open(sys.argv[2])]
shown = sum(1 for d in captured if any(d[i:i + 8] in runs for i in range(len(d) - 8)))
print(f"{len(captured)} captured datagrams, {shown} with 8 bytes of the plain stream ({len(plain)} bytes)")
sys.exit(1 if shown or len(plain) < 8000 else 0)
PY
if [ "$sanitized" = 1 ]; then
    "$WAV_COMPARE" --loud "$dir/listener-out.wav" >/dev/null || fail "the listener heard nothing"
    "$WAV_COMPARE" --loud "$dir/caller-out.wav" >/dev/null || fail "the caller heard nothing"
else
    result=$("$WAV_COMPARE" "$work/caller.wav" "$dir/listener-out.wav" --min-corr=0.9) ||
        fail "the listener's output does not match the caller's input: $result"
    echo "caller -> listener: $result"
    result=$("$WAV_COMPARE" "$work/listener.wav" "$dir/caller-out.wav" --skip=2 --min-corr=0.9) ||
        fail "the caller's output does not match the listener's input: $result"
    echo "listener -> caller: $result"
fi

# --- A later call with the same secret: the earlier call's recorded datagrams (its sender ids, its keys)
# and twenty forgeries under twenty more sender ids, all from a third address, then this call's own
# datagrams replayed: the earlier ones open nothing, the forgeries cannot crowd this call's senders out of
# the replay memory, every replay is refused, and the call is neither ended nor taken.
dir="$work/later"
mkdir -p "$dir"
start_listener "$dir" --audio=file --input-wav="$work/listener.wav" -a:"$codec" --secret="$work/key" ||
    fail "the later listener never listened"
relay_port=$((port + 1))
python3 "$relay_script" "$relay_port" "$port" "$dir/captured.hex" --attack-after 3 \
    --earlier "$work/same/captured.hex" >"$dir/relay.out" 2>&1 &
relay=$!
pids+=("$relay")
wait_for_line "$dir/relay.out" "relay 127.0.0.1:$relay_port -> 127.0.0.1:$port" 5 || fail "the later relay did not start"
"$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" -a:"$codec" -c:127.0.0.1:"$relay_port":yes \
    --secret="$work/key" >"$dir/caller.out" 2>"$dir/caller.err" &
caller=$!
pids+=("$caller")
wait_for_line "$dir/listener.out" "Connected." 5 || fail "the later listener did not print Connected."
sleep 4
listener_counts=$(statistics_of "$listener" "$dir/listener.out")
during=$(cat "$dir/listener.out")
kill -TERM "$caller" "$relay"
wait "$caller" "$relay" 2>/dev/null
kill -TERM "$listener"
wait "$listener"
echo "later relay: $(tail -n 1 "$dir/relay.out")"
echo "later listener: $listener_counts"
echo "$during" | grep -q "Disconnected." && fail "the earlier call's datagrams ended the later call"
[ "$(grep -c '^Private call:' "$dir/listener.out")" = 1 ] ||
    fail "the earlier call's datagrams made the listener announce another peer: $(cat "$dir/listener.out")"
earlier=$(sed -n 's/^attacked from .*: 60 unsealed, 20 forged, \([0-9]*\) earlier sealed, .*/\1/p' "$dir/relay.out")
replayed=$(sed -n 's/^attacked from .* \([0-9]*\) replayed$/\1/p' "$dir/relay.out")
replayed=$(( ${replayed:-0} - $(grep -c '^04' "$dir/captured.hex") ))
[ "${earlier:-0}" -ge 20 ] || fail "the earlier call left only ${earlier:-0} sealed datagrams to send"
case "$listener_counts" in
    *", dropped 60 not sealed, $((20 + ${earlier:-0})) not opening, $replayed replayed"*) ;;
    *) fail "the later listener's counts are not the attack's ($((20 + ${earlier:-0})) not opening, $replayed replayed): $listener_counts" ;;
esac

# --- Different secrets, and a plain caller: the listener never connects and plays nothing.
mismatch() {
    local name=$1
    shift
    local dir="$work/$name"
    mkdir -p "$dir"
    start_listener "$dir" --audio=file --output-wav="$dir/listener-out.wav" -a:"$codec" --secret="$work/key" ||
        { fail "$name: the listener never listened"; return; }
    "$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" -a:"$codec" -c:127.0.0.1:"$port":yes "$@" \
        >"$dir/caller.out" 2>"$dir/caller.err" &
    local caller=$!
    pids+=("$caller")
    sleep 3
    local counts
    counts=$(statistics_of "$listener" "$dir/listener.out")
    kill -TERM "$caller" "$listener"
    wait "$caller" "$listener"
    echo "$name: $counts"
    grep -q "Connected." "$dir/listener.out" && fail "$name: the listener connected: $(cat "$dir/listener.out")"
    # The caller ends a call whose keys it cannot complete and calls again, from a new port: each of its
    # sources is named, and none more than once.
    named=$(sed -n 's/^qparlin: datagrams from \(127\.0\.0\.1:[0-9]*\) are not sealed with our secret$/\1/p' \
        "$dir/listener.err")
    [ -n "$named" ] && [ -z "$(echo "$named" | sort | uniq -d)" ] ||
        fail "$name: the caller was not named once per source: $(cat "$dir/listener.err")"
    "$WAV_COMPARE" --loud "$dir/listener-out.wav" >/dev/null 2>&1 && fail "$name: the listener played something"
    dropped=$(echo "$counts" | sed -n "s/.*dropped \([0-9]*\) not sealed, \([0-9]*\) not opening.*/\1 \2/p")
    set -- $dropped
    # A caller that agrees keys sends its hellos and a sealed confirmation, and no audio to a peer that
    # never proved the secret; one without a secret of its own sends its sealed audio (after the
    # listener's answer) or its plain audio (a copy with --encrypt=off): every one of them is dropped.
    [ $(( ${1:-0} + ${2:-0} )) -ge "$min_drops" ] || fail "$name: too few drops counted: $counts"
}
min_drops=1
mismatch other-secret --secret="$work/other.key"
min_drops=20  # three seconds of 100 ms frames
mismatch plain
mismatch plain-clear --encrypt=off

# --- A secret with sessions off: refused before anything starts, nothing sent. (That every call's keys,
# and so its nonces, are its own is the unit tests' PrivateLinkTest.TwoStartsNeverShareANonce.)
status=0
"$QPARLIN" --headless --audio=null -c:127.0.0.1:9:yes --secret="$work/key" --session=off \
    >"$work/off.out" 2>"$work/off.err" || status=$?
[ "$status" = 2 ] || fail "--secret with --session=off gave status $status"
grep -qx "qparlin: --session=off: cannot be used with --secret: a private call agrees fresh keys in the session" \
    "$work/off.err" || fail "the refusal does not say why: $(cat "$work/off.err")"
[ ! -s "$work/off.out" ] || fail "the refused program still printed: $(cat "$work/off.out")"

# --- A secret file others can read is refused before anything starts.
cp "$work/key" "$work/open.key"
chmod 644 "$work/open.key"
status=0
"$QPARLIN" --headless --audio=null -l:0:yes --secret="$work/open.key" >"$work/open.out" 2>"$work/open.err" || status=$?
[ "$status" = 1 ] || fail "a secret file readable by others gave status $status"
grep -q "chmod 600" "$work/open.err" || fail "the refusal does not say how to fix it: $(cat "$work/open.err")"
[ ! -s "$work/open.out" ] || fail "the refused program still printed: $(cat "$work/open.out")"

finish "private calls carry speech both ways, survive a third address and refuse every other secret"

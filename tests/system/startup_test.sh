#!/usr/bin/env bash
# The console for unattended use: a start that cannot work (missing input WAV, one at another rate than the
# format chosen with -a, a device number
# that does not exist, a refused secret, one remembered) ends with status 1 and one line saying what and
# what to do; a damaged or huge settings file is warned about and the program runs; Ctrl-C ends a call
# within a second on the WAV and null backends; a storm of empty datagrams is folded into a count.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
. "$(dirname "$0")/common.sh"
sanitized=${QPARLIN_SANITIZED:-0}

# Runs qparlin --headless with the arguments; it must end by itself within 5 s with status 1 and exactly one
# stderr line that matches the pattern $1.
refuses() {
    local pattern=$1
    shift
    timeout 5 "$QPARLIN" --headless "$@" >"$work/refused.out" 2>"$work/refused.err"
    local status=$?
    [ "$status" = 1 ] || fail "$*: status $status instead of 1"
    [ "$(wc -l <"$work/refused.err")" -eq 1 ] || fail "$*: not one line: $(cat "$work/refused.err")"
    grep -q -- "$pattern" "$work/refused.err" || fail "$*: '$pattern' not in: $(cat "$work/refused.err")"
    ! grep -q "Listening" "$work/refused.out" || fail "$*: listened before refusing"
}

refuses "^qparlin: Cannot record from the default recording device (file): .*'$work/none.wav'.*Check the path given to --input-wav\.$" \
    --input-wav="$work/none.wav" -l:0:yes
sox -n -r 2000 -c 1 -b 16 "$work/2k.wav" synth 0.5 sine 440
refuses "is sampled at 2000 Hz; the device takes 4000 to 192000 Hz\. Give a WAV file at the codec's rate" \
    --input-wav="$work/2k.wav" -a:ilbc_11khz -l:0:yes
refuses "^qparlin: Cannot record from recording device 7 (null): .*qparlin --list-devices shows the numbers; -i:0" \
    --audio=null -i:7 -l:0:yes
refuses "^qparlin: Cannot play on playback device 2 (null): .*-o:0 takes the default device\.$" \
    --audio=null -o:2 -l:0:yes
printf 'a secret anyone may read' >"$work/open.key"
chmod 644 "$work/open.key"
refuses "^qparlin: Cannot use the secret file $work/open.key: .*chmod 600.*qparlin --make-secret=FILE" \
    --audio=null --secret="$work/open.key" -l:0:yes

# What is remembered counts as if given, and the command line wins: a remembered secret that is refused
# stops the start, --secret over it does not.
mkdir -p "$XDG_CONFIG_HOME/qparlin"
printf 'secret=%s\n' "$work/open.key" >"$XDG_CONFIG_HOME/qparlin/qparlin.conf"
refuses "^qparlin: Cannot use the secret file $work/open.key.*(The file is remembered in $XDG_CONFIG_HOME/qparlin/qparlin.conf; choose another in the window's Settings, or give --secret=FILE.)$" \
    --audio=null -l:0:yes
"$QPARLIN" --make-secret="$work/good.key" >/dev/null || fail "no secret made"
start_listener "$work" --audio=null --secret="$work/good.key" || fail "--secret does not win over the remembered one"
[ -n "$listener" ] && terminate "$listener"

# A damaged settings file (binary noise, bad values) and a huge one: warned about, never fatal.
{
    printf 'codec=nosuchcodec\nport=70000\n'
    head -c 3000 /dev/urandom
} >"$XDG_CONFIG_HOME/qparlin/qparlin.conf"
start_listener "$work" --audio=null || fail "a damaged settings file stopped the start"
[ -n "$listener" ] && terminate "$listener"
grep -q "^qparlin: warning: .*qparlin.conf: line 1: no codec is called 'nosuchcodec'; ignored$" "$work/listener.err" ||
    fail "no warning for the damaged file: $(head -c 500 "$work/listener.err")"
[ "$(wc -l <"$work/listener.err")" -le 10 ] || fail "the damaged file flooded stderr"
head -c 10000000 /dev/zero >"$XDG_CONFIG_HOME/qparlin/qparlin.conf"
start_listener "$work" --audio=null || fail "a huge settings file stopped the start"
[ -n "$listener" ] && terminate "$listener"
grep -q "qparlin.conf: larger than 64 KiB; nothing remembered used$" "$work/listener.err" ||
    fail "no warning for the huge file: $(cat "$work/listener.err")"
rm -f "$XDG_CONFIG_HOME/qparlin/qparlin.conf"

# Ctrl-C in a call ends each side within a second, on the WAV backend and on the null backend.
sox -n -r 11025 -c 1 -b 16 "$work/11k.wav" synth 20 sine 440
for backend in "--input-wav=$work/11k.wav --output-wav=$work/out.wav" "--audio=null"; do
    # shellcheck disable=SC2086 # the backend's options are separate words
    start_listener "$work" $backend || { fail "$backend: no listener"; continue; }
    "$QPARLIN" --headless --audio=null -c:127.0.0.1:"$port":yes >"$work/caller.out" 2>&1 &
    caller=$!
    pids+=("$caller")
    wait_for_line "$work/listener.out" "Connected." 5 || fail "$backend: no call"
    sleep 0.5
    started=$(date +%s%N)
    kill -INT "$listener"
    wait "$listener"
    status=$?
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    [ "$status" = 0 ] || fail "$backend: Ctrl-C ended the listener with status $status"
    echo "$backend: Ctrl-C ended the call in $elapsed_ms ms"
    if [ "$sanitized" != 1 ] && [ "$elapsed_ms" -ge 1000 ]; then
        fail "$backend: Ctrl-C took $elapsed_ms ms"
    fi
    terminate "$caller"
done

# A storm of empty datagrams (each ends the call it starts) is folded: a few dozen lines and counts where
# the cycle would print hundreds of thousands, and the state it left printed last. (An occasional line of
# the session's, "Call: waiting for the peer", breaks a cycle and starts a new count, more often on a busy
# machine: the bound leaves room for that.)
start_listener "$work" --audio=null || fail "no listener for the storm"
python3 - "$port" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
end = time.monotonic() + 2
while time.monotonic() < end:
    s.sendto(b"", ("127.0.0.1", int(sys.argv[1])))
EOF
sleep 2.5  # quiet for more than a second: the count is printed
lines=$(wc -l <"$work/listener.out")
grep -Eq "^… \(the last [0-9] lines repeated [0-9]+ times in all\)$" "$work/listener.out" ||
    fail "no count after the storm: $(head -20 "$work/listener.out")"
[ "$lines" -le 60 ] || fail "the storm printed $lines lines"
[ "$(tail -n 1 "$work/listener.out")" = "Listening..." ] ||
    [ "$(tail -n 1 "$work/listener.out")" = "Call: waiting for the peer" ] ||
    fail "the last line is not the state the storm left: $(tail -n 3 "$work/listener.out")"
terminate "$listener"

finish "startup: refusals, settings file, Ctrl-C and folding as expected"

#!/usr/bin/env bash
# The console front end on its own: idle until a signal, a clean end on SIGINT, a listener whose port is
# taken at start-up ends with status 1 and says why, SIGUSR1 prints the counts, and a closed stdout ends
# the program cleanly; a name that does not resolve at first is looked up again until it does.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
. "$(dirname "$0")/common.sh"
# Waits up to $2 tenths of a second for process $1 to end; sets `ended` to its status or "running".
await() {
    ended=running
    for _ in $(seq "$2"); do
        if ! kill -0 "$1" 2>/dev/null || [ "$(ps -o stat= -p "$1" 2>/dev/null | cut -c1)" = Z ]; then
            ended=0
            wait "$1" || ended=$?
            return
        fi
        sleep 0.1
    done
}

# Without -l or -c nothing starts: no status line, until SIGINT ends the program cleanly.
"$QPARLIN" --headless --audio=null >"$work/idle.out" 2>"$work/idle.err" &
idle=$!
pids+=("$idle")
sleep 1
kill -0 "$idle" 2>/dev/null || fail "the idle console ended by itself"
kill -INT "$idle"
await "$idle" 30
[ "$ended" = 0 ] || fail "SIGINT ended the idle console with '$ended'"
[ ! -s "$work/idle.out" ] || fail "the idle console printed: $(cat "$work/idle.out")"
grep -q "^qparlin: nothing to do: give -l:PORT:yes to wait for a call, or -c:HOST:PORT:yes" "$work/idle.err" ||
    fail "the idle console does not say what to do: $(cat "$work/idle.err")"
[ "$(wc -l <"$work/idle.err")" -eq 1 ] || fail "the idle console said more: $(cat "$work/idle.err")"

# SIGHUP (the terminal closed) ends it as SIGTERM does, with status 0, not 129.
"$QPARLIN" --headless --audio=null >"$work/hup.out" 2>"$work/hup.err" &
hup=$!
pids+=("$hup")
sleep 0.5
kill -HUP "$hup"
await "$hup" 30
[ "$ended" = 0 ] || fail "SIGHUP ended the console with '$ended'"

# A second listener on a port that the first one holds: status 1 and a message naming the port.
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    "$QPARLIN" --headless --audio=null -l:"$port":yes >"$work/first.out" 2>"$work/first.err" &
    first=$!
    sleep 0.5
    grep -qx "Listening..." "$work/first.out" && break
    wait "$first" 2>/dev/null
    first=""
done
[ -n "${first:-}" ] || fail "no listener could start"
pids+=("$first")
"$QPARLIN" --headless --audio=null -l:"$port":yes >"$work/second.out" 2>"$work/second.err" &
second=$!
pids+=("$second")
await "$second" 50
[ "$ended" = 1 ] || fail "the second listener ended with '$ended', not 1"
grep -q "Error> Can't listen on the port!" "$work/second.out" || fail "no status line: $(cat "$work/second.out")"
grep -q "^qparlin: Cannot listen on UDP port $port: the port is in use by another program" "$work/second.err" ||
    fail "no message naming the port and the reason: $(cat "$work/second.err")"
# SIGUSR1 prints the link's counts and leaves the program running.
kill -USR1 "$first"
sleep 0.5
grep -qx "Statistics: 0 datagrams sent, 0 received, 0 send-queue drops, 0 playback drops, 0 frames concealed, 0 late, playout depth 0 ms, jitter 0 ms" "$work/first.out" ||
    fail "no statistics line after SIGUSR1: $(cat "$work/first.out")"
kill -0 "$first" 2>/dev/null || fail "SIGUSR1 ended the listener"
kill -TERM "$first"
await "$first" 30
[ "$ended" = 0 ] || fail "SIGTERM ended the listener with '$ended'"

# Its reader gone (`qparlin --headless ... | head -1`): no death by SIGPIPE; the next line that cannot be
# written ends the program the way SIGTERM does, with status 0.
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    "$QPARLIN" --headless --audio=null -l:"$port":yes 2>"$work/piped.err" > >(head -1 >"$work/piped.out") &
    piped=$!
    wait_for_line "$work/piped.out" "Listening..." 5 && break
    kill -KILL "$piped" 2>/dev/null
    wait "$piped" 2>/dev/null
    piped=""
done
if [ -z "${piped:-}" ]; then
    fail "no piped listener could start"
else
    pids+=("$piped")
    sleep 0.5  # head has ended, and the pipe has no reader
    kill -USR1 "$piped"
    await "$piped" 50
    [ "$ended" = 0 ] || fail "the console with a closed stdout ended with '$ended', not 0 (141 is SIGPIPE)"
    [ ! -s "$work/piped.err" ] || fail "the console with a closed stdout complained: $(cat "$work/piped.err")"
fi

# A caller given a name that does not resolve yet (at boot, before the name server is up) looks it up
# again, after 1, 2, 4 ... s, and calls once it does. The name comes from a hosts file of the caller's own
# (a mount namespace of its own), to which the name is added after its first try.
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    mkdir "$work/later"
    start_listener "$work/later" --audio=null || fail "no listener for the late name could start"
    printf '127.0.0.1 localhost\n' >"$work/hosts"
    unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$work/hosts" \
        "$QPARLIN" --headless --audio=null -c:qp-later.test:"$port":yes >"$work/later.out" 2>"$work/later.err" &
    later=$!
    pids+=("$later")
    wait_for_line "$work/later.out" "Error> Can't connect to the peer!" 5 || fail "the late name was not tried"
    grep -q "^qparlin: Cannot connect to qp-later.test: unknown host" "$work/later.err" ||
        fail "no message for the late name: $(cat "$work/later.err")"
    kill -0 "$later" 2>/dev/null || fail "the caller ended when its name did not resolve"
    # Appended in place: the caller's mount shows this very file.
    printf '127.0.0.1 qp-later.test\n' >>"$work/hosts"
    wait_for_line "$work/later.out" "Connected." 10 || fail "the caller never called once its name resolved"
    terminate "$later"
    terminate "$listener"
else
    echo "skipped the late name: a mount namespace needs root and unshare"
fi

finish "the console front end starts, fails and ends as it should"

#!/usr/bin/env bash
# The window comes from its own module: a windowed copy (Qt's offscreen platform) loads it and makes a call,
# a copy without a window maps no Qt library at all, a bad command line from a launcher is shown in a box, and
# a program whose module is missing says so and runs
# without a window.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
. "$(dirname "$0")/common.sh"
module=$(dirname "$QPARLIN")/qparlin-window.so
if [ ! -f "$module" ]; then
    finish "built without the window: nothing to check"
fi
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$work/runtime"

start_listener "$work" --audio=null || fail "no listener could start"
if [ -n "$listener" ]; then
    "$QPARLIN" --audio=null -c:127.0.0.1:"$port":yes >"$work/window.out" 2>"$work/window.err" &
    window=$!
    pids+=("$window")
    wait_for_line "$work/listener.out" "Connected." 10 ||
        fail "the windowed caller did not connect: $(cat "$work/window.err")"
    grep -q "/qparlin-window.so$" "/proc/$window/maps" || fail "the windowed copy did not load the module"
    grep -q "libQt6Widgets" "/proc/$window/maps" || fail "the windowed copy has no Qt Widgets"
    ! grep -q "libQt6\|qparlin-window" "/proc/$listener/maps" || fail "the copy without a window maps Qt"
    kill -KILL "$window"
fi

# A bad command line where nobody reads stderr (a launcher; stderr here is a file): the line is printed and
# the module shows it in a box, which stays until closed. With --headless it is only printed, at once.
"$QPARLIN" --audio=null -a:nosuchcodec >"$work/bad.out" 2>"$work/bad.err" &
bad=$!
pids+=("$bad")
boxed=no
for _ in $(seq 50); do
    grep -q "libQt6Widgets" "/proc/$bad/maps" 2>/dev/null && boxed=yes && break
    sleep 0.1
done
[ "$boxed" = yes ] || fail "a bad command line without a terminal showed no box: $(cat "$work/bad.err")"
grep -q "^qparlin: -a:nosuchcodec: unknown codec" "$work/bad.err" || fail "the bad command line was not printed too"
kill -KILL "$bad"
"$QPARLIN" --headless --audio=null -a:nosuchcodec >"$work/bad.out" 2>"$work/bad.err"
status=$?
[ "$status" = 2 ] || fail "a bad command line with --headless ended with $status, not 2"
grep -q "^qparlin: -a:nosuchcodec: unknown codec" "$work/bad.err" || fail "the --headless error was not printed"

# The program alone, its module not beside it nor installed: it says why and runs without a window.
mkdir "$work/bin"
cp "$QPARLIN" "$work/bin/qparlin"
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    "$work/bin/qparlin" --audio=null -l:"$port":yes >"$work/alone.out" 2>"$work/alone.err" &
    alone=$!
    pids+=("$alone")
    wait_for_line "$work/alone.out" "Listening..." 5 && break
    kill -KILL "$alone" 2>/dev/null
done
grep -qx "Listening..." "$work/alone.out" || fail "without its module the program did not listen: $(cat "$work/alone.err")"
grep -q "the window cannot be shown: qparlin-window.so is not installed with the program" "$work/alone.err" ||
    fail "no message about the missing module: $(cat "$work/alone.err")"

finish "the window loads from its module, and only when it is shown"

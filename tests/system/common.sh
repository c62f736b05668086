# Sourced by the system test scripts: a private work folder, processes of the test killed when it ends,
# failures counted rather than fatal, so that one run reports every check that failed.
# No port mapping and no LAN announcing: no test sends discovery traffic toward the machine's own gateway
# (the tests that want them make their own network namespaces and turn them on).
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
work=$(mktemp -d)
# What a run remembers (settings, the address book) stays in this run's folder: nothing leaks between tests
# or in from the machine's user.
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
pids=()  # add the processes the script starts
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Waits up to $3 seconds for the line $2 in file $1.
wait_for_line() {
    local deadline=$((SECONDS + $3))
    while [ $SECONDS -lt $deadline ]; do
        grep -qx -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
# Asks the process $1, whose standard output is the file $2, for its counts (SIGUSR1) and prints the line it
# answers with, waiting up to 5 s for it.
statistics_of() {
    local pid=$1 out=$2 before
    before=$(grep -c '^Statistics:' "$out")
    kill -USR1 "$pid"
    for _ in $(seq 50); do
        [ "$(grep -c '^Statistics:' "$out")" -gt "$before" ] && break
        sleep 0.1
    done
    grep '^Statistics:' "$out" | tail -n 1
}
# Starts qparlin --headless with the options given after $1, listening on a free port, stdout and stderr in
# $1/listener.out and $1/listener.err. Sets `listener` and `port`; fails when five ports were all taken.
start_listener() {
    local dir=$1
    shift
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        "$QPARLIN" --headless "$@" -l:"$port":yes >"$dir/listener.out" 2>"$dir/listener.err" &
        listener=$!
        if wait_for_line "$dir/listener.out" "Listening..." 5; then
            pids+=("$listener")
            return 0
        fi
        wait "$listener" 2>/dev/null  # the port was taken: try another
    done
    listener=""
    return 1
}
# Sends SIGTERM (after SIGCONT, for a process the test stopped) and waits up to 3 s for the process to end;
# sets `ended` to its exit status (or "hung").
terminate() {
    local pid=$1
    kill -CONT "$pid" 2>/dev/null
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 30); do
        if ! kill -0 "$pid" 2>/dev/null || [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = Z ]; then
            ended=0
            wait "$pid" || ended=$?
            return
        fi
        sleep 0.1
    done
    ended=hung
}
# Ends the script: status 1 after any failure, otherwise the line $1 and status 0.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "$1"
    exit 0
}

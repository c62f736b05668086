# Sourced by the system test scripts: a private work folder, processes of the test killed when it ends,
# failures counted rather than fatal, so that one run reports every check that failed.
work=$(mktemp -d)
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
# Ends the script: status 1 after any failure, otherwise the line $1 and status 0.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "$1"
    exit 0
}

#!/usr/bin/env bash
# qparlin --help, --version and a bad command line, as a user sees them: output, error lines, exit status.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${QPARLIN_SOURCE_DIR:?QPARLIN_SOURCE_DIR must name the source directory}"

. "$(dirname "$0")/common.sh"

# --help: exit 0, and the output begins with the help text, byte for byte, with LF line ends.
status=0
"$QPARLIN" --help >"$work/help.out" 2>"$work/help.err" </dev/null || status=$?
[ "$status" -eq 0 ] || fail "--help exited $status"
tr -d '\r' <"$QPARLIN_SOURCE_DIR/res/help.txt" >"$work/help.expected"
expected_size=$(stat -c %s "$work/help.expected")
[ "$expected_size" -gt 0 ] || fail "res/help.txt is empty"
if ! head -c "$expected_size" "$work/help.out" | cmp -s - "$work/help.expected"; then
    fail "--help does not start with res/help.txt (LF line ends)"
    head -c "$expected_size" "$work/help.out" | cmp - "$work/help.expected" >&2
fi
for option in --headless --audio= --input-wav= --output-wav= --list-devices --banner-server= --version; do
    grep -q -e "^  $option" "$work/help.out" || fail "--help does not list $option"
done
[ ! -s "$work/help.err" ] || fail "--help wrote to stderr"

# --version: one line naming the version and a six-digit build date.
status=0
version=$("$QPARLIN" --version 2>"$work/version.err" </dev/null) || status=$?
[ "$status" -eq 0 ] || fail "--version exited $status"
[[ "$version" =~ ^Q-Parlin\ 2\.5\ build\ [0-9]{6}$ ]] || fail "--version printed '$version'"

# A bad command line: exit 2, nothing on stdout, two lines on stderr naming the argument, then the hint.
check_bad() {
    local arg=$1
    local code=0
    "$QPARLIN" "$arg" >"$work/bad.out" 2>"$work/bad.err" </dev/null || code=$?
    [ "$code" -eq 2 ] || fail "'$arg' exited $code, not 2"
    [ ! -s "$work/bad.out" ] || fail "'$arg' wrote to stdout"
    local lines
    lines=$(wc -l <"$work/bad.err")
    [ "$lines" -eq 2 ] || fail "'$arg' wrote $lines lines to stderr"
    grep -q -F -e "qparlin: $arg: " <(sed -n 1p "$work/bad.err") || fail "'$arg': first line does not name it"
    [ "$(sed -n 2p "$work/bad.err")" = "Try 'qparlin --help'." ] || fail "'$arg': second line is not the hint"
}
check_bad -l:99999:yes
check_bad -c:127.0.0.1:0:yes
check_bad -x
check_bad -l:5005
check_bad --audio=bogus
check_bad --help=1

finish "help, version and bad command lines behave"

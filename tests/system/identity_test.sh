#!/usr/bin/env bash
# Identity keys between two qparlin --headless processes, each with a data folder of its own: the first
# call names the peer's identity key as not verified; with that key in the caller's verified peers the next
# call says at once that the peer is verified; with another key remembered for the peer's address the caller
# warns, as ssh does when a host key changed. A verified-peers file others can read is not trusted.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
. "$(dirname "$0")/common.sh"

mkdir -p "$work/listener-data" "$work/caller-data/qparlin"
chmod 700 "$work/caller-data/qparlin"
peers="$work/caller-data/qparlin/verified-peers"

# One call; the caller's lines in $work/$1.out.
call() {
    local name=$1
    XDG_DATA_HOME="$work/listener-data" start_listener "$work" --audio=null ||
        { fail "$name: the listener never listened"; return; }
    XDG_DATA_HOME="$work/caller-data" "$QPARLIN" --headless --audio=null -c:127.0.0.1:"$port":yes \
        >"$work/$name.out" 2>"$work/$name.err" &
    local caller=$!
    pids+=("$caller")
    for _ in $(seq 50); do
        grep -q "^Encrypted call: the code is" "$work/$name.out" && break
        sleep 0.1
    done
    sleep 0.3
    terminate "$caller"
    terminate "$listener"
}

call first
key=$(sed -n 's/^The peer is not verified yet (identity key \([0-9a-f]\{64\}\)): when it reads the same code, mark it verified$/\1/p' \
    "$work/first.out")
[ -n "$key" ] || fail "the first call named no identity key: $(cat "$work/first.out")"
grep -q "^The peer is verified" "$work/first.out" && fail "a peer never compared counted as verified"

printf '%s 127.0.0.1\n' "$key" >"$peers"
chmod 600 "$peers"
call verified
grep -qx "The peer is verified: its identity key is the one whose code was compared before" "$work/verified.out" ||
    fail "the verified peer was not shown as verified: $(cat "$work/verified.out")"

printf '%s 127.0.0.1\n' "$(printf '0%.0s' $(seq 64))" >"$peers"
call changed
grep -q "^Warning: 127.0.0.1 was verified before with another identity key (now $key)" "$work/changed.out" ||
    fail "a changed identity was not warned about: $(cat "$work/changed.out")"

printf '%s 127.0.0.1\n' "$key" >"$peers"
chmod 644 "$peers"
call readable
grep -q "^The peer is verified" "$work/readable.out" && fail "a verified-peers file others can read was trusted"
grep -q "^The verified peers cannot be read (.*chmod 600)" "$work/readable.out" ||
    fail "the readable file was not named: $(cat "$work/readable.out")"

finish "a verified identity is known again, a changed one is warned about"

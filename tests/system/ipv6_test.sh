#!/usr/bin/env bash
# Calls between network namespaces the test makes, with WAV-file audio both ways: over IPv6 only, over IPv4
# only (both to one dual-stack listener), and from a dual-stack caller by name to an IPv6-only and to an
# IPv4-only listener (the name has both kinds of address; only one of them leads anywhere). A caller whose
# peer's IPv6 address swallows everything hears the IPv4 one answer after about a quarter of a second (it
# tries both, the IPv4 one shortly after the IPv6 one) rather than after a second. Nothing is added
# to the machine's own namespace; the namespaces go when the test ends, however it ends.
#
#   L6 (2001:db8:1::1, no IPv4) --- C (2001:db8:1::2 and 198.51.100.2) --- L4 (198.51.100.1, IPv6 off)
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }
if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null || ! command -v unshare >/dev/null; then
    echo "skipped: network namespaces need root, ip and unshare"
    exit 77
fi
sanitized=${QPARLIN_SANITIZED:-0}

. "$(dirname "$0")/common.sh"

ns_c=qp6c$$ ns_6=qp66$$ ns_4=qp64$$
remove_namespaces() {
    for ns in "$ns_c" "$ns_6" "$ns_4"; do ip netns del "$ns" 2>/dev/null; done
    cleanup
}
trap remove_namespaces EXIT

for ns in "$ns_c" "$ns_6" "$ns_4"; do
    ip netns add "$ns" || { echo "cannot make network namespaces here"; exit 1; }
    ip -n "$ns" link set lo up
done
ip link add v6c netns "$ns_c" type veth peer name v6l netns "$ns_6"
ip link add v4c netns "$ns_c" type veth peer name v4l netns "$ns_4"
ip netns exec "$ns_4" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip -n "$ns_c" -6 addr add 2001:db8:1::2/64 dev v6c nodad
ip -n "$ns_c" addr add 198.51.100.2/24 dev v4c
ip -n "$ns_6" -6 addr add 2001:db8:1::1/64 dev v6l nodad
ip -n "$ns_4" addr add 198.51.100.1/24 dev v4l
# 2001:db8:1::9 is a host that drops the call's datagrams without a word, as a firewall would (deprecated, so
# that the listener on 2001:db8:1::1 never answers from it).
ip -n "$ns_6" -6 addr add 2001:db8:1::9/64 dev v6l nodad preferred_lft 0
ip netns exec "$ns_6" nft -f - <<'RULES' || { echo "nft cannot filter in a namespace here"; exit 1; }
table inet blackhole {
    chain input { type filter hook input priority 0; ip6 daddr 2001:db8:1::9 udp dport 5007 drop; }
}
RULES
for pair in "$ns_c v6c" "$ns_c v4c" "$ns_6 v6l" "$ns_4 v4l"; do
    set -- $pair
    ip -n "$1" link set "$2" up
done

# The names the dual-stack caller looks up, in a hosts file seen only inside its own mount namespace:
# peer6's IPv4 address has no one behind it; peer4's IPv6 address, tried first, drops what it gets (the
# caller tries the IPv4 one meanwhile), and unroute's has no route.
cat >"$work/hosts" <<HOSTS
127.0.0.1 localhost
2001:db8:1::1 peer6.test
198.51.100.9 peer6.test
2001:db8:1::9 peer4.test
198.51.100.1 peer4.test
2001:db8:7::1 unroute.test
198.51.100.1 unroute.test
2001:db8:1::1 closed.test
198.51.100.1 closed.test
HOSTS

rate=8000
sox -n -r $rate -c 1 -b 16 "$work/caller.wav" synth 4 sine 200-1800 sine 300 tremolo 3 80 vol 0.4
sox -n -r $rate -c 1 -b 16 "$work/voice.wav" synth 3 square 150-600 tremolo 5 60 vol 0.3
sox -n -r $rate -c 1 -b 16 "$work/silence.wav" trim 0 1
sox "$work/silence.wav" "$work/voice.wav" "$work/listener.wav"

# call NAME LISTENER_NS CALLER_NS PEER_HOST EXPECTED_PEER_TEXT [ANSWERED_BY]
# With ANSWERED_BY, the caller's namespace is watched for the first answer, which must come from there.
call() {
    local name=$1 lns=$2 cns=$3 host=$4 shown=$5 answered_by=${6:-}
    local dir="$work/$name" port=5007
    mkdir -p "$dir"
    ip netns exec "$lns" "$QPARLIN" --headless --audio=file --input-wav="$work/listener.wav" \
        --output-wav="$dir/listener-out.wav" -a:g711_8khz -l:$port:yes >"$dir/listener.out" 2>"$dir/listener.err" &
    local listener=$!
    pids+=("$listener")
    wait_for_line "$dir/listener.out" "Listening..." 5 || { fail "$name: the listener never listened"; return; }
    if [ -n "$answered_by" ]; then
        ip netns exec "$cns" python3 "$(dirname "$0")/first_answer.py" $port 5 >"$dir/answer.out" 2>&1 &
        pids+=("$!")
        wait_for_line "$dir/answer.out" ready 5 || fail "$name: the watch did not start: $(cat "$dir/answer.out")"
    fi
    ip netns exec "$cns" unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$work/hosts" \
        "$QPARLIN" --headless --audio=file --input-wav="$work/caller.wav" --output-wav="$dir/caller-out.wav" \
        -a:g711_8khz -c:"$host":$port:yes >"$dir/caller.out" 2>"$dir/caller.err" &
    local caller=$!
    pids+=("$caller")
    wait_for_line "$dir/caller.out" "Connected." 5 || fail "$name: the caller did not print Connected."
    wait_for_line "$dir/listener.out" "Connected." 5 || fail "$name: the listener did not print Connected."
    if [ -n "$answered_by" ]; then
        # The ordered attempts of before answered after a second at the earliest; the race after 250 ms
        # and a round trip (the bound leaves room for a slow machine, the figure is printed).
        local answer
        for _ in $(seq 50); do answer=$(grep -E '^(first-sent|no answer)' "$dir/answer.out") && break; sleep 0.1; done
        echo "$name: $answer"
        [[ "$answer" =~ ^first-sent\ 2001:db8:1::9\ answered-by\ $answered_by\ after\ ([0-9]+)$ ]] &&
            [ "${BASH_REMATCH[1]}" -lt 800 ] || fail "$name: not answered in time by $answered_by: $answer"
    fi
    # The listener hears of one address of the caller's only, and answers there.
    [ "$(grep -c '^Call: ' "$dir/listener.out")" -le 2 ] || fail "$name: the listener's peer moved: $(cat "$dir/listener.out")"
    # The call's state is printed once a second; on a busy machine the session may take a few.
    wait_for_line "$dir/caller.out" "Call: in a session with $shown" 10 ||
        fail "$name: the caller's peer is not $shown: $(cat "$dir/caller.out")"
    sleep 5
    terminate "$caller"
    [ "$ended" = 0 ] || fail "$name: the caller ended with '$ended'"
    terminate "$listener"
    [ "$ended" = 0 ] || fail "$name: the listener ended with '$ended'"
    for side in listener caller; do
        [ ! -s "$dir/$side.err" ] || fail "$name: the $side wrote to stderr: $(cat "$dir/$side.err")"
    done
    if [ "$sanitized" = 1 ]; then
        "$WAV_COMPARE" --loud "$dir/listener-out.wav" >/dev/null || fail "$name: the listener heard nothing"
        "$WAV_COMPARE" --loud "$dir/caller-out.wav" >/dev/null || fail "$name: the caller heard nothing"
        return
    fi
    local result
    result=$("$WAV_COMPARE" "$work/caller.wav" "$dir/listener-out.wav" --min-corr=0.9) ||
        fail "$name: the listener's output does not match the caller's input: $result"
    echo "$name caller -> listener: $result"
    result=$("$WAV_COMPARE" "$work/listener.wav" "$dir/caller-out.wav" --skip=1 --min-corr=0.9) ||
        fail "$name: the caller's output does not match the listener's input: $result"
    echo "$name listener -> caller: $result"
}

call ipv6-only "$ns_c" "$ns_6" "[2001:db8:1::2]" "\[2001:db8:1::2\]:5007"
call ipv4-only "$ns_c" "$ns_4" 198.51.100.2 "198\.51\.100\.2:5007"
call dual-to-ipv6 "$ns_6" "$ns_c" peer6.test "\[2001:db8:1::1\]:5007"
call dual-to-ipv4 "$ns_4" "$ns_c" peer4.test "198\.51\.100\.1:5007" 198.51.100.1
call dual-to-ipv4-unrouted "$ns_4" "$ns_c" unroute.test "198\.51\.100\.1:5007"

# Both of closed.test's hosts answer that the port is closed: the call ends, as a call to one closed port
# does, instead of going round the addresses for ever.
mkdir -p "$work/closed"
ip netns exec "$ns_c" unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$work/hosts" \
    "$QPARLIN" --headless --audio=null -c:closed.test:5007:yes >"$work/closed/caller.out" 2>"$work/closed/caller.err" &
closed_caller=$!
pids+=("$closed_caller")
wait_for_line "$work/closed/caller.out" "Disconnected." 8 ||
    fail "closed: the call to two closed ports did not end: $(cat "$work/closed/caller.out")"
terminate "$closed_caller"

finish "calls over IPv6 only, IPv4 only and from a dual-stack caller carried sound both ways"

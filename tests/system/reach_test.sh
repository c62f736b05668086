#!/usr/bin/env bash
# Port mapping behind a NAT router, in network namespaces this test makes: a LAN host (198.51.100.2)
# behind a router (198.51.100.1 inside, 203.0.113.1 outside, nftables masquerade) and a caller outside
# (203.0.113.2) that knows only the router's outside address. Checks, each with a listener on the LAN host:
#  1. the real miniupnpd, whose outside address is reserved, refuses: the listener says "the router does not
#     allow port mapping" and the caller outside is not heard;
#  2. a router answering NAT-PMP (nat_router.py, which really forwards): the listener shows the outside
#     address, the caller reaches it there, and the forwarding is gone within 2 s of the listener ending;
#  3. the same over UPnP IGD alone, and the router's IPv6 firewall (which drops everything from outside) opens
#     a pinhole to the LAN host's IPv6 address (2001:db8:2::2), closed within 2 s of the listener ending;
#  4. a UPnP router that stops answering once it has mapped the port does not hold up the listener's exit;
#  5. with --port-mapping=off the router is not asked and the caller is heard neither over IPv4 nor IPv6.
# Nothing is added to the machine's own namespace; the namespaces go when the test ends. Needs root.
source "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ] || ! command -v nft >/dev/null || ! command -v miniupnpd >/dev/null; then
    echo "reach test: needs root, nft and miniupnpd (scripts/install-deps --test)" >&2
    exit 1
fi

ns=qreach$$
lan=${ns}l router=${ns}r wan=${ns}w
remove_namespaces() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    for n in "$lan" "$router" "$wan"; do ip netns del "$n" 2>/dev/null; done
    rm -rf "$work"
}
trap remove_namespaces EXIT

ip netns add "$lan" && ip netns add "$router" && ip netns add "$wan" || { echo "cannot make namespaces" >&2; exit 1; }
ip link add qrl0 netns "$router" type veth peer name eth0 netns "$lan"
ip link add qrw0 netns "$router" type veth peer name eth0 netns "$wan"
ip netns exec "$lan" sh -c 'ip link set lo up; ip addr add 198.51.100.2/24 dev eth0;
    ip -6 addr add 2001:db8:2::2/64 dev eth0 nodad; ip link set eth0 up;
    ip route add default via 198.51.100.1; ip -6 route add default via 2001:db8:2::1'
ip netns exec "$wan" sh -c 'ip link set lo up; ip addr add 203.0.113.2/24 dev eth0;
    ip -6 addr add 2001:db8:3::2/64 dev eth0 nodad; ip link set eth0 up; ip -6 route add 2001:db8:2::/64 via 2001:db8:3::1'
ip netns exec "$router" sh -c 'ip link set lo up; ip addr add 198.51.100.1/24 dev qrl0;
    ip addr add 203.0.113.1/24 dev qrw0; ip -6 addr add 2001:db8:2::1/64 dev qrl0 nodad;
    ip -6 addr add 2001:db8:3::1/64 dev qrw0 nodad; ip link set qrl0 up; ip link set qrw0 up;
    sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1'

port=$((20000 + RANDOM % 40000))
# Starts the listener on the LAN host with the given options; waits for its first port-mapping result.
start_lan_listener() {
    QPARLIN_PORT_MAPPING=on ip netns exec "$lan" "$QPARLIN" --headless --audio=null --announce=off "$@" \
        -l:"$port":yes >"$work/listener.out" 2>"$work/listener.err" &
    listener=$!
    pids+=("$listener")
    wait_for_line "$work/listener.out" "Listening..." 5 || fail "$case: the listener did not listen"
}
# Calls the router's outside address (or the host given, shown as the pattern given) from outside for up to
# 3 s (a reached listener answers within a tenth of that); true when the listener answered.
call_from_outside() {
    local host=${1:-203.0.113.1} shown=${2:-203\.0\.113\.1}
    ip netns exec "$wan" "$QPARLIN" --headless --audio=null -c:"$host":"$port":yes \
        >"$work/caller.out" 2>"$work/caller.err" &
    local caller=$!
    pids+=("$caller")
    local reached=1
    for _ in $(seq 30); do
        if grep -q "^Call: in a session with $shown:$port$" "$work/caller.out"; then
            reached=0
            break
        fi
        sleep 0.1
    done
    terminate "$caller"
    return $reached
}
pinholed() {
    ip netns exec "$router" nft list chain ip6 qrfw pinholes 2>/dev/null | grep -q "ip6 daddr 2001:db8:2::2 udp dport $port accept"
}
forwarded() {
    ip netns exec "$router" nft list table ip qrnat 2>/dev/null | grep -q "udp dport $port dnat"
}

case="miniupnpd"
cat >"$work/miniupnpd.conf" <<CONF
ext_ifname=qrw0
listening_ip=qrl0
port=0
enable_natpmp=yes
enable_upnp=yes
secure_mode=yes
system_uptime=yes
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 198.51.100.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
ip netns exec "$router" nft -f - <<'NFT'
table inet filter {
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting_miniupnpd { type nat hook prerouting priority dstnat; policy accept; }
  chain postrouting_miniupnpd { type nat hook postrouting priority srcnat; policy accept; }
}
NFT
ip netns exec "$router" miniupnpd -d -f "$work/miniupnpd.conf" -P "$work/miniupnpd.pid" >"$work/miniupnpd.log" 2>&1 &
daemon=$!
pids+=("$daemon")
for _ in $(seq 30); do grep -q "Listening for NAT-PMP" "$work/miniupnpd.log" && break; sleep 0.1; done
start_lan_listener
grep_refusal() { grep -q "^Port mapping: the router does not allow port mapping (NAT-PMP: " "$work/listener.out"; }
for _ in $(seq 60); do grep_refusal && break; sleep 0.1; done
grep_refusal || fail "$case: the listener did not say the router refused: $(tail -2 "$work/listener.out")"
grep -q "NAT-PMP public address request" "$work/miniupnpd.log" || fail "$case: miniupnpd got no NAT-PMP request"
grep -q "SSDP M-SEARCH from 198.51.100.2" "$work/miniupnpd.log" || fail "$case: miniupnpd got no SSDP search"
call_from_outside && fail "$case: the caller outside reached a listener nobody forwarded"
grep -q "^Call: in a session" "$work/listener.out" && fail "$case: the listener heard the caller"
terminate "$listener"
[ "$ended" = 0 ] || fail "$case: the listener ended with $ended"
kill -TERM "$daemon"; wait "$daemon" 2>/dev/null
ip netns exec "$router" nft flush ruleset

for protocol in NAT-PMP "UPnP IGD"; do
    case="$protocol"
    option=--no-upnp
    [ "$protocol" = "UPnP IGD" ] && option=--no-natpmp
    ip netns exec "$router" python3 "$(dirname "$0")/nat_router.py" 198.51.100.1 203.0.113.1 qrw0 "$option" \
        >"$work/router.log" 2>&1 &
    responder=$!
    pids+=("$responder")
    wait_for_line "$work/router.log" "ready" 5 || fail "$case: the router did not start"
    asked=$EPOCHREALTIME
    start_lan_listener
    shown="Port mapping: reachable from the Internet at 203.0.113.1:$port ($protocol)"
    [ "$protocol" = "UPnP IGD" ] &&
        shown+="; over IPv6 at [2001:db8:2::2]:$port (the router's firewall lets callers in)"
    # A fixed string: the IPv6 address's brackets are no pattern.
    for _ in $(seq 80); do grep -qxF -- "$shown" "$work/listener.out" && break; sleep 0.1; done
    grep -qxF -- "$shown" "$work/listener.out" || fail "$case: no mapped address shown: $(tail -2 "$work/listener.out")"
    mapped=$EPOCHREALTIME
    forwarded || fail "$case: the router does not forward the port"
    call_from_outside || fail "$case: the caller outside did not reach the listener at the mapped address"
    grep -q "^Call: in a session with 203\.0\.113\.2:" "$work/listener.out" || fail "$case: the listener did not hear the caller"
    if [ "$protocol" = "UPnP IGD" ]; then
        pinholed || fail "$case: the router's firewall has no pinhole"
        call_from_outside "[2001:db8:2::2]" "\[2001:db8:2::2\]" ||
            fail "$case: the caller outside did not reach the listener through the pinhole"
    fi
    stopped=$EPOCHREALTIME
    terminate "$listener"
    exited=$EPOCHREALTIME
    [ "$ended" = 0 ] || fail "$case: the listener ended with $ended"
    gone=1
    for _ in $(seq 20); do forwarded || pinholed || { gone=0; break; }; sleep 0.1; done
    [ $gone = 0 ] || fail "$case: the forwarding or the pinhole was still there 2 s after the listener ended"
    # For the record, not judged (a loaded machine stretches them): how long each step took.
    ms() { echo $(( (${2/./} - ${1/./}) / 1000 )); }
    echo "$case: listening to mapped $(ms "$asked" "$mapped") ms, SIGTERM to exit (mapping removed) $(ms "$stopped" "$exited") ms"
    kill -TERM "$responder"; wait "$responder" 2>/dev/null
    ip netns exec "$router" nft flush ruleset
done

case="silent router"
ip netns exec "$router" python3 "$(dirname "$0")/nat_router.py" 198.51.100.1 203.0.113.1 qrw0 --no-natpmp \
    >"$work/router.log" 2>&1 &
responder=$!
pids+=("$responder")
wait_for_line "$work/router.log" "ready" 5 || fail "$case: the router did not start"
start_lan_listener
for _ in $(seq 80); do grep -qF "reachable from the Internet at 203.0.113.1:$port (UPnP IGD)" "$work/listener.out" && break; sleep 0.1; done
grep -qF "reachable from the Internet at 203.0.113.1:$port (UPnP IGD)" "$work/listener.out" ||
    fail "$case: nothing mapped: $(tail -2 "$work/listener.out")"
kill -USR1 "$responder"
stopped=$EPOCHREALTIME
terminate "$listener"
exited=$EPOCHREALTIME
# terminate waits 3 s: a listener still held by the router's silence is reported as hung.
[ "$ended" = 0 ] || fail "$case: the listener ended with '$ended'"
grep -q "left unanswered" "$work/router.log" || fail "$case: the listener did not try to remove its mapping"
echo "$case: SIGTERM to exit (removal left unanswered) $(ms "$stopped" "$exited") ms"
kill -TERM "$responder"; wait "$responder" 2>/dev/null
ip netns exec "$router" nft flush ruleset

case="off"
ip netns exec "$router" python3 "$(dirname "$0")/nat_router.py" 198.51.100.1 203.0.113.1 qrw0 >"$work/router.log" 2>&1 &
responder=$!
pids+=("$responder")
wait_for_line "$work/router.log" "ready" 5 || fail "$case: the router did not start"
start_lan_listener --port-mapping=off
call_from_outside && fail "$case: the caller outside reached a listener that mapped nothing"
call_from_outside "[2001:db8:2::2]" "\[2001:db8:2::2\]" &&
    fail "$case: the caller outside came through the router's IPv6 firewall without a pinhole"
grep -q "^Port mapping" "$work/listener.out" && fail "$case: the listener asked for a mapping"
grep -qE "natpmp|ssdp|upnp" "$work/router.log" && fail "$case: the router was asked: $(head -1 "$work/router.log")"
terminate "$listener"
kill -TERM "$responder"
wait "$responder" 2>/dev/null

finish "port mapping: refused by miniupnpd, mapped by NAT-PMP and UPnP IGD (with an IPv6 pinhole), removed within 2 s, off when off"

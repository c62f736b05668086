#!/usr/bin/env bash
# LAN discovery between two hosts, alpha (198.51.100.11) and beta (198.51.100.12), in network namespaces
# this test makes, joined by a bridge in a third. Each host gets its own host name, its own /run (a mount
# namespace), its own D-Bus system bus and its own avahi-daemon, and runs a listener that announces itself.
# Checks: each host's --browse lists the other's copy, with its codec and whether it is private, within 3 s;
# a listener with --announce=off is never listed; a listener that ends is listed as gone.
# Nothing is added to the machine's own namespace; the namespaces go when the test ends. Needs root.
source "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ] || ! command -v avahi-daemon >/dev/null || ! command -v dbus-daemon >/dev/null; then
    echo "lan test: needs root, avahi-daemon and dbus-daemon (scripts/install-deps --test)" >&2
    exit 1
fi

ns=qlan$$
switch=${ns}s
remove_namespaces() {
    # Every process in the hosts' namespaces is one this test started.
    for n in "${ns}a" "${ns}b"; do
        for pid in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    done
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    for n in "${ns}a" "${ns}b" "$switch"; do ip netns del "$n" 2>/dev/null; done
    rm -rf "$work"
}
trap remove_namespaces EXIT

ip netns add "$switch" || { echo "cannot make namespaces" >&2; exit 1; }
ip netns exec "$switch" sh -c 'ip link set lo up; ip link add br0 type bridge; ip link set br0 up'
address=11
for host in a b; do
    ip netns add "${ns}$host"
    ip link add "v$host" netns "$switch" type veth peer name eth0 netns "${ns}$host"
    ip netns exec "$switch" sh -c "ip link set v$host master br0; ip link set v$host up"
    ip netns exec "${ns}$host" sh -c "ip link set lo up; ip addr add 198.51.100.$address/24 dev eth0; ip link set eth0 up"
    address=$((address + 1))
done

# One host: its own name, /run, bus and Avahi, then its listeners; --browse once the test says go.
cat >"$work/host.sh" <<'HOST'
name=$1 dir=$2
shift 2
hostname "$name"
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon
dbus-daemon --system --fork --nopidfile || exit 1
avahi-daemon --no-chroot --no-rlimits -D 2>"$dir/$name.avahi.err" || exit 1
"$QPARLIN" --headless --audio=null --port-mapping=off --announce=on "$@" >"$dir/$name.listener" 2>&1 &
echo $! >"$dir/$name.listener.pid"
# A second copy on the same host that must stay unannounced.
"$QPARLIN" --headless --audio=null --port-mapping=off --announce=off -l:7100:yes >"$dir/$name.quiet" 2>&1 &
while [ ! -e "$dir/go" ]; do sleep 0.05; done
exec "$QPARLIN" --browse >"$dir/$name.browse" 2>&1
HOST
"$QPARLIN" --make-secret="$work/secret" >/dev/null || fail "no secret made"
ip netns exec "${ns}a" unshare -m -u sh "$work/host.sh" alpha "$work" -l:5007:yes &
pids+=("$!")
ip netns exec "${ns}b" unshare -m -u sh "$work/host.sh" beta "$work" -l:6000:yes -a:gsm_8khz --secret="$work/secret" &
pids+=("$!")
for name in alpha beta; do
    wait_for_line "$work/$name.listener" "Listening..." 10 || fail "$name did not listen: $(cat "$work/$name.avahi.err" "$work/$name.listener")"
done

touch "$work/go"
start=$SECONDS
seen() { grep -qxF "$2" "$work/$1.browse" 2>/dev/null; }
beta_line="Found: Q-Parlin on beta at 198.51.100.12:6000 (gsm_8khz, private calls only)"
alpha_line="Found: Q-Parlin on alpha at 198.51.100.11:5007 (ilbc_11khz)"
for _ in $(seq 30); do
    seen alpha "$beta_line" && seen beta "$alpha_line" && break
    sleep 0.1
done
seen alpha "$beta_line" || fail "alpha did not list beta within 3 s: $(cat "$work/alpha.browse")"
seen beta "$alpha_line" || fail "beta did not list alpha within 3 s: $(cat "$work/beta.browse")"
echo "seen within $((SECONDS - start)) s"
grep -q ":7100 " "$work/alpha.browse" "$work/beta.browse" && fail "a copy with --announce=off was listed"

# Beta's listener ends: alpha lists it as gone.
kill -TERM "$(cat "$work/beta.listener.pid")"
gone="Gone: Q-Parlin on beta at 198.51.100.12:6000 (gsm_8khz, private calls only)"
for _ in $(seq 30); do seen alpha "$gone" && break; sleep 0.1; done
seen alpha "$gone" || fail "alpha still lists beta 3 s after it ended: $(cat "$work/alpha.browse")"

finish "LAN discovery: two hosts list each other within 3 s, private and codec shown, unannounced copy unseen"

#!/usr/bin/env bash
# The sound-server backends on a private PulseAudio and a private PipeWire (the pulse backend through its
# PulseAudio server, and the pipewire backend in its own protocol), each started here with its own runtime
# directory: --list-devices shows the server's sinks and sources; a call
# is heard on the sink chosen by name; a sink unloaded mid-call is reported once and heard again once it is
# back; a server killed mid-call is reported once and heard again once it is restarted; Ctrl-C ends the
# call within a second on each of them and on PortAudio through the server's ALSA plugin; PULSE_LATENCY_MSEC
# does not keep the pulse backend's playback from starting. The caller sends
# a tone from a WAV file, so only the listener talks to the server.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
source_dir=${QPARLIN_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
for tool in pulseaudio pipewire-pulse pactl parec sox; do
    command -v $tool >/dev/null || { echo "$tool is missing (scripts/install-deps --test)"; exit 1; }
done

. "$(dirname "$0")/common.sh"
# Unix socket paths are short: the servers live under a short directory of their own.
servers=$(mktemp -d /tmp/qp-snd.XXXXXX)
server_cleanup() {
    "$source_dir/scripts/pulse-server" stop "$servers/pulse" >/dev/null 2>&1
    "$source_dir/scripts/pw-server" stop "$servers/pw" >/dev/null 2>&1
    rm -rf "$servers"
    cleanup
}
trap server_cleanup EXIT

sox -n -r 11025 -c 1 -b 16 "$work/tone.wav" synth 60 sine 700 vol 0.5

start_server() {  # pulse|pipewire
    if [ "$1" = pulse ]; then
        eval "$("$source_dir/scripts/pulse-server" start "$servers/pulse" | sed 's/^/export /')"
    else
        # pipewire-pulse would put its socket where PULSE_RUNTIME_PATH says.
        unset PULSE_RUNTIME_PATH PULSE_STATE_PATH PULSE_CONFIG_PATH PULSE_SERVER
        eval "$("$source_dir/scripts/pw-server" start "$servers/pw" | sed 's/^/export /')"
    fi
}
stop_server() {
    if [ "$1" = pulse ]; then
        "$source_dir/scripts/pulse-server" stop "$servers/pulse" >/dev/null 2>&1
    else
        "$source_dir/scripts/pw-server" stop "$servers/pw" >/dev/null 2>&1
    fi
}
add_sink() {
    pactl load-module module-null-sink sink_name=spk rate=48000 channels=1 >"$work/module" ||
        fail "$run: pactl could not add the sink"
    # PipeWire makes the node a moment after pactl returns.
    for _ in $(seq 20); do pactl list short sinks | grep -q $'\tspk\t' && return; sleep 0.1; done
}
# Whether the sink spk plays sound now: a second of its monitor.
heard() {
    rm -f "$work/heard.wav"
    # A small fragment: PipeWire hands a default (two-second) one over only at its end.
    timeout -s INT 1.2 parec -d spk.monitor --latency-msec=20 --file-format=wav "$work/heard.wav" 2>/dev/null
    "$WAV_COMPARE" --loud "$work/heard.wav" >/dev/null 2>&1
}
# Waits up to $1 seconds for the sink to play sound.
heard_within() {
    local deadline=$((SECONDS + $1))
    while [ $SECONDS -lt $deadline ]; do heard && return 0; done
    return 1
}
reports() { grep -c -- "$1" "$work/$run.err"; }
# Once the listener of this run listens on $port, a caller sends it the tone; sets `caller`.
call_listener() {
    wait_for_line "$work/$run.out" "Listening..." 5 || fail "$run: the listener did not listen"
    "$QPARLIN" --headless --audio=file --input-wav="$work/tone.wav" -c:127.0.0.1:"$port":yes \
        >"$work/$run.caller" 2>&1 &
    caller=$!
    pids+=("$caller")
    wait_for_line "$work/$run.out" "Connected." 5 || fail "$run: the listener did not connect"
}
sanitized=${QPARLIN_SANITIZED:-0}
# Ctrl-C ends the call of listener $2 (run $1) with status 0, within a second where nothing slows it.
ctrl_c() {
    sleep 0.5
    local started elapsed_ms status=0
    started=$(date +%s%N)
    kill -INT "$2"
    wait "$2" || status=$?
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    [ "$status" = 0 ] || fail "$1: Ctrl-C ended the listener with status $status"
    echo "$1: Ctrl-C ended the call in $elapsed_ms ms"
    if [ "$sanitized" != 1 ] && [ "$elapsed_ms" -ge 1000 ]; then
        fail "$1: Ctrl-C took $elapsed_ms ms"
    fi
}

for run in pulse pipewire pipewire-native; do
    server=${run%-native}
    audio=pulse
    [ "$run" = pipewire-native ] && audio=pipewire
    start_server $server || { fail "$run: the private server did not start"; continue; }
    add_sink

    "$QPARLIN" --audio=$audio --list-devices >"$work/$run.list" 2>&1 || fail "$run: --list-devices failed"
    grep -q '^  [0-9]*  spk  \[' "$work/$run.list" || fail "$run: spk not listed: $(cat "$work/$run.list")"
    grep -q '^  [0-9]*  spk.monitor  \[' "$work/$run.list" || fail "$run: spk.monitor not listed"

    port=$((20000 + RANDOM % 40000))
    # On PipeWire auto mode takes its own protocol: the native run leaves the choice to it.
    call_audio=$audio
    [ "$run" = pipewire-native ] && call_audio=auto
    QPARLIN_TRACE=1 "$QPARLIN" --headless --audio=$call_audio --output-device=spk -l:"$port":yes \
        >"$work/$run.out" 2>"$work/$run.err" &
    listener=$!
    pids+=("$listener")
    call_listener
    heard_within 5 || fail "$run: nothing heard on the sink chosen by name"
    if [ "$run" = pipewire-native ]; then
        grep -q "^PipeWire playback device: spk" "$work/$run.err" || fail "$run: auto mode did not take PipeWire"
    fi
    pactl list sink-inputs | grep -q 'media.role = "phone"' || fail "$run: the stream's role is not phone"

    # The sink goes: one report, the call goes on; the sink comes back: so does the sound.
    pactl unload-module "$(cat "$work/module")"
    sleep 2
    [ "$(reports "playback device 'spk' is gone")" = 1 ] ||
        fail "$run: after the sink went: $(cat "$work/$run.err")"
    kill -0 "$listener" 2>/dev/null || fail "$run: the listener ended when its sink went"
    add_sink
    heard_within 5 || fail "$run: nothing heard after the sink came back"

    # The server goes: one report, and the listener keeps sending (silence); it comes back: so does the sound.
    stop_server $server
    sleep 1
    kill -USR1 "$caller"
    sleep 1
    kill -USR1 "$caller"
    sleep 0.3
    received=$(grep '^Statistics' "$work/$run.caller" | tail -2 | sed 's/.* sent, \([0-9]*\) received.*/\1/')
    [ "$(echo "$received" | awk 'NR == 1 { a = $1 } NR == 2 { print ($1 - a >= 20) }')" = 1 ] ||
        fail "$run: the listener stopped sending while its server was away: $received"
    [ "$(reports "sound server went away")" = 1 ] ||
        fail "$run: after the server went: $(cat "$work/$run.err")"
    start_server $server || fail "$run: the private server did not start again"
    add_sink
    heard_within 6 || fail "$run: nothing heard after the server came back"
    [ "$(reports "sound server went away")" = 1 ] || fail "$run: the loss was reported more than once"
    grep -qx "Connected." "$work/$run.caller" || fail "$run: the caller lost the call"

    ctrl_c "$run" "$listener"
    terminate "$caller"
    stop_server $server
done

# PortAudio, through the ALSA plugin of the private PulseAudio: its streams too let Ctrl-C end a call
# within a second. Then the pulse backend with PULSE_LATENCY_MSEC set, which makes libpulse ask the server
# to wait for 40 ms before it plays, more than the playout keeps written: the call is heard all the same,
# its playout no deeper than usual.
run=portaudio
if start_server pulse; then
    port=$((20000 + RANDOM % 40000))
    "$QPARLIN" --headless --audio=portaudio -l:"$port":yes >"$work/$run.out" 2>"$work/$run.err" &
    listener=$!
    pids+=("$listener")
    call_listener
    ctrl_c "$run" "$listener"
    terminate "$caller"

    run=pulse-latency-env
    add_sink
    port=$((20000 + RANDOM % 40000))
    PULSE_LATENCY_MSEC=40 "$QPARLIN" --headless --audio=pulse --output-device=spk -l:"$port":yes \
        >"$work/$run.out" 2>"$work/$run.err" &
    listener=$!
    pids+=("$listener")
    call_listener
    heard_within 5 || fail "$run: nothing heard with PULSE_LATENCY_MSEC=40"
    sleep 2
    depth=$(statistics_of "$listener" "$work/$run.out" | sed -n 's/.*playout depth \([0-9]*\) ms.*/\1/p')
    [ -n "$depth" ] && [ "$depth" -lt 150 ] || fail "$run: playout depth ${depth:-unknown} ms"
    ctrl_c "$run" "$listener"
    terminate "$caller"
    stop_server pulse
else
    fail "$run: the private server did not start"
fi

finish "the sound-server backend plays, lists devices and survives its sink and server going"

#!/usr/bin/env bash
# Measures what a user hears of a call between two qparlin --headless processes on one machine, through a
# private sound server (SERVER=pulse: PulseAudio, the default; SERVER=pipewire: PipeWire with its
# PulseAudio server), with the backend the program picks, or each backend of AUDIO in turn:
#   - the server's own floor first: the same click train through `parec | pacat --latency-msec=10`, and
#     the processor time each of the two clients and the server take meanwhile;
#   - mouth-to-ear delay: the caller's microphone and the listener's speaker are the left and the right
#     channel of one stereo sink; a click train played into the microphone is recorded from that sink
#     straight (left) and after its trip through both copies (right), in one stream, so the distance of
#     each pair is the delay (median, 95th percentile, first and last sixth of the call), for each codec
#     of CODECS;
#   - the same for ilbc_11khz through tests/soak/udp_relay.py: each datagram held 0-40 ms without
#     overtaking, 2 % lost, a third of the losses in bursts of 3;
#   - the damage the relay does to speech: the listener's playback of the same speech over the clean path
#     and through the relay, compared per second (correlation median and 10th percentile, silent gaps where
#     speech was), for a plain call and for a private one;
#   - processor time per second of call and peak resident memory of each process, and the share of the
#     machine's time its host stole meanwhile (a virtual machine's: a run with much steal is not a fair one).
#
#   bench/measure_pulse_call.sh [BUILD_DIR] [SECONDS]
#
# Environment: SERVER (pulse or pipewire), AUDIO (backends to compare in the same run, e.g. "pulse pipewire";
# the pipewire backend is given its devices by name, the others through PULSE_SINK/PULSE_SOURCE),
# QPARLIN_PW_QUANTUM (the pipewire backend's quantum in samples at 48 kHz instead of its own choice), CODECS (default "ilbc_11khz gsm_8khz g711_8khz"), QPARLIN_ARGS
# (extra options for both copies, e.g. --playout=direct or --audio=portaudio), SPEECH=0 to skip the speech
# runs, RELAY=0 to skip the relayed runs, KEEP=1 to keep the recordings and logs.
# Calls on the loopback only: no port mapping or LAN announcing toward the machine's own network.
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
set -eu

build=${1:-build}
seconds=${2:-60}
codecs=${CODECS:-ilbc_11khz gsm_8khz g711_8khz}
extra=${QPARLIN_ARGS:-}
backends=${AUDIO:-}
here=$(cd "$(dirname "$0")" && pwd)
qparlin=$build/qparlin
analyse=$build/bench/call_audio
[ -x "$qparlin" ] && [ -x "$analyse" ] || { echo "build first: make build" >&2; exit 1; }
server=${SERVER:-pulse}
case "$server" in
    pulse) server_tool=pulseaudio ;;
    pipewire) server_tool=pipewire-pulse ;;
    *) echo "measure_pulse_call: SERVER must be pulse or pipewire" >&2; exit 2 ;;
esac
for tool in $server_tool pactl paplay parec pacat sox; do
    command -v $tool >/dev/null || { echo "measure_pulse_call: $tool is missing (make deps)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/qp-measure.XXXXXX)
pids=()
. "$here/private_server.sh"
cleanup() {
    stop_private_server
    if [ "${KEEP:-0}" = 1 ]; then echo "recordings and logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The daemon: "bus", a stereo sink whose left channel is the caller's microphone (mic_a) and whose right
# channel is the listener's speaker (spk_d), the caller's speaker and the listener's microphone. Both
# channels go through the same sink on the same clock, so its monitor holds them in step.
start_private_server
pactl load-module module-null-sink sink_name=bus rate=48000 channels=2 >/dev/null
pactl load-module module-remap-sink sink_name=mic_a master=bus channels=1 master_channel_map=front-left \
    channel_map=mono remix=no >/dev/null
pactl load-module module-remap-sink sink_name=spk_d master=bus channels=1 master_channel_map=front-right \
    channel_map=mono remix=no >/dev/null
pactl load-module module-null-sink sink_name=spk_b rate=48000 channels=1 >/dev/null
pactl load-module module-null-sink sink_name=mic_c rate=48000 channels=1 >/dev/null

# 5 ms of 1 kHz every 500 ms; and speech with its pauses, made by espeak-ng when it is there.
sox -n -r 48000 -c 1 -b 16 "$work/click.wav" synth 0.005 sine 1000 vol 0.5 pad 0 0.495
sox "$work/click.wav" "$work/clicks.wav" repeat $((seconds * 2 - 1))
speech=${SPEECH:-1}
if [ "$speech" = 1 ] && command -v espeak-ng >/dev/null; then
    espeak-ng -w "$work/phrase.wav" -s 160 "The quick brown fox jumps over the lazy dog. \
        A voice link is judged by ear and by delay. Every lost frame is heard as a click or a gap." 2>/dev/null
    sox "$work/phrase.wav" -r 48000 -c 1 -b 16 "$work/phrase48.wav" pad 0 0.6
    phrase_s=$(soxi -D "$work/phrase48.wav")
    repeats=$(awk -v s="$seconds" -v p="$phrase_s" 'BEGIN { n = int(s / p); print (n < 1 ? 0 : n - 1) }')
    sox "$work/phrase48.wav" "$work/speech.wav" repeat "$repeats"
else
    speech=0
fi

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# The machine's steal and total ticks: on a virtual machine whose host is busy, a share of steal means the
# call's timing (delay, gaps) says more about the host than about the program.
steal_ticks() { awk '/^cpu / { t = 0; for (i = 2; i <= NF; ++i) t += $i; print $9, t }' /proc/stat; }
# The server's own processes: a backend that resamples in the client moves work out of the server, so the
# fair sum includes them.
server_pids() {
    if [ "$server" = pulse ]; then tr -dc '0-9' <"$PULSE_RUNTIME_PATH/pid" 2>/dev/null || true; else echo "$PW_SERVER_PIDS"; fi
}
server_ticks() {
    local total=0 pid
    for pid in $(server_pids); do total=$((total + $(cpu_ticks "$pid" 2>/dev/null || echo 0))); done
    echo "$total"
}
peak_kb() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

wait_for() {  # FILE TEXT: until FILE holds TEXT, for at most 10 s
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "measure_pulse_call: no '$2' in $1" >&2
    return 1
}

# One call: CODEC, what to play (clicks or speech), relay or not. Leaves the recording in $work/NAME.wav
# and prints the CPU and memory line.
call() {
    local name=$1 codec=$2 play=$3 relay=$4 options="$extra ${5:-}" audio=${6:-}
    local listener_devices= caller_devices=
    if [ -n "$audio" ]; then
        options="$options --audio=$audio"
        # PipeWire's own protocol knows nothing of PULSE_SINK and PULSE_SOURCE (and auto may choose it).
        if [ "$audio" = pipewire ] || [ "$audio" = auto ]; then
            listener_devices="--input-device=mic_c.monitor --output-device=spk_d"
            caller_devices="--input-device=mic_a.monitor --output-device=spk_b"
        fi
    fi
    local port=$((20000 + RANDOM % 20000)) target
    target=$port
    : >"$work/$name.listener" >"$work/$name.caller"
    PULSE_SINK=spk_d PULSE_SOURCE=mic_c.monitor "$qparlin" --headless $options $listener_devices -a:"$codec" -l:"$port":yes \
        >"$work/$name.listener" 2>&1 &
    local listener=$!
    pids+=("$listener")
    wait_for "$work/$name.listener" "Listening"
    local relay_pid=
    if [ "$relay" = 1 ]; then
        target=$((port + 1))
        python3 "$here/../tests/soak/udp_relay.py" "$target" "$port" --drop 0.02 --burst 0.33 --burst-len 3 \
            --delay-ms 0 --jitter-ms 40 --reorder 0 --no-overtake --seed 11 >"$work/$name.relay" 2>&1 &
        relay_pid=$!
        pids+=("$relay_pid")
        wait_for "$work/$name.relay" "relay"
    fi
    PULSE_SINK=spk_b PULSE_SOURCE=mic_a.monitor "$qparlin" --headless $options $caller_devices -a:"$codec" \
        -c:127.0.0.1:"$target":yes >"$work/$name.caller" 2>&1 &
    local caller=$!
    pids+=("$caller")
    wait_for "$work/$name.caller" "Connected"
    wait_for "$work/$name.listener" "Connected"
    sleep 1
    if [ "$play" = clicks ]; then
        parec -d bus.monitor --rate=48000 --channels=2 --format=s16le --file-format=wav "$work/$name.wav" &
    else
        parec -d spk_d.monitor --rate=48000 --channels=1 --format=s16le --file-format=wav "$work/$name.wav" &
    fi
    local recorder=$!
    sleep 0.5
    local c0 l0
    c0=$(cpu_ticks "$caller")
    l0=$(cpu_ticks "$listener")
    local s0 v0
    s0=$(steal_ticks)
    v0=$(server_ticks)
    if [ "$play" = clicks ]; then paplay -d mic_a "$work/clicks.wav"; else paplay -d mic_a "$work/speech.wav"; fi
    local c1 l1
    c1=$(cpu_ticks "$caller")
    l1=$(cpu_ticks "$listener")
    local s1 v1
    s1=$(steal_ticks)
    v1=$(server_ticks)
    sleep 1
    kill -INT "$recorder"
    wait "$recorder" 2>/dev/null || true
    kill -USR1 "$listener" 2>/dev/null || true
    sleep 0.2
    local stats
    stats=$(grep '^Statistics' "$work/$name.listener" | tail -1)
    printf '%s: cpu per second of call: caller %.1f ms, listener %.1f ms, server %.1f ms; peak RSS: caller %d KB, listener %d KB; steal %.1f %%\n' \
        "$name" "$(awk -v t=$((c1 - c0)) -v hz="$hz" -v s="$seconds" 'BEGIN { print 1000 * t / hz / s }')" \
        "$(awk -v t=$((l1 - l0)) -v hz="$hz" -v s="$seconds" 'BEGIN { print 1000 * t / hz / s }')" \
        "$(awk -v t=$((v1 - v0)) -v hz="$hz" -v s="$seconds" 'BEGIN { print 1000 * t / hz / s }')" \
        "$(peak_kb "$caller")" "$(peak_kb "$listener")" \
        "$(echo "$s0 $s1" | awk '{ d = $4 - $2; print (d > 0 ? 100 * ($3 - $1) / d : 0) }')"
    [ -n "$stats" ] && echo "$name: listener's $stats"
    kill -TERM "$caller" "$listener" 2>/dev/null || true
    wait "$caller" "$listener" 2>/dev/null || true
    if [ -n "$relay_pid" ]; then
        kill -TERM "$relay_pid"
        wait "$relay_pid" 2>/dev/null || true
        echo "$name: $(tail -1 "$work/$name.relay")"
    fi
}

# The server's floor: the click train from the caller's microphone straight to the listener's speaker
# through a recording and a playback client that ask for 10 ms, nothing of ours in between.
floor() {
    parec -d bus.monitor --rate=48000 --channels=2 --format=s16le --file-format=wav "$work/floor.wav" &
    local recorder=$!
    pids+=("$recorder")
    mkfifo "$work/floor.pipe"
    parec -d mic_a.monitor --latency-msec=10 --rate=48000 --channels=1 --format=s16le --raw >"$work/floor.pipe" &
    local source=$!
    pacat -d spk_d --latency-msec=10 --rate=48000 --channels=1 --format=s16le --raw <"$work/floor.pipe" &
    local sink=$!
    pids+=("$source" "$sink")
    sleep 1
    local r0 p0 v0 r1 p1 v1
    r0=$(cpu_ticks "$source")
    p0=$(cpu_ticks "$sink")
    v0=$(server_ticks)
    paplay -d mic_a "$work/clicks.wav"
    r1=$(cpu_ticks "$source")
    p1=$(cpu_ticks "$sink")
    v1=$(server_ticks)
    sleep 0.5
    kill -INT "$recorder"
    wait "$recorder" 2>/dev/null || true
    kill "$source" "$sink" 2>/dev/null || true
    wait "$source" "$sink" 2>/dev/null || true
    echo "floor (parec | pacat --latency-msec=10): $("$analyse" clicks "$work/floor.wav" | tail -1)"
    # What the two clients cost on this machine: the floor for the processor time a call's own sound takes.
    printf 'floor: cpu per second: parec %.1f ms, pacat %.1f ms, server %.1f ms\n' \
        "$(awk -v t=$((r1 - r0)) -v hz="$hz" -v s="$seconds" 'BEGIN { print 1000 * t / hz / s }')" \
        "$(awk -v t=$((p1 - p0)) -v hz="$hz" -v s="$seconds" 'BEGIN { print 1000 * t / hz / s }')" \
        "$(awk -v t=$((v1 - v0)) -v hz="$hz" -v s="$seconds" 'BEGIN { print 1000 * t / hz / s }')"
}

echo "== mouth-to-ear delay through $server, $seconds s calls${extra:+ ($extra)}${backends:+, backends: $backends}"
floor
for codec in $codecs; do
    for audio in ${backends:-auto}; do
        call "clean-$codec${audio:+-$audio}" "$codec" clicks 0 "" "$audio"
        echo "clean-$codec${audio:+-$audio}: $("$analyse" clicks "$work/clean-$codec${audio:+-$audio}.wav" | tail -1)"
    done
done
if [ "${RELAY:-1}" = 1 ]; then
    call relay-ilbc_11khz ilbc_11khz clicks 1
    echo "relay-ilbc_11khz: $("$analyse" clicks "$work/relay-ilbc_11khz.wav" | tail -1)"
fi
if [ "$speech" = 1 ] && [ "${RELAY:-1}" = 1 ]; then
    call speech-clean ilbc_11khz speech 0
    call speech-relay ilbc_11khz speech 1
    echo "speech through the relay against the clean call: $("$analyse" damage "$work/speech-clean.wav" \
        "$work/speech-relay.wav" | tail -1)"
    # A private call numbers its datagrams, so its playout knows which frames are missing (README, "Plain
    # and private calls"): the same relay, for comparison.
    "$qparlin" --make-secret="$work/call.key" >/dev/null
    call speech-private-relay ilbc_11khz speech 1 --secret="$work/call.key"
    echo "private call's speech through the relay against the clean call: $("$analyse" damage \
        "$work/speech-clean.wav" "$work/speech-private-relay.wav" | tail -1)"
fi

#!/usr/bin/env bash
# Measures what a lossy, jittery path does to recorded speech in calls between two qparlin --headless
# processes with WAV-file devices: for each codec, one call over the clean loopback, then for each relay
# seed a plain call (--session=off), a private call (--secret: a session whose keys take the secret in)
# and a session call (the default between copies, encrypted with fresh keys) through
# tests/soak/udp_relay.py (each datagram held 0-40 ms without overtaking, 2 % lost, a third of the losses in bursts of 3). Each relayed call's playback is compared with
# the clean call's by `call_audio damage`: per-second correlation (median, 10th percentile), runs of exact
# zeros longer than 2 ms where there was speech, and stretches longer than 5 ms more than 30 dB below the
# local speech level inside speech. For each seed it also plays the same speech through bench/lossy_speech:
# the codec with the relay's losses drawn from that seed and the streams' concealment, but no clock and no
# network, so what a perfect playout buffer would give ("ceiling"), the same on a busy machine as on an
# idle one. The relay draws its losses and delays per audio frame (--by-frame), so that the plain, private
# and session calls of one seed lose the same frames of the same speech and differ only in what the
# playout makes of them; BY_FRAME=0 draws per datagram instead, as a path does.
#
#   bench/measure_relay_speech.sh [BUILD_DIR] [SECONDS]
#
# Environment: CODECS (default "gsm_8khz ilbc_11khz"), SEEDS (default "11 12"), KINDS (default "plain
# private session"), QPARLIN_ARGS (extra options
# for both copies), SPEECH_WAV (the speech to send; default: the voices of /usr/share/sounds/alsa with a
# pause after each, repeated), KEEP=1 to keep the recordings, BY_FRAME=0 (see above), DROP (the relay's
# loss, default 0.02; the ceiling is only drawn at that default).
# Calls on the loopback only: no port mapping or LAN announcing toward the machine's own network.
export QPARLIN_PORT_MAPPING=off QPARLIN_ANNOUNCE=off
set -eu

build=${1:-build}
seconds=${2:-50}
codecs=${CODECS:-gsm_8khz ilbc_11khz}
seeds=${SEEDS:-11 12}
kinds=${KINDS:-plain private session}
drop=${DROP:-0.02}
by_frame=--by-frame
[ "${BY_FRAME:-1}" = 0 ] && by_frame=
extra=${QPARLIN_ARGS:-}
here=$(cd "$(dirname "$0")" && pwd)
qparlin=$build/qparlin
analyse=$build/bench/call_audio
[ -x "$qparlin" ] && [ -x "$analyse" ] || { echo "build first: make build" >&2; exit 1; }
command -v sox >/dev/null || { echo "measure_relay_speech: sox is missing (make deps)" >&2; exit 1; }

work=$(mktemp -d /tmp/qp-speech.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    if [ "${KEEP:-0}" = 1 ]; then echo "recordings kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

if [ -n "${SPEECH_WAV:-}" ]; then
    sox -D "$SPEECH_WAV" -r 48000 -c 1 -b 16 "$work/speech48.wav"
else
    voices=(/usr/share/sounds/alsa/{Front,Rear,Side}_*.wav)
    [ -f "${voices[0]}" ] || { echo "measure_relay_speech: no speech; give SPEECH_WAV" >&2; exit 1; }
    parts=()
    for voice in "${voices[@]}"; do
        part="$work/part${#parts[@]}.wav"
        sox -D "$voice" -r 48000 -c 1 -b 16 "$part" pad 0 0.4
        parts+=("$part")
    done
    sox "${parts[@]}" "$work/round.wav"
    round_s=$(soxi -D "$work/round.wav")
    repeats=$(awk -v s="$seconds" -v r="$round_s" 'BEGIN { n = int(s / r); print (n < 1 ? 0 : n - 1) }')
    sox "$work/round.wav" "$work/speech48.wav" repeat "$repeats"
fi

wait_for() {  # FILE TEXT: until FILE holds TEXT, for at most 10 s
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "measure_relay_speech: no '$2' in $1" >&2
    return 1
}

# One call: NAME CODEC SEED (0: no relay) [OPTIONS]; the listener's playback goes to $work/NAME.wav.
call() {
    local name=$1 codec=$2 seed=$3 options="$extra ${4:-}"
    local port=$((20000 + RANDOM % 20000)) target relay_pid=
    target=$port
    "$qparlin" --headless --audio=file --output-wav="$work/$name.wav" $options -a:"$codec" -l:"$port":yes \
        >"$work/$name.listener" 2>&1 &
    local listener=$!
    pids+=("$listener")
    wait_for "$work/$name.listener" "Listening"
    if [ "$seed" != 0 ]; then
        target=$((port + 1))
        python3 "$here/../tests/soak/udp_relay.py" "$target" "$port" --drop "$drop" --burst 0.33 --burst-len 3 \
            --delay-ms 0 --jitter-ms 40 --reorder 0 --no-overtake --seed "$seed" --log-drops $frame_draws >"$work/$name.relay" 2>&1 &
        relay_pid=$!
        pids+=("$relay_pid")
        wait_for "$work/$name.relay" "relay"
    fi
    "$qparlin" --headless --audio=file --input-wav="$work/speech-$codec.wav" $options -a:"$codec" \
        -c:127.0.0.1:"$target":yes >"$work/$name.caller" 2>&1 &
    local caller=$!
    pids+=("$caller")
    wait_for "$work/$name.listener" "Connected"
    sleep "$((seconds + 1))"
    kill -USR1 "$listener" 2>/dev/null || true
    sleep 0.2
    kill -TERM "$caller" "$listener" 2>/dev/null || true
    wait "$caller" "$listener" 2>/dev/null || true
    local stats
    stats=$(grep '^Statistics' "$work/$name.listener" | tail -1 || true)
    [ -n "$stats" ] && echo "$name: listener's $stats"
    if [ -n "$relay_pid" ]; then
        kill -TERM "$relay_pid"
        wait "$relay_pid" 2>/dev/null || true
        echo "$name: $(tail -1 "$work/$name.relay")"
    fi
}

"$qparlin" --make-secret="$work/call.key" >/dev/null
echo "== speech through the relay ($drop lost), $seconds s calls with WAV-file devices${extra:+ ($extra)}"
for codec in $codecs; do
    # Opus is only ever agreed in a session, so its clean call is a session on the loopback and it has no
    # plain calls; its names' rates are the coder's.
    clean=--session=off
    codec_kinds=$kinds
    case "$codec" in
        *_8khz) rate=8000 ;;
        *_11khz) rate=11025 ;;
        opus_16khz) rate=16000 ;;
        opus_24khz) rate=24000 ;;
        opus) rate=48000 ;;
        *) rate=22050 ;;
    esac
    # The relay's --by-frame takes the datagrams of the most common length for audio frames, which Opus's
    # varying packet sizes defeat (almost nothing would be lost): Opus's calls lose datagrams as a path does.
    frame_draws=$by_frame
    case "$codec" in
        opus*) clean= frame_draws= codec_kinds=$(tr ' ' '\n' <<<"$kinds" | grep -x session || true) ;;
    esac
    sox -D "$work/speech48.wav" -r "$rate" "$work/speech-$codec.wav"
    call "clean-$codec" "$codec" 0 $clean
    for seed in $seeds; do
        if [ "$drop" = 0.02 ] && [ -x "$build/bench/lossy_speech" ] &&
            "$build/bench/lossy_speech" "$codec" "$work/speech-$codec.wav" "$seed" "$work/ceiling-clean.wav" \
                "$work/ceiling-$codec-$seed.wav" >/dev/null; then
            echo "ceiling-$codec-$seed: $("$analyse" damage "$work/ceiling-clean.wav" \
                "$work/ceiling-$codec-$seed.wav" | tail -1)"
        fi
        for kind in $codec_kinds; do
            name="$kind-$codec-$seed"
            case "$kind" in
                plain) call "$name" "$codec" "$seed" --session=off ;;
                private) call "$name" "$codec" "$seed" "--secret=$work/call.key" ;;
                session) call "$name" "$codec" "$seed" ;;
                *) echo "measure_relay_speech: unknown kind $kind" >&2; exit 2 ;;
            esac
            echo "$name: $("$analyse" damage "$work/clean-$codec.wav" "$work/$name.wav" | tail -1)"
        done
    done
done

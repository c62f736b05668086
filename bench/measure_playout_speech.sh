#!/usr/bin/env bash
# The playout buffer alone (bench/playout_speech, a fake clock) against recorded speech on the bench
# relay's path (0-40 ms without overtaking, 2 % lost, a third of the losses in bursts of 3), over many
# seeds: for numbered frames (session and private calls) and plain ones, per codec, the mean, lowest and
# median of the per-second speech correlation's 10th percentile (`call_audio damage` against every frame
# decoded) and the mean playout depth. No devices, no network: the same figures on a busy machine.
#
#   bench/measure_playout_speech.sh [BUILD_DIR] [SEEDS]        (default: build, "21 .. 40")
#
# Environment: CODECS (default "gsm_8khz ilbc_11khz"), MODES (default "numbered plain"), SPEECH_WAV,
# PATH_ARGS (playout_speech's JITTER_MS DROP [FEC_LOSS], e.g. "40 0.10 0" for 10 % loss with Opus's FEC off).
set -eu

build=${1:-build}
seeds=${2:-$(seq -s ' ' 21 40)}
codecs=${CODECS:-gsm_8khz ilbc_11khz}
modes=${MODES:-numbered plain}
path_args=${PATH_ARGS:-}
simulate=$build/bench/playout_speech
analyse=$build/bench/call_audio
[ -x "$simulate" ] && [ -x "$analyse" ] || { echo "build first: make build" >&2; exit 1; }
command -v sox >/dev/null || { echo "measure_playout_speech: sox is missing (make deps)" >&2; exit 1; }

work=$(mktemp -d /tmp/qp-playout.XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ -n "${SPEECH_WAV:-}" ]; then
    sox -D "$SPEECH_WAV" -r 48000 -c 1 -b 16 "$work/speech48.wav"
else
    parts=()
    for voice in /usr/share/sounds/alsa/{Front,Rear,Side}_*.wav; do
        [ -f "$voice" ] || { echo "measure_playout_speech: no speech; give SPEECH_WAV" >&2; exit 1; }
        parts+=("$work/part${#parts[@]}.wav")
        sox -D "$voice" -r 48000 -c 1 -b 16 "${parts[-1]}" pad 0 0.4
    done
    sox "${parts[@]}" "$work/round.wav"
    sox "$work/round.wav" "$work/speech48.wav" repeat 9
fi

echo "== the playout buffer on a fake clock, seeds $seeds${path_args:+, path $path_args}"
for codec in $codecs; do
    case "$codec" in
        *_8khz) rate=8000 ;;
        *_11khz) rate=11025 ;;
        opus_16khz) rate=16000 ;;
        opus_24khz) rate=24000 ;;
        opus) rate=48000 ;;
        *) rate=22050 ;;
    esac
    sox -D "$work/speech48.wav" -r "$rate" "$work/speech.wav"
    # Opus only ever travels numbered, in a session.
    codec_modes=$modes
    case "$codec" in opus*) codec_modes=$(tr ' ' '\n' <<<"$modes" | grep -x numbered || true) ;; esac
    for mode in $codec_modes; do
        for seed in $seeds; do
            depth=$("$simulate" "$codec" "$work/speech.wav" "$seed" "$work/clean.wav" "$work/played.wav" "$mode" \
                $path_args |
                grep -o 'mean_depth_ms=[0-9.]*' | cut -d= -f2)
            p10=$("$analyse" damage "$work/clean.wav" "$work/played.wav" | tail -1 |
                grep -o 'correlation_p10=[0-9.]*' | cut -d= -f2)
            echo "$p10 $depth"
        done | sort -n | awk -v name="$mode-$codec" '{ p[NR] = $1; sum += $1; depth += $2 }
            END { printf "%s: seeds=%d p10_mean=%.3f p10_lowest=%.3f p10_median=%.3f depth_mean_ms=%.1f\n",
                         name, NR, sum / NR, p[1], p[int((NR + 1) / 2)], depth / NR }'
    done
done

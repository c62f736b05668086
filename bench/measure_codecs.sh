#!/usr/bin/env bash
# What each codec name trades, measured on recorded speech through the program's own coders
# (qparlin-codec): payload per frame, frame length, payload bit rate and bit rate on the wire (one type
# byte and 28 bytes of IPv4 and UDP header per datagram; a private call adds 33), the codec's own delay
# beyond its frame, and how near the decoded speech stays to the original (call_audio codec: correlation
# and segmental SNR at that delay), the processor time of encoding and decoding per second of call
# (bench/codec_cpu; one process does both), and the audio bandwidth that reaches the listener: the level of
# the decoded speech in the 1 kHz bands from 3 to 8 kHz against the original's, in dB (sox's sinc band
# filter and RMS level, both at 48000 Hz; a narrowband codec has nothing left above 4 kHz).
#
#   bench/measure_codecs.sh [BUILD_DIR]
#
# Environment: CODECS (default: the nine names), SPEECH_WAV (default: the voices of
# /usr/share/sounds/alsa with a short pause after each).
set -eu

build=${1:-build}
codecs=${CODECS:-ilbc_8khz ilbc_11khz ilbc_22khz gsm_8khz gsm_11khz gsm_22khz g711_8khz g711_11khz g711_22khz}
tool=$build/qparlin-codec
analyse=$build/bench/call_audio
[ -x "$tool" ] && [ -x "$analyse" ] || { echo "build first: make build" >&2; exit 1; }
command -v sox >/dev/null || { echo "measure_codecs: sox is missing (make deps)" >&2; exit 1; }

work=$(mktemp -d /tmp/qp-codecs.XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ -n "${SPEECH_WAV:-}" ]; then
    sox -D "$SPEECH_WAV" -r 48000 -c 1 -b 16 "$work/speech48.wav"
else
    voices=(/usr/share/sounds/alsa/{Front,Rear,Side}_*.wav)
    [ -f "${voices[0]}" ] || { echo "measure_codecs: no speech; give SPEECH_WAV" >&2; exit 1; }
    parts=()
    for voice in "${voices[@]}"; do
        part="$work/part${#parts[@]}.wav"
        sox -D "$voice" -r 48000 -c 1 -b 16 "$part" pad 0 0.3
        parts+=("$part")
    done
    sox "${parts[@]}" "$work/speech48.wav"
fi

# The RMS level in dB of the band $2 (as "4000-5000") of the file $1.
band_db() { sox "$1" -n sinc "$2" stats 2>&1 | awk '/RMS lev dB/ { print $4 }'; }
bands="3000-4000 4000-5000 5000-6000 6000-7000 7000-8000"
declare -A original
for band in $bands; do original[$band]=$(band_db "$work/speech48.wav" "$band"); done

printf '%-11s %8s %9s %13s %14s %9s %12s %9s %10s %s\n' name payload frame_ms payload_kbps wire_kbps_ip4 delay_ms \
    correlation segsnr_db cpu_ms_s "dB in 3-4 4-5 5-6 6-7 7-8 kHz"
for codec in $codecs; do
    payload_name=$codec.payload
    case "$codec" in
        *_8khz) rate=8000 ;;
        *_11khz) rate=11025 ;;
        opus_16khz) rate=16000 ;;
        opus_24khz) rate=24000 ;;
        opus) rate=48000 ;;
        *) rate=22050 ;;
    esac
    # qparlin-codec keeps Opus in Ogg Opus files.
    case "$codec" in opus*) payload_name=$codec.opus ;; esac
    sox -D "$work/speech48.wav" -r "$rate" "$work/in-$rate.wav"
    encoded=$("$tool" encode -a:"$codec" "$work/in-$rate.wav" "$work/$payload_name" 2>&1)
    decoded=$("$tool" decode -a:"$codec" "$work/$payload_name" "$work/$codec.wav" 2>&1)
    frames=$(sed -n 's/.* \([0-9]*\) frames.*/\1/p' <<<"$encoded")
    bytes=$(sed -n 's/.* \([0-9]*\) bytes.*/\1/p' <<<"$encoded")
    samples=$(sed -n 's/.* \([0-9]*\) samples.*/\1/p' <<<"$decoded")
    quality=$("$analyse" codec "$work/in-$rate.wav" "$work/$codec.wav")
    cpu=-
    [ -x "$build/bench/codec_cpu" ] &&
        cpu=$("$build/bench/codec_cpu" "$codec" "$work/in-$rate.wav" | sed -n 's/.*call_ms_per_s=\([0-9.]*\).*/\1/p')
    sox -D "$work/$codec.wav" -r 48000 "$work/$codec-48.wav"
    levels=
    for band in $bands; do
        levels+=" $(awk -v a="$(band_db "$work/$codec-48.wav" "$band")" -v b="${original[$band]}" \
            'BEGIN { printf "%+.1f", a - b }')"
    done
    awk -v name="$codec" -v f="$frames" -v b="$bytes" -v s="$samples" -v r="$rate" -v q="$quality" \
        -v cpu="$cpu" -v levels="$levels" 'BEGIN {
        split(q, fields, /[ =]/)
        for (i = 1; i < length(fields); i += 2) value[fields[i]] = fields[i + 1]
        frame_ms = 1000 * s / f / r
        printf "%-11s %7dB %9.2f %13.2f %14.2f %9.2f %12.3f %9.2f %10s%s\n", name, b / f, frame_ms,
            8 * b / f / frame_ms, 8 * (b / f + 1 + 28) / frame_ms, value["delay_ms"],
            value["correlation"], value["segmental_snr_db"], cpu, levels
    }'
done

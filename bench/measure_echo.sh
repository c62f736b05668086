#!/usr/bin/env bash
# The echo bench: runs bench/echo_path (a synthetic room, see its header) at each codec rate with each
# library of the capture-path stage, and "off" for the figures before. The far end's speech is the voices of
# /usr/share/sounds/alsa (Front and Rear, a pause after each, repeated to 20 s); the near end's is the Side
# voices raised by four semitones, so that the two talkers differ.
#
#   bench/measure_echo.sh [BUILD_DIR]
#
# Environment: RATES (default "8000 11025 22050 48000"), FAR_WAV / NEAR_WAV (other speech to use).
set -eu

build=${1:-build}
rates=${RATES:-8000 11025 22050 48000}
bench=$build/bench/echo_path
[ -x "$bench" ] || { echo "build first: cmake --build $build --target echo_path" >&2; exit 1; }
command -v sox >/dev/null || { echo "measure_echo: sox is missing (make deps)" >&2; exit 1; }

work=$(mktemp -d /tmp/qp-echo.XXXXXX)
trap 'rm -rf "$work"' EXIT

speech() {  # speech OUT FILE...: each file, then 0.4 s of silence, repeated to 24 s
    local out=$1; shift
    local parts=()
    for f in "$@"; do
        sox -D "$f" -r 48000 -c 1 -b 16 "$work/p${#parts[@]}.wav" pad 0 0.4
        parts+=("$work/p${#parts[@]}.wav")
    done
    sox "${parts[@]}" "$work/once.wav"
    sox "$work/once.wav" "$out" repeat 30 trim 0 24
    rm -f "${parts[@]}" "$work/once.wav"
}

if [ -n "${FAR_WAV:-}" ]; then sox -D "$FAR_WAV" -r 48000 -c 1 -b 16 "$work/far48.wav"
else speech "$work/far48.wav" /usr/share/sounds/alsa/{Front,Rear}_*.wav; fi
if [ -n "${NEAR_WAV:-}" ]; then sox -D "$NEAR_WAV" -r 48000 -c 1 -b 16 "$work/near48.wav"
else
    speech "$work/near0.wav" /usr/share/sounds/alsa/Side_*.wav
    sox "$work/near0.wav" "$work/near48.wav" pitch 400
fi

for rate in $rates; do
    sox -D "$work/far48.wav" -r "$rate" "$work/far.wav"
    sox -D "$work/near48.wav" -r "$rate" "$work/near.wav"
    "$bench" "$work/far.wav" "$work/near.wav"
    echo
done

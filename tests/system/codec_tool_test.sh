#!/usr/bin/env bash
# qparlin-codec over real files: round trips, refusals and what it says about them.
set -u

: "${QPARLIN_CODEC:?QPARLIN_CODEC must name the built qparlin-codec}"
command -v sox >/dev/null || { echo "sox is missing (scripts/install-deps --test)"; exit 1; }

. "$(dirname "$0")/common.sh"
run() {  # run EXPECTED_STATUS ARGS...; stderr kept in $work/err
    local want=$1
    shift
    local got=0
    "$QPARLIN_CODEC" "$@" >"$work/out" 2>"$work/err" || got=$?
    [ "$got" -eq "$want" ] || { fail "qparlin-codec $* exited $got, not $want"; cat "$work/err" >&2; }
}
# RMS of a WAV file's samples as sox reports it (full scale 1.0).
rms() { sox "$1" -n stat 2>&1 | awk '/^RMS +amplitude/ {print $3}'; }

# A 2.05 s tone at 8000 Hz: not a whole number of 800-sample frames, so the last one is padded.
sox -n -r 8000 -c 1 -b 16 "$work/tone.wav" synth 2.05 sine 440 vol 0.5

# G.711 round trip: 21 frames of 800 bytes, then as many samples back, close to the original.
run 0 encode -a:g711_8khz "$work/tone.wav" "$work/tone.g711"
[ "$(stat -c %s "$work/tone.g711")" -eq $((21 * 800)) ] || fail "G.711 payload file has $(stat -c %s "$work/tone.g711") bytes"
run 0 decode -a:G711_8KHZ "$work/tone.g711" "$work/back.wav"
samples=$(soxi -s "$work/back.wav")
[ "$samples" -eq $((21 * 800)) ] || fail "decoded $samples samples"
sox "$work/back.wav" "$work/back-cut.wav" trim 0 16400s
sox -m -v 1 "$work/tone.wav" -v -1 "$work/back-cut.wav" "$work/diff.wav"
snr=$(awk -v s="$(rms "$work/tone.wav")" -v n="$(rms "$work/diff.wav")" 'BEGIN { printf "%d", 20 * log(s / n) / log(10) }')
[ "$snr" -ge 30 ] || fail "G.711 round trip SNR is $snr dB"

# Raw PCM (format code 0x80) through .raw files is the identity, padding aside.
head -c 3000 /dev/urandom >"$work/noise.raw"
run 0 encode -a:0x80 "$work/noise.raw" "$work/noise.pay"
run 0 decode -a:128 "$work/noise.pay" "$work/noise-back.raw"
cmp -s <(head -c 3000 "$work/noise-back.raw") "$work/noise.raw" || fail "raw PCM did not come back unchanged"
[ "$(stat -c %s "$work/noise-back.raw")" -eq 4000 ] || fail "raw PCM was not padded to whole frames"

# Refusals: each exits 1 with one line that says why.
run 1 encode -a:g711_11khz "$work/tone.wav" "$work/x"
grep -q "rate is 8000 Hz" "$work/err" || fail "a rate mismatch is not explained: $(cat "$work/err")"
run 1 decode -a:0x81 "$work/tone.g711" "$work/x.wav"
grep -q "varying size" "$work/err" || fail "the delta code is not refused: $(cat "$work/err")"
run 1 encode -a:8 "$work/tone.wav" "$work/x"
grep -q "no codec" "$work/err" || fail "a type without codec is not refused: $(cat "$work/err")"
run 1 encode --storage -a:g711_8khz "$work/tone.wav" "$work/x"
run 1 encode -a:g711_8khz "$work/missing.wav" "$work/x"
head -c 3 /dev/zero >"$work/odd.raw"
run 1 encode -a:g711_8khz "$work/odd.raw" "$work/x"
grep -q "odd length" "$work/err" || fail "an odd raw file is not refused: $(cat "$work/err")"
sox -n -r 8000 -c 2 -b 16 "$work/stereo.wav" synth 0.1 sine 440
run 1 encode -a:g711_8khz "$work/stereo.wav" "$work/x"

# A payload file cut in the middle of a frame: the whole frames are decoded and the rest is named.
head -c 1000 "$work/tone.g711" >"$work/cut.g711"
run 0 decode -a:g711_8khz "$work/cut.g711" "$work/cut.wav"
[ "$(soxi -s "$work/cut.wav")" -eq 800 ] || fail "a cut payload file decoded to $(soxi -s "$work/cut.wav") samples"
grep -q "last 200 bytes" "$work/err" || fail "the leftover bytes are not named"

# iLBC: a storage file carries its header and is read back; the mode must match, and a channel file may
# mark frames lost (concealed: the sample count stays) but only holds 0 or 1 and only serves iLBC.
run 0 encode --storage -a:ilbc_8khz "$work/tone.wav" "$work/tone.lbc"
[ "$(head -c 9 "$work/tone.lbc")" = "#!iLBC30" ] || fail "no storage header"
[ "$(stat -c %s "$work/tone.lbc")" -eq $((9 + 69 * 50)) ] || fail "storage file has $(stat -c %s "$work/tone.lbc") bytes"
run 0 decode -a:ilbc_8khz "$work/tone.lbc" "$work/tone-ilbc.wav"
[ "$(soxi -s "$work/tone-ilbc.wav")" -eq $((69 * 240)) ] || fail "iLBC decoded to $(soxi -s "$work/tone-ilbc.wav") samples"
run 1 decode -a:0x83 "$work/tone.lbc" "$work/x.wav"
grep -q "30 ms frames" "$work/err" || fail "a storage file of the other mode is not refused: $(cat "$work/err")"
printf '\001\000\000\000' >"$work/lossy.chn"
head -c 109 "$work/tone.lbc" | tail -c 100 >"$work/two.lbc"  # two bare frames
run 0 decode --channel="$work/lossy.chn" -a:ilbc_8khz "$work/two.lbc" "$work/two.wav"
grep -q "(1 lost), 480 samples" "$work/err" || fail "the lost frame is not concealed: $(cat "$work/err")"
printf '\002\000' >"$work/bad.chn"
run 1 decode --channel="$work/bad.chn" -a:ilbc_8khz "$work/two.lbc" "$work/x.wav"
run 1 decode --channel="$work/lossy.chn" -a:g711_8khz "$work/tone.g711" "$work/x.wav"

# Opus in Ogg Opus files, both ways with opus-tools: opusdec plays ours at the original length, a 6.5 kHz
# tone (beyond any narrowband codec) comes through within 3 dB, and opusenc's file decodes here likewise.
if command -v opusenc >/dev/null && command -v opusdec >/dev/null; then
    sox -n -r 48000 -c 1 -b 16 "$work/high.wav" synth 1.01 sine 6500 vol 0.3
    run 0 encode -a:opus "$work/high.wav" "$work/high.opus"
    opusdec --quiet --rate 48000 "$work/high.opus" "$work/high-opusdec.wav" 2>"$work/err" ||
        fail "opusdec refused our file: $(cat "$work/err")"
    [ "$(soxi -s "$work/high-opusdec.wav")" -eq 48480 ] || fail "opusdec gave $(soxi -s "$work/high-opusdec.wav") samples"
    opus_db=$(awk -v a="$(rms "$work/high.wav")" -v b="$(rms "$work/high-opusdec.wav")" \
        'BEGIN { printf "%.1f", 20 * log(b / a) / log(10) }')
    awk -v d="$opus_db" 'BEGIN { exit !(d > -3 && d < 3) }' || fail "6.5 kHz through Opus is off by $opus_db dB"
    opusenc --quiet "$work/high.wav" "$work/theirs.opus"
    run 0 decode -a:opus "$work/theirs.opus" "$work/theirs.wav"
    [ "$(soxi -s "$work/theirs.wav")" -eq 48480 ] || fail "opusenc's file decoded to $(soxi -s "$work/theirs.wav") samples"
    run 0 decode -a:opus_16khz "$work/theirs.opus" "$work/theirs16.wav"
    [ "$(soxi -s "$work/theirs16.wav")" -eq 16160 ] || fail "at 16 kHz: $(soxi -s "$work/theirs16.wav") samples"
    # Refusals: a payload file that is no Ogg Opus, Opus without an Ogg name, a cut file.
    run 1 decode -a:opus "$work/tone.wav" "$work/x.wav"
    run 1 encode -a:opus "$work/high.wav" "$work/x.pay"
    grep -q "\.opus" "$work/err" || fail "the Ogg name is not asked for: $(cat "$work/err")"
    head -c 40 "$work/theirs.opus" >"$work/cut.opus"
    run 1 decode -a:opus "$work/cut.opus" "$work/x.wav"
else
    fail "opusenc/opusdec are missing (scripts/install-deps --test)"
fi

# Usage errors exit 2; --help exits 0.
run 2 encode -a:g711_8khz "$work/tone.wav"
run 2 encode -a:nonsense "$work/tone.wav" "$work/x"
run 2 transcode -a:g711_8khz a b
run 0 --help

finish "qparlin-codec round trips and refusals behave (G.711 SNR $snr dB, 6.5 kHz through Opus ${opus_db:-?} dB)"

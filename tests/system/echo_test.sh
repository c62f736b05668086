#!/usr/bin/env bash
# Echo cancellation through a private PulseAudio: the listener's speaker sink is looped back into its own
# microphone 80 ms later (module-loopback), as a loudspeaker next to the microphone would; the caller sends
# speech from a WAV file and writes what comes back to another. What comes back is the listener's echo of
# the caller: with --voice-processing=all it must be at least 20 dB quieter than with it off, from the
# fourth second on (the canceller learns the room in the first). Also a call between two WAV-file copies
# with --voice-processing=all on both goes through: the caller's tone reaches the listener.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
source_dir=${QPARLIN_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
for tool in pulseaudio pactl sox; do
    command -v $tool >/dev/null || { echo "$tool is missing (scripts/install-deps --test)"; exit 1; }
done

. "$(dirname "$0")/common.sh"
server=$(mktemp -d /tmp/qp-echo.XXXXXX)
server_cleanup() {
    "$source_dir/scripts/pulse-server" stop "$server" >/dev/null 2>&1
    rm -rf "$server"
    cleanup
}
trap server_cleanup EXIT

seconds=9
voices=(/usr/share/sounds/alsa/{Front,Rear,Side}_*.wav)
if [ -f "${voices[0]}" ]; then
    for i in "${!voices[@]}"; do sox -D "${voices[$i]}" -r 11025 -c 1 -b 16 "$work/v$i.wav" pad 0 0.3; done
    sox "$work"/v*.wav "$work/once.wav"
    sox "$work/once.wav" "$work/speech.wav" repeat 10 trim 0 $((seconds + 3))
else
    # Without the sample voices: a warbling tone, which an echo canceller learns as well.
    sox -n -r 11025 -c 1 -b 16 "$work/speech.wav" synth $((seconds + 3)) sine 300-900 vol 0.5
fi

# The level (dB) of what came back from the fourth second to the end.
level() { sox "$1" -n trim 4 $((seconds - 5)) stats 2>&1 | awk '/^RMS lev dB/ { print $4 }'; }

eval "$("$source_dir/scripts/pulse-server" start "$server" | sed 's/^/export /')" ||
    { fail "the private server did not start"; finish ""; }
pactl load-module module-null-sink sink_name=spk rate=48000 channels=1 >/dev/null
pactl load-module module-null-sink sink_name=room rate=48000 channels=1 >/dev/null
pactl load-module module-loopback source=spk.monitor sink=room latency_msec=80 >/dev/null ||
    fail "no loopback module"

call() {  # MODE: one call with the listener's processing at MODE; the caller's return in $work/back-MODE.wav
    local mode=$1
    start_listener "$work" --audio=pulse --output-device=spk --input-device=room.monitor \
        --voice-processing="$mode" || { fail "$mode: the listener did not listen"; return; }
    "$QPARLIN" --headless --audio=file --input-wav="$work/speech.wav" --output-wav="$work/back-$mode.wav" \
        -c:127.0.0.1:"$port":yes >"$work/caller-$mode.out" 2>&1 &
    local caller=$!
    pids+=("$caller")
    wait_for_line "$work/listener.out" "Connected." 5 || fail "$mode: the call did not start"
    sleep $seconds
    terminate "$caller"
    terminate "$listener"
    # The console says when the canceller works: a line when it starts, never a flood of them.
    local working
    working=$(grep -c '^Echo cancellation: removing echo' "$work/listener.out")
    echo "$mode: $working line(s) of echo cancellation working"
    if [ "$mode" = off ]; then
        [ "$working" -eq 0 ] || fail "off: the console says echo is being removed"
    else
        [ "$working" -ge 1 ] && [ "$working" -le 2 ] ||
            fail "$mode: $working lines say echo cancellation works (1 or 2 expected)"
    fi
}
call off
call all
off=$(level "$work/back-off.wav")
on=$(level "$work/back-all.wav")
echo "echo back to the caller: ${off:-?} dB with processing off, ${on:-?} dB with it on"
# sox gives -inf for exact silence: that counts as quieter than any echo, and as no echo at all.
[ "${on:--inf}" = -inf ] && on=-200
[ "${off:--inf}" = -inf ] && off=-200
awk -v off="$off" -v on="$on" 'BEGIN { exit !(off + 0 > -60 && off - on >= 20) }' ||
    fail "the echo came back ${off:-?} dB off and ${on:-?} dB on: not 20 dB quieter, or no echo to cancel"

# Two WAV-file copies with the processing asked for: the call carries the tone.
sox -n -r 11025 -c 1 -b 16 "$work/tone.wav" synth 4 sine 700 vol 0.5
start_listener "$work" --audio=file --output-wav="$work/heard.wav" --voice-processing=all ||
    fail "wav: the listener did not listen"
"$QPARLIN" --headless --audio=file --input-wav="$work/tone.wav" --voice-processing=all \
    -c:127.0.0.1:"$port":yes >"$work/wav-caller.out" 2>&1 &
caller=$!
pids+=("$caller")
wait_for_line "$work/listener.out" "Connected." 5 || fail "wav: the call did not start"
sleep 4
terminate "$caller"
terminate "$listener"
"$WAV_COMPARE" --loud "$work/heard.wav" >/dev/null 2>&1 || fail "wav: the tone did not reach the listener"

finish "echo comes back at least 20 dB quieter with voice processing on; a WAV call with it on carries sound"

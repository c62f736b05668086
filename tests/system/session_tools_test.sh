#!/usr/bin/env bash
# Standard tools read a session call. Two copies call each other (WAV devices, a plain call, default session)
# through tests/system/session_tools_relay.py, which writes every datagram of the caller to a pcap capture and copies
# the caller's RTP to a port of its own. tshark must read the caller's audio there as one RTP stream with
# nothing lost and no number out of order; ffmpeg, started on the description the caller wrote with
# --write-sdp, must record what the caller sent: its input WAV as the caller's codec decodes it (a
# normalised correlation, since our G.711 plays slightly louder than the standard's). An Opus call between two
# copies is recorded the same way, from its RFC 7587 description, at 48000 Hz.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${QPARLIN_CODEC:?QPARLIN_CODEC must name the built qparlin-codec}"
: "${WAV_COMPARE:?WAV_COMPARE must name the built wav_compare}"
for tool in sox tshark ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps --test)"; exit 1; }
done
. "$(dirname "$0")/common.sh"
relay_script="$(dirname "$0")/session_tools_relay.py"

record_seconds=4

# Waits up to $2 seconds for the file $1 to exist.
wait_for_file() {
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        [ -s "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# One call in `codec`; the caller's SDP must name payload type `pt` as `rtpmap`, and tshark the stream's
# payload as `tshark_name`.
call() {
    local codec=$1 pt=$2 rtpmap=$3 tshark_name=$4
    local dir="$work/$codec"
    mkdir -p "$dir"
    # A sweep under a tremolo: every second differs, so a recording of a few seconds is found in one place.
    sox -n -r 8000 -c 1 -b 16 "$dir/caller.wav" synth 12 sine 200-1800 sine 300 tremolo 3 80 vol 0.4

    start_listener "$dir" --audio=null -a:"$codec" || { fail "$codec: the listener never listened"; return; }
    local relay_port=$((port + 1)) tool_port=$((port + 2))
    python3 "$relay_script" "$relay_port" "$port" --pcap="$dir/caller.pcap" --tool-port="$tool_port" \
        >"$dir/relay.out" 2>&1 &
    local relay=$!
    pids+=("$relay")
    wait_for_line "$dir/relay.out" "relay 127.0.0.1:$relay_port -> 127.0.0.1:$port" 5 ||
        { fail "$codec: the relay did not start: $(cat "$dir/relay.out")"; return; }

    "$QPARLIN" --headless --audio=file --input-wav="$dir/caller.wav" -a:"$codec" \
        --encrypt=off --write-sdp="$dir/call.sdp:$tool_port" -c:127.0.0.1:"$relay_port":yes \
        >"$dir/caller.out" 2>"$dir/caller.err" &
    local caller=$!
    pids+=("$caller")
    wait_for_line "$dir/caller.out" "Connected." 5 || fail "$codec: the caller did not print Connected."
    wait_for_file "$dir/call.sdp" 5 || { fail "$codec: the caller wrote no $dir/call.sdp"; return; }

    # ffmpeg listens at the port the description names, from the start of the call; it ends itself after
    # the recording's length, and an interrupt after 20 s ends it if nothing ever comes.
    timeout -s INT 20 ffmpeg -nostdin -loglevel error -protocol_whitelist file,udp,rtp -i "$dir/call.sdp" \
        -t "$record_seconds" -ar 8000 -ac 1 -y "$dir/ffmpeg.wav" >"$dir/ffmpeg.log" 2>&1 &
    local ffmpeg=$!
    pids+=("$ffmpeg")
    wait "$ffmpeg" || fail "$codec: ffmpeg ended with status $?: $(head -c 600 "$dir/ffmpeg.log")"

    grep -q "^Call: in a session with 127.0.0.1:$relay_port\$" "$dir/caller.out" ||
        fail "$codec: the call was no session: $(cat "$dir/caller.out")"
    kill -TERM "$caller"
    wait "$caller" || fail "$codec: the caller ended with status $?"
    kill -TERM "$relay" "$listener"
    wait "$relay" "$listener" 2>/dev/null
    [ ! -s "$dir/caller.err" ] || fail "$codec: the caller wrote to stderr: $(cat "$dir/caller.err")"
    echo "$codec relay: $(tail -n 1 "$dir/relay.out")"

    # The description: the tool's port, the payload type and what it stands for, lines ended by CRLF.
    local sdp
    sdp=$(tr -d '\r' <"$dir/call.sdp")
    grep -qx "m=audio $tool_port RTP/AVP $pt" <<<"$sdp" || fail "$codec: the SDP's media line: $sdp"
    grep -qx "a=rtpmap:$pt $rtpmap" <<<"$sdp" || fail "$codec: the SDP's rtpmap: $sdp"
    grep -qx "c=IN IP4 127.0.0.1" <<<"$sdp" || fail "$codec: the SDP's connection line: $sdp"
    [ "$(grep -c $'\r$' "$dir/call.sdp")" = "$(wc -l <"$dir/call.sdp")" ] ||
        fail "$codec: the SDP's lines do not all end in CRLF"

    # tshark: exactly one RTP stream, the caller's, nothing lost, no problem flagged (an X in the last
    # column marks a wrong sequence number or timestamp).
    local streams
    streams=$(tshark -r "$dir/caller.pcap" -d udp.port=="$relay_port",rtp -q -z rtp,streams 2>/dev/null |
        awk -v p="$relay_port" '$6 == p')
    echo "$codec tshark: $streams"
    [ "$(grep -c . <<<"$streams")" = 1 ] || fail "$codec: tshark found not one RTP stream: '$streams'"
    read -r _ _ _ _ _ _ _ name packets lost _ <<<"$streams"
    [ "${name:-}" = "$tshark_name" ] || fail "$codec: tshark read the payload as '${name:-}'"
    [ "${packets:-0}" -ge 20 ] || fail "$codec: tshark counted ${packets:-0} RTP packets"
    [ "${lost:-}" = 0 ] || fail "$codec: tshark counted ${lost:-?} lost"
    [ "$(awk '{print $NF}' <<<"$streams")" != X ] || fail "$codec: tshark flagged a problem in the stream"
    # The same, packet by packet: every sequence number one more than the one before, every timestamp
    # one frame later.
    local wrong
    wrong=$(tshark -r "$dir/caller.pcap" -d udp.port=="$relay_port",rtp -Y "rtp.version == 2" \
        -T fields -e rtp.seq -e rtp.timestamp 2>/dev/null | awk '
        NR == 2 { step = ($2 - ts + 4294967296) % 4294967296 }
        NR > 1 && ($1 != (seq + 1) % 65536 || ($2 - ts + 4294967296) % 4294967296 != step || step == 0) { wrong++ }
        { seq = $1; ts = $2 }
        END { print wrong + 0 }')
    [ "$wrong" = 0 ] || fail "$codec: $wrong packets out of sequence or off the timestamp step"

    # ffmpeg: every second it recorded is found in the caller's input as the caller's codec decodes it.
    "$QPARLIN_CODEC" encode -a:"$codec" "$dir/caller.wav" "$dir/caller.payloads" 2>/dev/null &&
        "$QPARLIN_CODEC" decode -a:"$codec" "$dir/caller.payloads" "$dir/caller-decoded.wav" 2>/dev/null ||
        { fail "$codec: qparlin-codec could not code the caller's input"; return; }
    local result
    result=$("$WAV_COMPARE" "$dir/ffmpeg.wav" "$dir/caller-decoded.wav" --min-corr=0.9) ||
        fail "$codec: what ffmpeg recorded is not what the caller sent: $result"
    echo "$codec ffmpeg: $result"
    local windows=${result#windows=}
    [ "${windows%% *}" -ge $((record_seconds - 1)) ] 2>/dev/null ||
        fail "$codec: ffmpeg recorded too little sound: $result"
}

# An Opus call (both copies offer it): the description follows RFC 7587, and ffmpeg records from it what the
# caller sent, at 48000 Hz, as our Opus decoder plays the caller's input. The sweep reaches 6 kHz, which no
# narrowband codec carries, so a recording that matches it is wideband.
opus_call() {
    local dir="$work/opus"
    mkdir -p "$dir"
    sox -n -r 48000 -c 1 -b 16 "$dir/caller.wav" synth 12 sine 200-6000 sine 300 tremolo 3 80 vol 0.4

    start_listener "$dir" --audio=null -a:opus || { fail "opus: the listener never listened"; return; }
    local relay_port=$((port + 1)) tool_port=$((port + 2))
    python3 "$relay_script" "$relay_port" "$port" --pcap="$dir/caller.pcap" --tool-port="$tool_port" \
        >"$dir/relay.out" 2>&1 &
    local relay=$!
    pids+=("$relay")
    wait_for_line "$dir/relay.out" "relay 127.0.0.1:$relay_port -> 127.0.0.1:$port" 5 ||
        { fail "opus: the relay did not start: $(cat "$dir/relay.out")"; return; }
    "$QPARLIN" --headless --audio=file --input-wav="$dir/caller.wav" -a:opus --encrypt=off \
        --write-sdp="$dir/call.sdp:$tool_port" -c:127.0.0.1:"$relay_port":yes >"$dir/caller.out" 2>"$dir/caller.err" &
    local caller=$!
    pids+=("$caller")
    wait_for_line "$dir/caller.out" "Connected." 5 || fail "opus: the caller did not print Connected."
    wait_for_file "$dir/call.sdp" 5 || { fail "opus: the caller wrote no $dir/call.sdp"; return; }
    timeout -s INT 20 ffmpeg -nostdin -loglevel error -protocol_whitelist file,udp,rtp -i "$dir/call.sdp" \
        -t "$record_seconds" -ar 48000 -ac 1 -y "$dir/ffmpeg.wav" >"$dir/ffmpeg.log" 2>&1 &
    local ffmpeg=$!
    pids+=("$ffmpeg")
    wait "$ffmpeg" || fail "opus: ffmpeg ended with status $?: $(head -c 600 "$dir/ffmpeg.log")"
    grep -q "Both copies speak Opus" "$dir/caller.out" || fail "opus: the caller agreed no Opus: $(cat "$dir/caller.out")"
    kill -TERM "$caller"
    wait "$caller" || fail "opus: the caller ended with status $?"
    kill -TERM "$relay" "$listener"
    wait "$relay" "$listener" 2>/dev/null
    # A call begins on the plain wire in the default format, so the WAV-file recorder is first opened at
    # that format's rate and converts the 48000 Hz file until the hello agrees Opus: nothing is refused.
    [ ! -s "$dir/caller.err" ] || fail "opus: the caller wrote to stderr: $(cat "$dir/caller.err")"

    local sdp
    sdp=$(tr -d '\r' <"$dir/call.sdp")
    echo "opus SDP: $(tr '\n' '|' <<<"$sdp")"
    grep -qx "m=audio $tool_port RTP/AVP 124" <<<"$sdp" || fail "opus: the SDP's media line: $sdp"
    grep -qx "a=rtpmap:124 opus/48000/2" <<<"$sdp" || fail "opus: the SDP's rtpmap: $sdp"
    grep -q "^a=fmtp:124 .*useinbandfec=1" <<<"$sdp" || fail "opus: the SDP's fmtp: $sdp"
    grep -qx "a=ptime:20" <<<"$sdp" || fail "opus: the SDP's ptime: $sdp"

    "$QPARLIN_CODEC" encode -a:opus "$dir/caller.wav" "$dir/caller.opus" 2>/dev/null &&
        "$QPARLIN_CODEC" decode -a:opus "$dir/caller.opus" "$dir/caller-decoded.wav" 2>/dev/null ||
        { fail "opus: qparlin-codec could not code the caller's input"; return; }
    [ "$(soxi -r "$dir/ffmpeg.wav")" = 48000 ] || fail "opus: ffmpeg recorded at $(soxi -r "$dir/ffmpeg.wav") Hz"
    local result
    result=$("$WAV_COMPARE" "$dir/ffmpeg.wav" "$dir/caller-decoded.wav" --min-corr=0.9) ||
        fail "opus: what ffmpeg recorded is not what the caller sent: $result"
    echo "opus ffmpeg: $result"
    local windows=${result#windows=}
    [ "${windows%% *}" -ge $((record_seconds - 1)) ] 2>/dev/null || fail "opus: ffmpeg recorded too little sound: $result"
}

call g711_8khz 0 PCMU/8000 g711U
call gsm_8khz 3 GSM/8000 GSM
opus_call

finish "tshark and ffmpeg read the caller's numbered audio"

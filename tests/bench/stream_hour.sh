#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A long stream, by hand (not in CI): a music folder with --loop at 720p and 30 fps to a private
# nginx-rtmp on 127.0.0.1, the server stopped for 20 s three times. Says the processor share,
# the detail the stream settles at, its resident memory each minute, its outages, and, from a
# viewer's last turn of the folder, whether each click of its click track is seen in the frame
# it is heard in, as in the first turn (0 frames of drift after the whole run).
# Usage: tests/bench/stream_hour.sh LUMORA-STREAM [MUSIC-FOLDER] [MINUTES]   (default 60)
. "$(dirname "$0")/../../scripts/harness.sh"
STREAM=$(realpath "$LUMORA")
HERE=$(cd "$(dirname "$0")/../e2e" && pwd)
music=${2:-}
minutes=${3:-60}
[ -z "$music" ] || music=$(realpath "$music")
cd "$H_DIR"
. "$HERE/stream_servers.sh"
mkdir folder
if [ -n "$music" ]; then
    for f in "$music"/*; do ln -s "$f" folder/; done
else
    bash "$HERE/music.sh" folder/music.wav 120
fi
# The click track, first in each turn of the folder: a click every 10 s after 2 s of silence,
# padded so that a whole turn is a whole number of frames (1470 samples at 30 fps). Every turn then
# starts on a frame, and every click falls exactly on a frame's time, as in the first turn: a
# click's picture a frame off its sound after an hour would be drift, not where it fell.
sox -q -V1 -n -r 44100 -c 2 click.wav synth 0.01 whitenoise vol 0.9 pad 0 9.99
samples=0
for f in folder/*; do
    samples=$((samples + $(ffmpeg -nostdin -v error -i "$f" -ac 1 -ar 44100 -f s16le - | wc -c) / 2))
done
clicks=$((2 * 44100 + 3 * 441000))
pad=$(((1470 - (samples + clicks) % 1470) % 1470))
sox -q -V1 click.wav folder/00-clicks.flac repeat 2 pad 2 "${pad}s"
turn=$(for f in folder/*; do soxi -D "$f" 2>/dev/null || ffprobe -v error -show_entries format=duration -of csv=p=0 "$f"; done |
    awk '{ s += $1 } END { printf "%d", s + 1 }')
setup_nginx
url=rtmp://127.0.0.1:$RTMP_PORT/live/test
h_spawn stream "$STREAM" folder "$url" --loop
pid=$H_SPAWNED
start=$(date +%s)
ticks0=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
h_say "streaming a folder of $(ls folder | wc -l) files (${turn} s a turn) for $minutes minutes"
for ((m = 1; m <= minutes; m++)); do
    sleep 60
    kill -0 "$pid" || h_fail "lumora-stream ended: $(tail -n 5 stream.err)"
    h_say "minute $m: $(awk '/VmRSS/ { print $2 " kB resident" }' "/proc/$pid/status")"
    # an outage of 20 s at a sixth, a half and five sixths of the run
    if [ $((m * 6)) = "$minutes" ] || [ $((m * 2)) = "$minutes" ] || [ $((m * 6)) = $((minutes * 5)) ]; then
        kill "$NGINX_PID"
        wait "$NGINX_PID" 2>/dev/null || true
        sleep 20
        start_nginx
    fi
done
# the viewer's last turns of the folder, its click track among them
ffmpeg -nostdin -v error -i "$url" -t $((turn + 30)) -c copy -y last.flv || h_fail "the viewer could not pull the stream"
ticks=$(($(awk '{ print $14 + $15 }' "/proc/$pid/stat") - ticks0))
took=$(($(date +%s) - start))
kill -TERM "$pid"
wait "$pid" || h_fail "SIGTERM gave status $?"
h_say "processor: $((ticks * 100 / took / $(getconf CLK_TCK)))% of one core over $took s"
h_say "outages: $(grep -c 'lost' stream.err || true) ($(grep -o 'back after [0-9.]* s' stream.err | tr '\n' ',' | sed 's/,$//'))"
h_say "health, the last lines:"
grep 'frames, detail' stream.err | tail -n 3
h_say "details reached: $(grep -o 'detail [0-9]*' stream.err | sort -u | tr '\n' ' ')"
h_say "sync after $minutes minutes: $(python3 "$HERE/click_sync.py" last.flv 2)"

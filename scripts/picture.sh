#!/usr/bin/env bash
# Pictures of lumora listening to a sound file: plays the file into a private sound server,
# runs the real lumora in a private X server, and writes one frame as a PNG and a few seconds
# as an animated GIF.
# Usage: scripts/picture.sh AUDIO_FILE [OUT_DIR [SECONDS]]   (any file sox can read)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
input=${1:?usage: scripts/picture.sh AUDIO_FILE [OUT_DIR [SECONDS]]}
out=${2:-lumora-pictures}
gif_seconds=${3:-6}
lumora=${LUMORA:-$top/build/lumora}
export XPROBE=${XPROBE:-$top/build/xprobe}
[ -r "$input" ] || {
    echo "cannot read $input" >&2
    exit 1
}
[ -x "$lumora" ] && [ -x "$XPROBE" ] || {
    echo "build lumora first (./run.sh or ./test.sh)" >&2
    exit 1
}
. "$top/scripts/harness.sh" "$lumora"
h_need sox sox
h_need convert imagemagick
mkdir -p "$out"

sox -q "$input" -r 44100 -c 1 -b 16 -e signed -t raw "$H_DIR/sound.raw" remix - 2>/dev/null ||
    sox -q "$input" -r 44100 -c 1 -b 16 -e signed -t raw "$H_DIR/sound.raw"
length=$(($(stat -c %s "$H_DIR/sound.raw") / 88200))
[ "$length" -ge 2 ] || h_fail "$input is shorter than two seconds"
[ "$gif_seconds" -lt "$length" ] || gif_seconds=$((length - 1))

h_start_x 1280x720
h_start_pulse
h_start_lumora
h_find_window
sleep 1 # the capture stream starts delivering about a second after it opens
h_spawn play pacat --playback --raw --rate=44100 --channels=1 --format=s16le \
    --latency-msec=50 "$H_DIR/sound.raw"
sleep 0.7

# about ten frames a second for the GIF; each grab takes some of that time itself
frames=$((gif_seconds * 10))
for n in $(seq -w 1 "$frames"); do
    h_shot "$H_DIR/frame$n.ppm"
    sleep 0.06
done
h_key Escape
h_wait_exit 5 || true

# the PNG is the frame with the most of the picture lit
best=$(for f in "$H_DIR"/frame*.ppm; do
    printf '%s %s\n' "$("$XPROBE" waves "$f" | sed 's/^lit=\([0-9.]*\).*/\1/')" "$f"
done | sort -rn | head -n 1 | cut -d' ' -f2)
convert "$best" "$out/lumora.png"
convert -delay 10 -loop 0 "$H_DIR"/frame*.ppm -resize 400x200 -fuzz 3% -layers Optimize \
    "$out/lumora.gif"
echo "wrote $out/lumora.png and $out/lumora.gif ($frames frames of $input)"

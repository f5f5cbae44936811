#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whether lumora-render's picture looks the same at every --fps, against 20 frames a second (the
# window's pace), on music-like sound, and what each rate costs. For each rate it prints:
#  - psnr: of the stills at 4, 8, ..., 32 s against those at 20 frames a second (inf: the same);
#  - fade: the ms from the end of 3 s of music until the picture's brightest pixel is under a
#    sixteenth of what it was then (four halvings: 200 ms at 20 pictures a second);
#  - hue: the hue, in degrees, of the mean colour of the still at 32 s;
#  - time: the processor time of 10 s of music into an .mp4 at 1280 x 720.
# Not part of the test run:
#   tests/bench/fps_look.sh build/lumora-render [RATES...]      (default 15 20 24 25 30 50 60)
# RENDER_ARGS adds options to every render (for instance "--renderer gl"); MUSIC names a sound of
# 40 s or more to use instead of the music-like sound made afresh (whose hi-hats are random), so
# that two runs compare alike; NO_TIME=1 leaves the render's time out.
set -eu
render=${1:?usage: fps_look.sh LUMORA_RENDER [RATES...]}
shift
rates=${*:-15 20 24 25 30 50 60}
args=${RENDER_ARGS:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ -n "${MUSIC:-}" ]; then
    sox -q "$MUSIC" "$tmp/music.wav" trim 0 40
else
    bash "$(dirname "$0")/../e2e/music.sh" "$tmp/music.wav" 40
fi
sox -q "$tmp/music.wav" "$tmp/ten.wav" trim 0 10
sox -q "$tmp/music.wav" "$tmp/tail.wav" trim 0 3 pad 0 1

# shellcheck disable=SC2086
still() { "$render" "$tmp/music.wav" "$1" --size 480x270 --fps "$2" --at "$3" $args 2>/dev/null; }
fade() {
    # shellcheck disable=SC2086
    "$render" "$tmp/tail.wav" "$tmp/tail.mp4" --size 320x180 --fps "$1" $args 2>/dev/null
    ffmpeg -v error -i "$tmp/tail.mp4" -vf "signalstats,metadata=print:key=lavfi.signalstats.YMAX:file=-" \
        -f null - | awk -F'[:= ]+' -v fps="$1" '/^frame/ { n = $2 } /YMAX/ {
            t = n / fps; y = $2 - 16
            if (t >= 3 && top == "") top = y
            else if (top != "" && y < top / 16) { printf "%d", (t - 3) * 1000; exit } }'
}
hue() {
    convert "$1" -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info: | awk '{
        r = $1; g = $2; b = $3; hi = r; lo = r
        if (g > hi) hi = g; if (b > hi) hi = b; if (g < lo) lo = g; if (b < lo) lo = b
        if (hi == lo) { print "grey"; exit }
        if (hi == r) h = (g - b) / (hi - lo); else if (hi == g) h = 2 + (b - r) / (hi - lo)
        else h = 4 + (r - g) / (hi - lo)
        h *= 60; if (h < 0) h += 360; printf "%.0f", h }'
}

for t in 4 8 12 16 20 24 28 32; do still "$tmp/ref$t.png" 20 "$t"; done
printf '%-5s %-10s %-8s %-5s %s\n' fps psnr fade_ms hue time_s
for fps in $rates; do
    worst=inf
    for t in 4 8 12 16 20 24 28 32; do
        still "$tmp/at$t.png" "$fps" "$t"
        p=$(compare -metric PSNR "$tmp/ref$t.png" "$tmp/at$t.png" null: 2>&1 || true)
        worst=$(awk -v a="$worst" -v b="$p" 'BEGIN { if (b == "inf" || (a != "inf" && a + 0 <= b + 0)) print a; else print b }')
    done
    time_s=-
    [ -n "${NO_TIME:-}" ] || time_s=$( { /usr/bin/time -f '%U %S' "$render" "$tmp/ten.wav" \
        "$tmp/ten.mp4" --fps "$fps" $args 2>&1 >/dev/null | tail -n 1; } | awk '{ printf "%.1f", $1 + $2 }')
    printf '%-5s %-10s %-8s %-5s %s\n' "$fps" "$worst" "$(fade "$fps")" "$(hue "$tmp/at32.png")" "$time_s"
done

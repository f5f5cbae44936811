#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Pictures of lumora listening to a sound file, drawn by lumora-render at full detail: one frame
# as a PNG and a few seconds as an animated GIF, 400 pixels wide.
# Usage: scripts/picture.sh AUDIO_FILE [OUT_DIR [SECONDS [AT]]]
#   SECONDS: how long the GIF is (default 6), from the start; AT: the PNG's time (default:
#   halfway through)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/picture.sh AUDIO_FILE [OUT_DIR [SECONDS [AT]]]"
input=${1:?$usage}
out=${2:-lumora-pictures}
seconds=${3:-6}
at=${4:+--at $4}
render=${LUMORA_RENDER:-$top/build/lumora-render}
[ -x "$render" ] || {
    echo "build lumora first (./run.sh or ./test.sh)" >&2
    exit 1
}
command -v ffmpeg >/dev/null 2>&1 || {
    echo "the animated picture needs ffmpeg (Debian package ffmpeg)" >&2
    exit 1
}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck disable=SC2086
"$render" "$input" "$out/lumora.png" --size 1280x720 --detail 1280 $at
"$render" "$input" "$tmp/clip.mkv" --size 400x200 --detail 400 --fps 10 --to "$seconds"
# one palette made for the whole clip keeps the colours of every frame
ffmpeg -v error -y -i "$tmp/clip.mkv" \
    -filter_complex "split[a][b];[a]palettegen=stats_mode=full[p];[b][p]paletteuse=dither=none" \
    -loop 0 "$out/lumora.gif"
echo "wrote $out/lumora.png and $out/lumora.gif (${seconds} s of $input)"

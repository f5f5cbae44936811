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
# the source tree's build, or the one installed
render=${LUMORA_RENDER:-$top/build/lumora-render}
[ -x "$render" ] || render=$(command -v lumora-render) || {
    echo "build lumora first (./run.sh or ./test.sh), or install it" >&2
    exit 1
}
mkdir -p "$out"
# shellcheck disable=SC2086
"$render" "$input" "$out/lumora.png" --size 1280x720 --detail 1280 $at
"$render" "$input" "$out/lumora.gif" --size 400x200 --detail 400 --fps 10 --to "$seconds"
echo "wrote $out/lumora.png and $out/lumora.gif (${seconds} s of $input)"

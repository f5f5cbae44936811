#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up what lumora needs, builds it, and starts the visualiser on the default audio input.
# Where there is no display or no capture device, it shows what lumora does instead: lumora-render
# draws the picture of a demo sound into a video and a picture, off screen.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh run >&2

demo() {
    local out=$PWD/lumora-demo
    echo "lumora: $1, so lumora-render draws its demo sound (a tone, a sweep and a chord) instead." >&2
    mkdir -p "$out"
    scripts/demo-sound.sh "$out/demo.wav"
    build/lumora-render "$out/demo.wav" "$out/lumora.mp4" --size 640x360
    build/lumora-render "$out/demo.wav" "$out/lumora.png" --at 4.5
    echo "lumora: the video, with its sound, is $out/lumora.mp4; a frame is $out/lumora.png" >&2
}

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    demo "no display was found (DISPLAY is '${DISPLAY:-}')"
    exit 0
fi

err=$(mktemp)
trap 'rm -f "$err"' EXIT
status=0
build/lumora "$@" 2> >(tee "$err" >&2) || status=$?
wait # for tee
if [ "$status" != 0 ] && grep -q '^PortAudio error: ' "$err"; then
    demo "there is no audio input to listen to ($(grep -m1 '^PortAudio error: ' "$err"))"
    exit 0
fi
exit "$status"

#!/usr/bin/env bash
# Sets up what lumora needs, builds it, and starts the visualiser on the default audio input.
# Where there is no display or no capture device, it shows what lumora does instead: it runs
# lumora in private X and sound servers on a demo sound and writes pictures of it.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh run >&2

demo() {
    local out=$PWD/lumora-demo
    echo "lumora: $1, so it runs headless on its demo sound (a tone, a sweep and a chord)." >&2
    mkdir -p "$out"
    scripts/demo-sound.sh "$out/demo.wav"
    scripts/picture.sh "$out/demo.wav" "$out" 6 >/dev/null
    echo "lumora: a frame is in $out/lumora.png and six seconds are in $out/lumora.gif" >&2
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

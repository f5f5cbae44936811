#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes lumora's demo sound, made here with sox: a tone, a sweep and a chord, ten seconds.
# Usage: scripts/demo-sound.sh FILE.wav
set -eu
out=${1:?usage: scripts/demo-sound.sh FILE.wav}
command -v sox >/dev/null 2>&1 || {
    echo "the demo sound needs sox (Debian package sox)" >&2
    exit 1
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sox -q -n -r 44100 -c 1 -b 16 "$tmp/1.wav" synth 2 sine 330 vol 0.5 fade 0.05 2 0.1
sox -q -n -r 44100 -c 1 -b 16 "$tmp/2.wav" synth 4 sine 60:3000 vol 0.5 fade 0.05 4 0.1
sox -q -n -r 44100 -c 3 -b 16 "$tmp/3.wav" synth 4 sine 220 sine 277.18 sine 329.63 \
    synth 4 sine amod 3 60 vol 0.8 fade 0.05 4 0.5
sox -q "$tmp/3.wav" "$tmp/3m.wav" remix -
sox -q "$tmp/1.wav" "$tmp/2.wav" "$tmp/3m.wav" "$out"

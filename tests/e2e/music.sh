#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes music-like sound, made with sox, for the tests and the figures: plucked chords with their
# bass, a sawtooth lead of four notes to a bar and hi-hats, two seconds a bar, normalised to -1 dB.
# Unlike a tone it lights every wave, and unlike noise it changes from bar to bar.
# Usage: tests/e2e/music.sh FILE.wav [SECONDS]
set -eu
out=${1:?usage: music.sh FILE.wav [SECONDS]}
seconds=${2:-60}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
chords=("C2 C3 E3 G3" "A1 A2 C3 E3" "F1 F2 A2 C3" "G1 G2 B2 D3")
lead=(E4 G4 C5 B4 A4 C5 E5 D5 F4 A4 C5 A4 G4 B4 D5 B4)
make() { sox -q -V1 -n -r 44100 -c 1 -b 16 "$@"; }
make "$tmp/hat.wav" synth 0.04 whitenoise vol 0.3 highpass 6000 fade 0 0.04 0.03 pad 0 0.21
bars=()
for ((bar = 0; bar * 2 < seconds; bar++)); do
    read -ra c <<<"${chords[$((bar % 4))]}"
    make "$tmp/chord.wav" synth 2 pluck "${c[0]}" pluck "${c[1]}" pluck "${c[2]}" pluck "${c[3]}" \
        remix - fade 0 2 0.1 vol 0.5
    notes=()
    for k in 0 1 2 3; do
        make "$tmp/n$k.wav" synth 0.5 sawtooth "${lead[$(((bar * 4 + k) % 16))]}" fade 0.01 0.5 0.2 \
            lowpass 2000 vol 0.25
        notes+=("$tmp/n$k.wav")
    done
    sox -q "${notes[@]}" "$tmp/lead.wav"
    sox -q "$tmp/hat.wav" "$tmp/hat.wav" "$tmp/hat.wav" "$tmp/hat.wav" "$tmp/hat.wav" "$tmp/hat.wav" \
        "$tmp/hat.wav" "$tmp/hat.wav" "$tmp/hats.wav"
    sox -q -m "$tmp/chord.wav" "$tmp/lead.wav" "$tmp/hats.wav" "$tmp/bar$bar.wav"
    bars+=("$tmp/bar$bar.wav")
done
sox -q "${bars[@]}" "$out" trim 0 "$seconds" norm -1

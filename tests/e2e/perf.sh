#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Frame rate of the real program under a loud steady tone (or any sound sox synthesises, or a
# sound file), read from the window title twice a second and counted by the hue's turn (a
# hundredth a frame) between samples, the level of detail it settles on, read
# from the running process, its share of a processor core over the sampling (all its threads),
# and, with XPROBE set, the lit share of the window. Not part of the test run:
#   XPROBE=build/xprobe bash tests/e2e/perf.sh build/lumora [SECONDS [window|fullscreen [SYNTH...]]]
#   bash tests/e2e/perf.sh build/lumora 30 window file music.wav
XPROBE=${XPROBE:-}
. "$(dirname "$0")/../../scripts/harness.sh"
seconds=${2:-30}
mode=${3:-window}
shift $(($# < 3 ? $# : 3))

h_start_x 1920x1080
h_start_pulse
# the sound outlasts the sampling, whose screenshots take their own time
if [ "${1:-}" = file ]; then
    # looped to outlast the sampling
    h_play_file sound "$2" repeat $((seconds * 3 / $(soxi -D "$2" | cut -d. -f1) + 1))
else
    h_play sound synth $((seconds * 3 + 10)) ${@:-sine 1000 vol 0.8}
fi
h_start_lumora
h_find_window
[ "$mode" = fullscreen ] && h_key F11
sleep 5 # settling
: >"$H_DIR/fps"
: >"$H_DIR/steps"
: >"$H_DIR/lit"
: >"$H_DIR/drawn"
ticks=$(h_cpu_ticks)
started=$(date +%s%N)
for _ in $(seq $((seconds * 2))); do
    sleep 0.5
    h_title | sed -n 's/^lumora - *\([0-9]*\) fps $/\1/p' >>"$H_DIR/fps"
    h_detail >>"$H_DIR/steps" || true # a build from before the picture struct has none to read
    echo "$(date +%s%N) $(h_hue)" >>"$H_DIR/hues"
    if [ -n "$XPROBE" ]; then
        h_waves sample
        echo "$lit" >>"$H_DIR/lit"
    fi
done
ticks=$(($(h_cpu_ticks) - ticks))
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
size=$(h_geometry)
h_key Escape
h_wait_exit 5 || h_fail "Esc did not end lumora"

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { printf "median %s, range %s to %s", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
# frames drawn a second between two samples: the hue turns a hundredth a frame (under a turn in
# half a second below 200 frames a second)
awk 'NR > 1 && $2 != "" && h != "" { d = $2 - h; if (d < 0) d += 1; print d * 100 / (($1 - t) / 1e9) }
     { t = $1; h = $2 }' "$H_DIR/hues" >"$H_DIR/drawn"
echo "$mode $size: title $(median "$H_DIR/fps") fps; drawn $(median "$H_DIR/drawn") a second; n_steps $(median "$H_DIR/steps")"
awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v ms="$elapsed_ms" \
    'BEGIN { printf "processor: %.0f %% of a core (%d ticks in %.1f s)\n", 100 * t / hz / (ms / 1000), t, ms / 1000 }'
[ ! -s "$H_DIR/lit" ] || echo "lit share of the window: $(median "$H_DIR/lit")"
exit 0

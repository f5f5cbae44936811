#!/usr/bin/env bash
# Frame rate of the real program under a loud steady tone, read from the window title twice a
# second, and the level of detail it settles on, read from the running process. Not part of the
# test run:  bash tests/e2e/perf.sh build/lumora [SECONDS [window|fullscreen [SOX_SYNTH...]]]
XPROBE=${XPROBE:-true}
. "$(dirname "$0")/../../scripts/harness.sh"
seconds=${2:-30}
mode=${3:-window}
shift $(($# < 3 ? $# : 3))

h_start_x 1920x1080
h_start_pulse
h_play sound synth $((seconds + 10)) ${@:-sine 1000 vol 0.8}
h_start_lumora
h_find_window
[ "$mode" = fullscreen ] && h_key F11
sleep 5 # settling
: >"$H_DIR/fps"
: >"$H_DIR/steps"
for _ in $(seq $((seconds * 2))); do
    sleep 0.5
    h_title | sed -n 's/^lumora - *\([0-9]*\) fps $/\1/p' >>"$H_DIR/fps"
    h_peek n_steps >>"$H_DIR/steps"
done
size=$(h_geometry)
h_key Escape
h_wait_exit 5 || h_fail "Esc did not end lumora"

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "median %d, range %d to %d", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
echo "$mode $size: frame rate $(median "$H_DIR/fps") fps; n_steps $(median "$H_DIR/steps")"
exit 0

#!/usr/bin/env bash
# Frame rate of the real program under a loud steady tone (or any sound sox synthesises), read
# from the window title twice a second, the level of detail it settles on, read from the running
# process, and, with XPROBE set, the lit share of the window. Not part of the test run:
#   XPROBE=build/xprobe bash tests/e2e/perf.sh build/lumora [SECONDS [window|fullscreen [SYNTH...]]]
XPROBE=${XPROBE:-}
. "$(dirname "$0")/../../scripts/harness.sh"
seconds=${2:-30}
mode=${3:-window}
shift $(($# < 3 ? $# : 3))

h_start_x 1920x1080
h_start_pulse
# the sound outlasts the sampling, whose screenshots take their own time
h_play sound synth $((seconds * 3 + 10)) ${@:-sine 1000 vol 0.8}
h_start_lumora
h_find_window
[ "$mode" = fullscreen ] && h_key F11
sleep 5 # settling
: >"$H_DIR/fps"
: >"$H_DIR/steps"
: >"$H_DIR/lit"
for _ in $(seq $((seconds * 2))); do
    sleep 0.5
    h_title | sed -n 's/^lumora - *\([0-9]*\) fps $/\1/p' >>"$H_DIR/fps"
    h_detail >>"$H_DIR/steps"
    if [ -n "$XPROBE" ]; then
        h_waves sample
        echo "$lit" >>"$H_DIR/lit"
    fi
done
size=$(h_geometry)
h_key Escape
h_wait_exit 5 || h_fail "Esc did not end lumora"

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { printf "median %s, range %s to %s", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
echo "$mode $size: frame rate $(median "$H_DIR/fps") fps; n_steps $(median "$H_DIR/steps")"
[ ! -s "$H_DIR/lit" ] || echo "lit share of the window: $(median "$H_DIR/lit")"
exit 0

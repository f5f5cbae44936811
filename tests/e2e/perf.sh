#!/usr/bin/env bash
# Frame rate of the real program under a loud steady tone, read from the window title twice a
# second, and the level of detail it settles on, read from the running process with gdb.
# Not part of the test run: bash tests/e2e/perf.sh build/lumora [SECONDS]
XPROBE=${XPROBE:-true}
. "$(dirname "$0")/../../scripts/harness.sh"
seconds=${2:-30}

h_start_x 1280x720
h_start_pulse
h_play tone synth $((seconds + 5)) sine 1000 vol 0.8
h_start_lumora
h_find_window
sleep 2
: >"$H_DIR/fps"
: >"$H_DIR/steps"
for _ in $(seq $((seconds * 2))); do
    sleep 0.5
    h_title | sed -n 's/^lumora - *\([0-9]*\) fps $/\1/p' >>"$H_DIR/fps"
done
if command -v gdb >/dev/null 2>&1; then
    for _ in $(seq 5); do
        gdb -p "$LUMORA_PID" -batch -ex 'print n_steps' 2>/dev/null |
            sed -n 's/^\$1 = //p' >>"$H_DIR/steps"
        sleep 0.5
    done
fi
h_key Escape
h_wait_exit 5 || h_fail "Esc did not end lumora"

sort -n "$H_DIR/fps" | awk '{ v[NR] = $1 } END {
    printf "frame rate over %d samples: median %d, range %d to %d fps\n", NR, v[int((NR + 1) / 2)], v[1], v[NR] }'
[ -s "$H_DIR/steps" ] && echo "n_steps samples: $(tr '\n' ' ' <"$H_DIR/steps")"
exit 0

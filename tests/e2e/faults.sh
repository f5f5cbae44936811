#!/usr/bin/env bash
# What desktops do to a program: odd window sizes, unmapping, the window manager's close
# request, and the sound server dying under it. lumora keeps drawing, never hangs, and ends
# cleanly.
. "$(dirname "$0")/../../scripts/harness.sh"
h_need gdb gdb

h_start_x 1920x1080
h_start_pulse
h_play tone synth 120 sine 1000 vol 0.5
h_start_lumora
h_find_window
sleep 1.5

for size in "1 1" "600 1" "7 300" "1 300" "1920 1080" "600 300"; do
    xdotool windowsize "$WIN" $size
    h_expect_geometry "${size% *}x${size#* }"
    sleep 0.5
    h_expect_frames "at ${size% *}x${size#* }"
done
# frames at full size take over 10 ms here, so the title follows them
[ "$(h_title_updates 1)" -ge 3 ] || h_fail "the title does not follow the frames at 600x300"
h_ok "draws on at 1x1, 600x1, 7x300, 1x300, 1920x1080 and back at 600x300"

xdotool windowunmap --sync "$WIN"
sleep 1
xdotool windowmap --sync "$WIN"
sleep 0.5
h_expect_frames "mapped again"
[ "$(h_title_updates 1)" -ge 3 ] || h_fail "the title stopped after the window was mapped again"
h_ok "unmapped and mapped again, it draws on"

xdotool windowsize "$WIN" 7 300
h_expect_geometry 7x300
h_key Escape
h_wait_exit 2 || h_fail "Esc at 7x300 did not end lumora within 2 s"
[ "$LUMORA_STATUS" = 0 ] || h_fail "status $LUMORA_STATUS after Esc"
h_ok "Esc at 7x300 ends lumora with status 0"

# the window manager's close button
h_start_lumora
h_find_window
sleep 1
"$XPROBE" close "$WIN"
h_wait_exit 3 || h_fail "a close request did not end lumora within 3 s"
[ "$LUMORA_STATUS" = 0 ] || h_fail "status $LUMORA_STATUS after a close request"
h_ok "WM_DELETE_WINDOW ends lumora with status 0"

# the sound server dies while lumora runs
h_start_lumora
h_find_window
sleep 1.5
kill -KILL "$PULSE_PID"
sleep 1.5
h_expect_frames "after the sound server died"
h_key Escape
h_wait_exit 5 || h_fail "Esc did not end lumora within 5 s after the sound server died"
if [ "$LUMORA_STATUS" != 0 ]; then
    [ "$(grep -c '^PortAudio error: ' "$H_DIR/lumora.err")" = 1 ] ||
        h_fail "status $LUMORA_STATUS without the one error line"
fi
h_ok "sound server killed: lumora draws on and Esc ends it with status $LUMORA_STATUS"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window: title, class and size at start, full screen on F11 and back, keys that do nothing,
# and Esc ending the program cleanly in either window state.
. "$(dirname "$0")/../../scripts/harness.sh"

h_start_x 1280x720
h_start_pulse

# a painter it does not know: one line and status 2, before any window or sound
status=0
LUMORA_RENDERER=vulkan "$LUMORA" 2>"$H_DIR/bad.err" || status=$?
[ "$status" = 2 ] && [ "$(cat "$H_DIR/bad.err")" = "lumora: LUMORA_RENDERER is 'vulkan': give auto, cpu or gl" ] ||
    h_fail "LUMORA_RENDERER=vulkan: status $status, '$(cat "$H_DIR/bad.err")'"
h_ok "LUMORA_RENDERER=vulkan: one line and status 2"

# --help and --version answer at once, with or without a display and a sound device, and open
# nothing. (Without a sound device, --help was "PortAudio error: Device unavailable", status 255.)
for how in "with" "without"; do
    for arg in --help --version; do
        status=0
        if [ "$how" = with ]; then
            "$LUMORA" "$arg" >"$H_DIR/ask.out" 2>"$H_DIR/ask.err" || status=$?
        else
            env -u DISPLAY PULSE_SERVER="unix:$H_DIR/nowhere" "$LUMORA" "$arg" >"$H_DIR/ask.out" \
                2>"$H_DIR/ask.err" || status=$?
        fi
        case "$arg:$(head -n 1 "$H_DIR/ask.out")" in
        "--help:usage: lumora "* | "--version:lumora "[0-9]*) ;;
        *) h_fail "lumora $arg $how a display and sound: '$(head -n 1 "$H_DIR/ask.out")'" ;;
        esac
        [ "$status" = 0 ] && [ ! -s "$H_DIR/ask.err" ] ||
            h_fail "lumora $arg $how a display and sound: status $status, '$(cat "$H_DIR/ask.err")'"
    done
done
"$LUMORA" --help | grep -q 'F11' && "$LUMORA" --help | grep -q 'PULSE_SOURCE' &&
    "$LUMORA" --help | grep -q 'LUMORA_RENDERER' && "$LUMORA" --help | grep -q 'man lumora' ||
    h_fail "lumora --help does not name the keys, PULSE_SOURCE, LUMORA_RENDERER and the man page"
[ -z "$(xdotool search --name '.' 2>/dev/null)" ] || h_fail "lumora --help opened a window"
h_ok "lumora --help and --version: status 0, with or without a display and sound, no window"

# Started with its standard streams closed (a service manager, cron): it opens its window and
# its sound as ever, and Esc ends it with status 0.
"$LUMORA" <&- >&- 2>&- &
LUMORA_PID=$!
H_PIDS="$LUMORA_PID $H_PIDS"
h_find_window
h_key Escape
h_wait_exit 3 || h_fail "started with its standard streams closed, Esc did not end lumora"
[ "$LUMORA_STATUS" = 0 ] || h_fail "started with its standard streams closed: status $LUMORA_STATUS"
h_ok "started with standard input, output and error closed: a window, and status 0 after Esc"

h_start_lumora
h_find_window
# the first frames (GL start-up) may already take 10 ms and put the frame rate in the title
case "$(h_title)" in
"sinusoidal decomposition" | "lumora - "[0-9\ ][0-9\ ][0-9]" fps ") ;;
*) h_fail "title is '$(h_title)'" ;;
esac
h_expect_geometry 600x300
h_ok "window titled '$(h_title)' at 600x300"
# what a taskbar matches with the desktop entry's StartupWMClass, and shows when minimised
h_need xprop x11-utils
known=$(xprop -id "$WIN" WM_CLASS WM_ICON_NAME)
[ "$known" = 'WM_CLASS(STRING) = "lumora", "lumora"
WM_ICON_NAME(STRING) = "lumora"' ] || h_fail "the window is known as: $known"
grep -qx 'StartupWMClass=lumora' "$(dirname "$0")/../../data/lumora.desktop" ||
    h_fail "the desktop entry does not name the window's class"
h_ok "the window's class is lumora, as the desktop entry says, and its icon name lumora"

h_key a space Return F1 F12 Left
sleep 0.3
h_expect_geometry 600x300 1
kill -0 "$LUMORA_PID" || h_fail "lumora ended on an ordinary key"
h_ok "other keys change nothing"

h_key F11
h_expect_geometry "$(h_screen)"
h_key F11
h_expect_geometry 600x300
h_ok "F11 goes full screen and back to 600x300"

xdotool windowsize "$WIN" 400 500
h_expect_geometry 400x500
h_key F11
h_expect_geometry "$(h_screen)"
h_key F11
h_expect_geometry 600x300
h_ok "F11 twice after a resize returns to 600x300"

# A window too large to draw (2 GiB of pixels and more: llvmpipe's rasteriser ended lumora with a
# fault at 32767 x 32767) is not drawn, is asked to take the largest size that can be, and says
# so once; lumora lives on, and draws again at an ordinary size.
xdotool windowsize "$WIN" 32767 32767
h_until 20 eval '[ "$(h_geometry)" != 32767x32767 ] && [ "$(h_geometry)" != 400x500 ]' ||
    h_fail "a window of 32767 x 32767 stayed $(h_geometry)"
kill -0 "$LUMORA_PID" 2>/dev/null || h_fail "a window of 32767 x 32767 ended lumora"
shrunk=$(h_geometry)
xdotool windowsize "$WIN" 600 300
h_expect_geometry 600x300 10
h_expect_frames "after a window too large to draw"
[ "$(grep -c 'larger than OpenGL here draws' "$H_DIR/lumora.err")" = 1 ] ||
    h_fail "a window too large to draw: $(cat "$H_DIR/lumora.err")"
h_ok "a window of 32767 x 32767: not drawn, asked to be $shrunk, one line, and lumora lives on"

h_key F11
h_expect_geometry "$(h_screen)"
h_key Escape
h_wait_exit 2 || h_fail "Esc in full screen did not end lumora within 2 s"
[ "$LUMORA_STATUS" = 0 ] || h_fail "exit status $LUMORA_STATUS after Esc"
h_ok "Esc in full screen ends lumora with status 0"

h_start_lumora
h_find_window
h_key Escape
h_wait_exit 2 || h_fail "Esc in a window did not end lumora within 2 s"
[ "$LUMORA_STATUS" = 0 ] || h_fail "exit status $LUMORA_STATUS after Esc"
h_ok "Esc in a window ends lumora with status 0"

#!/usr/bin/env bash
# The picture for real: steady tones draw a wave with as many half-periods across the window as
# the tone's bin number, the title shows the frame rate, and silence fades the window to black.
. "$(dirname "$0")/../../scripts/harness.sh"

h_start_x 1920x1080

# The painter draws exactly what the immediate-mode reference draws, byte for byte: tone, noise,
# a sweep and music-like sound, from the floor of the detail to the width, 600 and 7 pixels wide.
if [ -n "${PAINT_FRAMES:-}" ]; then
    "$PAINT_FRAMES" check >"$H_DIR/paint.out" 2>&1 || {
        cat "$H_DIR/paint.out" >&2
        h_fail "the painter's pixels differ from the reference's"
    }
    h_ok "the painter's pixels are the reference's ($(grep -c '^ok:' "$H_DIR/paint.out") scenes)"
fi

h_start_pulse
h_start_lumora
h_find_window

sleep 1
h_waves quiet
[ "$max" -le 2 ] || h_fail "silence at start, yet the window is lit (max $max)"
h_ok "silence at start: black window"

# Tones exactly on a bin (a whole number of periods per 50 ms block): bin k = k * 20 Hz.
for k in 7 20 50; do
    h_play "tone$k" synth 60 sine $((20 * k)) vol 0.5
    h_until 10 h_lit "tone$k" || h_fail "bin $k: the tone is not drawn (max $max)"
    sleep 0.5
    # a grab can catch the server half-way through putting up a frame, so up to three grabs
    # are taken; a wrong wave never shows exactly k half-periods in any of them
    for try in 1 2 3; do
        # Counting k half-periods needs two vertices to each, a detail of 2k steps or more. The
        # detail control gets there by itself, sooner on an idle machine than on a busy one, so
        # the test waits for it (up to 60 s) before each grab.
        h_until 60 h_detail_at_least $((2 * k)) ||
            h_fail "bin $k: the detail stayed at $(h_detail) steps, below the $((2 * k)) it needs"
        h_waves "tone$k"
        h_say "bin $k: lit=$lit max=$max crests=$crests troughs=$troughs, title '$(h_title)'"
        [ $((crests + troughs)) = "$k" ] && [ $((crests - troughs)) -ge 0 ] &&
            [ $((crests - troughs)) -le 1 ] && break
        [ "$try" -lt 3 ] ||
            h_fail "bin $k drew $crests crests and $troughs troughs, expected $k half-periods"
        sleep 0.3
    done
    [ "$max" -ge 100 ] || h_fail "bin $k: the waves are too dim (max $max)"
    h_stop "$PLAY_PID"
    h_ok "bin $k draws $k half-periods across the window"
    sleep 0.5
done

case "$(h_title)" in
"lumora - "[0-9\ ][0-9\ ][0-9]" fps ") h_ok "title '$(h_title)'" ;;
*) h_fail "title reads '$(h_title)'" ;;
esac

# after the sound stops the picture halves every frame: black within a few frames once the last
# block has come through (how long that takes depends on how busy the machine is, so the test
# waits up to 5 s), and it stays black
h_play burst synth 3 sine 440 vol 0.8
h_until 5 h_lit loud || h_fail "the burst is not shown (max $max)"
h_stop "$PLAY_PID"
h_until 5 eval 'h_waves faded && [ "$max" -le 2 ]' ||
    h_fail "5 s after the sound stopped the window still shows max $max"
sleep 2
h_waves still
[ "$max" -le 2 ] || h_fail "the window lit up again in silence (max $max)"
h_ok "silence fades the picture to black and it stays black"

h_key Escape
h_wait_exit 3 || h_fail "Esc did not end lumora"
[ "$LUMORA_STATUS" = 0 ] || h_fail "status $LUMORA_STATUS"
